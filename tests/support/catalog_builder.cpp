#include "catalog_builder.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>

#include "authenticode/signed_data.h"
#include "ossl.h"

namespace exelore_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

using exelore_posix::ossl::BioPtr;
using exelore_posix::ossl::Free;
using exelore_posix::ossl::Pkcs7Ptr;
using CertPtr = exelore_posix::ossl::X509Ptr;
using exelore_posix::authenticode::Encoded;
using exelore_posix::ossl::KeyPtr;
using ObjectPtr = exelore_posix::ossl::Asn1ObjectPtr;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("catalog builder: ") + what);
}

// --- A small DER writer ------------------------------------------------------

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

Bytes Tlv(std::uint8_t tag, const Bytes& content) {
  Bytes out{tag};
  std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    Bytes length;
    for (; n != 0; n >>= 8) length.insert(length.begin(), static_cast<std::uint8_t>(n & 0xFF));
    out.push_back(static_cast<std::uint8_t>(0x80 | length.size()));
    Append(out, length);
  }
  Append(out, content);
  return out;
}

Bytes Seq(std::initializer_list<Bytes> items) {
  Bytes content;
  for (const Bytes& item : items) Append(content, item);
  return Tlv(0x30, content);
}

Bytes Set(std::initializer_list<Bytes> items) {
  Bytes content;
  for (const Bytes& item : items) Append(content, item);
  return Tlv(0x31, content);
}

Bytes Oid(const std::string& dotted) {
  ObjectPtr object(OBJ_txt2obj(dotted.c_str(), 1));
  Check(object != nullptr, "OID");
  Bytes out = Encoded(object.get(), i2d_ASN1_OBJECT);
  Check(!out.empty(), "OID encoding");
  return out;
}

Bytes Null() { return {0x05, 0x00}; }
Bytes Octets(const Bytes& b) { return Tlv(0x04, b); }

Bytes Utf16Le(const std::u16string& text, bool terminate) {
  Bytes out;
  for (const char16_t c : text) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  if (terminate) out.insert(out.end(), {0, 0});
  return out;
}

Bytes UtcTime(std::time_t when) {
  std::unique_ptr<ASN1_TIME, Free<ASN1_TIME_free>> t(ASN1_UTCTIME_set(nullptr, when));
  Check(t != nullptr, "time");
  Bytes out = Encoded(t.get(), i2d_ASN1_TIME);
  Check(!out.empty(), "time encoding");
  return out;
}

Bytes AlgorithmOid(const std::string& name) {
  const EVP_MD* md = EVP_get_digestbyname(name.c_str());
  Check(md != nullptr, "digest name");
  const ASN1_OBJECT* object = OBJ_nid2obj(EVP_MD_get_type(md));
  char dotted[64];
  Check(OBJ_obj2txt(dotted, sizeof dotted, object, 1) > 0, "digest OID");
  return Oid(dotted);
}

// SpcIndirectDataContent { SpcAttributeTypeAndOptionalValue, DigestInfo }.
Bytes IndirectData(const CatalogEntry& entry) {
  const Bytes value = entry.pe_image
                          // SpcPeImageData { flags BIT STRING, file [0] { [2] { [0] "" } } }
                          ? Seq({Tlv(0x03, {0x00}), Tlv(0xA0, Tlv(0xA2, Tlv(0x80, {})))})
                          // SpcLink: file [2] { [0] "" }
                          : Tlv(0xA2, Tlv(0x80, {}));
  const std::string type = entry.pe_image ? "1.3.6.1.4.1.311.2.1.15" : "1.3.6.1.4.1.311.2.1.25";
  return Seq({Seq({Oid(type), value}),
              Seq({Seq({AlgorithmOid(entry.digest_algorithm), Null()}), Octets(entry.digest)})});
}

Bytes Entry(const CatalogEntry& entry) {
  Bytes tag;
  if (entry.raw_tag) {
    tag = *entry.raw_tag;
  } else {
    tag = Utf16Le(entry.tag.value_or(HexTag(entry.digest)), true);
  }
  // CAT_NAMEVALUE ("File" = name), as Windows' catalog tools add to members.
  const Bytes name_value =
      Seq({Oid("1.3.6.1.4.1.311.12.2.1"),
           Set({Seq({Tlv(0x1E, Utf16Le(u"File", false)), Tlv(0x02, {0x10, 0x01, 0x00, 0x01}),
                     Octets(Utf16Le(u"member.exe", true))})})});
  Bytes attributes = entry.name_value ? name_value : Bytes();
  if (entry.member_info2) {
    // Its value, which the code under test does not read, an empty [2].
    Append(attributes, Seq({Oid("1.3.6.1.4.1.311.12.2.3"), Set({Tlv(0xA2, Tlv(0x80, {}))})}));
  }
  if (entry.indirect_data) {
    Append(attributes, Seq({Oid("1.3.6.1.4.1.311.2.1.4"), Set({IndirectData(entry)})}));
  }
  return Seq({Octets(tag), Tlv(0x31, attributes)});
}

X509* ReadCert(BIO* bio) { return PEM_read_bio_X509(bio, nullptr, nullptr, nullptr); }

// A SignedData carrying `ctl` as content of type options.content_type.
Bytes Sign(const CatalogOptions& options, const Bytes& ctl, const PkiIdentity* signer) {
  Pkcs7Ptr p7(PKCS7_new());
  Check(p7 && PKCS7_set_type(p7.get(), NID_pkcs7_signed) == 1, "SignedData");
  std::vector<CertPtr> chain;
  KeyPtr key;
  if (signer != nullptr) {
    BioPtr chain_bio(BIO_new_file(signer->chain.c_str(), "r"));
    Check(chain_bio != nullptr, "chain file");
    while (X509* c = ReadCert(chain_bio.get())) chain.emplace_back(c);
    ERR_clear_error();
    Check(!chain.empty(), "chain");
    BioPtr key_bio(BIO_new_file(signer->key.c_str(), "r"));
    Check(key_bio != nullptr, "key file");
    key.reset(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr));
    Check(key != nullptr, "key");
    PKCS7_SIGNER_INFO* si = PKCS7_add_signature(p7.get(), chain[0].get(), key.get(), EVP_sha256());
    Check(si != nullptr, "signer");
    ObjectPtr content_type(OBJ_txt2obj(options.content_type.c_str(), 1));
    Check(PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                     content_type.release()) == 1,
          "content type attribute");
    for (const CertPtr& c : chain) Check(PKCS7_add_certificate(p7.get(), c.get()) == 1, "cert");
    // Sign the content octets of the list (its value without the outer tag
    // and length), as PKCS #7 digests content other than plain data.
    Check(PKCS7_content_new(p7.get(), NID_pkcs7_data) == 1, "content");
    BioPtr bio(PKCS7_dataInit(p7.get(), nullptr));
    Check(bio != nullptr, "dataInit");
    const unsigned char* p = ctl.data();
    long length = 0;
    int tag = 0;
    int cls = 0;
    Check((ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(ctl.size())) & 0x80) == 0,
          "list header");
    Check(BIO_write(bio.get(), p, static_cast<int>(length)) == length, "write");
    Check(PKCS7_dataFinal(p7.get(), bio.get()) == 1, "dataFinal");
  }
  // The content proper: the list under its own content type.
  PKCS7* inner = PKCS7_new();
  Check(inner != nullptr, "inner");
  inner->type = OBJ_txt2obj(options.content_type.c_str(), 1);
  // OpenSSL holds known content types in other members than d.other.
  if (OBJ_obj2nid(inner->type) != NID_undef) {
    PKCS7_free(inner);
    Check(false, "content of a type OpenSSL knows");
  }
  inner->d.other = ASN1_TYPE_new();
  ASN1_STRING* sequence = ASN1_STRING_new();
  Check(inner->d.other && sequence &&
            ASN1_STRING_set(sequence, ctl.data(), static_cast<int>(ctl.size())) == 1,
        "inner content");
  ASN1_TYPE_set(inner->d.other, V_ASN1_SEQUENCE, sequence);
  if (PKCS7_set_content(p7.get(), inner) != 1) {
    PKCS7_free(inner);
    Check(false, "set content");
  }
  Bytes out = Encoded(p7.get(), i2d_PKCS7);
  Check(!out.empty(), "encoding");
  return out;
}

}  // namespace

std::u16string HexTag(const std::vector<std::uint8_t>& bytes) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string out;
  for (const std::uint8_t b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0xF]);
  }
  return out;
}

CatalogEntry EntryFor(const std::vector<std::uint8_t>& digest, const std::string& algorithm) {
  CatalogEntry entry;
  entry.digest = digest;
  entry.digest_algorithm = algorithm;
  return entry;
}

std::vector<CatalogEntry> Member2Entries(const std::vector<std::uint8_t>& sha256,
                                         const std::vector<std::uint8_t>& sha1) {
  CatalogEntry full = EntryFor(sha256, "sha256");
  full.raw_tag = sha256;
  full.member_info2 = true;
  return {full, {sha1, "sha1", {}, sha1, true, false, false, true}};
}

std::vector<std::uint8_t> BuildTrustList(const CatalogOptions& options) {
  Bytes entries;
  for (const CatalogEntry& entry : options.entries) Append(entries, Entry(entry));
  Bytes list_identifier = Digest(UtcTime(options.this_update));
  list_identifier.resize(16);  // a GUID's worth of bytes
  // One catalog-wide attribute, as Windows writes ("OS" = "_v100").
  const Bytes extension =
      Seq({Oid("1.3.6.1.4.1.311.12.2.1"),
           Octets(Seq({Tlv(0x1E, Utf16Le(u"OS", false)), Tlv(0x02, {0x10, 0x01, 0x00, 0x01}),
                       Octets(Utf16Le(u"_v100", true))}))});
  return Seq({Seq({Oid(options.subject_usage)}), Octets(list_identifier),
              UtcTime(options.this_update), Seq({Oid(options.subject_algorithm), Null()}),
              Tlv(0x30, entries), Tlv(0xA0, Seq({extension}))});
}

std::vector<std::uint8_t> BuildCatalog(const CatalogOptions& options, const PkiIdentity& signer) {
  return Sign(options, BuildTrustList(options), &signer);
}

std::vector<std::uint8_t> BuildUnsignedCatalog(const CatalogOptions& options) {
  return Sign(options, BuildTrustList(options), nullptr);
}

std::vector<std::uint8_t> BuildRootProgramList(const std::vector<ProgramListEntry>& entries,
                                               const PkiIdentity& signer,
                                               std::optional<std::time_t> this_update) {
  // Attribute { 1.3.6.1.4.1.311.10.11.N, SET { OCTET STRING value } }.
  const auto property = [](int id, const Bytes& value) {
    return Seq({Oid("1.3.6.1.4.1.311.10.11." + std::to_string(id)), Set({Octets(value)})});
  };
  const auto usages = [](const std::vector<std::string>& oids) {
    Bytes list;
    for (const std::string& oid : oids) Append(list, Oid(oid));
    return Tlv(0x30, list);
  };
  // A FILETIME: 100-ns ticks since 1601, little-endian.
  const auto filetime = [](std::time_t when) {
    auto ticks = static_cast<std::uint64_t>(when + 11644473600LL) * 10000000u;
    Bytes out;
    for (int i = 0; i < 8; ++i, ticks >>= 8) out.push_back(static_cast<std::uint8_t>(ticks & 0xFF));
    return out;
  };
  Bytes subjects;
  for (const ProgramListEntry& e : entries) {
    Bytes attributes;
    if (!e.usages.empty()) Append(attributes, property(9, usages(e.usages)));
    if (e.disabled_at) Append(attributes, property(104, filetime(*e.disabled_at)));
    if (e.not_before) Append(attributes, property(126, filetime(*e.not_before)));
    if (!e.not_before_usages.empty())
      Append(attributes, property(127, usages(e.not_before_usages)));
    Append(subjects, Seq({Octets(e.sha1), Tlv(0x31, attributes)}));
  }
  CatalogOptions options;
  if (this_update) options.this_update = *this_update;
  const Bytes ctl =
      Seq({Seq({Oid("1.3.6.1.4.1.311.10.3.9")}), Tlv(0x02, {0x01}), UtcTime(options.this_update),
           Seq({Oid("1.3.14.3.2.26"), Null()}), Tlv(0x30, subjects)});
  return Sign(options, ctl, &signer);
}

std::vector<std::uint8_t> Digest(const std::vector<std::uint8_t>& bytes,
                                 const std::string& algorithm) {
  const EVP_MD* md = EVP_get_digestbyname(algorithm.c_str());
  Check(md != nullptr, "digest name");
  Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int n = 0;
  Check(EVP_Digest(bytes.data(), bytes.size(), out.data(), &n, md, nullptr) == 1, "digest");
  out.resize(n);
  return out;
}

std::vector<std::uint8_t> UnsignedImageHash(const std::vector<std::uint8_t>& image,
                                            const PeLayout& layout, const std::string& algorithm) {
  const std::size_t checksum = layout.checksum_field;
  const std::size_t security = layout.data_directories + 4 * 8;
  Check(checksum != 0 && checksum + 4 <= security && security + 8 <= image.size(), "layout");
  Bytes covered(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(checksum));
  covered.insert(covered.end(), image.begin() + static_cast<std::ptrdiff_t>(checksum + 4),
                 image.begin() + static_cast<std::ptrdiff_t>(security));
  covered.insert(covered.end(), image.begin() + static_cast<std::ptrdiff_t>(security + 8),
                 image.end());
  covered.resize(covered.size() + (8 - image.size() % 8) % 8, 0);
  return Digest(covered, algorithm);
}

}  // namespace exelore_test

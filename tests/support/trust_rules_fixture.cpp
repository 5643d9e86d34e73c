#include "trust_rules_fixture.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "authenticode/authenticode.h"
#include "authenticode/signed_data.h"
#include "der.h"
#include "signing.h"

namespace exelore_test {

using Bytes = std::vector<std::uint8_t>;
using KeyPtr = PrivateKeyPtr;

std::vector<std::size_t> SectionOffsets(const Bytes& image) {
  const std::size_t nt = Get32(image, 0x3c);
  const std::size_t count = image[nt + 6] | (image[nt + 7] << 8);
  const std::size_t table = nt + 24 + (image[nt + 20] | (image[nt + 21] << 8));
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < count; ++i) offsets.push_back(Get32(image, table + 40 * i + 20));
  return offsets;
}

Bytes MoveTableOverSections(const Bytes& image, std::size_t at, const Bytes& attacker) {
  const std::size_t entry = SecurityDirectoryEntry(image);
  const std::size_t table = Get32(image, entry);
  Bytes covered(attacker.begin() + static_cast<long>(at),
                attacker.begin() + static_cast<long>(table));
  const Bytes certificate(image.begin() + static_cast<long>(table), image.end());
  covered.resize(std::max(covered.size(), certificate.size() + 64));
  // The first WIN_CERTIFICATE, then a second one wrapping the attacker's
  // bytes, so only the table's place is wrong.
  std::copy(certificate.begin(), certificate.end(), covered.begin());
  const std::size_t rest = covered.size() - certificate.size();
  Put32(covered, certificate.size(), static_cast<std::uint32_t>(rest));
  Put32(covered, certificate.size() + 4, 0x00020200);
  Bytes moved(image.begin(), image.begin() + static_cast<long>(at));
  moved.insert(moved.end(), covered.begin(), covered.end());
  moved.insert(moved.end(), image.begin() + static_cast<long>(at),
               image.begin() + static_cast<long>(table));
  Put32(moved, entry, static_cast<std::uint32_t>(at));
  Put32(moved, entry + 4, static_cast<std::uint32_t>(covered.size()));
  return moved;
}

std::vector<Bytes> Children(const Bytes& tlv) {
  const auto element = exelore_posix::der::ElementAt(tlv);
  const auto children = element ? exelore_posix::der::ElementsOf(element->contents) : std::nullopt;
  std::vector<Bytes> out;
  for (const auto& child : children.value_or(std::vector<exelore_posix::der::Element>())) {
    out.emplace_back(child.whole.begin(), child.whole.end());
  }
  return out;
}

Bytes Wrap(std::uint8_t tag, const std::vector<Bytes>& parts) {
  Bytes content;
  for (const Bytes& p : parts) content.insert(content.end(), p.begin(), p.end());
  Bytes out = {tag};
  if (content.size() < 0x80) {
    out.push_back(static_cast<std::uint8_t>(content.size()));
  } else if (content.size() < 0x100) {
    out.insert(out.end(), {0x81, static_cast<std::uint8_t>(content.size())});
  } else {
    out.insert(out.end(), {0x82, static_cast<std::uint8_t>(content.size() >> 8),
                           static_cast<std::uint8_t>(content.size())});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes WithAttributeCertificate(const Bytes& token) {
  const auto info = Children(token);  // contentType, [0] { SignedData }
  auto fields = Children(Children(info[1])[0]);
  for (Bytes& field : fields) {
    if (field[0] != 0xA0) continue;  // [0] certificates
    auto certificates = Children(field);
    certificates.push_back({0xA1, 0x03, 0x02, 0x01, 0x05});
    field = Wrap(0xA0, certificates);
  }
  return Wrap(0x30, {info[0], Wrap(0xA0, {Wrap(0x30, fields)})});
}

ASN1_STRING* TokenOf(PKCS7* p7) {
  static const ASN1_OBJECT* const kRfc3161 = OBJ_txt2obj("1.3.6.1.4.1.311.3.3.1", 1);
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i) {
    X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(si->unauth_attr, i);
    if (OBJ_cmp(X509_ATTRIBUTE_get0_object(attribute), kRfc3161) == 0) {
      return X509_ATTRIBUTE_get0_type(attribute, 0)->value.sequence;
    }
  }
  throw std::runtime_error("no timestamp token");
}

TempDir* TrustRules::dir_ = nullptr;
const TestPki* TrustRules::pki_ = nullptr;
std::string TrustRules::catroot_;

void TrustRules::SetUpTestSuite() {
  dir_ = new TempDir;
  pki_ = &SharedTestPki();
  catroot_ = dir_->File("windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}");
  std::filesystem::create_directories(catroot_);
  setenv("SystemRoot", dir_->File("windows").c_str(), 1);
  UseTestAnchors(*pki_, dir_->File("no-bundle"));
}

void TrustRules::TearDownTestSuite() {
  unsetenv("SystemRoot");
  delete dir_;
}

void TrustRules::SetUp() {
  if (!HaveOsslsigncode()) GTEST_SKIP() << "osslsigncode is not installed";
}

Bytes TrustRules::Unsigned(bool pe32plus, const std::u16string& company) {
  return BuildPeWithVersion(DefaultVersionInfo(company), pe32plus);
}

Bytes TrustRules::Signed(const PkiIdentity& id, bool pe32plus, const PkiIdentity* tsa,
                         std::time_t when) {
  WriteFile(File("in.exe"), Unsigned(pe32plus));
  const std::string error =
      OsslsigncodeSign(File("in.exe"), File("out.exe"), id, "sha256", tsa, when);
  EXPECT_EQ(error, "");
  return ReadFile(File("out.exe"));
}

Bytes TrustRules::Resigned(const Bytes& image, const std::string& key,
                           const std::function<void(PKCS7*, PKCS7_SIGNER_INFO*)>& edit) {
  return RewriteSignature(image, [&](PKCS7* p7) {
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    edit(p7, si);
    KeyPtr signing_key = LoadPrivateKey(key);
    if (sk_X509_ATTRIBUTE_num(si->auth_attr) > 0) {
      EVP_PKEY_up_ref(signing_key.get());
      EVP_PKEY_free(si->pkey);
      si->pkey = signing_key.get();
      ASSERT_EQ(PKCS7_SIGNER_INFO_sign(si), 1);
      return;
    }
    // Without attributes the signature is over the content itself.
    const auto content = exelore_posix::authenticode::SignedContentOctets(p7);
    std::size_t length = 0;
    exelore_posix::ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, signing_key.get()), 1);
    ASSERT_EQ(EVP_DigestSign(ctx.get(), nullptr, &length, content->data(), content->size()), 1);
    Bytes signature(length);
    ASSERT_EQ(
        EVP_DigestSign(ctx.get(), signature.data(), &length, content->data(), content->size()), 1);
    ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(length));
  });
}

Bytes TrustRules::WithCertificate(const Bytes& image, const std::string& extra, bool first) {
  return RewriteSignature(image, [&](PKCS7* p7) {
    auto cert = LoadCertificate(extra);
    sk_X509_insert(p7->d.sign->cert, cert.release(), first ? 0 : -1);
  });
}

void TrustRules::AddLegacyTimestamp(PKCS7* p7, PKCS7_SIGNER_INFO* si, const PkiIdentity& tsa,
                                    const EVP_MD* md,
                                    const std::function<void(PKCS7_SIGNER_INFO*)>& edit) {
  auto tsa_cert = LoadCertificate(tsa.cert);
  KeyPtr key = LoadPrivateKey(tsa.key);
  PKCS7_SIGNER_INFO* counter = PKCS7_SIGNER_INFO_new();
  ASSERT_EQ(PKCS7_SIGNER_INFO_set(counter, tsa_cert.get(), key.get(), md), 1);
  PKCS7_add_signed_attribute(counter, NID_pkcs9_contentType, V_ASN1_OBJECT,
                             OBJ_nid2obj(NID_pkcs7_data));
  PKCS7_add_signed_attribute(counter, NID_pkcs9_signingTime, V_ASN1_UTCTIME,
                             ASN1_UTCTIME_set(nullptr, TestPki::kInsideExpiredValidity));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  EVP_Digest(si->enc_digest->data, static_cast<std::size_t>(si->enc_digest->length), digest,
             &digest_length, md, nullptr);
  ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(value, digest, static_cast<int>(digest_length));
  PKCS7_add_signed_attribute(counter, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, value);
  ASSERT_EQ(PKCS7_SIGNER_INFO_sign(counter), 1);
  if (edit) edit(counter);
  const Bytes der = exelore_posix::authenticode::Encoded(counter, i2d_PKCS7_SIGNER_INFO);
  ASN1_STRING* sequence = ASN1_STRING_new();
  ASN1_STRING_set(sequence, der.data(), static_cast<int>(der.size()));
  PKCS7_SIGNER_INFO_free(counter);
  PKCS7_add_attribute(si, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, sequence);
  exelore_posix::ossl::BioPtr chain(BIO_new_file(tsa.chain.c_str(), "r"));
  while (X509* cert = PEM_read_bio_X509(chain.get(), nullptr, nullptr, nullptr)) {
    if (X509_find_by_issuer_and_serial(p7->d.sign->cert, X509_get_issuer_name(cert),
                                       X509_get0_serialNumber(cert)) == nullptr) {
      PKCS7_add_certificate(p7, cert);
    }
    X509_free(cert);
  }
}

void TrustRules::SignBareDigest(PKCS7_SIGNER_INFO* si, const std::string& key, const EVP_MD* md,
                                bool other_bytes) {
  unsigned char* raw = nullptr;
  const int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &raw,
                                   ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  const exelore_posix::ossl::BytesPtr der(raw);
  ASSERT_GT(length, 0);
  if (other_bytes) raw[length - 1] ^= 0x01;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  EVP_Digest(raw, static_cast<std::size_t>(length), digest, &digest_length, md, nullptr);
  KeyPtr signing_key = LoadPrivateKey(key);
  const exelore_posix::ossl::KeyCtxPtr ctx(EVP_PKEY_CTX_new(signing_key.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
  if (EVP_PKEY_get_base_id(signing_key.get()) == EVP_PKEY_RSA) {
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING), 1);
  }
  std::size_t size = 0;
  ASSERT_EQ(EVP_PKEY_sign(ctx.get(), nullptr, &size, digest, digest_length), 1);
  Bytes signature(size);
  ASSERT_EQ(EVP_PKEY_sign(ctx.get(), signature.data(), &size, digest, digest_length), 1);
  ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(size));
}

Bytes TrustRules::WithCatalogCertificate(const Bytes& catalog, bool first) {
  const unsigned char* p = catalog.data();
  exelore_posix::ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(catalog.size())));
  sk_X509_insert(p7->d.sign->cert, LoadCertificate(pki_->serial_twin).release(), first ? 0 : -1);
  return exelore_posix::authenticode::Encoded(p7.get(), i2d_PKCS7);
}

}  // namespace exelore_test

// Files crafted against the trust decision, one rule each, beside a control
// that the rule must leave alone: the publisher line names the certificate
// whose key signed, and says "(verified)" only where Windows would.
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "authenticode/authenticode.h"
#include "catalog_builder.h"
#include "hive_builder.h"
#include "ossl.h"
#include "pe_builder.h"
#include "process.h"
#include "publisher_line.h"
#include "authenticode/registry_stores.h"
#include "signing.h"
#include "test_pki.h"
#include "text.h"
#include "verify_file.h"

namespace {

using exelore_test::PublisherLine;

using Bytes = std::vector<std::uint8_t>;
using exelore_test::CatalogOptions;
using exelore_test::Get32;
using exelore_test::HiveValue;
using exelore_test::PkiIdentity;
using exelore_test::Put32;
using exelore_test::TestPki;
using KeyPtr = exelore_test::PrivateKeyPtr;
using exelore_test::LoadCertificate;
using exelore_test::LoadPrivateKey;

constexpr char kNone[] = "PublisherName: ";

// The file offsets of the sections' raw data, in section table order.
std::vector<std::size_t> SectionOffsets(const Bytes& image) {
  const std::size_t nt = Get32(image, 0x3c);
  const std::size_t count = image[nt + 6] | (image[nt + 7] << 8);
  const std::size_t table = nt + 24 + (image[nt + 20] | (image[nt + 21] << 8));
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < count; ++i) offsets.push_back(Get32(image, table + 40 * i + 20));
  return offsets;
}

// Moves the certificate table of `image` (at its end) to file offset `at`
// and grows it over the sections' raw data that follow `at`, which take the
// `attacker`'s bytes there; the image's own bytes follow the table. With a
// hash that skips the table wherever it lies, the digest still matches.
Bytes MoveTableOverSections(const Bytes& image, std::size_t at, const Bytes& attacker) {
  const std::size_t entry = exelore_test::SecurityDirectoryEntry(image);
  const std::size_t table = Get32(image, entry);
  Bytes covered(attacker.begin() + static_cast<long>(at), attacker.begin() + static_cast<long>(table));
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
  moved.insert(moved.end(), image.begin() + static_cast<long>(at), image.begin() + static_cast<long>(table));
  Put32(moved, entry, static_cast<std::uint32_t>(at));
  Put32(moved, entry + 4, static_cast<std::uint32_t>(covered.size()));
  return moved;
}

// DER pieces for rebuilding a timestamp token.
std::vector<Bytes> Children(const Bytes& tlv) {
  const auto contents = exelore_posix::authenticode::DerContents(tlv);
  std::vector<Bytes> out;
  for (std::size_t at = 0; contents && at < contents->size();) {
    const auto rest = contents->subspan(at);
    const auto inner = exelore_posix::authenticode::DerContents(rest);
    const std::size_t whole = static_cast<std::size_t>(inner->data() - rest.data()) + inner->size();
    out.emplace_back(rest.begin(), rest.begin() + static_cast<long>(whole));
    at += whole;
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

// The token with an attribute certificate ([1], a CertificateChoices
// alternative) after its X.509 certificates, as Microsoft's service writes.
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

constexpr char kMachine[] = "Microsoft\\SystemCertificates\\";
constexpr char kPolicy[] = "Policies\\Microsoft\\SystemCertificates\\";
constexpr char kEnterprise[] = "Microsoft\\EnterpriseCertificates\\";
constexpr char kCodeSigning[] = "1.3.6.1.5.5.7.3.3";
constexpr char kServerAuth[] = "1.3.6.1.5.5.7.3.1";
constexpr char kCatRoot[] = "SYSTEM32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";

std::string Thumbprint(const Bytes& der) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha1(), nullptr);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

// One certificate in a store: `base` (kMachine, kPolicy, kEnterprise) and a
// store name, its blob as Windows writes it unless `blob` replaces it.
struct StoreEntry {
  std::string base;
  std::string store;
  std::string cert_pem;
  std::optional<std::vector<std::string>> usages = std::nullopt;
  std::function<Bytes(Bytes)> damage = nullptr;
};

HiveValue ValueFor(const StoreEntry& e) {
  const Bytes der = exelore_test::CertificateDer(e.cert_pem);
  Bytes blob = exelore_test::SerializedCertificate(der, e.usages ? &*e.usages : nullptr);
  if (e.damage) blob = e.damage(blob);
  return {e.base + e.store + "\\Certificates\\" + Thumbprint(der), "Blob", blob};
}

// The publisher line of a report.
std::string ReportedPublisher(const std::string& report) {
  const std::size_t at = report.find("PublisherName: ");
  if (at == std::string::npos) return report;
  return report.substr(at, report.find("\r\n", at) - at);
}

class TrustRules : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new exelore_test::TempDir;
    pki_ = new TestPki(TestPki::Create(dir_->File("pki")));
    catroot_ = dir_->File("windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}");
    std::filesystem::create_directories(catroot_);
    setenv("SystemRoot", dir_->File("windows").c_str(), 1);
    exelore_test::UseTestAnchors(*pki_, dir_->File("no-bundle"));
  }
  static void TearDownTestSuite() {
    unsetenv("SystemRoot");
    delete pki_;
    delete dir_;
  }
  void SetUp() override {
    if (!exelore_test::HaveOsslsigncode()) GTEST_SKIP() << "osslsigncode is not installed";
  }

  static std::string File(const std::string& name) { return dir_->File(name); }

  static Bytes Unsigned(bool pe32plus = true, const std::u16string& company = u"ExeLore Test Corp") {
    return exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(company), pe32plus);
  }

  static Bytes Signed(const PkiIdentity& id, bool pe32plus = true, const PkiIdentity* tsa = nullptr,
                      std::time_t when = 0) {
    exelore_test::WriteFile(File("in.exe"), Unsigned(pe32plus));
    const std::string error = exelore_test::OsslsigncodeSign(File("in.exe"), File("out.exe"), id,
                                                             "sha256", tsa, when);
    EXPECT_EQ(error, "");
    return exelore_test::ReadFile(File("out.exe"));
  }

  // The signature of `image` with its first signer's authenticated
  // attributes changed by `edit` and signed again with `key`.
  static Bytes Resigned(const Bytes& image, const std::string& key,
                        const std::function<void(PKCS7*, PKCS7_SIGNER_INFO*)>& edit) {
    return exelore_test::RewriteSignature(image, [&](PKCS7* p7) {
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
      ASSERT_EQ(EVP_DigestSign(ctx.get(), signature.data(), &length, content->data(), content->size()), 1);
      ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(length));
    });
  }

  // The certificate set of a signed image or catalog with `extra` added
  // first or last; the set is not signed.
  static Bytes WithCertificate(const Bytes& image, const std::string& extra, bool first) {
    return exelore_test::RewriteSignature(image, [&](PKCS7* p7) {
      auto cert = LoadCertificate(extra);
      sk_X509_insert(p7->d.sign->cert, cert.release(), first ? 0 : -1);
    });
  }

  // A legacy countersignature by `tsa` as Microsoft's and others' services
  // made them: contentType id-data, signingTime, messageDigest of the
  // signature. Unsigned attributes: the signature stays valid.
  static void AddLegacyTimestamp(PKCS7* p7, PKCS7_SIGNER_INFO* si, const PkiIdentity& tsa) {
    auto tsa_cert = LoadCertificate(tsa.cert);
    KeyPtr key = LoadPrivateKey(tsa.key);
    PKCS7_SIGNER_INFO* counter = PKCS7_SIGNER_INFO_new();
    ASSERT_EQ(PKCS7_SIGNER_INFO_set(counter, tsa_cert.get(), key.get(), EVP_sha256()), 1);
    PKCS7_add_signed_attribute(counter, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data));
    PKCS7_add_signed_attribute(counter, NID_pkcs9_signingTime, V_ASN1_UTCTIME,
                               ASN1_UTCTIME_set(nullptr, TestPki::kInsideExpiredValidity));
    unsigned char digest[32];
    EVP_Digest(si->enc_digest->data, static_cast<std::size_t>(si->enc_digest->length), digest, nullptr,
               EVP_sha256(), nullptr);
    ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(value, digest, sizeof digest);
    PKCS7_add_signed_attribute(counter, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, value);
    ASSERT_EQ(PKCS7_SIGNER_INFO_sign(counter), 1);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS7_SIGNER_INFO(counter, &der);
    ASN1_STRING* sequence = ASN1_STRING_new();
    ASN1_STRING_set(sequence, der, length);
    OPENSSL_free(der);
    PKCS7_SIGNER_INFO_free(counter);
    PKCS7_add_attribute(si, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, sequence);
    PKCS7_add_certificate(p7, tsa_cert.get());
  }

  static Bytes WithCatalogCertificate(const Bytes& catalog, bool first) {
    const unsigned char* p = catalog.data();
    exelore_posix::ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(catalog.size())));
    sk_X509_insert(p7->d.sign->cert, LoadCertificate(pki_->serial_twin).release(), first ? 0 : -1);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS7(p7.get(), &der);
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
  }

  static std::string Put(const std::string& name, const Bytes& bytes) {
    exelore_test::WriteFile(File(name), bytes);
    return File(name);
  }

  static exelore_test::TempDir* dir_;
  static TestPki* pki_;
  static std::string catroot_;
};
exelore_test::TempDir* TrustRules::dir_ = nullptr;
TestPki* TrustRules::pki_ = nullptr;
std::string TrustRules::catroot_;

using CmsPtr = std::unique_ptr<CMS_ContentInfo, exelore_posix::ossl::Free<CMS_ContentInfo_free>>;

// The RFC 3161 token (1.3.6.1.4.1.311.3.3.1) of the first signer of `p7`.
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

// Each built-in root is the certificate its published fingerprint names.
TEST(BuiltinRoots, MatchTheirPublishedFingerprints) {
  const std::pair<const char*, const char*> roots[] = {
      {"microsoft-root-certificate-authority-2010.pem",
       "DF545BF919A2439C36983B54CDFC903DFA4F37D3996D8D84B4C31EEC6F3C163E"},
      {"microsoft-root-certificate-authority-2011.pem",
       "847DF6A78497943F27FC72EB93F9A637320A02B561D0A91B09E87A7807ED7C61"},
      {"microsoft-root-certificate-authority-2001.pem",
       "885DE64C340E3EA70658F01E1145F957FCDA27AABEEA1AB9FAA9FDB0102D4077"},
      {"microsoft-root-authority-1997.pem",
       "F38406E540D7A9D90CB4A9479299640FFB6DF9E224ECC7A01C0D9558D8DAD77D"},
      {"microsoft-identity-verification-root-2020.pem",
       "5367F20C7ADE0E2BCA790915056D086B720C33C1FA2A2661ACF787E3292E1270"},
  };
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(EXELORE_ROOTS_DIR)) {
    files += entry.path().extension() == ".pem";
  }
  EXPECT_EQ(files, std::size(roots));
  for (const auto& [file, fingerprint] : roots) {
    SCOPED_TRACE(file);
    auto cert = LoadCertificate(std::string(EXELORE_ROOTS_DIR) + "/" + file);
    ASSERT_NE(cert, nullptr);
    unsigned char digest[32];
    unsigned int length = 0;
    ASSERT_EQ(X509_digest(cert.get(), EVP_sha256(), digest, &length), 1);
    EXPECT_EQ(exelore_test::HexTag(Bytes(digest, digest + length)),
              std::u16string(fingerprint, fingerprint + 64));
  }
}

TEST_F(TrustRules, EmbeddedSignaturesFollowWindowsRules) {
  const std::string kSigner = "PublisherName: ExeLore Test Signer";
  const Bytes valid64 = Signed(pki_->signer);
  const Bytes valid32 = Signed(pki_->signer, false);
  const auto sections64 = SectionOffsets(valid64);
  const auto sections32 = SectionOffsets(valid32);
  const Bytes attacker64 = Unsigned(true, u"Mallory Corp");
  const Bytes attacker32 = Unsigned(false, u"Mallory Corp");
  const Bytes high_serial = Signed(pki_->signer_high_serial);
  const Bytes expired_ts = Signed(pki_->signer_expired, true, &pki_->tsa, TestPki::kInsideExpiredValidity);
  const auto table_entry = exelore_test::SecurityDirectoryEntry(valid64);
  const std::size_t table = Get32(valid64, table_entry);

  // Unsigned bytes in the certificate table: inside the first certificate
  // (its length grows over them) and after it.
  Bytes inside = valid64;
  inside.insert(inside.end(), {0, 0, 0, 0, 0, 0, 0, 0x5a});
  Put32(inside, table_entry + 4, Get32(inside, table_entry + 4) + 8);
  Put32(inside, table, Get32(inside, table) + 8);
  Bytes after = inside;
  Put32(after, table, Get32(after, table) - 8);

  const auto legacy_timestamp = [&](PKCS7* p7, PKCS7_SIGNER_INFO* si) {
    AddLegacyTimestamp(p7, si, pki_->tsa);
  };
  const auto duplicate_digest = [](PKCS7*, PKCS7_SIGNER_INFO* si) {
    const int at = X509at_get_attr_by_NID(si->auth_attr, NID_pkcs9_messageDigest, -1);
    sk_X509_ATTRIBUTE_push(si->auth_attr, X509_ATTRIBUTE_dup(sk_X509_ATTRIBUTE_value(si->auth_attr, at)));
  };
  const auto two_digest_values = [](PKCS7*, PKCS7_SIGNER_INFO* si) {
    X509_ATTRIBUTE* attribute =
        sk_X509_ATTRIBUTE_value(si->auth_attr, X509at_get_attr_by_NID(si->auth_attr, NID_pkcs9_messageDigest, -1));
    const ASN1_TYPE* first = X509_ATTRIBUTE_get0_type(attribute, 0);
    X509_ATTRIBUTE_set1_data(attribute, V_ASN1_OCTET_STRING, first->value.octet_string->data,
                             first->value.octet_string->length);
  };
  const auto no_attributes = [](PKCS7*, PKCS7_SIGNER_INFO* si) {
    sk_X509_ATTRIBUTE_pop_free(si->auth_attr, X509_ATTRIBUTE_free);
    si->auth_attr = nullptr;
  };
  const auto token_with_attribute_certificate = [](PKCS7* p7, PKCS7_SIGNER_INFO*) {
    ASN1_STRING* token = TokenOf(p7);
    const Bytes changed = WithAttributeCertificate(Bytes(token->data, token->data + token->length));
    ASN1_STRING_set(token, changed.data(), static_cast<int>(changed.size()));
  };
  const auto unchanged = [](PKCS7*, PKCS7_SIGNER_INFO*) {};
  // The token signed again, over the same TSTInfo, by `tsa`.
  const auto timestamped_by = [&](const PkiIdentity& tsa) {
    return exelore_test::RewriteSignature(expired_ts, [&](PKCS7* p7) {
      ASN1_STRING* token = TokenOf(p7);
      const unsigned char* p = token->data;
      CmsPtr old(d2i_CMS_ContentInfo(nullptr, &p, token->length));
      ASN1_OCTET_STRING* tst = *CMS_get0_content(old.get());
      auto cert = LoadCertificate(tsa.cert);
      KeyPtr key = LoadPrivateKey(tsa.key);
      exelore_posix::ossl::BioPtr in(BIO_new_mem_buf(tst->data, tst->length));
      CmsPtr signed_again(CMS_sign(cert.get(), key.get(), nullptr, nullptr,
                                   CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP));
      CMS_set1_eContentType(signed_again.get(), OBJ_nid2obj(NID_id_smime_ct_TSTInfo));
      CMS_add1_cert(signed_again.get(), LoadCertificate(pki_->intermediate.cert).get());
      ASSERT_EQ(CMS_final(signed_again.get(), in.get(), nullptr, CMS_BINARY), 1);
      unsigned char* der = nullptr;
      const int length = i2d_CMS_ContentInfo(signed_again.get(), &der);
      ASN1_STRING_set(token, der, length);
      OPENSSL_free(der);
    });
  };

  struct Case {
    const char* what;
    Bytes image;
    std::string line;
  };
  const Case cases[] = {
      {"valid PE32+", valid64, kSigner + " (verified)"},
      {"valid PE32", valid32, kSigner + " (verified)"},
      {"table moved over the sections, PE32+",
       MoveTableOverSections(valid64, sections64.front(), attacker64), kNone},
      {"table moved over the sections, PE32",
       MoveTableOverSections(valid32, sections32.front(), attacker32), kNone},
      {"table between two sections", MoveTableOverSections(valid64, sections64.back(), attacker64),
       kNone},
      {"serial twin before the signer", WithCertificate(high_serial, pki_->serial_twin, true),
       "PublisherName: Mallory Twin (UNVERIFIED)"},
      {"serial twin after the signer", WithCertificate(high_serial, pki_->serial_twin, false),
       "PublisherName: ExeLore High Serial Signer (verified)"},
      {"RSA-512 signer", Signed(pki_->signer_rsa512), "PublisherName: ExeLore RSA-512 Signer (UNVERIFIED)"},
      {"RSA-512 intermediate", Signed(pki_->signer_weak_issuer),
       "PublisherName: ExeLore Signer Under RSA-512 (UNVERIFIED)"},
      {"RSA-1024 signer", Signed(pki_->signer_rsa1024), "PublisherName: ExeLore RSA-1024 Signer (verified)"},
      {"expired, timestamped", expired_ts, "PublisherName: ExeLore Expired Signer (verified)"},
      {"expired lifetime signer, timestamped",
       Signed(pki_->signer_lifetime_expired, true, &pki_->tsa, TestPki::kInsideExpiredValidity),
       "PublisherName: ExeLore Lifetime Signer (UNVERIFIED)"},
      {"timestamp signed again by the TSA", timestamped_by(pki_->tsa),
       "PublisherName: ExeLore Expired Signer (verified)"},
      {"timestamp by a certificate without the usage", timestamped_by(pki_->tsa_no_eku),
       "PublisherName: ExeLore Expired Signer (UNVERIFIED)"},
      {"signed again unchanged", Resigned(valid64, pki_->signer.key, unchanged), kSigner + " (verified)"},
      {"two messageDigest attributes", Resigned(valid64, pki_->signer.key, duplicate_digest),
       kSigner + " (UNVERIFIED)"},
      {"messageDigest with two values", Resigned(valid64, pki_->signer.key, two_digest_values),
       kSigner + " (UNVERIFIED)"},
      {"no authenticated attributes", Resigned(valid64, pki_->signer.key, no_attributes),
       kSigner + " (UNVERIFIED)"},
      {"non-zero byte inside the certificate", inside, kNone},
      {"non-zero byte after the certificate", after, kNone},
      {"legacy countersignature naming id-data",
       exelore_test::RewriteSignature(Signed(pki_->signer_expired),
                                      [&](PKCS7* p7) {
                                        legacy_timestamp(p7, sk_PKCS7_SIGNER_INFO_value(
                                                                 PKCS7_get_signer_info(p7), 0));
                                      }),
       "PublisherName: ExeLore Expired Signer (verified)"},
      {"RFC 3161 token with an attribute certificate",
       exelore_test::RewriteSignature(expired_ts,
                                      [&](PKCS7* p7) {
                                        token_with_attribute_certificate(
                                            p7, sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0));
                                      }),
       "PublisherName: ExeLore Expired Signer (verified)"},
      {"anchor without basicConstraints", Signed(pki_->signer_old_root),
       "PublisherName: ExeLore Old Root Signer (verified)"},
      {"intermediate without basicConstraints", Signed(pki_->signer_non_ca),
       "PublisherName: ExeLore Under Not A CA (UNVERIFIED)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(PublisherLine(Put("case.exe", c.image)), c.line);
  }
}

// The moved-table layouts are refused by osslsigncode too, and no byte flip
// anywhere in them makes one verify.
TEST_F(TrustRules, NoFlipMakesAMovedTableVerify) {
  for (const bool pe32plus : {true, false}) {
    SCOPED_TRACE(pe32plus ? "PE32+" : "PE32");
    const Bytes valid = Signed(pki_->signer, pe32plus);
    const auto sections = SectionOffsets(valid);
    for (const std::size_t at : {sections.front(), sections.back()}) {
      const Bytes moved = MoveTableOverSections(valid, at, Unsigned(pe32plus, u"Mallory Corp"));
      EXPECT_FALSE(exelore_test::OsslsigncodeVerifies(Put("moved.exe", moved), pki_->root.cert));
      for (std::size_t flip = 0; flip < moved.size(); flip += 5) {
        Bytes copy = moved;
        copy[flip] ^= 0x20;
        EXPECT_FALSE(PublisherLine(Put("flip.exe", copy)).ends_with("(verified)")) << flip;
      }
    }
  }
}

TEST_F(TrustRules, CatalogsFollowTheSameRules) {
  exelore_test::PeLayout layout;
  const Bytes member = exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(), true,
                                                        0x0409, &layout);
  CatalogOptions options;
  options.entries = {exelore_test::EntryFor(exelore_test::UnsignedImageHash(member, layout))};
  // A "certificate table" of the attacker's bytes over the member's
  // sections, its own bytes after it: a hash that skips the table wherever
  // it lies still finds the member's entry.
  const Bytes attacker = Unsigned(true, u"Mallory Corp");
  const std::size_t at = SectionOffsets(member).front();
  Bytes covering(member.begin(), member.begin() + static_cast<long>(at));
  covering.insert(covering.end(), attacker.begin() + static_cast<long>(at), attacker.end());
  covering.insert(covering.end(), member.begin() + static_cast<long>(at), member.end());
  const std::size_t entry = exelore_test::SecurityDirectoryEntry(covering);
  Put32(covering, entry, static_cast<std::uint32_t>(at));
  Put32(covering, entry + 4, static_cast<std::uint32_t>(member.size() - at));

  struct Case {
    const char* what;
    Bytes catalog;
    Bytes file;
    std::string line;
  };
  const Bytes high_serial = exelore_test::BuildCatalog(options, pki_->signer_high_serial);
  const Case cases[] = {
      {"listed member", exelore_test::BuildCatalog(options, pki_->signer), member,
       "PublisherName: ExeLore Test Signer (verified)"},
      {"table over the member's sections", exelore_test::BuildCatalog(options, pki_->signer),
       covering, kNone},
      {"serial twin before the signer", WithCatalogCertificate(high_serial, true), member,
       "PublisherName: Mallory Twin (UNVERIFIED)"},
      {"serial twin after the signer", WithCatalogCertificate(high_serial, false), member,
       "PublisherName: ExeLore High Serial Signer (verified)"},
      {"RSA-512 signer", exelore_test::BuildCatalog(options, pki_->signer_rsa512), member,
       "PublisherName: ExeLore RSA-512 Signer (UNVERIFIED)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    exelore_test::WriteFile(catroot_ + "/case.cat", c.catalog);
    EXPECT_EQ(PublisherLine(Put("member.exe", c.file)), c.line);
  }
}

// A timestamp that fails is reported only for an intact subject: a changed
// file is TRUST_E_BAD_DIGEST whatever its timestamp, for an embedded
// signature and for a catalog alike.
TEST_F(TrustRules, TimestampFailsOnlyAfterTheHashMatches) {
  exelore_test::PeLayout layout;
  const Bytes member = exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(), true,
                                                        0x0409, &layout);
  CatalogOptions options;
  options.entries = {exelore_test::EntryFor(exelore_test::UnsignedImageHash(member, layout))};
  Bytes catalog = exelore_test::BuildCatalog(options, pki_->signer);
  {
    const unsigned char* p = catalog.data();
    exelore_posix::ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(catalog.size())));
    AddLegacyTimestamp(p7.get(), sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0),
                       pki_->tsa_no_eku);
    catalog = exelore_posix::authenticode::Encoded(p7.get(), i2d_PKCS7);
  }
  const std::string catalog_path = Put("stamped.cat", catalog);
  const Bytes embedded = exelore_test::RewriteSignature(Signed(pki_->signer), [&](PKCS7* p7) {
    AddLegacyTimestamp(p7, sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0), pki_->tsa_no_eku);
  });
  const auto changed = [](Bytes image) {
    image[SectionOffsets(image).front() + 16] ^= 0x01;
    return image;
  };
  const std::u16string tag = exelore_test::HexTag(exelore_test::UnsignedImageHash(member, layout));
  for (const bool intact : {true, false}) {
    SCOPED_TRACE(intact ? "intact" : "changed");
    const LONG expected = intact ? TRUST_E_TIME_STAMP : TRUST_E_BAD_DIGEST;
    const std::string file = Put("embedded.exe", intact ? embedded : changed(embedded));
    EXPECT_EQ(exelore_test::VerifyFile(file).status, expected);
    const std::string listed = Put("listed.exe", intact ? member : changed(member));
    EXPECT_EQ(exelore_test::VerifyCatalogMember(exelore_posix::BytesToUtf16(catalog_path), tag,
                                                exelore_posix::BytesToUtf16(listed))
                  .verdict.status,
              expected);
  }
}

// Trust as a mounted Windows installation decides it: its SOFTWARE hive's
// machine certificate stores (ROOT and AuthRoot anchors, CA intermediates,
// Disallowed distrust), in hives written by test code, each case judged by
// WinVerifyTrust and by the publisher line of `exelore /c` with SystemRoot
// naming the installation.
TEST_F(TrustRules, WindowsVolumeStoresDecide) {
  const TestPki& pki = *pki_;
  const auto save = [](const std::string& name, const Bytes& image) {
    exelore_test::WriteFile(File(name), image);
    return File(name);
  };
  const std::string signed_file = save("signed.exe", Signed(pki.signer));
  const std::string untrusted = save("untrusted.exe", Signed(pki.untrusted_signer));
  const std::string stamped =
      save("stamped.exe", Signed(pki.signer, true, &pki.tsa, TestPki::kInsideExpiredValidity));
  // Signed with the leaf alone: the intermediate must come from elsewhere.
  const PkiIdentity leaf_alone{pki.signer.cert, pki.signer.key, pki.signer.cert};
  const std::string orphan = save("orphan.exe", Signed(leaf_alone));
  // An unsigned image that a catalog signed by the test signer lists.
  exelore_test::PeLayout layout;
  const Bytes member = exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(), true,
                                                        0x0409, &layout);
  const std::string catalogued = File("catalogued.exe");
  exelore_test::WriteFile(catalogued, member);
  exelore_test::CatalogOptions listing;
  listing.entries = {exelore_test::EntryFor(exelore_test::UnsignedImageHash(member, layout))};
  const Bytes catalog = exelore_test::BuildCatalog(listing, pki.signer);

  const auto truncate = [](std::size_t keep) {
    return [keep](Bytes b) { return Bytes(b.begin(), b.begin() + static_cast<long>(keep)); };
  };
  const auto length_ff = [](Bytes b) {  // the first record claims 4 GiB
    exelore_test::Put32(b, 8, 0xFFFFFFFF);
    return b;
  };
  const auto twice = [](Bytes b) {  // the certificate's record repeated
    Bytes again = b;
    b.insert(b.end(), again.begin(), again.end());
    return b;
  };
  const auto trailing = [](Bytes b) {  // bytes after the certificate inside its record
    exelore_test::Put32(b, 8, exelore_test::Get32(b, 8) + 2);
    b.push_back(0);
    b.push_back(0);
    return b;
  };
  const auto bad_usage = [](Bytes b) {  // a usage property that is no OID list
    Bytes prefix = {9, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0x04, 0x01, 0x00};
    prefix.insert(prefix.end(), b.begin(), b.end());
    return prefix;
  };

  constexpr LONG kOk = S_OK;
  const std::string kVerified = "PublisherName: ExeLore Test Signer (verified)";
  const std::string kUnverified = "PublisherName: ExeLore Test Signer (UNVERIFIED)";
  const std::string kUntrustedVerified = "PublisherName: ExeLore Untrusted Signer (verified)";
  const std::string kUntrustedUnverified = "PublisherName: ExeLore Untrusted Signer (UNVERIFIED)";
  struct Case {
    std::string name;
    std::vector<StoreEntry> entries;
    std::string file;
    LONG status;
    std::string line;
    std::function<Bytes(Bytes)> damage_hive = nullptr;
    bool no_hive = false;
  };
  const std::vector<Case> cases = {
      // Without a hive, trust is the machine's own.
      {"no hive, trusted", {}, signed_file, kOk, kVerified, nullptr, true},
      {"no hive, foreign root", {}, untrusted, CERT_E_UNTRUSTEDROOT, kUntrustedUnverified, nullptr, true},
      {"no hive, no intermediate", {}, orphan, CERT_E_CHAINING, kUnverified, nullptr, true},
      {"empty hive", {}, untrusted, CERT_E_UNTRUSTEDROOT, kUntrustedUnverified},
      // Anchors from each place Windows keeps them.
      {"ROOT", {{kMachine, "ROOT", pki.untrusted_root.cert}}, untrusted, kOk, kUntrustedVerified},
      {"AuthRoot", {{kMachine, "AuthRoot", pki.untrusted_root.cert}}, untrusted, kOk, kUntrustedVerified},
      {"policy ROOT", {{kPolicy, "ROOT", pki.untrusted_root.cert}}, untrusted, kOk, kUntrustedVerified},
      {"enterprise ROOT", {{kEnterprise, "Root", pki.untrusted_root.cert}}, untrusted, kOk,
       kUntrustedVerified},
      {"CA store is no anchor", {{kMachine, "CA", pki.untrusted_root.cert}}, untrusted,
       CERT_E_UNTRUSTEDROOT, kUntrustedUnverified},
      // A usage property on the root.
      {"root for code signing", {{kMachine, "ROOT", pki.untrusted_root.cert, {{kCodeSigning}}}},
       untrusted, kOk, kUntrustedVerified},
      {"root for servers only", {{kMachine, "ROOT", pki.untrusted_root.cert, {{kServerAuth}}}},
       untrusted, CERT_E_WRONG_USAGE, kUntrustedUnverified},
      {"root for nothing", {{kMachine, "ROOT", pki.untrusted_root.cert, {{}}}}, untrusted,
       CERT_E_WRONG_USAGE, kUntrustedUnverified},
      {"root not for time stamping", {{kMachine, "ROOT", pki.root.cert, {{kCodeSigning}}}}, stamped,
       TRUST_E_TIME_STAMP, kUnverified},
      // Intermediates.
      {"intermediate from CA", {{kMachine, "CA", pki.intermediate.cert}}, orphan, kOk, kVerified},
      // Distrust, wherever it is kept and wherever it strikes.
      {"signer disallowed", {{kMachine, "Disallowed", pki.signer.cert}}, signed_file,
       TRUST_E_EXPLICIT_DISTRUST, kUnverified},
      {"intermediate disallowed", {{kPolicy, "Disallowed", pki.intermediate.cert}}, signed_file,
       TRUST_E_EXPLICIT_DISTRUST, kUnverified},
      {"root disallowed", {{kEnterprise, "Disallowed", pki.root.cert}}, signed_file,
       TRUST_E_EXPLICIT_DISTRUST, kUnverified},
      {"TSA disallowed", {{kMachine, "Disallowed", pki.tsa.cert}}, stamped, TRUST_E_EXPLICIT_DISTRUST,
       kUnverified},
      {"disallowed beats an untrusted root", {{kMachine, "Disallowed", pki.untrusted_signer.cert}},
       untrusted, TRUST_E_EXPLICIT_DISTRUST, kUntrustedUnverified},
      {"disallowed beats the volume's anchor",
       {{kMachine, "ROOT", pki.untrusted_root.cert}, {kMachine, "Disallowed", pki.untrusted_root.cert}},
       untrusted, TRUST_E_EXPLICIT_DISTRUST, kUntrustedUnverified},
      {"catalog signer disallowed", {{kMachine, "Disallowed", pki.signer.cert}}, catalogued,
       TRUST_E_EXPLICIT_DISTRUST, kUnverified},
      // Damaged blobs count as absent: the distrust they carry is lost.
      {"blob cut in its header", {{kMachine, "Disallowed", pki.signer.cert, {}, truncate(10)}},
       signed_file, kOk, kVerified},
      {"blob cut in its certificate", {{kMachine, "Disallowed", pki.signer.cert, {}, truncate(200)}},
       signed_file, kOk, kVerified},
      {"blob length past its end", {{kMachine, "Disallowed", pki.signer.cert, {}, length_ff}},
       signed_file, kOk, kVerified},
      {"blob with two certificates", {{kMachine, "Disallowed", pki.signer.cert, {}, twice}},
       signed_file, kOk, kVerified},
      {"certificate with trailing bytes", {{kMachine, "Disallowed", pki.signer.cert, {}, trailing}},
       signed_file, kOk, kVerified},
      {"undecodable usage", {{kMachine, "ROOT", pki.untrusted_root.cert, {}, bad_usage}}, untrusted,
       CERT_E_UNTRUSTEDROOT, kUntrustedUnverified},
      // A damaged hive counts as absent.
      {"hive cut in half", {{kMachine, "Disallowed", pki.signer.cert}}, signed_file, kOk, kVerified,
       [](Bytes b) { return Bytes(b.begin(), b.begin() + static_cast<long>(b.size() / 2)); }},
      {"hive checksum broken", {{kMachine, "Disallowed", pki.signer.cert}}, signed_file, kOk, kVerified,
       [](Bytes b) {
         b[0x30] ^= 1;
         return b;
       }},
      {"not a hive", {}, untrusted, CERT_E_UNTRUSTEDROOT, kUntrustedUnverified,
       [](Bytes b) { return Bytes(b.size(), 0x42); }},
  };

  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each case is its own installation, its folder names in other letter
    // cases than Windows writes them.
    const std::string root = File("volume" + std::to_string(n++));
    std::filesystem::create_directories(root + "/SYSTEM32/Config");
    std::filesystem::create_directories(root + "/" + kCatRoot);
    exelore_test::WriteFile(root + "/" + kCatRoot + "/listing.cat", catalog);
    if (!c.no_hive) {
      std::vector<HiveValue> values;
      for (const StoreEntry& e : c.entries) values.push_back(ValueFor(e));
      const std::string hive = root + "/SYSTEM32/Config/software";
      exelore_test::WriteHive(hive, values);
      if (c.damage_hive) exelore_test::WriteFile(hive, c.damage_hive(exelore_test::ReadFile(hive)));
    }

    setenv("SystemRoot", root.c_str(), 1);
    if (c.file != catalogued) {
      EXPECT_EQ(exelore_test::VerifyFile(c.file).status, c.status);
    } else {
      const auto run = exelore_test::VerifyCatalogMember(
          exelore_posix::BytesToUtf16(root + "/" + kCatRoot + "/listing.cat"),
          exelore_test::HexTag(exelore_test::UnsignedImageHash(member, layout)),
          exelore_posix::BytesToUtf16(c.file));
      EXPECT_EQ(run.verdict.status, c.status);
    }
    const auto result = exelore_test::RunProcess({EXELORE_BINARY, "/c", c.file},
                                                 {"SystemRoot=" + root});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(ReportedPublisher(result.out), c.line);
  }
  setenv("SystemRoot", File("windows").c_str(), 1);
}

// Every prefix of a blob and every length patched to 0xFFFFFFFF reads as
// nothing or as what the whole blob holds, never past its end.
TEST_F(TrustRules, StoreBlobReaderStaysInsideItsBytes) {
  const std::vector<std::string> usages = {kCodeSigning};
  const Bytes der = exelore_test::CertificateDer(pki_->root.cert);
  const Bytes blob = exelore_test::SerializedCertificate(der, &usages);
  for (std::size_t keep = 0; keep < blob.size(); ++keep) {
    SCOPED_TRACE(keep);
    const Bytes prefix(blob.begin(), blob.begin() + static_cast<long>(keep));
    EXPECT_FALSE(exelore_posix::registry::ReadSerializedCertificate(prefix));
  }
  for (std::size_t at = 0; at + 4 <= blob.size(); at += 4) {
    Bytes patched = blob;
    exelore_test::Put32(patched, at, 0xFFFFFFFF);
    const auto read = exelore_posix::registry::ReadSerializedCertificate(patched);
    if (read) {
      EXPECT_LE(read->certificate.data() + read->certificate.size(), patched.data() + patched.size());
    }
  }
  const auto whole = exelore_posix::registry::ReadSerializedCertificate(blob);
  ASSERT_TRUE(whole);
  EXPECT_EQ(Bytes(whole->certificate.begin(), whole->certificate.end()), der);
  ASSERT_TRUE(whole->enhanced_key_usage);
}

}  // namespace

// Conformance tests of the crypt32 stand-in: CryptQueryObject on files,
// CryptMsgGetParam's signer information, CertFindCertificateInStore and
// CertGetNameStringW, stated as Windows behaves.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <wincrypt.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "authenticode/signed_data.h"
#include "ossl.h"
#include "pe_builder.h"
#include "process.h"
#include "test_pki.h"
#include "text.h"

namespace {

using exelore_test::TestPki;
constexpr DWORD kSentinel = 0xdeadbeef;
void* const kSentinelPtr = reinterpret_cast<void*>(0xdeadbeef);

std::vector<std::uint8_t> SubjectDer(const std::string& pem_path) {
  const auto der = exelore_test::CertificateDer(pem_path);
  const unsigned char* p = der.data();
  const exelore_posix::ossl::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  return exelore_posix::authenticode::NameDer(X509_get_subject_name(x.get()));
}

class Crypt32Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new exelore_test::TempDir;
    pki_ = &exelore_test::SharedTestPki();
    exelore_test::WriteFile(dir_->File("unsigned.exe"),
                            exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo()));
    ASSERT_EQ(exelore_test::OsslsigncodeSign(dir_->File("unsigned.exe"), dir_->File("signed.exe"),
                                             pki_->signer, "sha256"),
              "");
    const auto r =
        exelore_test::RunProcess({"/usr/bin/osslsigncode", "extract-signature", "-in",
                                  dir_->File("signed.exe"), "-out", dir_->File("sig.p7")});
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::u16string Wide(const std::string& name) {
    return exelore_posix::BytesToUtf16(dir_->File(name));
  }

  static exelore_test::TempDir* dir_;
  static const TestPki* pki_;
};
exelore_test::TempDir* Crypt32Test::dir_ = nullptr;
const TestPki* Crypt32Test::pki_ = nullptr;

TEST_F(Crypt32Test, CryptQueryObjectPerFileAndExpectedContent) {
  std::filesystem::create_directories(dir_->File("folder"));
  const DWORD embed = CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED;
  const DWORD signed_file = CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED;
  const struct {
    std::string file;
    DWORD expected;
    BOOL result;
    DWORD error_or_content;  // last error on failure, content type on success
  } cases[] = {
      {"signed.exe", embed, TRUE, CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED},
      {"signed.exe", embed | signed_file, TRUE, CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED},
      {"signed.exe", signed_file, FALSE, static_cast<DWORD>(CRYPT_E_NO_MATCH)},
      {"sig.p7", signed_file, TRUE, CERT_QUERY_CONTENT_PKCS7_SIGNED},
      {"sig.p7", embed | signed_file, TRUE, CERT_QUERY_CONTENT_PKCS7_SIGNED},
      {"sig.p7", embed, FALSE, static_cast<DWORD>(CRYPT_E_NO_MATCH)},
      {"unsigned.exe", embed | signed_file, FALSE, static_cast<DWORD>(CRYPT_E_NO_MATCH)},
      {"missing.exe", embed, FALSE, ERROR_FILE_NOT_FOUND},
      {"no-folder/x.exe", embed, FALSE, ERROR_PATH_NOT_FOUND},
      {"folder", embed, FALSE, ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + " " + std::to_string(c.expected));
    const std::u16string path = Wide(c.file);
    DWORD encoding = kSentinel, content = kSentinel, format = kSentinel;
    HCERTSTORE store = kSentinelPtr;
    HCRYPTMSG msg = kSentinelPtr;
    SetLastError(kSentinel);
    const BOOL ok = CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), c.expected,
                                     CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format,
                                     &store, &msg, nullptr);
    ASSERT_EQ(ok, c.result);
    if (!ok) {
      EXPECT_EQ(GetLastError(), c.error_or_content);
      EXPECT_EQ(encoding, kSentinel);
      EXPECT_EQ(store, kSentinelPtr);
      EXPECT_EQ(msg, kSentinelPtr);
      continue;
    }
    EXPECT_EQ(content, c.error_or_content);
    EXPECT_EQ(encoding, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING);
    EXPECT_EQ(format, CERT_QUERY_FORMAT_BINARY);
    EXPECT_TRUE(CertCloseStore(store, 0));
    EXPECT_TRUE(CryptMsgClose(msg));
  }
}

TEST_F(Crypt32Test, SignerInfoFindAndNameThroughTheProgramsPath) {
  const std::u16string path = Wide("signed.exe");
  HCERTSTORE store = nullptr;
  HCRYPTMSG msg = nullptr;
  ASSERT_TRUE(CryptQueryObject(
      CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
      CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &msg, nullptr));

  // Two-call protocol.
  DWORD size = kSentinel;
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size));
  ASSERT_GT(size, sizeof(CMSG_SIGNER_INFO));
  std::vector<BYTE> small(size - 1);
  DWORD small_size = size - 1;
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, small.data(), &small_size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(small_size, size);
  DWORD out_of_range = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 1, nullptr, &out_of_range));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_INDEX));

  std::vector<BYTE> buffer(size, 0xcc);
  ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size));
  const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
  const auto inside = [&](const void* p) {
    return p >= buffer.data() && p < buffer.data() + buffer.size();
  };
  EXPECT_EQ(info->dwVersion, 1u);
  const auto issuer = SubjectDer(pki_->intermediate.cert);
  ASSERT_TRUE(inside(info->Issuer.pbData));
  EXPECT_EQ(std::vector<BYTE>(info->Issuer.pbData, info->Issuer.pbData + info->Issuer.cbData),
            issuer);
  // Serial 0x1001, least significant byte first.
  EXPECT_EQ(std::vector<BYTE>(info->SerialNumber.pbData,
                              info->SerialNumber.pbData + info->SerialNumber.cbData),
            (std::vector<BYTE>{0x01, 0x10}));
  EXPECT_STREQ(info->HashAlgorithm.pszObjId, "2.16.840.1.101.3.4.2.1");
  EXPECT_TRUE(inside(info->HashEncryptionAlgorithm.pszObjId));
  EXPECT_GT(info->EncryptedHash.cbData, 60u);
  bool has_message_digest = false;
  for (DWORD i = 0; i < info->AuthAttrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& a = info->AuthAttrs.rgAttr[i];
    if (std::strcmp(a.pszObjId, "1.2.840.113549.1.9.4") != 0) continue;
    has_message_digest = true;
    ASSERT_EQ(a.cValue, 1u);
    EXPECT_EQ(a.rgValue[0].pbData[0], 0x04);  // DER OCTET STRING
    EXPECT_EQ(a.rgValue[0].cbData, 34u);
  }
  EXPECT_TRUE(has_message_digest);
  EXPECT_EQ(info->UnauthAttrs.cAttr, 0u);

  // Found by issuer and serial; the serial also with a sign-extension byte.
  CERT_INFO wanted{};
  wanted.Issuer = info->Issuer;
  wanted.SerialNumber = info->SerialNumber;
  PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                   0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(std::vector<BYTE>(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded),
            exelore_test::CertificateDer(pki_->signer.cert));
  const std::uint64_t not_before =
      (static_cast<std::uint64_t>(cert->pCertInfo->NotBefore.dwHighDateTime) << 32) |
      cert->pCertInfo->NotBefore.dwLowDateTime;
  EXPECT_EQ(not_before,
            (static_cast<std::uint64_t>(TestPki::kNotBefore) + 11644473600ull) * 10000000ull);

  BYTE padded_serial[] = {0x01, 0x10, 0x00, 0x00};
  BYTE other_serial[] = {0x02, 0x10};
  const struct {
    CRYPT_INTEGER_BLOB serial;
    bool found;
  } serials[] = {{{4, padded_serial}, true}, {{2, other_serial}, false}};
  for (const auto& s : serials) {
    CERT_INFO probe = wanted;
    probe.SerialNumber = s.serial;
    SetLastError(kSentinel);
    PCCERT_CONTEXT c = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                  CERT_FIND_SUBJECT_CERT, &probe, nullptr);
    EXPECT_EQ(c != nullptr, s.found);
    if (c == nullptr) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    }
    CertFreeCertificateContext(c);
  }

  // The program's release order: message, store, then the context, which
  // stays usable until it is freed.
  EXPECT_TRUE(CryptMsgClose(msg));
  EXPECT_TRUE(CertCloseStore(store, 0));
  WCHAR name[64];
  EXPECT_EQ(CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 64), 20u);
  EXPECT_EQ(std::u16string(name), u"ExeLore Test Signer");
  EXPECT_EQ(CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr,
                               name, 64),
            29u);
  EXPECT_EQ(std::u16string(name), u"ExeLore Test Intermediate CA");
  // Size query and truncation: the count includes the terminating zero.
  EXPECT_EQ(CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0), 20u);
  WCHAR tiny[5] = {u'x', u'x', u'x', u'x', u'x'};
  EXPECT_EQ(CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, tiny, 5), 5u);
  EXPECT_EQ(std::u16string(tiny), u"ExeL");
  EXPECT_TRUE(CertFreeCertificateContext(cert));
}

// A certificate whose subject is built entry by entry with raw string types.
struct NameEntry {
  const char* field;
  int type;  // V_ASN1_* string type, or MBSTRING_UTF8
  std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> CertWithSubject(const std::vector<NameEntry>& entries, const char* san) {
  const exelore_posix::ossl::X509Ptr owner(X509_new());
  const exelore_posix::ossl::KeyPtr key_owner(EVP_EC_gen("P-256"));
  X509* x = owner.get();
  EVP_PKEY* key = key_owner.get();
  X509_NAME* name = X509_get_subject_name(x);
  for (const NameEntry& e : entries) {
    X509_NAME_add_entry_by_txt(name, e.field, e.type, e.bytes.data(),
                               static_cast<int>(e.bytes.size()), -1, 0);
  }
  X509_set_issuer_name(x, name);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 7);
  ASN1_TIME_set(X509_getm_notBefore(x), TestPki::kNotBefore);
  ASN1_TIME_set(X509_getm_notAfter(x), TestPki::kNotAfter);
  X509_set_pubkey(x, key);
  if (san != nullptr) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san);
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(x, key, EVP_sha256());
  return exelore_posix::authenticode::Encoded(x, i2d_X509);
}

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(CertGetNameStringW, SimpleDisplayNameChoiceAndStringTypes) {
  const struct {
    const char* what;
    std::vector<NameEntry> subject;
    const char* san;
    std::u16string expected;
  } cases[] = {
      {"first CN in encoded order",
       {{"O", MBSTRING_UTF8, Bytes("Org")},
        {"CN", MBSTRING_UTF8, Bytes("One")},
        {"CN", MBSTRING_UTF8, Bytes("Two")}},
       nullptr,
       u"One"},
      {"OU before O",
       {{"O", MBSTRING_UTF8, Bytes("Org")}, {"OU", MBSTRING_UTF8, Bytes("Unit")}},
       nullptr,
       u"Unit"},
      {"O",
       {{"C", MBSTRING_UTF8, Bytes("DE")}, {"O", MBSTRING_UTF8, Bytes("Org")}},
       nullptr,
       u"Org"},
      {"e-mail attribute",
       {{"C", MBSTRING_UTF8, Bytes("DE")},
        {"emailAddress", V_ASN1_IA5STRING, Bytes("a@b.example")}},
       "email:san@b.example",
       u"a@b.example"},
      {"alternative name rfc822Name",
       {{"C", MBSTRING_UTF8, Bytes("DE")}},
       "DNS:x.example,email:san@b.example",
       u"san@b.example"},
      {"first attribute",
       {{"C", MBSTRING_UTF8, Bytes("DE")}, {"L", MBSTRING_UTF8, Bytes("Berlin")}},
       "DNS:x.example",
       u"DE"},
      {"nothing", {}, nullptr, u""},
      {"BMPString", {{"CN", V_ASN1_BMPSTRING, {0x20, 0xAC, 0x00, 0x41}}}, nullptr, u"\u20ACA"},
      {"UniversalString above the BMP",
       {{"CN", V_ASN1_UNIVERSALSTRING, {0, 1, 0xF6, 0x00, 0, 0, 0, 0x42}}},
       nullptr,
       u"\U0001F600B"},
      {"UTF8String", {{"CN", V_ASN1_UTF8STRING, {'Z', 'o', 0xC3, 0xAB}}}, nullptr, u"Zo\u00EB"},
      {"T61String bytes as Latin-1", {{"CN", V_ASN1_T61STRING, {'A', 0xE9}}}, nullptr, u"A\u00E9"},
      {"PrintableString", {{"CN", V_ASN1_PRINTABLESTRING, Bytes("Plain")}}, nullptr, u"Plain"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto der = CertWithSubject(c.subject, c.san);
    CERT_CONTEXT context{};
    context.dwCertEncodingType = X509_ASN_ENCODING;
    context.pbCertEncoded = der.data();
    context.cbCertEncoded = static_cast<DWORD>(der.size());
    EXPECT_EQ(CertGetNameStringW(&context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0),
              c.expected.size() + 1);
    std::vector<WCHAR> text(64, 0xbeef);
    EXPECT_EQ(
        CertGetNameStringW(&context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text.data(), 64),
        c.expected.size() + 1);
    EXPECT_EQ(std::u16string(text.data()), c.expected);
  }
}

TEST(CryptHandles, NullHandlesAreAccepted) {
  EXPECT_TRUE(CryptMsgClose(nullptr));
  EXPECT_TRUE(CertCloseStore(nullptr, 0));
  EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

}  // namespace

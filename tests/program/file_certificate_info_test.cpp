// FileCertificateInfo on files signed by osslsigncode with the test PKI: the
// states Initialize leaves, the answers and their caching, the debugger
// messages, and the publisher line of the report.
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <windows.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "pe_builder.h"
#include "process.h"
#include "report/application_report.h"
#include "report_text.h"
#include "signing.h"
#include "test_pki.h"
#include "testing.h"
#include "text.h"
#include "util/file_certificate_info.h"

namespace {

using exelore_test::BuildPeWithVersion;
using exelore_test::DefaultVersionInfo;
using exelore_test::TempDir;
using exelore_test::TestPki;

class FileCertificateInfoTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    pki_ = &exelore_test::SharedTestPki();
    exelore_test::UseTestAnchors(*pki_, pki_->root.cert);
  }
  static void TearDownTestSuite() { delete dir_; }

  // An unsigned fixture, and the same signed by `identity`.
  std::string Signed(const exelore_test::PkiIdentity& identity, const std::string& name,
                     const std::string& hash = "sha256") {
    const std::string unsigned_path = dir_->File(name + ".unsigned.exe");
    exelore_test::WriteFile(unsigned_path, BuildPeWithVersion(DefaultVersionInfo()));
    exelore_test::SignFile(identity, unsigned_path, dir_->File(name), hash);
    return dir_->File(name);
  }

  static TempDir* dir_;
  static const TestPki* pki_;
};
TempDir* FileCertificateInfoTest::dir_ = nullptr;
const TestPki* FileCertificateInfoTest::pki_ = nullptr;

struct Outcome {
  HRESULT initialize;
  HRESULT name_result;
  std::u16string name;
  HRESULT verify_result;  // only checked when the name was found
  bool verified;
  std::vector<std::u16string> debug_messages;
};

Outcome Examine(const std::string& path) {
  std::vector<std::u16string> messages;
  exelore_posix::testing::SetDebugOutputSink(
      [&](const std::u16string& text) { messages.push_back(text); });
  Outcome outcome{};
  {
    orvik_util::FileCertificateInfo info(exelore_posix::BytesToUtf16(path));
    outcome.initialize = info.Initialize();
    WideString name = u"untouched";
    outcome.name_result = info.GetPublisherName(name);
    outcome.name = name;
    bool verified = true;
    outcome.verify_result = info.VerifyTrust(verified);
    outcome.verified = verified;
    // Once initialised, a second Initialize does nothing, and the questions
    // answer from the cache.
    if (outcome.name_result != E_FAIL) {
      EXPECT_EQ(info.Initialize(), S_OK);
    }
    WideString again;
    if (SUCCEEDED(outcome.name_result)) {
      EXPECT_EQ(info.GetPublisherName(again), S_OK);
      EXPECT_EQ(again, outcome.name);
    }
  }
  exelore_posix::testing::SetDebugOutputSink(nullptr);
  outcome.debug_messages = messages;
  return outcome;
}

TEST_F(FileCertificateInfoTest, AnswersForEachKindOfFile) {
  if (!exelore_test::HaveOsslsigncode()) GTEST_SKIP() << "osslsigncode is not installed";
  exelore_test::WriteFile(dir_->File("unsigned.exe"), BuildPeWithVersion(DefaultVersionInfo()));
  const std::string valid = Signed(pki_->signer, "valid.exe");
  exelore_test::WriteFile(
      dir_->File("no-signer-cert.exe"),
      exelore_test::RewriteSignature(exelore_test::ReadFile(valid), [](PKCS7* p7) {
        // Leave only the intermediate: the signer's own certificate is gone.
        STACK_OF(X509)* certs = p7->d.sign->cert;
        for (int i = sk_X509_num(certs) - 1; i >= 0; --i) {
          X509* cert = sk_X509_value(certs, i);
          if (X509_check_ca(cert) == 0) X509_free(sk_X509_delete(certs, i));
        }
      }));
  auto tampered = exelore_test::ReadFile(valid);
  tampered[0x400] ^= 0x01;  // inside .text
  exelore_test::WriteFile(dir_->File("tampered.exe"), tampered);

  struct Case {
    const char* name;
    std::string path;
    Outcome expected;
  };
  const std::vector<Case> cases = {
      {"missing file",
       dir_->File("absent.exe"),
       {HResultFromWin32(ERROR_FILE_NOT_FOUND), E_FAIL, u"untouched", E_FAIL, true, {}}},
      {"unsigned file",
       dir_->File("unsigned.exe"),
       {CRYPT_E_NO_MATCH, CRYPT_E_NO_MATCH, u"untouched", 0, false, {}}},
      {"valid signature", valid, {S_OK, S_OK, u"ExeLore Test Signer", S_OK, true, {}}},
      {"signed with SHA-1",
       Signed(pki_->signer, "sha1.exe", "sha1"),
       {S_OK, S_OK, u"ExeLore Test Signer", S_OK, true, {}}},
      {"signer without a common name",
       Signed(pki_->signer_no_cn, "no-cn.exe"),
       {S_OK, S_OK, u"ExeLore Org Only", S_OK, true, {}}},
      {"untrusted root",
       Signed(pki_->untrusted_signer, "untrusted.exe"),
       {S_OK, S_OK, u"ExeLore Untrusted Signer", CERT_E_UNTRUSTEDROOT, false, {}}},
      {"expired signer",
       Signed(pki_->signer_expired, "expired.exe"),
       {S_OK, S_OK, u"ExeLore Expired Signer", CERT_E_EXPIRED, false, {}}},
      {"signer without code signing",
       Signed(pki_->signer_wrong_eku, "wrong-eku.exe"),
       {S_OK, S_OK, u"ExeLore Server Only", CERT_E_WRONG_USAGE, false, {}}},
      {"code changed after signing",
       dir_->File("tampered.exe"),
       {S_OK, S_OK, u"ExeLore Test Signer", TRUST_E_BAD_DIGEST, false, {}}},
      {"signer certificate missing from the signature",
       dir_->File("no-signer-cert.exe"),
       {S_OK,
        CRYPT_E_NO_MATCH,
        u"untouched",
        S_OK,
        false,
        {u"CertFindCertificateInStore failed with 2148081668"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = Examine(c.path);
    EXPECT_EQ(got.initialize, c.expected.initialize) << std::hex << got.initialize;
    EXPECT_EQ(got.name_result, c.expected.name_result) << std::hex << got.name_result;
    EXPECT_EQ(exelore_posix::Utf16ToUtf8(got.name), exelore_posix::Utf16ToUtf8(c.expected.name));
    EXPECT_EQ(got.verified, c.expected.verified);
    if (SUCCEEDED(c.expected.name_result)) {
      EXPECT_EQ(got.verify_result, c.expected.verify_result) << std::hex << got.verify_result;
    }
    EXPECT_EQ(got.debug_messages, c.expected.debug_messages);
  }
}

// The last line of the report, end to end through the executable.
TEST_F(FileCertificateInfoTest, ReportEndsWithThePublisherLine) {
  if (!exelore_test::HaveOsslsigncode()) GTEST_SKIP() << "osslsigncode is not installed";
  const std::string valid = Signed(pki_->signer, "line-valid.exe");
  auto tampered = exelore_test::ReadFile(valid);
  tampered[0x400] ^= 0x80;
  exelore_test::WriteFile(dir_->File("line-tampered.exe"), tampered);
  exelore_test::WriteFile(dir_->File("line-unsigned.exe"),
                          BuildPeWithVersion(DefaultVersionInfo()));
  struct Case {
    std::string path;
    std::string last_line;
  };
  const std::vector<Case> cases = {
      {valid, "PublisherName: ExeLore Test Signer (verified)"},
      {dir_->File("line-tampered.exe"), "PublisherName: ExeLore Test Signer (UNVERIFIED)"},
      {Signed(pki_->untrusted_signer, "line-untrusted.exe"),
       "PublisherName: ExeLore Untrusted Signer (UNVERIFIED)"},
      {dir_->File("line-unsigned.exe"), "PublisherName: "},
  };
  const std::string env = "SSL_CERT_FILE=" + pki_->root.cert;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto result = exelore_test::RunProcess({EXELORE_BINARY, "/c", c.path}, {env});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    const std::string expected =
        "Comments: \r\nInternalName: fixture\r\nProductName: ExeLore Fixture\r\n"
        "CompanyName: ExeLore Test Corp\r\nLegalCopyright: Copyright (C) ExeLore Test Corp\r\n"
        "ProductVersion: 1.0.0.0\r\nFileDescription: Fixture executable\r\n"
        "LegalTrademarks: \r\nPrivateBuild: \r\nFileVersion: 1.0.0.0\r\n"
        "OriginalFilename: fixture.exe\r\nSpecialBuild: \r\n" +
        c.last_line + "\r\n";
    EXPECT_EQ(result.out, expected);
  }
}

}  // namespace

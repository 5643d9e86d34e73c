// Signed files whose signature or certificate table is odd, end to end
// through the executable: the last line of the report says "(verified)" only
// for a signature that holds, and the first signature's first signer is the
// only one that counts.
#include <openssl/pkcs7.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pe_builder.h"
#include "process.h"
#include "signing.h"
#include "test_pki.h"

namespace {

using exelore_test::TempDir;
using namespace std::chrono_literals;

constexpr char kVerified[] = "PublisherName: ExeLore Test Signer (verified)\r\n";

class SignatureMatrix : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    pki_ = &exelore_test::SharedTestPki();
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override {
    if (!exelore_test::HaveOsslsigncode()) GTEST_SKIP() << "osslsigncode is not installed";
  }

  static std::string Sign(const exelore_test::PkiIdentity& identity, const std::string& name,
                          const std::vector<std::string>& extra = {}, const std::string& in = "") {
    const std::string source = in.empty() ? dir_->File("unsigned.exe") : in;
    if (in.empty()) {
      exelore_test::WriteFile(source,
                              exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo()));
    }
    exelore_test::SignFile(identity, source, dir_->File(name), "sha256", extra);
    return dir_->File(name);
  }

  // The last line of the report for `bytes`.
  static std::string LastLine(const std::vector<uint8_t>& bytes) {
    exelore_test::WriteFile(dir_->File("case.exe"), bytes);
    const auto result = exelore_test::RunProcess(
        {EXELORE_BINARY, "/c", dir_->File("case.exe")},
        {"SSL_CERT_FILE=" + pki_->root.cert, "SSL_CERT_DIR=" + pki_->ca_dir}, 20s);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(result.timed_out);
    const auto start = result.out.rfind("PublisherName: ");
    return start == std::string::npos ? result.out : result.out.substr(start);
  }

  static TempDir* dir_;
  static const exelore_test::TestPki* pki_;
};
TempDir* SignatureMatrix::dir_ = nullptr;
const exelore_test::TestPki* SignatureMatrix::pki_ = nullptr;

// The first WIN_CERTIFICATE of a signed image, header included.
std::vector<uint8_t> FirstCertificate(const std::vector<uint8_t>& image) {
  const std::size_t entry = exelore_test::SecurityDirectoryEntry(image);
  const uint32_t table = exelore_test::Get32(image, entry);
  const uint32_t length = exelore_test::Get32(image, table);
  return std::vector<uint8_t>(image.begin() + table, image.begin() + table + length);
}

// Damages the encrypted digest of signer `index`. The signers are a DER SET
// OF, sorted by their encoding when written, so the damage raises a byte
// (the copy sorts after the intact signer) or lowers one (it sorts before).
std::function<void(PKCS7*)> BreakSigner(int index, bool sort_after) {
  return [index, sort_after](PKCS7* p7) {
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), index);
    ASN1_OCTET_STRING* digest = si->enc_digest;
    unsigned char* data = const_cast<unsigned char*>(ASN1_STRING_get0_data(digest));
    for (int at = 10; at < ASN1_STRING_length(digest); ++at) {
      if (sort_after && data[at] != 0xFF) {
        data[at] = 0xFF;
        return;
      }
      if (!sort_after && data[at] != 0x00) {
        data[at] = 0x00;
        return;
      }
    }
  };
}

// A second signer: a copy of the first.
void DuplicateSigner(PKCS7* p7) {
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  auto* copy = static_cast<PKCS7_SIGNER_INFO*>(
      ASN1_item_dup(ASN1_ITEM_rptr(PKCS7_SIGNER_INFO), sk_PKCS7_SIGNER_INFO_value(signers, 0)));
  sk_PKCS7_SIGNER_INFO_push(signers, copy);
}

std::vector<uint8_t> WithLength(std::vector<uint8_t> certificate, uint32_t length) {
  exelore_test::Put32(certificate, 0, length);
  return certificate;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(SignatureMatrix, OnlyAHoldingFirstSignatureIsVerified) {
  const std::string valid = Sign(pki_->signer, "valid.exe");
  const auto image = exelore_test::ReadFile(valid);
  const auto certificate = FirstCertificate(image);
  const uint32_t length = static_cast<uint32_t>(certificate.size());
  using exelore_test::ReplaceCertificateTable;
  using exelore_test::RewriteSignature;

  // A nested signature by a signer nobody trusts, inside the valid one; and
  // the other way round.
  const std::string nested_untrusted =
      Sign(pki_->untrusted_signer, "nested-untrusted.exe", {"-nest"}, valid);
  const std::string untrusted = Sign(pki_->untrusted_signer, "untrusted.exe");
  const std::string nested_valid = Sign(pki_->signer, "nested-valid.exe", {"-nest"}, untrusted);

  auto trailing_garbage = certificate;
  trailing_garbage.insert(trailing_garbage.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0});
  trailing_garbage = WithLength(trailing_garbage, length + 8);
  auto x509_type = certificate;
  x509_type[6] = 0x01;  // WIN_CERT_TYPE_X509

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool verified;
  };
  const std::vector<Case> cases = {
      {"valid", image, true},
      {"zero padding after the signature",
       ReplaceCertificateTable(
           image, WithLength(Concat(certificate, std::vector<uint8_t>(64, 0)), length + 64)),
       true},
      {"garbage after the signature inside its certificate",
       ReplaceCertificateTable(image, trailing_garbage), false},
      {"bytes appended after the certificate table", Concat(image, {1, 2, 3, 4, 5, 6, 7, 8}),
       false},
      {"zero bytes appended after the certificate table", Concat(image, std::vector<uint8_t>(8, 0)),
       false},
      {"second certificate after a valid first one",
       ReplaceCertificateTable(image,
                               Concat(certificate, WithLength(trailing_garbage, length + 8))),
       true},
      {"directory larger than the file", ReplaceCertificateTable(image, certificate, length + 4096),
       false},
      {"directory smaller than the certificate",
       ReplaceCertificateTable(image, certificate, length - 8), false},
      {"certificate length past the table",
       ReplaceCertificateTable(image, WithLength(certificate, length + 8)), false},
      {"certificate length below its header",
       ReplaceCertificateTable(image, WithLength(certificate, 4)), false},
      {"certificate length huge",
       ReplaceCertificateTable(image, WithLength(certificate, 0xFFFFFFF0)), false},
      {"certificate of type X.509", ReplaceCertificateTable(image, x509_type), false},
      {"valid signature with a nested untrusted one", exelore_test::ReadFile(nested_untrusted),
       true},
      {"untrusted signature with a nested valid one", exelore_test::ReadFile(nested_valid), false},
      {"signature decoded and encoded again", RewriteSignature(image, [](PKCS7*) {}), true},
      {"valid first signer, broken second",
       RewriteSignature(image,
                        [](PKCS7* p7) {
                          DuplicateSigner(p7);
                          BreakSigner(1, true)(p7);
                        }),
       true},
      {"broken first signer, valid second",
       RewriteSignature(image,
                        [](PKCS7* p7) {
                          DuplicateSigner(p7);
                          BreakSigner(1, false)(p7);
                        }),
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = LastLine(c.bytes);
    if (c.verified) {
      EXPECT_EQ(line, kVerified);
    } else {
      EXPECT_EQ(line.find("(verified)"), std::string::npos) << line;
      EXPECT_EQ(line.rfind("PublisherName: ", 0), 0u) << line;
    }
  }
}

}  // namespace

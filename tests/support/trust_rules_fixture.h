// The fixture of the TrustRules suite: a test PKI, a Windows folder with an
// empty catalog folder, signed images and the rewrites the trust rules are
// tried against.
#pragma once

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/pkcs7.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ossl.h"
#include "pe_builder.h"
#include "process.h"
#include "test_pki.h"

namespace exelore_test {

// The publisher line of a file without a signature.
inline constexpr char kNone[] = "PublisherName: ";

// The file offsets of the sections' raw data, in section table order.
std::vector<std::size_t> SectionOffsets(const std::vector<std::uint8_t>& image);

// Moves the certificate table of `image` (at its end) to file offset `at`
// and grows it over the sections' raw data that follow `at`, which take the
// `attacker`'s bytes there; the image's own bytes follow the table. With a
// hash that skips the table wherever it lies, the digest still matches.
std::vector<std::uint8_t> MoveTableOverSections(const std::vector<std::uint8_t>& image,
                                                std::size_t at,
                                                const std::vector<std::uint8_t>& attacker);

// DER pieces for rebuilding a timestamp token: the TLVs inside `tlv`, and a
// TLV of `tag` around `parts`.
std::vector<std::vector<std::uint8_t>> Children(const std::vector<std::uint8_t>& tlv);
std::vector<std::uint8_t> Wrap(std::uint8_t tag,
                               const std::vector<std::vector<std::uint8_t>>& parts);

// The token with an attribute certificate ([1], a CertificateChoices
// alternative) after its X.509 certificates, as Microsoft's service writes.
std::vector<std::uint8_t> WithAttributeCertificate(const std::vector<std::uint8_t>& token);

using exelore_posix::ossl::CmsPtr;

// The RFC 3161 token (1.3.6.1.4.1.311.3.3.1) of the first signer of `p7`.
ASN1_STRING* TokenOf(PKCS7* p7);

class TrustRules : public ::testing::Test {
 protected:
  using Bytes = std::vector<std::uint8_t>;

  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;

  static std::string File(const std::string& name) { return dir_->File(name); }

  static Bytes Unsigned(bool pe32plus = true, const std::u16string& company = u"ExeLore Test Corp");

  static Bytes Signed(const PkiIdentity& id, bool pe32plus = true, const PkiIdentity* tsa = nullptr,
                      std::time_t when = 0);

  // The signature of `image` with its first signer's authenticated
  // attributes changed by `edit` and signed again with `key`.
  static Bytes Resigned(const Bytes& image, const std::string& key,
                        const std::function<void(PKCS7*, PKCS7_SIGNER_INFO*)>& edit);

  // The certificate set of a signed image or catalog with `extra` added
  // first or last; the set is not signed.
  static Bytes WithCertificate(const Bytes& image, const std::string& extra, bool first);

  // A legacy countersignature by `tsa` with digest `md` as Microsoft's and
  // others' services made them: contentType id-data, signingTime,
  // messageDigest of the signature; `edit` changes it after signing. The
  // TSA's chain joins the message's certificates. Unsigned attributes: the
  // signature stays valid.
  static void AddLegacyTimestamp(PKCS7* p7, PKCS7_SIGNER_INFO* si, const PkiIdentity& tsa,
                                 const EVP_MD* md = EVP_sha256(),
                                 const std::function<void(PKCS7_SIGNER_INFO*)>& edit = {});

  // Signs `si` again with `key` over the bare digest `md` of its DER
  // attributes (of them with a byte changed, with `other_bytes`): a raw
  // PKCS #1 v1.5 block without DigestInfo for an RSA key, ECDSA for EC.
  static void SignBareDigest(PKCS7_SIGNER_INFO* si, const std::string& key, const EVP_MD* md,
                             bool other_bytes = false);

  static Bytes WithCatalogCertificate(const Bytes& catalog, bool first);

  static std::string Put(const std::string& name, const Bytes& bytes) {
    WriteFile(File(name), bytes);
    return File(name);
  }

  static TempDir* dir_;
  static const TestPki* pki_;
  static std::string catroot_;
};

}  // namespace exelore_test

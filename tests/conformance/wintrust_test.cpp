// WinVerifyTrust with the generic Authenticode action on files signed by
// osslsigncode with the test PKI: what Windows returns for each kind of
// file, and that no tampered file ever verifies.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "pe_builder.h"
#include "process.h"
#include "publisher_line.h"
#include "signing.h"
#include "test_pki.h"
#include "ossl.h"
#include "text.h"
#include "verify_file.h"

namespace {

using exelore_test::TestPki;

using exelore_test::Verdict;
using exelore_test::VerifyFile;

// One PKI and a set of signed files for the whole suite; osslsigncode runs
// once per fixture.
class WinVerifyTrustTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new exelore_test::TempDir;
    pki_ = &exelore_test::SharedTestPki();
    // Only the test root is trusted: the system bundle is kept out.
    exelore_test::UseTestAnchors(*pki_, dir_->File("no-bundle"));

    const auto info = exelore_test::DefaultVersionInfo();
    exelore_test::WriteFile(File("unsigned64.exe"), exelore_test::BuildPeWithVersion(info, true));
    exelore_test::WriteFile(File("unsigned32.exe"), exelore_test::BuildPeWithVersion(info, false));
    Sign("unsigned64.exe", "sha256.exe", pki_->signer, "sha256");
    Sign("unsigned64.exe", "sha1.exe", pki_->signer, "sha1");
    Sign("unsigned32.exe", "pe32.exe", pki_->signer, "sha256");
    Sign("unsigned64.exe", "rsa.exe", pki_->signer_rsa, "sha256");
    Sign("unsigned64.exe", "no-cn.exe", pki_->signer_no_cn, "sha256");
    Sign("unsigned64.exe", "expired.exe", pki_->signer_expired, "sha256");
    Sign("unsigned64.exe", "expired-ts.exe", pki_->signer_expired, "sha256", &pki_->tsa,
         TestPki::kInsideExpiredValidity);
    Sign("unsigned64.exe", "ts.exe", pki_->signer, "sha256", &pki_->tsa,
         TestPki::kInsideExpiredValidity);
    // A timestamp from after the expired signer's validity cannot save it.
    Sign("unsigned64.exe", "expired-late-ts.exe", pki_->signer_expired, "sha256", &pki_->tsa,
         TestPki::kExpiredNotAfter + 86400);
    Sign("unsigned64.exe", "wrong-eku.exe", pki_->signer_wrong_eku, "sha256");
    Sign("unsigned64.exe", "untrusted.exe", pki_->untrusted_signer, "sha256");
    // The signer alone, without the intermediate that links it to the root.
    exelore_test::PkiIdentity bare = pki_->signer;
    bare.chain = bare.cert;
    Sign("unsigned64.exe", "no-intermediate.exe", bare, "sha256");
    // Nested signatures: only the first signer counts.
    Sign("sha256.exe", "nested-untrusted-second.exe", pki_->untrusted_signer, "sha256", nullptr, 0,
         {"-nest"});
    Sign("untrusted.exe", "nested-trusted-second.exe", pki_->signer, "sha256", nullptr, 0,
         {"-nest"});
  }

  static void TearDownTestSuite() { delete dir_; }

  static void Sign(const std::string& in, const std::string& out,
                   const exelore_test::PkiIdentity& id, const std::string& hash,
                   const exelore_test::PkiIdentity* tsa = nullptr, std::time_t when = 0,
                   const std::vector<std::string>& extra = {}) {
    const std::string error =
        exelore_test::OsslsigncodeSign(File(in), File(out), id, hash, tsa, when, extra);
    ASSERT_EQ(error, "") << out;
  }

  static std::string File(const std::string& name) { return dir_->File(name); }

  // The file offset and size of the certificate table of a built image.
  static std::pair<std::uint32_t, std::uint32_t> CertTable(const std::vector<std::uint8_t>& image,
                                                           std::size_t* entry_offset) {
    *entry_offset = exelore_test::SecurityDirectoryEntry(image);
    return {exelore_test::Get32(image, *entry_offset),
            exelore_test::Get32(image, *entry_offset + 4)};
  }

  static exelore_test::TempDir* dir_;
  static const TestPki* pki_;
};

exelore_test::TempDir* WinVerifyTrustTest::dir_ = nullptr;
const TestPki* WinVerifyTrustTest::pki_ = nullptr;

TEST_F(WinVerifyTrustTest, StatusAndLastErrorPerKindOfFile) {
  exelore_test::WriteFile(File("text.txt"), {'h', 'e', 'l', 'l', 'o', '\n'});
  std::filesystem::create_directories(File("folder.exe"));
  const struct {
    std::string file;
    LONG status;
    DWORD last_error;
  } cases[] = {
      {"sha256.exe", 0, 0},
      {"sha1.exe", 0, 0},
      {"pe32.exe", 0, 0},
      {"rsa.exe", 0, 0},
      {"no-cn.exe", 0, 0},
      {"ts.exe", 0, 0},
      {"expired-ts.exe", 0, 0},
      {"nested-untrusted-second.exe", 0, 0},
      {"unsigned64.exe", TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_NOSIGNATURE)},
      {"unsigned32.exe", TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_NOSIGNATURE)},
      {"text.txt", TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN)},
      {"missing.exe", ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {"no-folder/missing.exe", ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
      {"folder.exe", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {"expired.exe", CERT_E_EXPIRED, static_cast<DWORD>(CERT_E_EXPIRED)},
      {"expired-late-ts.exe", CERT_E_EXPIRED, static_cast<DWORD>(CERT_E_EXPIRED)},
      {"wrong-eku.exe", CERT_E_WRONG_USAGE, static_cast<DWORD>(CERT_E_WRONG_USAGE)},
      {"untrusted.exe", CERT_E_UNTRUSTEDROOT, static_cast<DWORD>(CERT_E_UNTRUSTEDROOT)},
      {"nested-trusted-second.exe", CERT_E_UNTRUSTEDROOT, static_cast<DWORD>(CERT_E_UNTRUSTEDROOT)},
      {"no-intermediate.exe", CERT_E_CHAINING, static_cast<DWORD>(CERT_E_CHAINING)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const Verdict v = VerifyFile(File(c.file));
    EXPECT_EQ(v.status, c.status);
    EXPECT_EQ(v.last_error, c.last_error);
  }
}

TEST_F(WinVerifyTrustTest, TamperedFilesNeverVerify) {
  const auto signed_image = exelore_test::ReadFile(File("sha256.exe"));
  std::size_t entry = 0;
  const auto [table, table_size] = CertTable(signed_image, &entry);
  ASSERT_EQ(table + table_size, signed_image.size());
  const std::size_t code = 0x400;  // .text raw data of the builder's images

  // Each with the verdict Windows gives it; for a flip inside the signature
  // only "not verified" is fixed, as what the byte holds depends on the
  // fresh key's signature length.
  constexpr HRESULT kAnyFailure = S_OK;
  struct Variant {
    const char* name;
    std::vector<std::uint8_t> bytes;
    HRESULT status;
  };
  std::vector<Variant> variants;
  auto flip = [&](std::size_t at) {
    auto copy = signed_image;
    copy[at] ^= 0x01;
    return copy;
  };
  variants.push_back({"code byte", flip(code), TRUST_E_BAD_DIGEST});
  variants.push_back({"signature middle", flip(table + table_size / 2), kAnyFailure});
  variants.push_back({"signature end", flip(table + table_size - 9), kAnyFailure});
  auto appended = signed_image;
  appended.insert(appended.end(), {0, 0, 0, 0, 0, 0, 0, 0});
  variants.push_back({"data after the table", appended, TRUST_E_BAD_DIGEST});
  auto stripped = signed_image;
  stripped.resize(table);
  exelore_test::Put32(stripped, entry, 0);
  exelore_test::Put32(stripped, entry + 4, 0);
  variants.push_back({"signature stripped", stripped, TRUST_E_NOSIGNATURE});
  auto garbage_padding = signed_image;
  garbage_padding.insert(garbage_padding.end(), {0, 0, 0, 0, 0, 0, 0, 0x5a});
  exelore_test::Put32(garbage_padding, entry + 4, table_size + 8);
  exelore_test::Put32(garbage_padding, table, exelore_test::Get32(garbage_padding, table) + 8);
  variants.push_back({"non-zero padding in the entry", garbage_padding, TRUST_E_NOSIGNATURE});

  const std::u16string original = exelore_posix::BytesToUtf16(File("sha256.exe"));
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    exelore_test::WriteFile(File("tampered.exe"), v.bytes);
    // The signature this thread decoded last is the intact one, of the same
    // size as most tampered ones: the program's CryptQueryObject then
    // WinVerifyTrust, with the file swapped in between.
    ASSERT_TRUE(CryptQueryObject(
        CERT_QUERY_OBJECT_FILE, original.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
        CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    const HRESULT status = VerifyFile(File("tampered.exe")).status;
    if (v.status == kAnyFailure) {
      EXPECT_NE(status, S_OK);
    } else {
      EXPECT_EQ(status, v.status);
    }
  }
}

TEST_F(WinVerifyTrustTest, ZeroPaddingInTheCertificateTableIsAccepted) {
  auto image = exelore_test::ReadFile(File("sha256.exe"));
  std::size_t entry = 0;
  const auto [table, table_size] = CertTable(image, &entry);
  // Inside the WIN_CERTIFICATE (dwLength grows) and after it (only the
  // directory grows).
  image.insert(image.end(), 24, 0);
  exelore_test::Put32(image, entry + 4, table_size + 24);
  exelore_test::Put32(image, table, exelore_test::Get32(image, table) + 16);
  exelore_test::WriteFile(File("padded.exe"), image);
  EXPECT_EQ(VerifyFile(File("padded.exe")).status, 0);
}

// Flip every third byte of a signed file: apart from the CheckSum field, every
// byte of a file without a timestamp is covered by the signature. In a
// timestamped file some bytes are not (a second copy of a certificate, the
// timestamp token's own version field), so there any flip we accept must be
// one osslsigncode accepts too; and the expired signer's file verifies only
// through its timestamp, so damaging the timestamp must fail it.
TEST_F(WinVerifyTrustTest, ByteFlipsAcrossTheWholeFileAreCaught) {
  for (const std::string name : {"sha256.exe", "sha1.exe", "rsa.exe", "expired-ts.exe"}) {
    SCOPED_TRACE(name);
    const bool timestamped = name == "expired-ts.exe";
    const auto signed_image = exelore_test::ReadFile(File(name));
    ASSERT_EQ(VerifyFile(File(name)).status, 0);
    const std::uint32_t e_lfanew = exelore_test::Get32(signed_image, 60);
    const std::size_t checksum = e_lfanew + 24 + 64;
    std::size_t checked = 0;
    std::size_t accepted = 0;
    for (std::size_t at = 0; at < signed_image.size(); at += 3) {
      if (at >= checksum && at < checksum + 4) continue;
      auto copy = signed_image;
      copy[at] ^= 0x20;  // also flips the case of ASCII letters in names
      exelore_test::WriteFile(File("flip.exe"), copy);
      const Verdict v = VerifyFile(File("flip.exe"));
      ++checked;
      if (v.status != 0) continue;
      ++accepted;
      EXPECT_TRUE(timestamped) << "flip at " << at << " verifies";
      EXPECT_TRUE(exelore_test::OsslsigncodeVerifies(File("flip.exe"), pki_->root.cert))
          << "we accept a flip at " << at << " that osslsigncode refuses";
    }
    EXPECT_GT(checked, 1000u);
    EXPECT_LT(accepted, checked / 4);
  }
}

// Cut anywhere, a signed file never verifies: neither WinVerifyTrust at
// every fifth length nor, at every 64th of the file, the report's publisher
// line as the program composes it.
TEST_F(WinVerifyTrustTest, EveryPrefixOfASignedFileFailsWithoutCrashing) {
  const auto image = exelore_test::ReadFile(File("sha256.exe"));
  ASSERT_TRUE(exelore_test::PublisherLine(File("sha256.exe")).ends_with(" (verified)"));
  for (std::size_t n = 0; n < image.size(); n += 5) {
    exelore_test::WriteFile(File("prefix.exe"),
                            std::vector<std::uint8_t>(image.begin(), image.begin() + n));
    EXPECT_NE(VerifyFile(File("prefix.exe")).status, 0) << n;
    if (n / 5 % (image.size() / 5 / 64 + 1) == 0) {
      EXPECT_EQ(exelore_test::PublisherLine(File("prefix.exe")).find("(verified)"),
                std::string::npos)
          << n;
    }
  }
}

TEST_F(WinVerifyTrustTest, StateIsKeptUntilClose) {
  HANDLE state = nullptr;
  EXPECT_EQ(VerifyFile(File("sha256.exe"), WTD_STATEACTION_VERIFY, &state).status, 0);
  EXPECT_NE(state, nullptr);

  const std::u16string wide = exelore_posix::BytesToUtf16(File("sha256.exe"));
  WINTRUST_FILE_INFO file{sizeof(WINTRUST_FILE_INFO), wide.c_str(), nullptr, nullptr};
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  data.hWVTStateData = state;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  EXPECT_EQ(WinVerifyTrust(nullptr, &action, &data), 0);
  EXPECT_EQ(data.hWVTStateData, nullptr);

  HANDLE none = reinterpret_cast<HANDLE>(0xdeadbeef);
  // WTD_STATEACTION_IGNORE leaves the field as it was.
  const std::u16string unsigned_wide = exelore_posix::BytesToUtf16(File("unsigned64.exe"));
  file.pcwszFilePath = unsigned_wide.c_str();
  data.dwStateAction = WTD_STATEACTION_IGNORE;
  data.hWVTStateData = none;
  EXPECT_EQ(WinVerifyTrust(nullptr, &action, &data), TRUST_E_NOSIGNATURE);
  EXPECT_EQ(data.hWVTStateData, none);
}

TEST_F(WinVerifyTrustTest, UnknownActionAndCatalogChoice) {
  const std::u16string wide = exelore_posix::BytesToUtf16(File("sha256.exe"));
  WINTRUST_FILE_INFO file{sizeof(WINTRUST_FILE_INFO), wide.c_str(), nullptr, nullptr};
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  GUID unknown = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WinVerifyTrust(nullptr, &unknown, &data), TRUST_E_PROVIDER_UNKNOWN);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN));

  WINTRUST_CATALOG_INFO catalog{};
  catalog.cbStruct = sizeof catalog;
  data.dwUnionChoice = WTD_CHOICE_CATALOG;
  data.pCatalog = &catalog;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  // A catalog choice that names neither catalog nor member is refused as an
  // argument error, not taken for an unsigned or tampered member.
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WinVerifyTrust(nullptr, &action, &data), E_INVALIDARG);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST_F(WinVerifyTrustTest, TrustComesOnlyFromTheConfiguredAnchors) {
  // Without the test root in SSL_CERT_DIR nothing chains; with the root as
  // the SSL_CERT_FILE bundle it does again.
  setenv("SSL_CERT_DIR", File("empty").c_str(), 1);
  EXPECT_EQ(VerifyFile(File("sha256.exe")).status, CERT_E_CHAINING);

  std::ofstream bundle(File("bundle.pem"), std::ios::binary);
  bundle << std::ifstream(pki_->untrusted_root.cert).rdbuf()
         << std::ifstream(pki_->root.cert).rdbuf();
  bundle.close();
  setenv("SSL_CERT_FILE", File("bundle.pem").c_str(), 1);
  EXPECT_EQ(VerifyFile(File("sha256.exe")).status, 0);
  EXPECT_EQ(VerifyFile(File("untrusted.exe")).status, 0) << "its root is in the bundle now";

  setenv("SSL_CERT_DIR", pki_->ca_dir.c_str(), 1);
  setenv("SSL_CERT_FILE", File("no-bundle").c_str(), 1);
}

// The stand-in changes how OpenSSL decodes keys only while one of its calls
// runs: afterwards the host program makes, signs with and checks keys of
// every kind by name exactly as before.
TEST_F(WinVerifyTrustTest, OpenSslIsLeftAsItWasForTheHostProgram) {
  ASSERT_EQ(VerifyFile(File("rsa.exe")).status, 0);
  ASSERT_EQ(VerifyFile(File("sha256.exe")).status, 0);
  using exelore_posix::ossl::KeyPtr;
  using exelore_posix::ossl::MdCtxPtr;
  const struct {
    const char* what;
    KeyPtr key;
  } cases[] = {
      {"EC", KeyPtr(EVP_EC_gen("P-256"))},
      {"RSA", KeyPtr(EVP_RSA_gen(2048))},
  };
  const unsigned char message[] = "message";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(c.key, nullptr);
    std::vector<unsigned char> signature(EVP_PKEY_get_size(c.key.get()));
    std::size_t length = signature.size();
    MdCtxPtr sign(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestSignInit(sign.get(), nullptr, EVP_sha256(), nullptr, c.key.get()), 1);
    ASSERT_EQ(EVP_DigestSign(sign.get(), signature.data(), &length, message, sizeof message), 1);
    MdCtxPtr verify(EVP_MD_CTX_new());
    ASSERT_EQ(EVP_DigestVerifyInit(verify.get(), nullptr, EVP_sha256(), nullptr, c.key.get()), 1);
    EXPECT_EQ(EVP_DigestVerify(verify.get(), signature.data(), length, message, sizeof message), 1);
  }
}

}  // namespace

// Files vouched for by signed catalogs: the catalog functions as Windows
// answers them, WinVerifyTrust's catalog mode, and the publisher line of the
// program over a catalog folder laid out like a Windows volume's CatRoot.
#include <gtest/gtest.h>
#include <mscat.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <string>
#include <vector>

#include "catalog_builder.h"
#include "wintrust/catalog_db.h"
#include "pe_builder.h"
#include "process.h"
#include "signing.h"
#include "test_pki.h"
#include "text.h"
#include "verify_file.h"
#include "util/file_certificate_info.h"

namespace {

namespace fs = std::filesystem;
using exelore_test::BuildCatalog;
using exelore_test::CatalogOptions;
using exelore_test::EntryFor;
using exelore_test::TestPki;
using Bytes = std::vector<std::uint8_t>;

// The catalog folder below SystemRoot, spelled in other letter cases than
// Windows uses, as on a volume mounted from Windows.
constexpr char kCatRootBelowSystemRoot[] = "SYSTEM32/catroot/{f750e6c3-38ee-11d1-85e5-00c04fc295ee}";

std::u16string Wide(const std::string& s) { return exelore_posix::BytesToUtf16(s); }

using exelore_test::Verdict;

// WinVerifyTrust in catalog mode as the program calls it: VERIFY, then CLOSE.
Verdict VerifyMember(const std::string& catalog, const std::u16string& tag, const std::string& file) {
  const auto run = exelore_test::VerifyCatalogMember(Wide(catalog), tag, Wide(file));
  EXPECT_NE(run.state_after_verify, nullptr);
  EXPECT_EQ(run.close_status, 0);
  EXPECT_EQ(run.state_after_close, nullptr);
  return run.verdict;
}

class CatalogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new exelore_test::TempDir;
    pki_ = new TestPki(TestPki::Create(dir_->File("pki")));
    system_root_ = dir_->File("windows");
    catroot_ = system_root_ + "/" + kCatRootBelowSystemRoot;
    fs::create_directories(catroot_);
    setenv("SystemRoot", system_root_.c_str(), 1);
    exelore_test::UseTestAnchors(*pki_, pki_->root.cert);
  }
  static void TearDownTestSuite() {
    unsetenv("SystemRoot");
    delete pki_;
    delete dir_;
  }
  void TearDown() override {
    for (const auto& entry : fs::directory_iterator(catroot_)) fs::remove_all(entry.path());
  }

  static std::string File(const std::string& name) { return dir_->File(name); }
  static void PutCatalog(const std::string& name, const Bytes& bytes) {
    exelore_test::WriteFile(catroot_ + "/" + name, bytes);
  }

  // An unsigned PE with a version resource; `overlay` bytes appended.
  static Bytes Image(std::size_t overlay = 0, exelore_test::PeLayout* layout = nullptr,
                     bool pe32plus = true) {
    Bytes image = exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(), pe32plus,
                                                   0x0409, layout);
    for (std::size_t i = 0; i < overlay; ++i) image.push_back(static_cast<std::uint8_t>(0xA0 + i));
    return image;
  }

  static Bytes ImageHash(const Bytes& image, const exelore_test::PeLayout& layout,
                         const std::string& algorithm = "sha1") {
    return exelore_test::UnsignedImageHash(image, layout, algorithm);
  }

  static exelore_test::TempDir* dir_;
  static TestPki* pki_;
  static std::string system_root_;
  static std::string catroot_;
};
exelore_test::TempDir* CatalogTest::dir_ = nullptr;
TestPki* CatalogTest::pki_ = nullptr;
std::string CatalogTest::system_root_;
std::string CatalogTest::catroot_;

// --- CryptCATAdminCalcHashFromFileHandle --------------------------------------

struct CalcResult {
  BOOL ok;
  DWORD error;
  DWORD size;
  Bytes hash;
};

CalcResult CalcHash(const std::string& path, DWORD size, bool buffer, DWORD flags = 0) {
  const std::u16string wide = Wide(path);
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
  CalcResult r{};
  r.size = size;
  r.hash.assign(64, 0xCC);
  SetLastError(0xdeadbeef);
  r.ok = CryptCATAdminCalcHashFromFileHandle(file, &r.size, buffer ? r.hash.data() : nullptr, flags);
  r.error = GetLastError();
  CloseHandle(file);
  return r;
}

// Wine's test_calchash, which passes on Windows: the size protocol and the
// hash of a known 49-byte text file (SHA-1 of its whole content).
TEST_F(CatalogTest, CalcHashAnswersTheSizeProtocolAsWindows) {
  const std::string text = File("known.txt");
  const std::string content = "Text in this file is needed to create a know hash";
  exelore_test::WriteFile(text, Bytes(content.begin(), content.end()));
  const Bytes known = {0x3a, 0xa1, 0x19, 0x08, 0xec, 0xa6, 0x0d, 0x2e, 0x7e, 0xcc,
                       0x7a, 0xca, 0xf5, 0xb8, 0x2e, 0x62, 0x6a, 0xda, 0xf0, 0x19};
  Bytes untouched(64, 0xCC);

  struct Case {
    const char* what;
    DWORD size;
    bool buffer;
    DWORD flags;
    BOOL ok;
    DWORD error;
    DWORD size_after;
    bool hash_written;
  };
  const Case cases[] = {
      {"size query", 0, false, 0, TRUE, ERROR_INSUFFICIENT_BUFFER, 20, false},
      {"buffer too small", 19, true, 0, TRUE, ERROR_INSUFFICIENT_BUFFER, 20, false},
      {"exact buffer", 20, true, 0, TRUE, ERROR_SUCCESS, 20, true},
      {"larger buffer", 40, true, 0, TRUE, ERROR_SUCCESS, 20, true},
      {"flags", 20, true, 1, FALSE, ERROR_INVALID_PARAMETER, 20, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const CalcResult r = CalcHash(text, c.size, c.buffer, c.flags);
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.size, c.size_after);
    if (c.hash_written) {
      EXPECT_EQ(Bytes(r.hash.begin(), r.hash.begin() + 20), known);
      EXPECT_EQ(Bytes(r.hash.begin() + 20, r.hash.end()), Bytes(44, 0xCC));
    } else {
      EXPECT_EQ(r.hash, untouched);
    }
  }

  DWORD size = 20;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptCATAdminCalcHashFromFileHandle(nullptr, &size, untouched.data(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptCATAdminCalcHashFromFileHandle(INVALID_HANDLE_VALUE, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// A PE's hash is its Authenticode image hash (computed here from the known
// layout, not by the code under test), zero-padded to 8 bytes when the file
// length is not a multiple of 8; the CheckSum field does not count.
TEST_F(CatalogTest, CalcHashOfImagesIsThePaddedImageHash) {
  struct Case {
    const char* name;
    bool pe32plus;
    std::size_t overlay;
  };
  for (const Case& c : {Case{"pe64.exe", true, 0}, Case{"pe32.exe", false, 0},
                        Case{"odd.exe", true, 3}, Case{"odd32.exe", false, 13}}) {
    SCOPED_TRACE(c.name);
    exelore_test::PeLayout layout;
    Bytes image = Image(c.overlay, &layout, c.pe32plus);
    exelore_test::WriteFile(File(c.name), image);
    const Bytes expected = ImageHash(image, layout);
    CalcResult r = CalcHash(File(c.name), 20, true);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(Bytes(r.hash.begin(), r.hash.begin() + 20), expected);
    // The same image with another CheckSum has the same hash.
    image[layout.checksum_field] ^= 0x5A;
    exelore_test::WriteFile(File(c.name), image);
    r = CalcHash(File(c.name), 20, true);
    EXPECT_EQ(Bytes(r.hash.begin(), r.hash.begin() + 20), expected);
  }
}

// --- The catalog database ------------------------------------------------------

struct Found {
  std::string catalog;  // file name, empty when none
  DWORD error;
};

// EnumCatalogFromHash and CatalogInfoFromContext as the program calls them.
Found FindCatalog(const Bytes& hash) {
  HCATADMIN admin = nullptr;
  EXPECT_TRUE(CryptCATAdminAcquireContext(&admin, nullptr, 0));
  Bytes copy = hash;
  SetLastError(0xdeadbeef);
  HCATINFO info = CryptCATAdminEnumCatalogFromHash(admin, copy.data(), static_cast<DWORD>(copy.size()), 0, nullptr);
  Found found{"", GetLastError()};
  if (info != nullptr) {
    CATALOG_INFO catalog{};
    catalog.cbStruct = sizeof catalog;
    EXPECT_TRUE(CryptCATCatalogInfoFromContext(info, &catalog, 0));
    found.catalog = fs::path(*exelore_posix::Utf16ToBytes(catalog.wszCatalogFile)).filename().string();
    EXPECT_TRUE(CryptCATAdminReleaseCatalogContext(admin, info, 0));
  }
  EXPECT_TRUE(CryptCATAdminReleaseContext(admin, 0));
  return found;
}

// Catalogs are searched in name order without regard to case; damaged,
// unsigned and foreign files are passed over.
TEST_F(CatalogTest, EnumFindsTheFirstCatalogThatListsTheHash) {
  const Bytes a = exelore_test::Digest({'a'});
  const Bytes b = exelore_test::Digest({'b'});
  const Bytes c = exelore_test::Digest({'c'});
  const Bytes absent = exelore_test::Digest({'z'});
  CatalogOptions first;
  first.entries = {EntryFor(a)};
  CatalogOptions second;
  second.entries = {EntryFor(a), EntryFor(b)};
  // Lists `c` by name only: no SPC_INDIRECT_DATA, so no hash.
  CatalogOptions nameless;
  nameless.entries = {EntryFor(c)};
  nameless.entries[0].indirect_data = false;
  const Bytes signed_second = BuildCatalog(second, pki_->signer);
  CatalogOptions foreign = second;
  foreign.subject_usage = "1.3.6.1.5.5.7.3.3";  // a trust list, but not of catalog members

  PutCatalog("B-second.CAT", signed_second);
  PutCatalog("a-first.cat", BuildCatalog(first, pki_->untrusted_signer));
  PutCatalog("0-truncated.cat", Bytes(signed_second.begin(), signed_second.end() - 40));
  PutCatalog("0-unsigned.cat", exelore_test::BuildUnsignedCatalog(second));
  PutCatalog("0-foreign.cat", BuildCatalog(foreign, pki_->signer));
  PutCatalog("0-empty.cat", {});
  PutCatalog("0-garbage.cat", Bytes(4096, 0x30));
  PutCatalog("0-nameless.cat", BuildCatalog(nameless, pki_->signer));
  PutCatalog("0-not-a-catalog.txt", signed_second);
  fs::create_directories(catroot_ + "/0-folder.cat");

  struct Case {
    const char* what;
    Bytes hash;
    Found expected;
  };
  const Case cases[] = {
      {"listed by both: the first in case-blind order", a, {"a-first.cat", 0xdeadbeef}},
      {"listed by the second only", b, {"B-second.CAT", 0xdeadbeef}},
      {"named but without hash", c, {"", ERROR_NOT_FOUND}},
      {"listed nowhere", absent, {"", ERROR_NOT_FOUND}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const Found found = FindCatalog(k.hash);
    EXPECT_EQ(found.catalog, k.expected.catalog);
    if (k.expected.catalog.empty()) {
      EXPECT_EQ(found.error, k.expected.error);
    }
  }

  // Continuing the enumeration goes on after the previous catalog.
  HCATADMIN admin = nullptr;
  ASSERT_TRUE(CryptCATAdminAcquireContext(&admin, nullptr, 0));
  Bytes hash = a;
  HCATINFO info = CryptCATAdminEnumCatalogFromHash(admin, hash.data(), 20, 0, nullptr);
  ASSERT_NE(info, nullptr);
  info = CryptCATAdminEnumCatalogFromHash(admin, hash.data(), 20, 0, &info);
  ASSERT_NE(info, nullptr);
  CATALOG_INFO catalog{};
  catalog.cbStruct = sizeof catalog;
  ASSERT_TRUE(CryptCATCatalogInfoFromContext(info, &catalog, 0));
  EXPECT_EQ(fs::path(*exelore_posix::Utf16ToBytes(catalog.wszCatalogFile)).filename(), "B-second.CAT");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(CryptCATAdminEnumCatalogFromHash(admin, hash.data(), 20, 0, &info), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_TRUE(CryptCATAdminReleaseContext(admin, 0));
}

TEST_F(CatalogTest, CatalogFunctionsRefuseBadArguments) {
  HCATADMIN admin = nullptr;
  ASSERT_TRUE(CryptCATAdminAcquireContext(&admin, nullptr, 0));
  Bytes hash(20, 1);
  int not_a_handle = 0;
  CATALOG_INFO catalog{};
  catalog.cbStruct = sizeof catalog;
  catalog.wszCatalogFile[0] = u'X';

  struct Case {
    const char* what;
    std::function<bool()> call;  // true when the call reported success
  };
  const Case cases[] = {
      {"acquire without out-pointer", [] { return CryptCATAdminAcquireContext(nullptr, nullptr, 0) != FALSE; }},
      {"acquire with flags", [] { HCATADMIN h = nullptr; return CryptCATAdminAcquireContext(&h, nullptr, 1) != FALSE; }},
      {"enum on a made-up admin", [&] { return CryptCATAdminEnumCatalogFromHash(&not_a_handle, hash.data(), 20, 0, nullptr) != nullptr; }},
      {"enum without hash", [&] { return CryptCATAdminEnumCatalogFromHash(admin, nullptr, 20, 0, nullptr) != nullptr; }},
      {"enum with flags", [&] { return CryptCATAdminEnumCatalogFromHash(admin, hash.data(), 20, 1, nullptr) != nullptr; }},
      {"info from a made-up context", [&] { return CryptCATCatalogInfoFromContext(&not_a_handle, &catalog, 0) != FALSE; }},
      {"release a made-up catalog context", [&] { return CryptCATAdminReleaseCatalogContext(admin, &not_a_handle, 0) != FALSE; }},
      {"release a made-up admin", [&] { return CryptCATAdminReleaseContext(&not_a_handle, 0) != FALSE; }},
      {"release a null admin", [] { return CryptCATAdminReleaseContext(nullptr, 0) != FALSE; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(catalog.wszCatalogFile[0], u'X');
  EXPECT_TRUE(CryptCATAdminReleaseContext(admin, 0));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptCATAdminReleaseContext(admin, 0));  // released already
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// A catalog whose path does not fit CATALOG_INFO fails clearly and writes
// nothing.
TEST_F(CatalogTest, InfoFromContextRefusesPathsLongerThanMaxPath) {
  const std::string saved = system_root_;
  std::string deep = dir_->File(std::string(120, 'd')) + "/" + std::string(120, 'e');
  const std::string deep_catroot = deep + "/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
  fs::create_directories(deep_catroot);
  const Bytes hash = exelore_test::Digest({'l'});
  CatalogOptions options;
  options.entries = {EntryFor(hash)};
  exelore_test::WriteFile(deep_catroot + "/long.cat", BuildCatalog(options, pki_->signer));
  setenv("SystemRoot", deep.c_str(), 1);
  HCATADMIN admin = nullptr;
  ASSERT_TRUE(CryptCATAdminAcquireContext(&admin, nullptr, 0));
  Bytes copy = hash;
  HCATINFO info = CryptCATAdminEnumCatalogFromHash(admin, copy.data(), 20, 0, nullptr);
  setenv("SystemRoot", saved.c_str(), 1);
  ASSERT_NE(info, nullptr);
  CATALOG_INFO catalog{};
  catalog.cbStruct = sizeof catalog;
  catalog.wszCatalogFile[0] = u'X';
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptCATCatalogInfoFromContext(info, &catalog, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(catalog.wszCatalogFile[0], u'X');
  EXPECT_TRUE(CryptCATAdminReleaseCatalogContext(admin, info, 0));
  EXPECT_TRUE(CryptCATAdminReleaseContext(admin, 0));
}

// --- WinVerifyTrust in catalog mode -----------------------------------------

TEST_F(CatalogTest, WinVerifyTrustJudgesTheMemberAndTheCatalog) {
  exelore_test::PeLayout layout;
  const Bytes image = Image(5, &layout);
  const std::string member = File("member.exe");
  exelore_test::WriteFile(member, image);
  Bytes changed_image = image;
  changed_image[layout.version_data_offset + 40] ^= 1;
  const std::string changed = File("changed.exe");
  exelore_test::WriteFile(changed, changed_image);
  const std::string text = File("member.txt");
  const std::string content = "a member that is not an image\n";
  exelore_test::WriteFile(text, Bytes(content.begin(), content.end()));

  const Bytes sha1 = ImageHash(image, layout);
  const Bytes sha256 = ImageHash(image, layout, "sha256");
  const Bytes text_sha1 = exelore_test::Digest(Bytes(content.begin(), content.end()));
  const std::u16string tag = exelore_test::HexTag(sha1);
  std::u16string lower_tag = tag;
  for (char16_t& ch : lower_tag) ch = static_cast<char16_t>(std::tolower(ch));

  CatalogOptions options;
  options.entries = {EntryFor(sha1), EntryFor(text_sha1)};
  options.entries[1].pe_image = false;
  // A member listed by a SHA-256 digest under another name.
  options.entries.push_back(EntryFor(sha256, "sha256"));
  options.entries.back().tag = u"SHA256MEMBER";
  // An older catalog that names the member by the hash bytes themselves.
  CatalogOptions raw = options;
  raw.entries[0].raw_digest_tag = true;
  CatalogOptions md5 = options;
  md5.entries[0].digest = exelore_test::Digest(image, "md5");
  md5.entries[0].digest_algorithm = "md5";
  md5.entries[0].tag = tag;

  const auto put = [&](const std::string& name, const Bytes& bytes) {
    exelore_test::WriteFile(File(name), bytes);
    return File(name);
  };
  const Bytes trusted_bytes = BuildCatalog(options, pki_->signer);
  const std::string trusted = put("trusted.cat", trusted_bytes);
  const std::string untrusted = put("untrusted.cat", BuildCatalog(options, pki_->untrusted_signer));
  const std::string expired = put("expired.cat", BuildCatalog(options, pki_->signer_expired));
  const std::string wrong_eku = put("wrong-eku.cat", BuildCatalog(options, pki_->signer_wrong_eku));
  const std::string raw_tags = put("raw.cat", BuildCatalog(raw, pki_->signer));
  const std::string weak = put("md5.cat", BuildCatalog(md5, pki_->signer));
  const std::string unsigned_catalog = put("unsigned.cat", exelore_test::BuildUnsignedCatalog(options));
  CatalogOptions foreign = options;
  foreign.content_type = "1.3.6.1.4.1.311.2.1.4";
  const std::string not_ctl = put("not-ctl.cat", BuildCatalog(foreign, pki_->signer));
  const std::string garbage = put("garbage.cat", Bytes(300, 0x41));
  // The listed hash changed after signing: the signature no longer holds.
  Bytes tampered_bytes = trusted_bytes;
  const auto at = std::search(tampered_bytes.begin(), tampered_bytes.end(), sha1.begin(), sha1.end());
  ASSERT_NE(at, tampered_bytes.end());
  *at ^= 0x01;
  const std::string tampered = put("tampered.cat", tampered_bytes);

  struct Case {
    const char* what;
    std::string catalog;
    std::u16string tag;
    std::string file;
    Verdict expected;
  };
  const Case cases[] = {
      {"listed image", trusted, tag, member, {0, 0}},
      {"tag in lower case", trusted, lower_tag, member, {0, 0}},
      {"listed text file", trusted, exelore_test::HexTag(text_sha1), text, {0, 0}},
      {"SHA-256 entry", trusted, u"sha256member", member, {0, 0}},
      {"tag as raw hash bytes", raw_tags, tag, member, {0, 0}},
      {"changed since", trusted, tag, changed, {TRUST_E_BAD_DIGEST, static_cast<DWORD>(TRUST_E_BAD_DIGEST)}},
      {"another member's tag", trusted, exelore_test::HexTag(text_sha1), member,
       {TRUST_E_BAD_DIGEST, static_cast<DWORD>(TRUST_E_BAD_DIGEST)}},
      {"tag not in the catalog", trusted, u"0000", member,
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_NOSIGNATURE)}},
      {"empty tag", trusted, u"", member, {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_NOSIGNATURE)}},
      {"untrusted root", untrusted, tag, member,
       {CERT_E_UNTRUSTEDROOT, static_cast<DWORD>(CERT_E_UNTRUSTEDROOT)}},
      {"changed and untrusted", untrusted, tag, changed,
       {TRUST_E_BAD_DIGEST, static_cast<DWORD>(TRUST_E_BAD_DIGEST)}},
      {"expired signer", expired, tag, member, {CERT_E_EXPIRED, static_cast<DWORD>(CERT_E_EXPIRED)}},
      {"signer not for code", wrong_eku, tag, member,
       {CERT_E_WRONG_USAGE, static_cast<DWORD>(CERT_E_WRONG_USAGE)}},
      {"MD5 entry", weak, tag, member, {NTE_BAD_ALGID, static_cast<DWORD>(NTE_BAD_ALGID)}},
      {"tampered catalog", tampered, tag, member,
       {CRYPT_E_HASH_VALUE, static_cast<DWORD>(CRYPT_E_HASH_VALUE)}},
      {"no signer", unsigned_catalog, tag, member,
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN)}},
      {"not a trust list", not_ctl, tag, member,
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN)}},
      {"garbage", garbage, tag, member,
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN)}},
      {"missing catalog", File("absent.cat"), tag, member, {ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND}},
      {"missing member", trusted, tag, File("absent.exe"), {ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(VerifyMember(c.catalog, c.tag, c.file), c.expected);
  }
}

// No prefix of a catalog and no damaged length field makes a member verify,
// and none is misread (ASan watches the reads).
TEST_F(CatalogTest, DamagedCatalogsNeverVerify) {
  exelore_test::PeLayout layout;
  const Bytes image = Image(0, &layout);
  const std::string member = File("damaged-member.exe");
  exelore_test::WriteFile(member, image);
  const Bytes sha1 = ImageHash(image, layout);
  CatalogOptions options;
  options.entries = {EntryFor(sha1), EntryFor(exelore_test::Digest({'x'}))};
  const Bytes catalog = BuildCatalog(options, pki_->signer);
  exelore_test::WriteFile(File("whole.cat"), catalog);
  ASSERT_EQ(VerifyMember(File("whole.cat"), exelore_test::HexTag(sha1), member), (Verdict{0, 0}));

  for (std::size_t n = 0; n < catalog.size(); ++n) {
    const Bytes prefix(catalog.begin(), catalog.begin() + static_cast<std::ptrdiff_t>(n));
    const auto parsed = exelore_posix::catalog::ParseCatalog(prefix);
    EXPECT_FALSE(parsed.has_value()) << n;
    if (n % 53 == 0) {
      exelore_test::WriteFile(File("prefix.cat"), prefix);
      EXPECT_NE(VerifyMember(File("prefix.cat"), exelore_test::HexTag(sha1), member).status, 0) << n;
    }
  }
  // 0xFF over any byte (a length, a tag, a version, the listed hash): the
  // message either does not decode or does not verify.
  for (std::size_t i = 0; i < catalog.size(); ++i) {
    Bytes patched = catalog;
    patched[i] = 0xFF;
    if (patched == catalog) continue;
    exelore_test::WriteFile(File("patched.cat"), patched);
    EXPECT_NE(VerifyMember(File("patched.cat"), exelore_test::HexTag(sha1), member).status, 0) << i;
  }
}

// --- The program ------------------------------------------------------------

std::string PublisherLine(const std::string& out) {
  const auto at = out.rfind("PublisherName:");
  if (at == std::string::npos) return "<no publisher line>";
  const auto end = out.find("\r\n", at);
  return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

TEST_F(CatalogTest, ProgramNamesTheCatalogSigner) {
  if (!exelore_test::HaveOsslsigncode()) GTEST_SKIP() << "osslsigncode is not installed";
  exelore_test::PeLayout layout;
  const Bytes image = Image(0, &layout);
  const auto put = [&](const std::string& name, const Bytes& bytes) {
    exelore_test::WriteFile(File(name), bytes);
    return File(name);
  };
  const std::string listed = put("listed.exe", image);
  const Bytes hash = ImageHash(image, layout);
  Bytes checksum_image = image;
  checksum_image[layout.checksum_field + 1] ^= 0x33;
  const std::string checksum = put("checksum.exe", checksum_image);
  Bytes changed_image = image;
  changed_image[layout.version_data_offset + 60] ^= 0x01;
  const std::string changed = put("changed.exe", changed_image);

  exelore_test::PeLayout odd_layout;
  const Bytes odd_image = Image(5, &odd_layout);
  const std::string odd = put("odd-length.exe", odd_image);
  // Only in the untrusted catalog.
  exelore_test::PeLayout other_layout;
  const Bytes other_image = Image(16, &other_layout);
  const std::string other = put("other.exe", other_image);
  // Listed by both: the untrusted catalog comes first by name.
  exelore_test::PeLayout both_layout;
  const Bytes both_image = Image(24, &both_layout);
  const std::string both = put("both.exe", both_image);
  const std::string uncatalogued = put("uncatalogued.exe", Image(32));
  const std::string content = "plain text, listed by the SHA-1 of its content\n";
  const std::string text = put("listed.txt", Bytes(content.begin(), content.end()));
  // Signed by an untrusted signer and listed by the trusted catalog: only the
  // embedded signature counts.
  const std::string embedded = File("embedded.exe");
  ASSERT_EQ(exelore_test::OsslsigncodeSign(listed, embedded, pki_->untrusted_signer), "");

  CatalogOptions trusted;
  trusted.entries = {EntryFor(hash), EntryFor(ImageHash(odd_image, odd_layout)),
                     EntryFor(ImageHash(both_image, both_layout)),
                     EntryFor(exelore_test::Digest(Bytes(content.begin(), content.end())))};
  trusted.entries.back().pe_image = false;
  CatalogOptions untrusted;
  untrusted.entries = {EntryFor(ImageHash(other_image, other_layout)),
                       EntryFor(ImageHash(both_image, both_layout))};
  const Bytes trusted_bytes = BuildCatalog(trusted, pki_->signer);
  // 'B' sorts before 'a' bytewise, after it without case.
  PutCatalog("B-trusted.cat", trusted_bytes);
  PutCatalog("a-untrusted.CAT", BuildCatalog(untrusted, pki_->untrusted_signer));
  PutCatalog("0-empty.cat", {});
  PutCatalog("0-garbage.cat", Bytes(1000, 0x42));
  PutCatalog("0-truncated.cat", Bytes(trusted_bytes.begin(), trusted_bytes.begin() + trusted_bytes.size() / 2));
  PutCatalog("0-unsigned.cat", exelore_test::BuildUnsignedCatalog(untrusted));
  CatalogOptions foreign = untrusted;
  foreign.content_type = "1.3.6.1.4.1.311.2.1.4";  // signed, but not a trust list
  PutCatalog("0-not-a-catalog.cat", BuildCatalog(foreign, pki_->untrusted_signer));

  const std::string kVerified = "PublisherName: ExeLore Test Signer (verified)";
  const std::string kUntrusted = "PublisherName: ExeLore Untrusted Signer (UNVERIFIED)";
  const std::string kNone = "PublisherName: ";
  struct Case {
    std::string file;
    std::string expected;
  };
  const Case cases[] = {
      {listed, kVerified},       {checksum, kVerified}, {odd, kVerified},
      {other, kUntrusted},   {both, kUntrusted},
      {changed, kNone},          {uncatalogued, kNone}, {embedded, kUntrusted},
  };
  const std::vector<std::string> env = {"SystemRoot=" + system_root_,
                                        "SSL_CERT_FILE=" + pki_->root.cert,
                                        "SSL_CERT_DIR=" + pki_->ca_dir};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const auto result = exelore_test::RunProcess({EXELORE_BINARY, "/c", c.file}, env);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(PublisherLine(result.out), c.expected);
  }

  // A file without version resource has no report; the program's own class
  // answers for it.
  {
    orvik_util::FileCertificateInfo info(Wide(text));
    EXPECT_EQ(info.Initialize(), S_OK);
    WideString name;
    EXPECT_EQ(info.GetPublisherName(name), S_OK);
    EXPECT_EQ(name, u"ExeLore Test Signer");
    bool verified = false;
    EXPECT_EQ(info.VerifyTrust(verified), S_OK);
    EXPECT_TRUE(verified);
  }

  // Without SystemRoot the configured folder is used, and the temporary
  // tree is not.
  const auto result = exelore_test::RunProcess(
      {"/usr/bin/env", "-u", "SystemRoot", EXELORE_BINARY, "/c", listed},
      {"SSL_CERT_FILE=" + pki_->root.cert, "SSL_CERT_DIR=" + pki_->ca_dir});
  EXPECT_NE(PublisherLine(result.out), kVerified);

  // osslsigncode reaches the same verdicts over the same catalogs and images.
  const std::string trusted_cat = catroot_ + "/B-trusted.cat";
  const auto osslsigncode = [&](const std::string& file) {
    return exelore_test::RunProcess({"/usr/bin/osslsigncode", "verify", "-CAfile", pki_->root.cert,
                                     "-catalog", trusted_cat, "-in", file})
               .exit_status == 0;
  };
  EXPECT_TRUE(osslsigncode(listed));
  EXPECT_TRUE(osslsigncode(checksum));
  EXPECT_FALSE(osslsigncode(changed));
  EXPECT_FALSE(osslsigncode(uncatalogued));
}

// Catalogs of cumulative updates are tens of MiB, larger than any
// signature: a member listed only in one beyond 8 MiB gets its publisher
// line. And a hash whose bytes straddle two pieces of the scan's reads is
// found in a catalog larger than one piece (decoded through a mapping).
TEST_F(CatalogTest, LargeCatalogsAreReadWhereverTheHashLies) {
  exelore_test::PeLayout layout;
  const Bytes member = Image(0, &layout);
  const std::string path = File("large-member.exe");
  exelore_test::WriteFile(path, member);
  const Bytes hash = ImageHash(member, layout);
  // `fillers` entries before the member's, the first with a tag of
  // `tag_units` letters.
  const auto build = [&](std::size_t fillers, std::size_t tag_units) {
    CatalogOptions options;
    for (std::size_t e = 0; e < fillers; ++e) {
      const std::string seed = "filler " + std::to_string(e);
      options.entries.push_back(exelore_test::EntryFor(exelore_test::Digest(Bytes(seed.begin(), seed.end()))));
    }
    options.entries.front().tag = std::u16string(tag_units, u'T');
    options.entries.push_back(exelore_test::EntryFor(hash));
    return exelore_test::BuildCatalog(options, pki_->signer);
  };
  const auto hash_at = [&](const Bytes& catalog) {
    return static_cast<std::size_t>(std::search(catalog.begin(), catalog.end(), hash.begin(), hash.end()) -
                                    catalog.begin());
  };
  const std::string kVerified = "PublisherName: ExeLore Test Signer (verified)";

  const Bytes large = build(48000, 1);
  ASSERT_GT(large.size(), std::size_t{8} << 20);
  PutCatalog("large.cat", large);
  EXPECT_EQ(PublisherLine(exelore_test::RunProcess({EXELORE_BINARY, "/c", path}).out), kVerified);
  fs::remove(catroot_ + "/large.cat");

  // The hash across the offset kScanChunk, where reads of kScanChunk bytes
  // without overlap would split it.
  const std::size_t piece_end = exelore_posix::catalog::Scanner::kScanChunk;
  const std::size_t fillers = piece_end / 240;
  const std::size_t first = hash_at(build(fillers, 1));
  ASSERT_LT(first, piece_end - hash.size());
  std::size_t units = 1 + (piece_end - hash.size() / 2 - first) / 2;
  Bytes straddling = build(fillers, units);
  for (int tries = 0; tries < 8 && !(hash_at(straddling) < piece_end &&
                                      hash_at(straddling) + hash.size() > piece_end);
       ++tries) {
    units += hash_at(straddling) < piece_end - hash.size() / 2 ? 1 : -1;
    straddling = build(fillers, units);
  }
  ASSERT_LT(hash_at(straddling), piece_end);
  ASSERT_GT(hash_at(straddling) + hash.size(), piece_end);
  PutCatalog("straddling.cat", straddling);
  EXPECT_EQ(PublisherLine(exelore_test::RunProcess({EXELORE_BINARY, "/c", path}).out), kVerified);
}

}  // namespace

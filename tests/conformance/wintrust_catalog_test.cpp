// WinVerifyTrust in catalog mode, as the program calls it: a member file
// judged against the entry a signed catalog lists for it.
#include <gtest/gtest.h>
#include <mscat.h>
#include <softpub.h>
#include <wintrust.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "catalog_builder.h"
#include "catalog_fixture.h"
#include "wintrust/catalog_db.h"
#include "wintrust/catalog_index.h"
#include "pe_builder.h"
#include "test_pki.h"
#include "testing.h"
#include "verify_file.h"

namespace {

using exelore_test::BuildCatalog;
using exelore_test::CatalogOptions;
using exelore_test::CatalogTest;
using exelore_test::EntryFor;
using exelore_test::Verdict;
using exelore_test::Wide;
using Bytes = std::vector<std::uint8_t>;

// WinVerifyTrust in catalog mode as the program calls it: VERIFY, then CLOSE.
Verdict VerifyMember(const std::string& catalog, const std::u16string& tag,
                     const std::string& file) {
  const auto run = exelore_test::VerifyCatalogMember(Wide(catalog), tag, Wide(file));
  EXPECT_NE(run.state_after_verify, nullptr);
  EXPECT_EQ(run.close_status, 0);
  EXPECT_EQ(run.state_after_close, nullptr);
  return run.verdict;
}

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
  // An entry whose identifier is the hash bytes themselves: not the
  // reference tag's text, so no member by that tag.
  CatalogOptions raw = options;
  raw.entries[0].raw_tag = raw.entries[0].digest;
  // Laid out as Windows 10/11 system catalogs: the member by both hashes,
  // the text file by a bare SHA-1 entry.
  CatalogOptions member2;
  member2.subject_algorithm = exelore_test::kCatalogListMember2;
  member2.entries = exelore_test::Member2Entries(sha256, sha1);
  member2.entries.push_back(exelore_test::Member2Entries(sha256, text_sha1)[1]);
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
  const std::string v2 = put("member2.cat", BuildCatalog(member2, pki_->signer));
  const std::string unsigned_catalog =
      put("unsigned.cat", exelore_test::BuildUnsignedCatalog(options));
  CatalogOptions foreign = options;
  foreign.content_type = "1.3.6.1.4.1.311.2.1.4";
  const std::string not_ctl = put("not-ctl.cat", BuildCatalog(foreign, pki_->signer));
  const std::string garbage = put("garbage.cat", Bytes(300, 0x41));
  // The listed hash changed after signing: the signature no longer holds.
  Bytes tampered_bytes = trusted_bytes;
  const auto at =
      std::search(tampered_bytes.begin(), tampered_bytes.end(), sha1.begin(), sha1.end());
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
      {"tag as raw hash bytes",
       raw_tags,
       tag,
       member,
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_NOSIGNATURE)}},
      {"member v2: bare SHA-1 entry", v2, tag, member, {0, 0}},
      {"member v2: SHA-256 entry", v2, exelore_test::HexTag(sha256), member, {0, 0}},
      {"member v2: bare entry of another file",
       v2,
       exelore_test::HexTag(text_sha1),
       member,
       {TRUST_E_BAD_DIGEST, static_cast<DWORD>(TRUST_E_BAD_DIGEST)}},
      {"changed since",
       trusted,
       tag,
       changed,
       {TRUST_E_BAD_DIGEST, static_cast<DWORD>(TRUST_E_BAD_DIGEST)}},
      {"another member's tag",
       trusted,
       exelore_test::HexTag(text_sha1),
       member,
       {TRUST_E_BAD_DIGEST, static_cast<DWORD>(TRUST_E_BAD_DIGEST)}},
      {"tag not in the catalog",
       trusted,
       u"0000",
       member,
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_NOSIGNATURE)}},
      {"empty tag",
       trusted,
       u"",
       member,
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_NOSIGNATURE)}},
      {"untrusted root",
       untrusted,
       tag,
       member,
       {CERT_E_UNTRUSTEDROOT, static_cast<DWORD>(CERT_E_UNTRUSTEDROOT)}},
      {"changed and untrusted",
       untrusted,
       tag,
       changed,
       {TRUST_E_BAD_DIGEST, static_cast<DWORD>(TRUST_E_BAD_DIGEST)}},
      {"expired signer",
       expired,
       tag,
       member,
       {CERT_E_EXPIRED, static_cast<DWORD>(CERT_E_EXPIRED)}},
      {"signer not for code",
       wrong_eku,
       tag,
       member,
       {CERT_E_WRONG_USAGE, static_cast<DWORD>(CERT_E_WRONG_USAGE)}},
      {"MD5 entry", weak, tag, member, {NTE_BAD_ALGID, static_cast<DWORD>(NTE_BAD_ALGID)}},
      {"tampered catalog",
       tampered,
       tag,
       member,
       {CRYPT_E_HASH_VALUE, static_cast<DWORD>(CRYPT_E_HASH_VALUE)}},
      {"no signer",
       unsigned_catalog,
       tag,
       member,
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN)}},
      {"not a trust list",
       not_ctl,
       tag,
       member,
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN)}},
      {"garbage",
       garbage,
       tag,
       member,
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN)}},
      {"missing catalog",
       File("absent.cat"),
       tag,
       member,
       {ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND}},
      {"missing member",
       trusted,
       tag,
       File("absent.exe"),
       {ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(VerifyMember(c.catalog, c.tag, c.file), c.expected);
  }
}

// A verdict is kept only for the file it was reached on: a catalog that had
// settled and was verified, then changes on disk (a byte of its signed
// content flipped in place, or the file replaced by another), is judged
// afresh, by WinVerifyTrust and by the enumeration alike.
TEST_F(CatalogTest, CatalogsChangedOnDiskAreJudgedAfresh) {
  exelore_test::PeLayout layout;
  const Bytes image = Image(3, &layout);
  const std::string member = File("kept-member.exe");
  exelore_test::WriteFile(member, image);
  const Bytes sha1 = ImageHash(image, layout);
  const std::u16string tag = exelore_test::HexTag(sha1);
  CatalogOptions options;
  options.entries = {EntryFor(exelore_test::Digest({'k'})), EntryFor(sha1)};
  const Bytes trusted = BuildCatalog(options, pki_->signer);
  Bytes flipped = trusted;
  const auto at = std::search(flipped.begin(), flipped.end(), sha1.begin(), sha1.end());
  ASSERT_NE(at, flipped.end());
  at[5] ^= 0x01;
  CatalogOptions others;
  others.entries = {EntryFor(exelore_test::Digest({'o'}))};
  const Bytes other = BuildCatalog(others, pki_->signer);
  const std::string path = catroot_ + "/kept.cat";
  // Settled as the kept one, so read through its mapping.
  const std::string settled_flipped = File("settled-flipped.cat");
  exelore_test::WriteFile(settled_flipped, flipped);
  const auto first_catalog = [&] {
    HCATADMIN admin = nullptr;
    EXPECT_TRUE(CryptCATAdminAcquireContext(&admin, nullptr, 0));
    Bytes hash = sha1;
    HCATINFO info = CryptCATAdminEnumCatalogFromHash(admin, hash.data(), 20, 0, nullptr);
    CATALOG_INFO catalog{};
    catalog.cbStruct = sizeof catalog;
    const bool found = info != nullptr && CryptCATCatalogInfoFromContext(info, &catalog, 0);
    if (info != nullptr) CryptCATAdminReleaseCatalogContext(admin, info, 0);
    CryptCATAdminReleaseContext(admin, 0);
    return found;
  };

  struct Case {
    const char* what;
    const Bytes* bytes;
    bool in_place;  // rewritten through the same inode, else renamed over it
    Verdict expected;
    bool listed;
  };
  const Case cases[] = {
      {"a byte of the listed hash flipped in place",
       &flipped,
       true,
       {CRYPT_E_HASH_VALUE, static_cast<DWORD>(CRYPT_E_HASH_VALUE)},
       false},
      {"replaced by a catalog without the member",
       &other,
       false,
       {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_NOSIGNATURE)},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    exelore_test::WriteFile(path, trusted);
    std::this_thread::sleep_for(std::chrono::nanoseconds(exelore_posix::catalog::kSettledAfterNs) +
                                std::chrono::milliseconds(200));
    // Verified, then verified from what was kept.
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(VerifyMember(path, tag, member), (Verdict{0, 0}));
      EXPECT_TRUE(first_catalog());
      EXPECT_EQ(VerifyMember(settled_flipped, tag, member),
                (Verdict{CRYPT_E_HASH_VALUE, static_cast<DWORD>(CRYPT_E_HASH_VALUE)}));
    }
    // A search without an index (a process's first) offers the bytes it read
    // to the check that follows: not once the file has changed.
    EXPECT_TRUE(exelore_posix::catalog::Scanner().Lists(path, sha1));
    if (c.in_place) {
      std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
      file.write(reinterpret_cast<const char*>(c.bytes->data()),
                 static_cast<std::streamsize>(c.bytes->size()));
    } else {
      exelore_test::WriteFile(path + ".new", *c.bytes);
      std::filesystem::rename(path + ".new", path);
    }
    EXPECT_EQ(VerifyMember(path, tag, member), c.expected);
    std::this_thread::sleep_for(std::chrono::nanoseconds(exelore_posix::catalog::kSettledAfterNs) +
                                std::chrono::milliseconds(200));
    EXPECT_EQ(VerifyMember(path, tag, member), c.expected) << "settled again";
    EXPECT_EQ(first_catalog(), c.listed);
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
      EXPECT_NE(VerifyMember(File("prefix.cat"), exelore_test::HexTag(sha1), member).status, 0)
          << n;
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

// A catalog that another process empties once its size is taken and before
// its bytes are read (the seam stands between the two): no call ends the
// process, and none vouches for the member from what is left.
TEST_F(CatalogTest, CatalogsCutShortWhileReadVouchForNothing) {
  exelore_test::PeLayout layout;
  const Bytes image = Image(2, &layout);
  exelore_test::WriteFile(File("cut.exe"), image);
  Bytes sha1 = ImageHash(image, layout);
  CatalogOptions options;
  options.entries = {EntryFor(sha1)};
  Bytes catalog = BuildCatalog(options, pki_->signer);
  // Zeros may follow the message; past one piece the scanner reads it whole.
  catalog.resize(exelore_posix::catalog::Scanner::kScanChunk * 3 / 2, 0);
  exelore_test::WriteFile(File("cut.cat"), catalog);
  PutCatalog("cut.cat", catalog);
  std::this_thread::sleep_for(std::chrono::nanoseconds(exelore_posix::catalog::kSettledAfterNs) +
                              std::chrono::milliseconds(200));
  static int cuts = 0;
  exelore_posix::testing::SetWholeFileSizedHook([](int fd) {
    const int writable = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY);
    cuts += ::ftruncate(writable, 0) == 0;
    ::close(writable);
  });
  HCATADMIN admin = nullptr;
  ASSERT_TRUE(CryptCATAdminAcquireContext(&admin, nullptr, 0));
  EXPECT_EQ(CryptCATAdminEnumCatalogFromHash(admin, sha1.data(), 20, 0, nullptr), nullptr);
  EXPECT_TRUE(CryptCATAdminReleaseContext(admin, 0));
  EXPECT_NE(VerifyMember(File("cut.cat"), exelore_test::HexTag(sha1), File("cut.exe")).status, 0);
  exelore_posix::testing::SetWholeFileSizedHook(nullptr);
  EXPECT_EQ(cuts, 2);
}

// A request hashes a member for its lookup and WinVerifyTrust reuses that
// hash only while the file is the same settled file. One rewritten in place
// after it settled, its size kept and its mtime set back, is judged from its
// new bytes: at once (it has not settled again), and once it has settled
// again (its ctime moved on).
TEST_F(CatalogTest, AMemberRewrittenWithItsTimesSetBackIsHashedAfresh) {
  exelore_test::PeLayout layout;
  const Bytes image = Image(6, &layout);
  const Bytes sha1 = ImageHash(image, layout);
  CatalogOptions options;
  options.entries = {EntryFor(sha1)};
  exelore_test::WriteFile(File("rewritten.cat"), BuildCatalog(options, pki_->signer));
  const auto settle = [] {
    std::this_thread::sleep_for(std::chrono::nanoseconds(exelore_posix::catalog::kSettledAfterNs) +
                                std::chrono::milliseconds(200));
  };
  for (const bool settled_again : {false, true}) {
    SCOPED_TRACE(settled_again ? "settled again" : "at once");
    const std::string member = File(settled_again ? "rewritten-2.exe" : "rewritten-1.exe");
    exelore_test::WriteFile(member, image);
    settle();
    // The lookup's hash, as the program takes it, then the member check.
    HANDLE file = CreateFileW(Wide(member).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    Bytes hash(20);
    DWORD size = 20;
    EXPECT_TRUE(CryptCATAdminCalcHashFromFileHandle(file, &size, hash.data(), 0));
    EXPECT_EQ(hash, sha1);
    CloseHandle(file);
    const std::u16string tag = exelore_test::HexTag(sha1);
    EXPECT_EQ(VerifyMember(File("rewritten.cat"), tag, member), (Verdict{0, 0}));

    struct stat before {};
    ASSERT_EQ(::stat(member.c_str(), &before), 0);
    Bytes changed = image;
    changed[layout.version_data_offset + 40] ^= 1;
    std::fstream out(member, std::ios::in | std::ios::out | std::ios::binary);
    out.write(reinterpret_cast<const char*>(changed.data()),
              static_cast<std::streamsize>(changed.size()));
    out.close();
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, member.c_str(), times, 0), 0);
    if (settled_again) settle();
    // Nor does the old hash count when the caller hands it in.
    const auto run =
        exelore_test::VerifyCatalogMember(Wide(File("rewritten.cat")), tag, Wide(member), sha1);
    EXPECT_EQ(run.verdict, (Verdict{TRUST_E_BAD_DIGEST, static_cast<DWORD>(TRUST_E_BAD_DIGEST)}));
  }
}

}  // namespace

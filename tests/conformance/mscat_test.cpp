// Files vouched for by signed catalogs, the catalog functions as Windows
// answers them: CryptCATAdminCalcHashFromFileHandle and the catalog
// database. WinVerifyTrust's catalog mode is in wintrust_catalog_test.cpp,
// the program over a catalog folder in ../program/catalog_program_test.cpp.
#include <gtest/gtest.h>
#include <mscat.h>
#include <softpub.h>
#include <wintrust.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "catalog_builder.h"
#include "catalog_fixture.h"
#include "pe_builder.h"
#include "process.h"
#include "test_pki.h"
#include "text.h"
#include "verify_file.h"
#include "wintrust/catalog_db.h"
#include "wintrust/catalog_index.h"

namespace {

namespace fs = std::filesystem;
using exelore_test::BuildCatalog;
using exelore_test::CatalogOptions;
using exelore_test::CatalogTest;
using exelore_test::EntryFor;
using exelore_test::Wide;
using Bytes = std::vector<std::uint8_t>;

// --- CryptCATAdminCalcHashFromFileHandle --------------------------------------

struct CalcResult {
  BOOL ok;
  DWORD error;
  DWORD size;
  Bytes hash;
};

CalcResult CalcHash(const std::string& path, DWORD size, bool buffer, DWORD flags = 0) {
  const std::u16string wide = Wide(path);
  HANDLE file =
      CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
  CalcResult r{};
  r.size = size;
  r.hash.assign(64, 0xCC);
  SetLastError(0xdeadbeef);
  r.ok =
      CryptCATAdminCalcHashFromFileHandle(file, &r.size, buffer ? r.hash.data() : nullptr, flags);
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
  HCATINFO info = CryptCATAdminEnumCatalogFromHash(admin, copy.data(),
                                                   static_cast<DWORD>(copy.size()), 0, nullptr);
  Found found{"", GetLastError()};
  if (info != nullptr) {
    CATALOG_INFO catalog{};
    catalog.cbStruct = sizeof catalog;
    EXPECT_TRUE(CryptCATCatalogInfoFromContext(info, &catalog, 0));
    found.catalog =
        fs::path(*exelore_posix::Utf16ToBytes(catalog.wszCatalogFile)).filename().string();
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
  EXPECT_EQ(fs::path(*exelore_posix::Utf16ToBytes(catalog.wszCatalogFile)).filename(),
            "B-second.CAT");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(CryptCATAdminEnumCatalogFromHash(admin, hash.data(), 20, 0, &info), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_TRUE(CryptCATAdminReleaseContext(admin, 0));
}

// The catalogs listing `hash`, in enumeration order, as the program's API
// gives them: the first, then each after the one before (hPrevCatInfo).
std::vector<std::string> EnumerateCatalogs(const Bytes& hash) {
  std::vector<std::string> names;
  HCATADMIN admin = nullptr;
  if (!CryptCATAdminAcquireContext(&admin, nullptr, 0)) return {"<no context>"};
  Bytes copy = hash;
  HCATINFO info = nullptr;
  while (
      (info = CryptCATAdminEnumCatalogFromHash(admin, copy.data(), static_cast<DWORD>(copy.size()),
                                               0, info == nullptr ? nullptr : &info)) != nullptr) {
    CATALOG_INFO catalog{};
    catalog.cbStruct = sizeof catalog;
    if (!CryptCATCatalogInfoFromContext(info, &catalog, 0)) names.push_back("<no info>");
    names.push_back(
        fs::path(*exelore_posix::Utf16ToBytes(catalog.wszCatalogFile)).filename().string());
  }
  CryptCATAdminReleaseContext(admin, 0);
  return names;
}

// A process that asks about many files answers from its index of the
// folder, once the catalogs have settled, what a scan of every catalog
// answers, from several threads at once, the enumeration's continuation
// included; and WinVerifyTrust answers from the verdict it keeps what it
// answered at first.
TEST_F(CatalogTest, ManyLookupsAnswerAsTheScanFromEveryThread) {
  exelore_test::PeLayout layout;
  const Bytes image = Image(7, &layout);
  const std::string member = File("many-member.exe");
  exelore_test::WriteFile(member, image);
  const Bytes listed = ImageHash(image, layout);
  const Bytes a = exelore_test::Digest({'a'});
  const Bytes b = exelore_test::Digest({'b'});
  const Bytes c = exelore_test::Digest({'c'});
  const Bytes e = exelore_test::Digest({'e'});
  const Bytes f = exelore_test::Digest({'f'});
  CatalogOptions first;
  first.entries = {EntryFor(a)};
  CatalogOptions second;
  second.entries = {EntryFor(a), EntryFor(listed), EntryFor(b)};
  // `e` only in an identifier's bytes, `f` as that entry's digest.
  CatalogOptions third;
  third.entries = {EntryFor(f), EntryFor(b)};
  third.entries[0].raw_tag = e;
  CatalogOptions nameless;
  nameless.entries = {EntryFor(c)};
  nameless.entries[0].indirect_data = false;
  // A second member listed by a member-v2 catalog alone, whose bare SHA-1
  // entry in a classic catalog lists nothing.
  exelore_test::PeLayout layout2;
  const Bytes image2 = Image(9, &layout2);
  const std::string member2 = File("many-member2.exe");
  exelore_test::WriteFile(member2, image2);
  const Bytes listed2 = ImageHash(image2, layout2);
  const Bytes listed2_256 = ImageHash(image2, layout2, "sha256");
  CatalogOptions fourth;
  fourth.subject_algorithm = exelore_test::kCatalogListMember2;
  fourth.entries = exelore_test::Member2Entries(listed2_256, listed2);
  const Bytes h = exelore_test::Digest({'h'});
  nameless.entries.push_back(exelore_test::Member2Entries(listed2_256, h)[1]);
  const Bytes signed_second = BuildCatalog(second, pki_->signer);
  PutCatalog("a-first.cat", BuildCatalog(first, pki_->untrusted_signer));
  PutCatalog("B-second.CAT", signed_second);
  PutCatalog("c-third.cat", BuildCatalog(third, pki_->signer));
  PutCatalog("d-fourth.cat", BuildCatalog(fourth, pki_->signer));
  PutCatalog("0-truncated.cat", Bytes(signed_second.begin(), signed_second.end() - 40));
  PutCatalog("0-unsigned.cat", exelore_test::BuildUnsignedCatalog(second));
  PutCatalog("0-nameless.cat", BuildCatalog(nameless, pki_->signer));
  PutCatalog("0-garbage.cat", Bytes(4096, 0x30));
  std::this_thread::sleep_for(std::chrono::nanoseconds(exelore_posix::catalog::kSettledAfterNs) +
                              std::chrono::milliseconds(200));

  struct Case {
    const char* what;
    Bytes hash;
    std::vector<std::string> catalogs;
  };
  const Case cases[] = {
      {"listed by two", a, {"a-first.cat", "B-second.CAT"}},
      {"listed by two others", b, {"B-second.CAT", "c-third.cat"}},
      {"the member", listed, {"B-second.CAT"}},
      {"named but without hash", c, {}},
      {"in an identifier only", e, {}},
      {"digest of a raw identifier", f, {"c-third.cat"}},
      {"member v2, by SHA-1", listed2, {"d-fourth.cat"}},
      {"member v2, by SHA-256", listed2_256, {"d-fourth.cat"}},
      {"bare SHA-1 entry of a classic catalog", h, {}},
      {"listed nowhere", exelore_test::Digest({'z'}), {}},
  };
  const std::vector<std::string> paths = exelore_posix::catalog::ListCatalogs(catroot_);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::vector<std::string> scanned;
    exelore_posix::catalog::Scanner scanner;
    for (std::size_t start = 0;;) {
      const auto found = scanner.FindFirst(paths, start, k.hash);
      if (!found) break;
      scanned.push_back(fs::path(paths[*found]).filename().string());
      start = *found + 1;
    }
    EXPECT_EQ(scanned, k.catalogs);
  }

  // Each thread asks every question three times; the first questions of the
  // process build the index and keep the verdict, the later ones use them.
  const std::u16string catalog = Wide(catroot_ + "/B-second.CAT");
  const std::u16string tag = exelore_test::HexTag(listed);
  const std::u16string catalog2 = Wide(catroot_ + "/d-fourth.cat");
  constexpr int kThreads = 4;
  constexpr int kRounds = 3;
  std::vector<std::vector<std::vector<std::string>>> answers(kThreads);
  std::vector<std::vector<exelore_test::Verdict>> verdicts(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        for (const Case& k : cases) answers[t].push_back(EnumerateCatalogs(k.hash));
        verdicts[t].push_back(
            exelore_test::VerifyCatalogMember(catalog, tag, Wide(member)).verdict);
        verdicts[t].push_back(exelore_test::VerifyCatalogMember(
                                  catalog2, exelore_test::HexTag(listed2), Wide(member2))
                                  .verdict);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    for (std::size_t i = 0; i < answers[t].size(); ++i) {
      EXPECT_EQ(answers[t][i], cases[i % std::size(cases)].catalogs)
          << cases[i % std::size(cases)].what;
    }
    EXPECT_EQ(verdicts[t], std::vector<exelore_test::Verdict>(2 * kRounds, {0, 0}));
  }
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
      {"acquire without out-pointer",
       [] { return CryptCATAdminAcquireContext(nullptr, nullptr, 0) != FALSE; }},
      {"acquire with flags",
       [] {
         HCATADMIN h = nullptr;
         return CryptCATAdminAcquireContext(&h, nullptr, 1) != FALSE;
       }},
      {"enum on a made-up admin",
       [&] {
         return CryptCATAdminEnumCatalogFromHash(&not_a_handle, hash.data(), 20, 0, nullptr) !=
                nullptr;
       }},
      {"enum without hash",
       [&] { return CryptCATAdminEnumCatalogFromHash(admin, nullptr, 20, 0, nullptr) != nullptr; }},
      {"enum with flags",
       [&] {
         return CryptCATAdminEnumCatalogFromHash(admin, hash.data(), 20, 1, nullptr) != nullptr;
       }},
      {"info from a made-up context",
       [&] { return CryptCATCatalogInfoFromContext(&not_a_handle, &catalog, 0) != FALSE; }},
      {"release a made-up catalog context",
       [&] { return CryptCATAdminReleaseCatalogContext(admin, &not_a_handle, 0) != FALSE; }},
      {"release a made-up admin",
       [&] { return CryptCATAdminReleaseContext(&not_a_handle, 0) != FALSE; }},
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
  const std::string deep_catroot =
      deep + "/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
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

}  // namespace

// Conformance tests of the version resource API: what Windows' version.dll
// does for each kind of file and sub-block path.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "pe_builder.h"
#include "process.h"
#include "text.h"

namespace {

using exelore_test::BuildPeWithVersion;
using exelore_test::DefaultVersionInfo;
using exelore_test::TempDir;
using exelore_test::VersionInfoLayout;

constexpr DWORD kSentinel = 0xdeadbeef;

std::u16string Wide(const std::string& path) { return exelore_posix::BytesToUtf16(path); }

// The version block of `path`, loaded the way the program loads it.
std::vector<BYTE> LoadBlock(const std::string& path) {
  DWORD handle = kSentinel;
  const DWORD size = GetFileVersionInfoSizeW(Wide(path).c_str(), &handle);
  EXPECT_EQ(handle, 0u);
  if (size == 0) return {};
  std::vector<BYTE> block(size, 0xCC);
  EXPECT_TRUE(GetFileVersionInfoW(Wide(path).c_str(), 0, size, block.data()));
  return block;
}

std::u16string QueryString(const std::vector<BYTE>& block, const char16_t* sub_block) {
  void* value = nullptr;
  UINT length = kSentinel;
  if (!VerQueryValueW(block.data(), sub_block, &value, &length)) return u"<absent>";
  // Whatever the file holds, the string ends inside the block.
  const auto* begin = static_cast<const BYTE*>(value);
  EXPECT_GE(begin, block.data());
  const auto* text = static_cast<const char16_t*>(value);
  std::size_t n = 0;
  while (begin + 2 * (n + 1) <= block.data() + block.size() && text[n] != 0) ++n;
  EXPECT_LE(begin + 2 * (n + 1), block.data() + block.size()) << "string runs past the block";
  return std::u16string(text, n);
}

struct FileCase {
  const char* name;
  std::function<std::string(const TempDir&)> make;
  DWORD error;
};

TEST(GetFileVersionInfoSize, FailsWithTheErrorWindowsGives) {
  const std::vector<FileCase> cases = {
      {"missing file", [](const TempDir& d) { return d.File("absent.exe"); }, ERROR_FILE_NOT_FOUND},
      {"missing folder", [](const TempDir& d) { return d.File("nowhere/absent.exe"); },
       ERROR_PATH_NOT_FOUND},
      {"directory", [](const TempDir& d) { return d.path(); }, ERROR_ACCESS_DENIED},
      {"text file",
       [](const TempDir& d) {
         exelore_test::WriteFile(d.File("a.txt"), {'h', 'e', 'l', 'l', 'o'});
         return d.File("a.txt");
       },
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"empty file",
       [](const TempDir& d) {
         exelore_test::WriteFile(d.File("empty.exe"), {});
         return d.File("empty.exe");
       },
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"PE without resources",
       [](const TempDir& d) {
         exelore_test::WriteFile(d.File("plain.exe"), exelore_test::BuildPe({}));
         return d.File("plain.exe");
       },
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"PE with only a manifest",
       [](const TempDir& d) {
         exelore_test::PeOptions options;
         options.resources.push_back(
             {exelore_test::kRtManifest, 1, {}, 0x0409, {'<', '/', '>'}, {}});
         exelore_test::WriteFile(d.File("manifest.exe"), exelore_test::BuildPe(options));
         return d.File("manifest.exe");
       },
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"FIFO without a writer",
       [](const TempDir& d) {
         ::mkfifo(d.File("fifo").c_str(), 0600);
         return d.File("fifo");
       },
       ERROR_BAD_FORMAT},
      {"character device", [](const TempDir&) { return std::string("/dev/zero"); },
       ERROR_BAD_FORMAT},
      {"socket",
       [](const TempDir& d) {
         const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         std::strncpy(address.sun_path, d.File("sock").c_str(), sizeof address.sun_path - 1);
         ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
         ::close(fd);
         return d.File("sock");
       },
       ERROR_BAD_FORMAT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = c.make(dir);
    DWORD handle = kSentinel;
    SetLastError(kSentinel);
    // A FIFO without a writer would block an open that waits for one: the
    // call returning at all is the check (the test's timeout catches a hang).
    EXPECT_EQ(GetFileVersionInfoSizeW(Wide(path).c_str(), &handle), 0u);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(handle, 0u);
    SetLastError(kSentinel);
    EXPECT_EQ(GetFileVersionInfoSizeExW(FILE_VER_GET_NEUTRAL, Wide(path).c_str(), &handle), 0u);
    EXPECT_EQ(GetLastError(), c.error);
  }
}

TEST(GetFileVersionInfoSize, IsTwiceTheResourcePlusFour) {
  for (const bool pe32plus : {false, true}) {
    SCOPED_TRACE(pe32plus ? "PE32+" : "PE32");
    TempDir dir;
    exelore_test::PeLayout layout;
    exelore_test::WriteFile(dir.File("v.exe"),
                            BuildPeWithVersion(DefaultVersionInfo(), pe32plus, 0x0409, &layout));
    DWORD handle = kSentinel;
    EXPECT_EQ(GetFileVersionInfoSizeW(Wide(dir.File("v.exe")).c_str(), &handle),
              layout.version_data_size * 2 + 4);
    EXPECT_EQ(handle, 0u);
  }
}

TEST(VerQueryValue, FollowsTheSubBlockPathRules) {
  VersionInfoLayout info = DefaultVersionInfo(u"Contoso Ltd", u"Widget", u"Does things");
  info.string_tables[0].block_name = u"040904B0";  // stored upper-case
  info.string_tables[0].strings.push_back({u"Empty", u"", false});
  info.translations = {{{0x0409, 0x04b0}, {0x0407, 0x04e4}}};
  TempDir dir;
  exelore_test::WriteFile(dir.File("v.exe"), BuildPeWithVersion(info));
  const auto block = LoadBlock(dir.File("v.exe"));
  ASSERT_FALSE(block.empty());

  struct Case {
    const char16_t* sub_block;
    std::u16string value;
  };
  const std::vector<Case> cases = {
      {u"\\StringFileInfo\\040904b0\\CompanyName", u"Contoso Ltd"},
      {u"\\StringFileInfo\\040904B0\\CompanyName", u"Contoso Ltd"},
      {u"\\stringfileinfo\\040904b0\\companyname", u"Contoso Ltd"},
      {u"StringFileInfo\\040904b0\\ProductName", u"Widget"},
      {u"\\\\StringFileInfo\\\\040904b0\\\\FileDescription\\", u"Does things"},
      {u"\\StringFileInfo\\040904b0\\Empty", u""},
      {u"\\StringFileInfo\\040904b0\\Company", u"<absent>"},
      {u"\\StringFileInfo\\040904b0\\CompanyNameX", u"<absent>"},
      {u"\\StringFileInfo\\040904b\\CompanyName", u"<absent>"},
      {u"\\StringFileInfo\\040704e4\\CompanyName", u"<absent>"},
      {u"\\StringFileInfo\\040904b0\\Comments", u"<absent>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(exelore_posix::Utf16ToUtf8(c.sub_block));
    EXPECT_EQ(QueryString(block, c.sub_block), c.value);
  }

  void* value = nullptr;
  UINT length = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(VerQueryValueW(block.data(), u"\\StringFileInfo\\040904b0\\Nope", &value, &length));
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  SetLastError(kSentinel);
  EXPECT_FALSE(VerQueryValueW(nullptr, u"\\", &value, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, 8u);
  const auto* words = static_cast<const BYTE*>(value);
  EXPECT_EQ(words[0] | (words[1] << 8), 0x0409);
  EXPECT_EQ(words[2] | (words[3] << 8), 0x04b0);
  EXPECT_EQ(words[4] | (words[5] << 8), 0x0407);

  for (const char16_t* root : {u"\\", u""}) {
    ASSERT_TRUE(VerQueryValueW(block.data(), root, &value, &length));
    EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, value, sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, VS_FFI_SIGNATURE);
  }
}

// A string value stored without its terminating zero still ends inside the
// block, however the lengths around it are set.
TEST(VerQueryValue, UnterminatedValuesEndInsideTheBlock) {
  VersionInfoLayout info = DefaultVersionInfo();
  info.string_tables[0].strings = {{u"CompanyName", u"NoTerminator", true},
                                   {u"ProductName", u"Last", true}};
  TempDir dir;
  exelore_test::WriteFile(dir.File("v.exe"), BuildPeWithVersion(info));
  const auto block = LoadBlock(dir.File("v.exe"));
  ASSERT_FALSE(block.empty());
  const std::u16string company = QueryString(block, u"\\StringFileInfo\\040904b0\\CompanyName");
  const std::u16string product = QueryString(block, u"\\StringFileInfo\\040904b0\\ProductName");
  EXPECT_EQ(company.substr(0, 4), u"NoTe");
  EXPECT_EQ(product.substr(0, 2), u"La");
}

// Which language is read when a file carries several: English (United States)
// or the neutral language when present, otherwise the first one listed.
TEST(GetFileVersionInfo, TakesTheLanguageTheResourceLoaderTakes) {
  const auto block_with = [](std::vector<uint16_t> languages) {
    exelore_test::PeOptions options;
    for (const uint16_t lang : languages) {
      auto info =
          DefaultVersionInfo(u"Company " + exelore_posix::BytesToUtf16(std::to_string(lang)));
      options.resources.push_back(
          {exelore_test::kRtVersion, 1, {}, lang, exelore_test::BuildVersionResource(info), {}});
    }
    return exelore_test::BuildPe(options);
  };
  std::vector<uint16_t> many;
  for (uint16_t lang = 0x0401; many.size() < 36; ++lang) {
    if (lang != 0x0409) many.push_back(lang);
  }
  many.back() = 0x0409;
  struct Case {
    const char* name;
    std::vector<uint16_t> languages;
    uint16_t expected;
  };
  const std::vector<Case> cases = {
      {"36 languages, English among them", many, 0x0409},
      {"German and English", {0x0407, 0x0409}, 0x0409},
      {"German and neutral", {0x0000, 0x0407}, 0x0000},
      {"German and French", {0x040c, 0x0407}, 0x0407},
      {"British English and German", {0x0407, 0x0809}, 0x0407},
      {"English without sublanguage and German", {0x0009, 0x0407}, 0x0009},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    exelore_test::WriteFile(dir.File("v.exe"), block_with(c.languages));
    const auto block = LoadBlock(dir.File("v.exe"));
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(QueryString(block, u"\\StringFileInfo\\040904b0\\CompanyName"),
              u"Company " + exelore_posix::BytesToUtf16(std::to_string(c.expected)));
  }
}

TEST(GetFileVersionInfo, AcceptsPathsThatAreNotUtf8) {
  TempDir dir;
  const std::string name = dir.File("caf\xe9-\xff.exe");
  exelore_test::WriteFile(name, BuildPeWithVersion(DefaultVersionInfo(u"Bytes Inc")));
  const auto block = LoadBlock(name);
  ASSERT_FALSE(block.empty());
  EXPECT_EQ(QueryString(block, u"\\StringFileInfo\\040904b0\\CompanyName"), u"Bytes Inc");
}

}  // namespace

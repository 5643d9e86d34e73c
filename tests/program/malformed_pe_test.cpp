// Hostile and damaged files: the version API and the report never crash,
// hang or read outside what they were given, and the report keeps its shape.
#include <windows.h>

#include <cstring>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "pe_builder.h"
#include "process.h"
#include "report/application_report.h"
#include "text.h"

namespace {

using exelore_test::BuildPeWithVersion;
using exelore_test::DefaultVersionInfo;
using exelore_test::TempDir;

using exelore_test::Put16;
using exelore_test::Put32;

// Composes the report for `bytes` and checks it is empty, the publisher line
// alone, or twelve version lines in order.
void ExpectWellFormedReport(const TempDir& dir, const std::vector<uint8_t>& bytes) {
  const std::string path = dir.File("damaged.exe");
  exelore_test::WriteFile(path, bytes);
  WideString report;
  const std::uint64_t before = exelore_test::BytesReadSoFar();
  ComposeApplicationReport(exelore_posix::BytesToUtf16(path).c_str(), report);
  // No structure is read twice over: a loop in the resource tree or a size
  // pointing past the file costs nothing beyond the file's own bytes.
  const std::uint64_t read = exelore_test::BytesReadSoFar() - before;
  EXPECT_LE(read, 2 * bytes.size() + 65536) << read << " bytes read";
  if (report.empty() || report.rfind(u"PublisherName: ", 0) == 0) return;
  std::size_t at = 0;
  for (const WCHAR* key : VersionStringKeys) {
    const std::u16string prefix = std::u16string(key) + u": ";
    ASSERT_EQ(report.compare(at, prefix.size(), prefix), 0) << exelore_posix::Utf16ToUtf8(report);
    const std::size_t end = report.find(u"\r\n", at);
    ASSERT_NE(end, std::u16string::npos);
    at = end + 2;
  }
}

TEST(MalformedPe, EveryTruncationGivesAWellFormedReport) {
  for (const bool pe32plus : {false, true}) {
    SCOPED_TRACE(pe32plus ? "PE32+" : "PE32");
    const auto image = BuildPeWithVersion(DefaultVersionInfo(), pe32plus);
    TempDir dir;
    for (std::size_t length = 0; length < image.size(); ++length) {
      SCOPED_TRACE(length);
      ExpectWellFormedReport(dir, std::vector<uint8_t>(image.begin(), image.begin() + length));
    }
  }
}

TEST(MalformedPe, DamagedVersionBlockBytesGiveAWellFormedReport) {
  exelore_test::PeLayout layout;
  const auto image = BuildPeWithVersion(DefaultVersionInfo(), true, 0x0409, &layout);
  TempDir dir;
  for (std::size_t at = layout.version_data_offset;
       at < layout.version_data_offset + layout.version_data_size; ++at) {
    for (const uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x7F}, uint8_t{0x06}}) {
      SCOPED_TRACE(testing::Message() << "offset " << at << " value " << int(value));
      auto damaged = image;
      damaged[at] = value;
      ExpectWellFormedReport(dir, damaged);
    }
  }
}

TEST(MalformedPe, DamagedHeadersAndTreeGiveAWellFormedReport) {
  exelore_test::PeLayout layout;
  const auto image = BuildPeWithVersion(DefaultVersionInfo(), true, 0x0409, &layout);
  TempDir dir;
  // Headers, section table and the resource directory tree.
  std::vector<std::size_t> positions;
  for (std::size_t at = 0; at < layout.section_table + 3 * 40; ++at) positions.push_back(at);
  for (std::size_t at = layout.rsrc_raw; at < layout.version_data_offset; ++at) {
    positions.push_back(at);
  }
  for (const std::size_t at : positions) {
    for (const uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x80}}) {
      SCOPED_TRACE(testing::Message() << "offset " << at << " value " << int(value));
      auto damaged = image;
      damaged[at] = value;
      ExpectWellFormedReport(dir, damaged);
    }
  }
}

struct Mutation {
  const char* name;
  std::function<void(std::vector<uint8_t>&, const exelore_test::PeLayout&)> apply;
};

TEST(MalformedPe, LyingSizesAndOffsetsGiveAWellFormedReport) {
  const std::vector<Mutation> mutations = {
      {"e_lfanew past the end", [](auto& b, auto&) { Put32(b, 60, 0xFFFFFFF0); }},
      {"e_lfanew wraps", [](auto& b, auto&) { Put32(b, 60, 0xFFFFFFFF); }},
      {"too many sections", [](auto& b, auto& l) { Put16(b, l.coff_header + 2, 0xFFFF); }},
      {"optional header size huge", [](auto& b, auto& l) { Put16(b, l.coff_header + 16, 0xFFFF); }},
      {"optional header size tiny", [](auto& b, auto& l) { Put16(b, l.coff_header + 16, 8); }},
      {"no data directories", [](auto& b, auto& l) { Put32(b, l.data_directories - 4, 0); }},
      {"resource directory RVA wraps",
       [](auto& b, auto& l) { Put32(b, l.data_directories + 16, 0xFFFFFFF0); }},
      {"resource section raw pointer past the end",
       [](auto& b, auto& l) {
         for (std::size_t s = 0; s < 3; ++s) {
           const std::size_t at = l.section_table + 40 * s;
           if (std::memcmp(&b[at], ".rsrc", 5) == 0) Put32(b, at + 20, 0x7FFFFFF0);
         }
       }},
      {"resource section raw size wraps",
       [](auto& b, auto& l) {
         for (std::size_t s = 0; s < 3; ++s) {
           const std::size_t at = l.section_table + 40 * s;
           if (std::memcmp(&b[at], ".rsrc", 5) == 0) Put32(b, at + 16, 0xFFFFFFFF);
         }
       }},
      {"data entry RVA wraps",
       [](auto& b, auto& l) { Put32(b, l.rsrc_raw + l.rsrc.data_entry_offsets[0], 0xFFFFFFF0); }},
      {"data entry size past the end",
       [](auto& b, auto& l) {
         Put32(b, l.rsrc_raw + l.rsrc.data_entry_offsets[0] + 4, 0x7FFFFFFF);
       }},
      {"data entry size zero",
       [](auto& b, auto& l) { Put32(b, l.rsrc_raw + l.rsrc.data_entry_offsets[0] + 4, 0); }},
      {"root wLength larger than the resource",
       [](auto& b, auto& l) { Put16(b, l.version_data_offset, 0xFFFF); }},
      {"root wLength below a header", [](auto& b, auto& l) { Put16(b, l.version_data_offset, 3); }},
      {"root wValueLength huge",
       [](auto& b, auto& l) { Put16(b, l.version_data_offset + 2, 0xFFFF); }},
      {"directory entry counts huge",
       [](auto& b, auto& l) {
         Put16(b, l.rsrc_raw + 12, 0x7FFF);
         Put16(b, l.rsrc_raw + 14, 0xFFFF);
       }},
      {"tree loops back to the root",
       [](auto& b, auto& l) {
         // Root's type entry points at the root itself, so do the levels below.
         Put32(b, l.rsrc_raw + 16 + 4, 0x80000000u);
       }},
  };
  for (const bool pe32plus : {false, true}) {
    exelore_test::PeLayout layout;
    const auto image = BuildPeWithVersion(DefaultVersionInfo(), pe32plus, 0x0409, &layout);
    for (const auto& m : mutations) {
      SCOPED_TRACE(std::string(m.name) + (pe32plus ? " (PE32+)" : " (PE32)"));
      TempDir dir;
      auto damaged = image;
      m.apply(damaged, layout);
      ExpectWellFormedReport(dir, damaged);
    }
  }
}

// The version API reads only the structures it needs: the version section
// of a large file costs a few small reads, never the file.
TEST(MalformedPe, LargeFileReportsWithoutReadingIt) {
  exelore_test::PeOptions options;
  options.resources.push_back({exelore_test::kRtVersion,
                               1,
                               {},
                               0x0409,
                               exelore_test::BuildVersionResource(DefaultVersionInfo(u"Big")),
                               {}});
  options.extra_section_bytes = 64u << 20;
  TempDir dir;
  exelore_test::WriteFile(dir.File("big.exe"), exelore_test::BuildPe(options));
  WideString report;
  const std::uint64_t before = exelore_test::BytesReadSoFar();
  ComposeApplicationReport(exelore_posix::BytesToUtf16(dir.File("big.exe")).c_str(), report);
  const std::uint64_t read = exelore_test::BytesReadSoFar() - before;
  EXPECT_NE(report.find(u"CompanyName: Big\r\n"), std::u16string::npos);
  EXPECT_LT(read, 1u << 20) << read << " bytes read";
}

}  // namespace

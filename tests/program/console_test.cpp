// The executable end to end: command lines, exact output bytes, exit status.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pe_builder.h"
#include "process.h"
#include "report_cases.h"

namespace {

using exelore_test::BuildPeWithVersion;
using exelore_test::DefaultVersionInfo;
using exelore_test::RunProcess;
using exelore_test::TempDir;

constexpr char kUsage[] = "Usage: ExeLore /c [executable name]\r\n";

void ExpectRun(const std::vector<std::string>& args, const std::string& expected_out) {
  std::vector<std::string> argv = {EXELORE_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto result = RunProcess(argv);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, expected_out);
  EXPECT_EQ(result.err, "");
}

TEST(Console, PrintsTheUsageLineForAnyOtherCommandLine) {
  TempDir dir;
  const std::string file = dir.File("f.exe");
  exelore_test::WriteFile(file, BuildPeWithVersion(DefaultVersionInfo()));
  for (const auto& args : exelore_test::UsageCommandLines(file)) {
    SCOPED_TRACE(testing::PrintToString(args));
    ExpectRun(args, kUsage);
  }
}

TEST(Console, PrintsALineEndAloneForAnEmptyReport) {
  TempDir dir;
  exelore_test::WriteFile(dir.File("plain.exe"), exelore_test::BuildPe({}));
  for (const std::string& path :
       {std::string(), dir.File("absent.exe"), dir.File("plain.exe"), dir.path()}) {
    SCOPED_TRACE(path);
    ExpectRun({"/c", path}, "\r\n");
  }
}

// Each UTF-16 unit is one byte: below 256 as itself, anything else as "?",
// each half of a surrogate pair included.
TEST(Console, WritesTheReportAsSingleByteText) {
  TempDir dir;
  auto info = DefaultVersionInfo(u"Caf\u00e9 \u0141\u00f3d\u017a \U0001F600!", u"Product");
  info.string_tables[0].strings = {{u"CompanyName", info.string_tables[0].strings[0].value, false},
                                   {u"ProductName", u"Product", false}};
  // A name that is not valid UTF-8 is found all the same.
  const std::string file = dir.File("odd-\xff\xfe.exe");
  exelore_test::WriteFile(file, BuildPeWithVersion(info));
  const std::string expected =
      "Comments: \r\nInternalName: \r\nProductName: Product\r\n"
      "CompanyName: Caf\xe9 ?\xf3"
      "d? ?"
      "?!\r\n"
      "LegalCopyright: \r\nProductVersion: \r\nFileDescription: \r\n"
      "LegalTrademarks: \r\nPrivateBuild: \r\nFileVersion: \r\nOriginalFilename: \r\n"
      "SpecialBuild: \r\nPublisherName: \r\n";
  ExpectRun({"/c", file}, expected);
}

}  // namespace

// The application report composed for files built with the fixture writer.
#include <windows.h>

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "pe_builder.h"
#include "process.h"
#include "report/application_report.h"
#include "report_cases.h"
#include "testing.h"
#include "text.h"

namespace {

using exelore_test::BuildPeWithVersion;
using exelore_test::DefaultVersionInfo;
using exelore_test::ReportCases;
using exelore_test::TempDir;

std::u16string Compose(const std::string& path) {
  WideString report = u"stale text";
  ComposeApplicationReport(exelore_posix::BytesToUtf16(path).c_str(), report);
  return report;
}

TEST(ComposeApplicationReport, ReportsTheTwelveKeysOfTheFirstTranslation) {
  for (const auto& c : ReportCases()) {
    for (const bool pe32plus : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (pe32plus ? " (PE32+)" : " (PE32)"));
      TempDir dir;
      exelore_test::WriteFile(dir.File("f.exe"), BuildPeWithVersion(c.info, pe32plus));
      EXPECT_EQ(exelore_posix::Utf16ToUtf8(Compose(dir.File("f.exe"))),
                exelore_posix::Utf16ToUtf8(c.expected));
    }
  }
}

TEST(ComposeApplicationReport, IsEmptyWithoutAVersionResource) {
  TempDir dir;
  exelore_test::WriteFile(dir.File("plain.exe"), exelore_test::BuildPe({}));
  exelore_test::WriteFile(dir.File("text.txt"), {'M', 'Z'});
  for (const std::string& path : {std::string(), dir.File("absent.exe"), dir.File("plain.exe"),
                                  dir.File("text.txt"), dir.path(), std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Compose(path), u"");
  }
}

// The report is the same whether the system offers the language-neutral
// version API, lacks it, or has one that fails.
TEST(ComposeApplicationReport, FallsBackToTheClassicVersionApi) {
  TempDir dir;
  exelore_test::WriteFile(dir.File("f.exe"), BuildPeWithVersion(DefaultVersionInfo(u"Fallback")));
  const std::u16string reference = Compose(dir.File("f.exe"));
  ASSERT_NE(reference.find(u"CompanyName: Fallback\r\n"), std::u16string::npos);
  namespace t = exelore_posix::testing;
  struct Switch {
    const char* name;
    void (*set)(bool);
  };
  for (const Switch& s : {Switch{"neutral exports hidden", t::SetVersionDllNeutralExportsHidden},
                          Switch{"neutral exports fail", t::SetVersionDllNeutralExportsFail},
                          Switch{"version.dll missing", t::SetVersionDllMissing}}) {
    SCOPED_TRACE(s.name);
    s.set(true);
    EXPECT_EQ(Compose(dir.File("f.exe")), reference);
    s.set(false);
  }
}

}  // namespace

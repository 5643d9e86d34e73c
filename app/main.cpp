// Entry point: chooses between the dialog, the console report and the usage
// line. The exit status is 0 in every case.
#include <windows.h>

#include <string_view>

#include "app/console_output.h"
#include "app/main_dialog.h"
#include "report/application_report.h"

namespace {

bool IsConsoleSwitch(const WCHAR* argument) {
  return std::basic_string_view<WCHAR>(argument) == TEXT("/c");
}

}  // namespace

int wmain(int argc, WCHAR* argv[]) {
  if (argc == 1) {
    FreeConsole();
    RunMainDialog();
    return 0;
  }
  if (argc == 3 && IsConsoleSwitch(argv[1])) {
    WideString report;
    ComposeApplicationReport(argv[2], report);
    report += TEXT("\r\n");
    WriteSingleByte(report);
    return 0;
  }
  WriteSingleByte(TEXT("Usage: ExeLore /c [executable name]\r\n"));
  return 0;
}

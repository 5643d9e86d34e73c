#include "app/main_dialog.h"

#include <commdlg.h>

#include "app/centring.h"
#include "app/resource.h"
#include "report/application_report.h"
#include "util/shared.h"

namespace {

constexpr int kPathUnits = MAX_PATH;

void Browse(HWND dialog) {
  WCHAR file[kPathUnits];
  file[0] = 0;
  OPENFILENAMEW open{};
  open.lStructSize = sizeof(open);
  open.hwndOwner = dialog;
  open.lpstrFilter = TEXT("Executable\0*.exe\0\0");
  open.nFilterIndex = 0;
  open.lpstrFile = file;
  open.nMaxFile = kPathUnits;
  open.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (GetOpenFileNameW(&open)) SetDlgItemTextW(dialog, IDC_PATH, file);
}

void GetInfo(HWND dialog) {
  WCHAR path[kPathUnits] = {};  // stays empty if the box cannot be read
  GetDlgItemTextW(dialog, IDC_PATH, path, kPathUnits);
  WideString report;
  ComposeApplicationReport(path, report);
  SetDlgItemTextW(dialog, IDC_REPORT, report.c_str());
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  if (message == WM_CLOSE) ExitProcess(0);
  if (message == WM_COMMAND) {
    switch (LOWORD(wParam)) {
      case IDC_BROWSE:
        Browse(dialog);
        break;
      case IDC_GET_INFO:
        GetInfo(dialog);
        break;
      default:
        break;
    }
  }
  return 0;
}

void RunMainDialog() {
  const HWND dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN),
                                         nullptr, MainDialogProc, 0);
  if (dialog == nullptr) return;
  SetWindowTextW(dialog, TEXT("ExeLore"));
  CentreWindow(dialog, nullptr);
  ShowWindow(dialog, SW_SHOW);
  MSG msg;
  // GetMessageW answers -1 on an error (an invalid window, say); looping on
  // that would spin for ever, so only a real message keeps the loop going.
  while (GetMessageW(&msg, dialog, 0, 0) > 0) {
    if (!IsDialogMessageW(dialog, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  DestroyWindow(dialog);
}

// USER32 functions of the stand-in: the dialog manager and window calls the
// main dialog makes. The windows themselves are Qt widgets in the front end
// (frontend_loader.h), loaded on the first call.
//
// When the library, Qt or a display is missing, CreateDialogParamW fails as
// it does on Windows when a dialog cannot be created (null, with the reason
// in the last error) and every other window call fails with
// ERROR_INVALID_WINDOW_HANDLE, since no window can exist.
#include <string>

#include "frontend_loader.h"
#include "resources.h"

namespace exelore_posix {
namespace {

const DialogTemplate* FindDialog(HINSTANCE instance, LPCWSTR name) {
  if (instance != GetModuleHandleW(nullptr) || !IS_INTRESOURCE(name)) return nullptr;
  const auto id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
  for (const auto& dialog : ModuleDialogs()) {
    if (dialog.id == id) return &dialog;
  }
  return nullptr;
}

}  // namespace

}  // namespace exelore_posix

using exelore_posix::WindowFrontend;

extern "C" {

// CreateDialogParamW: builds the dialog from the executable's DIALOGEX
// template, hidden unless the template has WS_VISIBLE, and sends WM_INITDIALOG
// to the dialog procedure with dwInitParam before returning, as documented on
// the CreateDialogParamW page of Microsoft's documentation. A template the
// module lacks fails with ERROR_RESOURCE_NAME_NOT_FOUND.
HWND WINAPI CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  const exelore_posix::DialogTemplate* dialog =
      exelore_posix::FindDialog(hInstance, lpTemplateName);
  if (dialog == nullptr) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  const exelore_posix::Frontend* f = exelore_posix::LoadedFrontend();
  if (f == nullptr) return nullptr;
  return f->create_dialog(dialog, hWndParent, lpDialogFunc, dwInitParam);
}

// The window calls below forward unchanged; their Windows behaviour is
// described where the front end implements them (platform/posix/qt/).
BOOL WINAPI DestroyWindow(HWND hWnd) {
  const auto* f = WindowFrontend();
  return f ? f->destroy_window(hWnd) : FALSE;
}

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
  const auto* f = WindowFrontend();
  return f ? f->set_window_text(hWnd, lpString) : FALSE;
}

LONG WINAPI GetWindowLongW(HWND hWnd, int nIndex) {
  const auto* f = WindowFrontend();
  return f ? f->get_window_long(hWnd, nIndex) : 0;
}

HWND WINAPI GetParent(HWND hWnd) {
  const auto* f = WindowFrontend();
  return f ? f->get_parent(hWnd) : nullptr;
}

HWND WINAPI GetWindow(HWND hWnd, UINT uCmd) {
  const auto* f = WindowFrontend();
  return f ? f->get_window(hWnd, uCmd) : nullptr;
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
  const auto* f = WindowFrontend();
  return f ? f->get_window_rect(hWnd, lpRect) : FALSE;
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
  const auto* f = WindowFrontend();
  return f ? f->get_client_rect(hWnd, lpRect) : FALSE;
}

int WINAPI MapWindowPoints(HWND hWndFrom, HWND hWndTo, LPPOINT lpPoints, UINT cPoints) {
  const auto* f = WindowFrontend();
  return f ? f->map_window_points(hWndFrom, hWndTo, lpPoints, cPoints) : 0;
}

HMONITOR WINAPI MonitorFromWindow(HWND hwnd, DWORD dwFlags) {
  const auto* f = WindowFrontend();
  return f ? f->monitor_from_window(hwnd, dwFlags) : nullptr;
}

BOOL WINAPI GetMonitorInfoW(HMONITOR hMonitor, LPMONITORINFO lpmi) {
  const auto* f = WindowFrontend();
  return f ? f->get_monitor_info(hMonitor, lpmi) : FALSE;
}

BOOL WINAPI SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy,
                         UINT uFlags) {
  const auto* f = WindowFrontend();
  return f ? f->set_window_pos(hWnd, hWndInsertAfter, X, Y, cx, cy, uFlags) : FALSE;
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
  const auto* f = WindowFrontend();
  return f ? f->show_window(hWnd, nCmdShow) : FALSE;
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  const auto* f = WindowFrontend();
  return f ? f->get_message(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax) : -1;
}

BOOL WINAPI IsDialogMessageW(HWND hDlg, LPMSG lpMsg) {
  const auto* f = WindowFrontend();
  return f ? f->is_dialog_message(hDlg, lpMsg) : FALSE;
}

BOOL WINAPI TranslateMessage(const MSG* lpMsg) {
  const auto* f = WindowFrontend();
  return f ? f->translate_message(lpMsg) : FALSE;
}

LRESULT WINAPI DispatchMessageW(const MSG* lpMsg) {
  const auto* f = WindowFrontend();
  return f ? f->dispatch_message(lpMsg) : 0;
}

UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax) {
  const auto* f = WindowFrontend();
  if (f == nullptr) {
    if (lpString != nullptr && cchMax > 0) lpString[0] = 0;
    return 0;
  }
  return f->get_dlg_item_text(hDlg, nIDDlgItem, lpString, cchMax);
}

BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
  const auto* f = WindowFrontend();
  return f ? f->set_dlg_item_text(hDlg, nIDDlgItem, lpString) : FALSE;
}

}  // extern "C"

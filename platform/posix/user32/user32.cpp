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

// Calls the front end's `member` with `args`, or returns `failure` when no
// window can exist (WindowFrontend has set the last error).
template <auto member, auto failure, typename... Args>
auto Forward(Args... args) {
  const Frontend* f = WindowFrontend();
  return f != nullptr ? (f->*member)(args...) : failure;
}

}  // namespace exelore_posix

using exelore_posix::Forward;
using exelore_posix::Frontend;

extern "C" {

// CreateDialogParamW: the executable's DIALOGEX template by its integer
// identifier; a template the module lacks fails with
// ERROR_RESOURCE_NAME_NOT_FOUND. The front end builds the dialog, as
// described where it does so (CreateDialogImpl, qt/dialogs.cpp).
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
BOOL WINAPI DestroyWindow(HWND hWnd) { return Forward<&Frontend::destroy_window, FALSE>(hWnd); }

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
  return Forward<&Frontend::set_window_text, FALSE>(hWnd, lpString);
}

LONG WINAPI GetWindowLongW(HWND hWnd, int nIndex) {
  return Forward<&Frontend::get_window_long, 0>(hWnd, nIndex);
}

HWND WINAPI GetParent(HWND hWnd) { return Forward<&Frontend::get_parent, nullptr>(hWnd); }

HWND WINAPI GetWindow(HWND hWnd, UINT uCmd) {
  return Forward<&Frontend::get_window, nullptr>(hWnd, uCmd);
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
  return Forward<&Frontend::get_window_rect, FALSE>(hWnd, lpRect);
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
  return Forward<&Frontend::get_client_rect, FALSE>(hWnd, lpRect);
}

int WINAPI MapWindowPoints(HWND hWndFrom, HWND hWndTo, LPPOINT lpPoints, UINT cPoints) {
  return Forward<&Frontend::map_window_points, 0>(hWndFrom, hWndTo, lpPoints, cPoints);
}

HMONITOR WINAPI MonitorFromWindow(HWND hwnd, DWORD dwFlags) {
  return Forward<&Frontend::monitor_from_window, nullptr>(hwnd, dwFlags);
}

BOOL WINAPI GetMonitorInfoW(HMONITOR hMonitor, LPMONITORINFO lpmi) {
  return Forward<&Frontend::get_monitor_info, FALSE>(hMonitor, lpmi);
}

BOOL WINAPI SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy,
                         UINT uFlags) {
  return Forward<&Frontend::set_window_pos, FALSE>(hWnd, hWndInsertAfter, X, Y, cx, cy, uFlags);
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
  return Forward<&Frontend::show_window, FALSE>(hWnd, nCmdShow);
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  return Forward<&Frontend::get_message, -1>(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax);
}

BOOL WINAPI IsDialogMessageW(HWND hDlg, LPMSG lpMsg) {
  return Forward<&Frontend::is_dialog_message, FALSE>(hDlg, lpMsg);
}

BOOL WINAPI TranslateMessage(const MSG* lpMsg) {
  return Forward<&Frontend::translate_message, FALSE>(lpMsg);
}

LRESULT WINAPI DispatchMessageW(const MSG* lpMsg) {
  return Forward<&Frontend::dispatch_message, 0>(lpMsg);
}

UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax) {
  const Frontend* f = exelore_posix::WindowFrontend();
  if (f == nullptr) {
    if (lpString != nullptr && cchMax > 0) lpString[0] = 0;
    return 0;
  }
  return f->get_dlg_item_text(hDlg, nIDDlgItem, lpString, cchMax);
}

BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
  return Forward<&Frontend::set_dlg_item_text, FALSE>(hDlg, nIDDlgItem, lpString);
}

}  // extern "C"

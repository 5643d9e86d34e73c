// USER32 functions of the stand-in: the dialog manager and window calls the
// main dialog makes. The windows themselves are Qt widgets in a separate
// library, libexelore_qt.so, loaded with dlopen on the first call so that
// console runs never load Qt or any display library. The library is looked
// for next to the executable (the build tree), in lib/exelore beside the
// executable's folder (an install to any prefix, moved or not), then in the
// install folder fixed at configure time; it is never unloaded (Qt keeps threads and global state that outlive any dlclose).
//
// When the library, Qt or a display is missing, CreateDialogParamW fails as
// it does on Windows when a dialog cannot be created (null, with the reason
// in the last error) and every other window call fails with
// ERROR_INVALID_WINDOW_HANDLE, since no window can exist.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <string>
#include <utility>

#include "frontend.h"
#include "resources.h"
#include "testing.h"

namespace exelore_posix {
namespace {

std::string& LibraryOverride() {
  static std::string path;
  return path;
}

std::string ExecutableFolder() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return std::string();
  std::string path(buffer, static_cast<std::size_t>(n));
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

const Frontend* LoadFrontend(DWORD* error) {
  static const FrontendHost host{kFrontendVersion, &SetLastError};
  std::string candidates[3];
  if (!LibraryOverride().empty()) {
    candidates[0] = LibraryOverride();
  } else {
    const std::string folder = ExecutableFolder();
    if (!folder.empty()) {
      candidates[0] = folder + "/" + kFrontendLibrary;
      candidates[1] = folder + "/../lib/exelore/" + kFrontendLibrary;
    }
    candidates[2] = std::string(EXELORE_QT_LIBDIR) + "/" + kFrontendLibrary;
  }
  *error = ERROR_MOD_NOT_FOUND;
  for (const auto& path : candidates) {
    if (path.empty()) continue;
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) continue;
    const auto entry = reinterpret_cast<FrontendEntry>(::dlsym(library, kFrontendEntry));
    if (entry == nullptr) {
      *error = ERROR_PROC_NOT_FOUND;
      return nullptr;
    }
    SetLastError(ERROR_DLL_INIT_FAILED);
    const Frontend* table = entry(&host);
    if (table == nullptr || table->version != kFrontendVersion) {
      *error = table == nullptr ? GetLastError() : ERROR_DLL_INIT_FAILED;
      return nullptr;
    }
    return table;
  }
  return nullptr;
}

// The front end, loaded once; null (last error set) when it cannot run.
const Frontend* LoadedFrontend() {
  static DWORD error = ERROR_SUCCESS;
  static const Frontend* const frontend = LoadFrontend(&error);
  if (frontend == nullptr) SetLastError(error);
  return frontend;
}

// The front end for a call on an existing window.
const Frontend* WindowFrontend() {
  const Frontend* frontend = LoadedFrontend();
  if (frontend == nullptr) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return frontend;
}

const DialogTemplate* FindDialog(HINSTANCE instance, LPCWSTR name) {
  if (instance != GetModuleHandleW(nullptr) || !IS_INTRESOURCE(name)) return nullptr;
  const auto id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
  for (const auto& dialog : ModuleDialogs()) {
    if (dialog.id == id) return &dialog;
  }
  return nullptr;
}

}  // namespace

const Frontend* FrontendForComdlg() { return WindowFrontend(); }

namespace testing {

void SetDialogLibraryPath(const std::string& path) { LibraryOverride() = path; }

bool DialogFrontendAvailable() { return LoadedFrontend() != nullptr; }

BOOL ClickDialogItem(HWND dialog, int id) {
  const Frontend* f = WindowFrontend();
  return f ? f->click(dialog, id) : FALSE;
}

BOOL TypeIntoDialogItem(HWND dialog, int id, const std::u16string& text) {
  const Frontend* f = WindowFrontend();
  return f ? f->type_text(dialog, id, text.c_str()) : FALSE;
}

BOOL PressDialogKey(HWND dialog, UINT virtual_key) {
  const Frontend* f = WindowFrontend();
  return f ? f->press_key(dialog, virtual_key) : FALSE;
}

BOOL PressCloseBox(HWND dialog) {
  const Frontend* f = WindowFrontend();
  return f ? f->close_box(dialog) : FALSE;
}

namespace {
std::function<std::optional<std::u16string>(const std::u16string&, bool)> g_chooser;
std::u16string g_chosen;
std::function<void()> g_idle_hook;

const WCHAR* ChooseWithHook(void*, const WCHAR* filter, BOOL must_exist) {
  auto chosen = g_chooser(filter, must_exist != FALSE);
  if (!chosen) return nullptr;
  g_chosen = std::move(*chosen);
  return g_chosen.c_str();
}

void IdleWithHook(void*) { g_idle_hook(); }
}  // namespace

void SetOpenFileChooser(
    std::function<std::optional<std::u16string>(const std::u16string& filter, bool must_exist)>
        chooser) {
  const Frontend* f = WindowFrontend();
  if (f == nullptr) return;
  g_chooser = std::move(chooser);
  f->set_file_chooser(g_chooser ? &ChooseWithHook : nullptr, nullptr);
}

void SetMessageLoopIdleHook(std::function<void()> hook) {
  const Frontend* f = WindowFrontend();
  if (f == nullptr) return;
  g_idle_hook = std::move(hook);
  f->set_idle_hook(g_idle_hook ? &IdleWithHook : nullptr, nullptr);
}

std::u16string DialogFontFamily(HWND dialog) {
  const Frontend* f = WindowFrontend();
  if (f == nullptr) return std::u16string();
  WCHAR buffer[256];
  const UINT n = f->font_family(dialog, buffer, 256);
  return std::u16string(buffer, n);
}

HWND FocusedWindow() {
  const Frontend* f = WindowFrontend();
  return f ? f->focus() : nullptr;
}

HWND DialogItem(HWND dialog, int id) {
  const Frontend* f = WindowFrontend();
  return f ? f->item(dialog, id) : nullptr;
}

void PostQuit(int exit_code) {
  if (const Frontend* f = WindowFrontend()) f->post_quit(exit_code);
}

HWND LastDialog() {
  const Frontend* f = WindowFrontend();
  return f ? f->last_dialog() : nullptr;
}

}  // namespace testing
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

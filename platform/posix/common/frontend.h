// The interface between the stand-in's user32 and comdlg32 entry points and
// the Qt front end (libexelore_qt.so), which user32.cpp loads with dlopen on
// the first window call. Only C types cross it: the executable and the
// library each carry their own C++ runtime.
#pragma once

#include <commdlg.h>
#include <windows.h>

#include "resources.h"

namespace exelore_posix {

inline constexpr unsigned kFrontendVersion = 2;
inline constexpr char kFrontendLibrary[] = "libexelore_qt.so";
inline constexpr char kFrontendEntry[] = "exelore_qt_frontend";

// What the executable lends the library.
struct FrontendHost {
  unsigned version;
  void (*set_last_error)(DWORD code);
};

struct Frontend {
  unsigned version;
  HWND (*create_dialog)(const DialogTemplate* dialog, HWND owner, DLGPROC proc, LPARAM param);
  decltype(&DestroyWindow) destroy_window;
  decltype(&SetWindowTextW) set_window_text;
  decltype(&GetWindowLongW) get_window_long;
  decltype(&GetParent) get_parent;
  decltype(&GetWindow) get_window;
  decltype(&GetWindowRect) get_window_rect;
  decltype(&GetClientRect) get_client_rect;
  decltype(&MapWindowPoints) map_window_points;
  decltype(&MonitorFromWindow) monitor_from_window;
  decltype(&GetMonitorInfoW) get_monitor_info;
  decltype(&SetWindowPos) set_window_pos;
  decltype(&ShowWindow) show_window;
  decltype(&GetMessageW) get_message;
  decltype(&IsDialogMessageW) is_dialog_message;
  decltype(&TranslateMessage) translate_message;
  decltype(&DispatchMessageW) dispatch_message;
  decltype(&GetDlgItemTextW) get_dlg_item_text;
  decltype(&SetDlgItemTextW) set_dlg_item_text;
  decltype(&GetOpenFileNameW) get_open_file_name;
};

// The library's entry point: the table, or null (last error set through the
// host) when Qt cannot show windows here: no display, no platform plugin.
using FrontendEntry = const Frontend* (*)(const FrontendHost* host);

}  // namespace exelore_posix

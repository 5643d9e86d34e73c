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

// The window calls the front end implements, in table order, each as
// CALL(result, name, member, parameters, arguments, no_window): the USER32
// function `name` with its result type and parameter list, the Frontend
// member that carries it (of type decltype(&name)), and what user32.cpp
// returns when no window can exist, an expression over the parameters. The
// one list gives the table's members (below), user32.cpp's forwarders, and
// the front end's declarations (qt/internal.h) and table (qt/entry.cpp), so
// that no call is wired to another of the same type. A change to the list
// changes the table's layout: raise kFrontendVersion with it.
#define EXELORE_WINDOW_CALLS(CALL)                                                                \
  CALL(BOOL, DestroyWindow, destroy_window, (HWND hWnd), (hWnd), FALSE)                           \
  CALL(BOOL, SetWindowTextW, set_window_text, (HWND hWnd, LPCWSTR lpString), (hWnd, lpString),    \
       FALSE)                                                                                     \
  CALL(LONG, GetWindowLongW, get_window_long, (HWND hWnd, int nIndex), (hWnd, nIndex), 0)         \
  CALL(HWND, GetParent, get_parent, (HWND hWnd), (hWnd), nullptr)                                 \
  CALL(HWND, GetWindow, get_window, (HWND hWnd, UINT uCmd), (hWnd, uCmd), nullptr)                \
  CALL(BOOL, GetWindowRect, get_window_rect, (HWND hWnd, LPRECT lpRect), (hWnd, lpRect), FALSE)   \
  CALL(BOOL, GetClientRect, get_client_rect, (HWND hWnd, LPRECT lpRect), (hWnd, lpRect), FALSE)   \
  CALL(int, MapWindowPoints, map_window_points,                                                   \
       (HWND hWndFrom, HWND hWndTo, LPPOINT lpPoints, UINT cPoints),                              \
       (hWndFrom, hWndTo, lpPoints, cPoints), 0)                                                  \
  CALL(HMONITOR, MonitorFromWindow, monitor_from_window, (HWND hwnd, DWORD dwFlags),              \
       (hwnd, dwFlags), nullptr)                                                                  \
  CALL(BOOL, GetMonitorInfoW, get_monitor_info, (HMONITOR hMonitor, LPMONITORINFO lpmi),          \
       (hMonitor, lpmi), FALSE)                                                                   \
  CALL(BOOL, SetWindowPos, set_window_pos,                                                        \
       (HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags),              \
       (hWnd, hWndInsertAfter, X, Y, cx, cy, uFlags), FALSE)                                      \
  CALL(BOOL, ShowWindow, show_window, (HWND hWnd, int nCmdShow), (hWnd, nCmdShow), FALSE)         \
  CALL(BOOL, GetMessageW, get_message,                                                            \
       (LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax),                          \
       (lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax), -1)                                           \
  CALL(BOOL, IsDialogMessageW, is_dialog_message, (HWND hDlg, LPMSG lpMsg), (hDlg, lpMsg), FALSE) \
  CALL(BOOL, TranslateMessage, translate_message, (const MSG* lpMsg), (lpMsg), FALSE)             \
  CALL(LRESULT, DispatchMessageW, dispatch_message, (const MSG* lpMsg), (lpMsg), 0)               \
  CALL(UINT, GetDlgItemTextW, get_dlg_item_text,                                                  \
       (HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax),                                  \
       (hDlg, nIDDlgItem, lpString, cchMax), EmptyText(lpString, cchMax))                         \
  CALL(BOOL, SetDlgItemTextW, set_dlg_item_text, (HWND hDlg, int nIDDlgItem, LPCWSTR lpString),   \
       (hDlg, nIDDlgItem, lpString), FALSE)

struct Frontend {
  unsigned version;
  HWND (*create_dialog)(const DialogTemplate* dialog, HWND owner, DLGPROC proc, LPARAM param);
#define EXELORE_FRONTEND_MEMBER(result, name, member, parameters, arguments, no_window) \
  decltype(&::name) member;
  EXELORE_WINDOW_CALLS(EXELORE_FRONTEND_MEMBER)
#undef EXELORE_FRONTEND_MEMBER
  decltype(&GetOpenFileNameW) get_open_file_name;
};

// The library's entry point: the table, or null (last error set through the
// host) when Qt cannot show windows here: no display, no platform plugin.
using FrontendEntry = const Frontend* (*)(const FrontendHost* host);

}  // namespace exelore_posix

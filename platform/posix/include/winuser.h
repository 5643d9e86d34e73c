// POSIX stand-in for <winuser.h>: the dialog manager and window functions the
// main dialog calls, with the SDK's names, constants and structure layouts.
// The functions live in platform/posix/user32/user32.cpp, which hands them to the
// Qt front end loaded on first use.
#pragma once

#ifndef WINAPI
#include <windows.h>
#endif

extern "C" {

typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *PRECT, *LPRECT;
typedef const RECT* LPCRECT;

typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
} MSG, *PMSG, *LPMSG;

typedef struct tagMONITORINFO {
  DWORD cbSize;
  RECT rcMonitor;
  RECT rcWork;
  DWORD dwFlags;
} MONITORINFO, *LPMONITORINFO;

#define CCHDEVICENAME 32
typedef struct tagMONITORINFOEXW {
  DWORD cbSize;
  RECT rcMonitor;
  RECT rcWork;
  DWORD dwFlags;
  WCHAR szDevice[CCHDEVICENAME];
} MONITORINFOEXW, *LPMONITORINFOEXW;

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define MAKEWPARAM(l, h)                                         \
  (static_cast<WPARAM>(static_cast<DWORD>(static_cast<WORD>(l) | \
                                          (static_cast<DWORD>(static_cast<WORD>(h)) << 16))))

// Messages.
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111

// Window styles.
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_MINIMIZE 0x20000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_VSCROLL 0x00200000L
#define WS_HSCROLL 0x00100000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_TABSTOP 0x00010000L
#define WS_MINIMIZEBOX 0x00020000L
#define WS_MAXIMIZEBOX 0x00010000L

// Dialog styles.
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define DS_FIXEDSYS 0x0008L

// Button and edit control styles, button notifications.
#define BS_PUSHBUTTON 0x00000000L
#define ES_LEFT 0x0000L
#define ES_MULTILINE 0x0004L
#define ES_AUTOHSCROLL 0x0080L
#define ES_READONLY 0x0800L
#define BN_CLICKED 0
#define EN_CHANGE 0x0300

// Dialog box command identifiers.
#define IDOK 1
#define IDCANCEL 2

// Virtual keys.
#define VK_RETURN 0x0D
#define VK_ESCAPE 0x1B
#define VK_TAB 0x09

// SetWindowPos, ShowWindow, GetWindowLongW, GetWindow.
#define SWP_NOSIZE 0x0001
#define SWP_NOMOVE 0x0002
#define SWP_NOZORDER 0x0004
#define SWP_NOACTIVATE 0x0010
#define SW_HIDE 0
#define SW_SHOW 5
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWL_ID (-12)
#define GW_OWNER 4

// Monitors.
#define MONITOR_DEFAULTTONULL 0x00000000
#define MONITOR_DEFAULTTONEAREST 0x00000002
#define MONITORINFOF_PRIMARY 0x00000001

HWND WINAPI CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam);
BOOL WINAPI DestroyWindow(HWND hWnd);
BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString);
LONG WINAPI GetWindowLongW(HWND hWnd, int nIndex);
HWND WINAPI GetParent(HWND hWnd);
HWND WINAPI GetWindow(HWND hWnd, UINT uCmd);
BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect);
BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect);
int WINAPI MapWindowPoints(HWND hWndFrom, HWND hWndTo, LPPOINT lpPoints, UINT cPoints);
HMONITOR WINAPI MonitorFromWindow(HWND hwnd, DWORD dwFlags);
BOOL WINAPI GetMonitorInfoW(HMONITOR hMonitor, LPMONITORINFO lpmi);
BOOL WINAPI SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy,
                         UINT uFlags);
BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow);
BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
BOOL WINAPI IsDialogMessageW(HWND hDlg, LPMSG lpMsg);
BOOL WINAPI TranslateMessage(const MSG* lpMsg);
LRESULT WINAPI DispatchMessageW(const MSG* lpMsg);
UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax);
BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString);

}  // extern "C"

// What the files of the Qt front end share: the window records behind the
// handles, the message queue, and the functions of the Frontend table
// (frontend.h). Everything here has hidden visibility: the module exports
// only its entry point (entry.cpp).
//
// Window handles are pointers to Window records; a handle that is not a live
// record fails with ERROR_INVALID_WINDOW_HANDLE, as a stale HWND does.
#pragma once

#include <QString>
#include <QWidget>

#include <commdlg.h>
#include <windows.h>

#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "frontend.h"
#include "resources.h"

namespace exelore_qt {

using exelore_posix::DialogItemTemplate;
using exelore_posix::DialogTemplate;

// What the executable lent at start-up (entry.cpp).
extern const exelore_posix::FrontendHost* g_host;
void Fail(DWORD code);

enum class Kind { kDialog, kButton, kLineEdit, kTextBox };

struct Window {
  Kind kind;
  QWidget* widget;
  Window* parent = nullptr;  // the dialog, for controls
  HWND owner = nullptr;      // for dialogs
  DWORD style = 0;
  DWORD exstyle = 0;
  int id = 0;
  DLGPROC proc = nullptr;
  std::vector<Window*> children;
  // Set by SetWindowPos while the window was never shown: the position was
  // computed before the window manager's frame was known.
  bool placed_before_frame = false;
  bool shown_once = false;
};

// The window registry (dialogs.cpp).
extern std::unordered_set<Window*> g_windows;
extern std::unordered_map<const QWidget*, Window*> g_by_widget;
extern std::vector<Window*> g_created;  // dialogs, in creation order

inline HWND Handle(Window* window) { return reinterpret_cast<HWND>(window); }
// The live window behind `handle`; null with ERROR_INVALID_WINDOW_HANDLE.
Window* FromHandle(HWND handle);
// The control `id` of `dialog`, or null.
Window* Item(Window* dialog, int id);
bool IsSelfOrChild(Window* window, HWND handle);

inline QString FromWide(LPCWSTR text) {
  return text == nullptr ? QString() : QString::fromUtf16(text);
}
inline RECT ToRect(const QRect& r) {
  return RECT{r.x(), r.y(), r.x() + r.width(), r.y() + r.height()};
}
// The window's text as GetWindowTextW reads it, and SetWindowTextW's part.
QString WindowText(Window* window);
void SetText(Window* window, const QString& text);

// The message queue (message_queue.cpp).
DWORD MessageTime();
// Queues a message for GetMessageW and wakes it.
void Enqueue(const MSG& message);
// PostMessageW's part: queues the message for GetMessageW and wakes it.
void Post(Window* window, UINT message, WPARAM wParam, LPARAM lParam);
// Drops the queued messages of a window being destroyed.
void DropMessages(Window* window);

// The Qt window flags for a dialog template's style: title bar, system menu,
// close, minimise and maximise boxes only where the style asks for them.
Qt::WindowFlags DialogWindowFlags(DWORD style);

// The filter pairs of OPENFILENAMEW's lpstrFilter ("Executable\0*.exe\0\0")
// in Qt's form ("Executable (*.exe)"): patterns separated by ';' in Windows
// and by spaces in Qt.
QStringList QtFilters(LPCWSTR filter);

// The functions of the Frontend table: CreateDialogParamW's part, then each
// window call `name` as nameImpl, of the same type as the USER32 function
// (frontend.h), and GetOpenFileNameW's.
HWND CreateDialogImpl(const DialogTemplate* dialog_template, HWND owner, DLGPROC proc,
                      LPARAM param);
#define EXELORE_DECLARE_IMPL(result, name, member, parameters, arguments, no_window) \
  decltype(::name) name##Impl;
EXELORE_WINDOW_CALLS(EXELORE_DECLARE_IMPL)
#undef EXELORE_DECLARE_IMPL
decltype(::GetOpenFileNameW) GetOpenFileNameWImpl;

// Start-up (platform.cpp): chooses the platform plugin the way Qt would
// (QT_QPA_PLATFORM, else Wayland in a Wayland session, else X11) but only
// among those that can start here, and pins Qt to it. False when none can.
bool ChoosePlatform();

}  // namespace exelore_qt

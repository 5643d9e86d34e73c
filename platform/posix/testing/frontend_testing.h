// The test module's second table (libexelore_qt_testing.so: the front end's
// objects and qt_driver.cpp), through which dialog_seams.h acts as the user
// would. The shipped libexelore_qt.so has neither this table nor its entry
// point. Only C types cross it, as with frontend.h.
#pragma once

#include <commdlg.h>
#include <windows.h>

namespace exelore_posix {

inline constexpr unsigned kFrontendTestingVersion = 1;
inline constexpr char kFrontendTestingEntry[] = "exelore_qt_frontend_testing";

// Stands in for the Open dialog: gets the filter as the file dialog would
// show it and whether the file must exist; returns the chosen path (valid
// until the next call) or null for Cancel.
using FileChooser = const WCHAR* (*)(void* context, const WCHAR* filter, BOOL must_exist);
// Receives one name, valid during the call.
using NameSink = void (*)(void* context, const WCHAR* name);

// What a top-level window's frame offers the user, as the window asks the
// window manager for it.
struct FrameOffer {
  BOOL title;
  BOOL system_menu;
  BOOL close_box;
  BOOL minimize_box;
  BOOL maximize_box;
  BOOL sizable;
};

struct FrontendTesting {
  unsigned version;
  BOOL (*click)(HWND dialog, int id);
  BOOL (*type_text)(HWND dialog, int id, const WCHAR* text);
  BOOL (*press_key)(HWND dialog, UINT virtual_key);
  BOOL (*close_box)(HWND dialog);
  void (*set_file_chooser)(FileChooser chooser, void* context);
  void (*set_idle_hook)(void (*hook)(void* context), void* context);
  UINT (*font_family)(HWND dialog, WCHAR* buffer, int capacity);
  HWND (*focus)();
  HWND (*item)(HWND dialog, int id);
  void (*post_quit)(int exit_code);
  HWND (*last_dialog)();
  BOOL (*frame_offer)(HWND dialog, FrameOffer* offer);
  // Runs GetOpenFileNameW with the real file dialog, hands every file (not
  // folder) the dialog lists once it has read its folder to `sink`, then
  // cancels the dialog. False when no listing was seen.
  BOOL (*list_open_dialog)(LPOPENFILENAMEW ofn, NameSink sink, void* context);
};

// The test module's second entry point; call it only once the front end's
// own entry point (frontend.h) has succeeded.
using FrontendTestingEntry = const FrontendTesting* (*)();

}  // namespace exelore_posix

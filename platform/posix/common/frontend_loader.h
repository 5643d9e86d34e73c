// Loads the dialog's front end (libexelore_qt.so, frontend.h) with dlopen on
// the first window call, so that console runs never load Qt or any display
// library. It is never unloaded: Qt keeps threads and global state that
// outlive any dlclose. user32 and comdlg32 reach their windows through it.
#pragma once

#include <string>
#include <vector>

#include "frontend.h"

namespace exelore_posix {

// How a library folder sets the last error (kernel32's SetLastError):
// common/ sets none itself, so the loader is handed it.
using SetLastErrorFunction = void (*)(DWORD);

// The front end, loaded once; null, with the reason passed to
// `set_last_error`, when it cannot run. The front end is lent the first
// call's `set_last_error` for the errors of its own calls.
const Frontend* LoadedFrontend(SetLastErrorFunction set_last_error);
// The front end for a call on an existing window; null with
// ERROR_INVALID_WINDOW_HANDLE when none can exist.
const Frontend* WindowFrontend(SetLastErrorFunction set_last_error);

// Where the front end is looked for, in order. The product's list
// (frontend_location.cpp): next to the executable (the build tree), in
// lib/exelore beside the executable's folder (an install to any prefix,
// moved or not), then in the install folder fixed at configure time. The
// test build links its own list instead (testing/).
std::vector<std::string> FrontendCandidates();

}  // namespace exelore_posix

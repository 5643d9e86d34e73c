// Loads the dialog's front end (libexelore_qt.so, frontend.h) with dlopen on
// the first window call, so that console runs never load Qt or any display
// library. It is never unloaded: Qt keeps threads and global state that
// outlive any dlclose. user32 and comdlg32 reach their windows through it.
#pragma once

#include <string>
#include <vector>

#include "frontend.h"

namespace exelore_posix {

// The front end, loaded once; null (last error set) when it cannot run.
const Frontend* LoadedFrontend();
// The front end for a call on an existing window; null with
// ERROR_INVALID_WINDOW_HANDLE when none can exist.
const Frontend* WindowFrontend();

// Where the front end is looked for, in order. The product's list
// (frontend_location.cpp): next to the executable (the build tree), in
// lib/exelore beside the executable's folder (an install to any prefix,
// moved or not), then in the install folder fixed at configure time. The
// test build links its own list instead (testing/).
std::vector<std::string> FrontendCandidates();

}  // namespace exelore_posix

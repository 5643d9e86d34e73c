// POSIX stand-in for <winuser.h>: the dialog manager and window functions the
// main dialog calls.
#pragma once

#ifndef WINAPI
#include <windows.h>
#endif

// Access to a file's version resource through the platform's version API.
#pragma once

#include <windows.h>

// Size in bytes of the version block of `path`, or 0 when the file has none
// or cannot be read. `handle` receives the API's meaningless handle value.
// Uses the language-neutral "version.dll" export when the system has it and
// it succeeds, otherwise the classic function.
DWORD QueryVersionInfoSize(LPCWSTR path, LPDWORD handle);

// Fills `buffer` (of `size` bytes) with the version block of `path`. Nonzero
// on success, 0 on failure. Same fall-back as QueryVersionInfoSize.
BOOL LoadVersionInfo(LPCWSTR path, DWORD handle, DWORD size, LPVOID buffer);

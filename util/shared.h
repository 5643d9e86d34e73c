// Types and helpers shared by every part of the program.
#pragma once

#include <windows.h>

#include <string>

// All text is UTF-16 (WCHAR), counted in UTF-16 units.
using WideString = std::basic_string<WCHAR>;

// An HRESULT for a platform error code: a code greater than zero becomes
// 0x8007xxxx with its low 16 bits; zero and negative values pass unchanged.
constexpr HRESULT HResultFromWin32(long code) {
  return code <= 0 ? static_cast<HRESULT>(code)
                   : static_cast<HRESULT>((static_cast<unsigned long>(code) & 0x0000FFFFul) |
                                          0x80070000ul);
}

inline HRESULT HResultFromWin32(DWORD code) {
  return HResultFromWin32(static_cast<long>(static_cast<LONG>(code)));
}

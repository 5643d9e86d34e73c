// Types and helpers shared by every part of the program.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <type_traits>

// All text is UTF-16 (WCHAR), counted in UTF-16 units.
using WideString = std::basic_string<WCHAR>;

// An HRESULT for a platform error code: a code greater than zero becomes
// 0x8007xxxx with its low 16 bits; zero and negative values pass unchanged.
// Takes the code as any integer type; it is read as 32 bits, so a DWORD that
// already holds an HRESULT (0x800B0100, say) passes unchanged too.
template <typename Code>
constexpr HRESULT HResultFromWin32(Code code) {
  static_assert(std::is_integral_v<Code>);
  const auto value = static_cast<std::int32_t>(static_cast<std::uint32_t>(code));
  return value <= 0 ? static_cast<HRESULT>(value)
                    : static_cast<HRESULT>((static_cast<std::uint32_t>(value) & 0x0000FFFFu) |
                                           0x80070000u);
}

// Appends `value` in unsigned decimal.
inline void AppendDecimal(WideString& text, DWORD value) {
  WCHAR digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<WCHAR>(TEXT('0') + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) text.push_back(digits[--count]);
}

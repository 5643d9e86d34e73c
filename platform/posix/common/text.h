// Text for every part of the stand-in: lossless conversion between
// file-system bytes and UTF-16, and ASCII case folding.
//
// POSIX names are byte strings that are usually, but not always, UTF-8. Bytes
// that do not form valid UTF-8 become the lone surrogates U+DC80..U+DCFF, and
// those map back to the same bytes, so every name a user can type or pass on a
// command line survives the round trip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace exelore_posix {

// UTF-8 to UTF-16, strictly as RFC 3629 defines UTF-8 (no overlong forms,
// no surrogates, nothing above U+10FFFF): each byte that does not start a
// well-formed sequence becomes the unit `invalid` gives for it, and decoding
// goes on at the next byte. The one UTF-8 decoder of the stand-in.
std::u16string DecodeUtf8(std::string_view bytes, char16_t (*invalid)(std::uint8_t byte));

// File-system bytes to UTF-16: DecodeUtf8 with each invalid byte b kept as
// the lone surrogate U+DC00 + b.
std::u16string BytesToUtf16(std::string_view bytes);

// Inverse of BytesToUtf16. Fails only for UTF-16 that no byte string maps to:
// a lone surrogate outside U+DC80..U+DCFF.
std::optional<std::string> Utf16ToBytes(std::u16string_view text);

// Appends code point `cp` as UTF-16; one that is no Unicode scalar value
// (a surrogate, or above U+10FFFF) becomes U+FFFD.
void AppendUtf16(std::u16string& out, char32_t cp);

// UTF-8 for display of text that did not come from the file system (names
// from certificates); unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// ASCII letters folded to lower case, every other unit unchanged: how Windows
// compares the names this stand-in matches without case (file names on a
// mounted volume, "version.dll", version-resource keys, catalog tags).
template <typename Char>
constexpr Char AsciiLower(Char c) {
  return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

// Whether `a` and `b` are equal once both are folded by AsciiLower.
template <typename Char>
constexpr bool EqualsIgnoringAsciiCase(std::basic_string_view<Char> a,
                                       std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace exelore_posix

// Lossless conversion between file-system bytes and UTF-16.
//
// POSIX names are byte strings that are usually, but not always, UTF-8. Bytes
// that do not form valid UTF-8 become the lone surrogates U+DC80..U+DCFF, and
// those map back to the same bytes, so every name a user can type or pass on a
// command line survives the round trip.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace exelore_posix {

std::u16string BytesToUtf16(std::string_view bytes);

// Inverse of BytesToUtf16. Fails only for UTF-16 that no byte string maps to:
// a lone surrogate outside U+DC80..U+DCFF.
std::optional<std::string> Utf16ToBytes(std::u16string_view text);

// UTF-8 for display of text that did not come from the file system (names
// from certificates); unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace exelore_posix

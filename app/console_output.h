// Single-byte text on standard output.
#pragma once

#include <windows.h>

#include <string_view>

// Writes `text` to standard output, one byte per UTF-16 unit: a unit below
// 256 as that byte, any other unit (each half of a surrogate pair too) as
// "?". The bytes never depend on a locale or a C runtime's text mode, so CR LF
// in the text arrives as exactly those two bytes. Errors are ignored.
void WriteSingleByte(std::basic_string_view<WCHAR> text);

#include "text.h"

#include <cstdint>

namespace exelore_posix {
namespace {

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Length of the well-formed UTF-8 sequence at bytes[i], or 0 when the byte
// there does not start one (RFC 3629: no overlongs, no surrogates, nothing
// above U+10FFFF).
std::size_t SequenceLength(std::string_view bytes, std::size_t i, char32_t& cp) {
  const auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[i + k]); };
  const std::size_t left = bytes.size() - i;
  const std::uint8_t b0 = b(0);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t n = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (left < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    out.push_back(u'\uFFFD');
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

std::u16string DecodeUtf8(std::string_view bytes, char16_t (*invalid)(std::uint8_t byte)) {
  std::u16string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp = 0;
    const std::size_t n = SequenceLength(bytes, i, cp);
    if (n == 0) {
      out.push_back(invalid(static_cast<std::uint8_t>(bytes[i])));
      ++i;
    } else {
      AppendUtf16(out, cp);
      i += n;
    }
  }
  return out;
}

std::u16string BytesToUtf16(std::string_view bytes) {
  return DecodeUtf8(bytes, [](std::uint8_t b) { return static_cast<char16_t>(0xDC00 | b); });
}

std::optional<std::string> Utf16ToBytes(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      const char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                          (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      AppendUtf8(out, cp);
      ++i;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      out.push_back(static_cast<char>(u & 0xFF));
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      return std::nullopt;
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                          (static_cast<char32_t>(text[i + 1]) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

}  // namespace exelore_posix

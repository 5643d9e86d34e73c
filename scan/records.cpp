#include "scan/records.h"

#include <array>
#include <string_view>

namespace {

using WideView = std::basic_string_view<WCHAR>;

// The record's fields after the path and the twelve version keys.
constexpr std::array<const char*, 5> kTrailingKeys = {"PublisherName", "verdict", "source",
                                                      "catalog", "error"};

void AppendCodePoint(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void AppendJsonEscape(std::string& out, unsigned unit) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 0xF]);
}

// Appends `text` as UTF-8, escaped for a JSON string when `json`.
void AppendText(std::string& out, WideView text, bool json) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto unit = static_cast<unsigned>(text[i]);
    const bool high = unit >= 0xD800 && unit < 0xDC00;
    const auto next = i + 1 < text.size() ? static_cast<unsigned>(text[i + 1]) : 0u;
    if (high && next >= 0xDC00 && next < 0xE000) {
      AppendCodePoint(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
      ++i;
    } else if (json && unit >= 0xD800 && unit < 0xE000) {
      AppendJsonEscape(out, unit);  // a lone surrogate
    } else if (json && (unit == '"' || unit == '\\')) {
      out.push_back('\\');
      out.push_back(static_cast<char>(unit));
    } else if (json && unit < 0x20) {
      switch (unit) {
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          AppendJsonEscape(out, unit);
      }
    } else {
      AppendCodePoint(out, unit);
    }
  }
}

void AppendCsvField(std::string& out, WideView text) {
  std::string field;
  AppendText(field, text, false);
  if (field.find_first_of(",\"\r\n") == std::string::npos) {
    out += field;
    return;
  }
  out.push_back('"');
  for (const char c : field) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

WideView FileName(WideView path) {
  const auto slash = path.find_last_of(TEXT("/\\"));
  return slash == WideView::npos ? path : path.substr(slash + 1);
}

// The record's values in column order.
std::array<WideString, 1 + VersionStringKeys.size() + kTrailingKeys.size()> Values(
    const ScanRecord& record) {
  std::array<WideString, 1 + VersionStringKeys.size() + kTrailingKeys.size()> values;
  std::size_t at = 0;
  values[at++] = record.path;
  for (const WideString& value : record.facts.values) values[at++] = value;
  const ApplicationFacts& facts = record.facts;
  values[at++] = facts.publisher;
  values[at++] = !facts.has_publisher ? TEXT("")
                 : facts.verified     ? TEXT("verified")
                                      : TEXT("unverified");
  values[at++] = !facts.has_publisher         ? TEXT("")
                 : facts.catalog_path.empty() ? TEXT("embedded")
                                              : TEXT("catalog");
  values[at++] = WideString(FileName(facts.catalog_path));
  values[at++] = record.error;
  return values;
}

WideString Widen(const char* ascii) {
  WideString text;
  while (*ascii != 0) text.push_back(static_cast<WCHAR>(*ascii++));
  return text;
}

std::array<WideString, 1 + VersionStringKeys.size() + kTrailingKeys.size()> Keys() {
  std::array<WideString, 1 + VersionStringKeys.size() + kTrailingKeys.size()> keys;
  std::size_t at = 0;
  keys[at++] = TEXT("path");
  for (const WCHAR* key : VersionStringKeys) keys[at++] = key;
  for (const char* key : kTrailingKeys) keys[at++] = Widen(key);
  return keys;
}

// Reads exactly `size` bytes at `offset`; false when the file is shorter or
// a read fails (the error in *error, 0 for a short file).
bool ReadAt(HANDLE file, DWORD offset, void* buffer, DWORD size, DWORD* error) {
  DWORD read = 0;
  if (SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) ==
          INVALID_SET_FILE_POINTER ||
      !ReadFile(file, buffer, size, &read, nullptr)) {
    *error = GetLastError();
    return false;
  }
  *error = 0;
  return read == size;
}

// Whether the file at `path` is a PE image; false with *error set when it
// cannot be opened or read, false with *error 0 when it is something else.
bool IsPeImage(const WideString& path, DWORD* error) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  constexpr DWORD kNewHeaderOffset = 0x3C;  // IMAGE_DOS_HEADER.e_lfanew
  BYTE dos[kNewHeaderOffset + 4] = {};
  BYTE signature[4] = {};
  bool image = ReadAt(file, 0, dos, sizeof dos, error) && dos[0] == 'M' && dos[1] == 'Z';
  if (image) {
    const DWORD offset = dos[kNewHeaderOffset] | (dos[kNewHeaderOffset + 1] << 8) |
                         (dos[kNewHeaderOffset + 2] << 16) |
                         (static_cast<DWORD>(dos[kNewHeaderOffset + 3]) << 24);
    image = offset <= 0x7FFFFFFF && ReadAt(file, offset, signature, sizeof signature, error) &&
            signature[0] == 'P' && signature[1] == 'E' && signature[2] == 0 && signature[3] == 0;
  }
  CloseHandle(file);
  return image;
}

}  // namespace

std::optional<ScanRecord> ScanEntry(const WalkEntry& entry) {
  ScanRecord record;
  record.path = entry.path;
  if (!entry.problem.empty()) {
    record.error = entry.problem;
    return record;
  }
  DWORD error = 0;
  if (!IsPeImage(entry.path, &error)) {
    if (error != 0) {
      record.error = DescribeError(TEXT("cannot read"), error);
    } else if (entry.named) {
      record.error = TEXT("not a PE image");
    } else {
      return std::nullopt;
    }
    return record;
  }
  ReadApplicationFacts(entry.path.c_str(), true, record.facts);
  return record;
}

std::string FormatHeader(OutputFormat format) {
  if (format != OutputFormat::kCsv) return {};
  std::string line;
  for (const WideString& key : Keys()) {
    if (!line.empty()) line.push_back(',');
    AppendCsvField(line, key);
  }
  return line + "\r\n";
}

std::string FormatRecord(OutputFormat format, const ScanRecord& record) {
  const auto values = Values(record);
  std::string line;
  if (format == OutputFormat::kCsv) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i != 0) line.push_back(',');
      AppendCsvField(line, values[i]);
    }
    return line + "\r\n";
  }
  static const auto keys = Keys();
  line.push_back('{');
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) line.push_back(',');
    line.push_back('"');
    AppendText(line, keys[i], true);
    line += "\":\"";
    AppendText(line, values[i], true);
    line.push_back('"');
  }
  return line + "}\n";
}

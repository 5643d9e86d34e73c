#include "app/console_output.h"

#include <string>

void WriteSingleByte(std::basic_string_view<WCHAR> text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (const WCHAR unit : text) {
    const auto value = static_cast<unsigned>(unit);
    bytes.push_back(value < 256 ? static_cast<char>(static_cast<unsigned char>(value)) : '?');
  }
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(out, bytes.data() + done, chunk, &written, nullptr) || written == 0) return;
    done += written;
  }
}

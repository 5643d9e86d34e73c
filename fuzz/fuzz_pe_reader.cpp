// The PE reader over arbitrary files: headers, RVA mapping, resource lookup.
#include <array>

#include "fuzz_input.h"
#include "pe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace pe = exelore_posix::pe;
  exelore_fuzz::MemoryFile file(data, size);
  if (file.fd() < 0) return 0;
  const pe::FileSource source(file.fd(), size);
  const auto headers = pe::ReadHeaders(source);
  if (!headers) return 0;
  static constexpr std::array<std::uint16_t, 2> kLanguages = {0x0409, 0x0000};
  for (const std::uint16_t type : {std::uint16_t{16}, std::uint16_t{24}, std::uint16_t{3}}) {
    if (const auto found = pe::FindResource(source, *headers, type, 1, kLanguages)) {
      if (found->offset > size || found->size > size - found->offset) __builtin_trap();
    }
  }
  for (const auto& directory : headers->directories) {
    if (const auto offset = pe::RvaToOffset(*headers, directory.address, directory.size, size)) {
      if (*offset > size || directory.size > size - *offset) __builtin_trap();
    }
  }
  return 0;
}

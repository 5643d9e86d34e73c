// VerQueryValueW over arbitrary version blocks, as the version API loads them
// from a file: the input is the RT_VERSION resource of a valid PE.
#include <windows.h>

#include <vector>

#include "fuzz_input.h"
#include "pe_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  exelore_test::PeOptions options;
  options.resources.push_back(
      {exelore_test::kRtVersion, 1, {}, 0x0409, std::vector<std::uint8_t>(data, data + size), {}});
  const auto image = exelore_test::BuildPe(options);
  exelore_fuzz::MemoryFile file(image.data(), image.size());
  const std::u16string path = file.WidePath();
  DWORD handle = 0;
  const DWORD block_size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  if (block_size == 0) return 0;
  std::vector<BYTE> block(block_size);
  if (!GetFileVersionInfoW(path.c_str(), 0, block_size, block.data())) return 0;
  static const char16_t* const kPaths[] = {u"\\",
                                           u"\\VarFileInfo\\Translation",
                                           u"\\StringFileInfo\\040904b0\\CompanyName",
                                           u"\\StringFileInfo\\040904B0\\ProductName",
                                           u"\\\\StringFileInfo\\\\",
                                           u"StringFileInfo"};
  for (const char16_t* sub_block : kPaths) {
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), sub_block, &value, &length)) continue;
    // A returned string must end inside the block.
    const auto* text = static_cast<const char16_t*>(value);
    const auto* end = reinterpret_cast<const char16_t*>(block.data() + block.size());
    while (text < end && *text != 0) ++text;
    if (text >= end) __builtin_trap();
  }
  return 0;
}

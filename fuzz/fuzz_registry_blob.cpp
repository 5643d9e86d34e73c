// The reader of serialized certificates (a certificate store's Blob values,
// registry_stores.h) over arbitrary bytes: what it returns lies inside them.
#include <cstddef>
#include <cstdint>
#include <span>

#include "authenticode/registry_stores.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> blob(data, size);
  const auto read = exelore_posix::registry::ReadSerializedCertificate(blob);
  if (!read) return 0;
  const auto inside = [&](std::span<const std::uint8_t> part) {
    return part.data() >= blob.data() && part.size() <= size &&
           part.data() - blob.data() <= static_cast<std::ptrdiff_t>(size - part.size());
  };
  if (read->certificate.empty() || !inside(read->certificate)) __builtin_trap();
  if (read->enhanced_key_usage && !inside(*read->enhanced_key_usage)) __builtin_trap();
  // The root program properties lie inside too, and read as a list entry's.
  exelore_posix::authenticode::RootProgramEntry rules;
  for (const auto& [id, value] : read->rule_properties) {
    if (!inside(value)) __builtin_trap();
    exelore_posix::authenticode::ReadRootProperty(static_cast<int>(id), value, &rules);
  }
  return 0;
}

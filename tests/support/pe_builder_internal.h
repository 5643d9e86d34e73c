// Helpers shared by the two halves of the PE writer: pe_builder.cpp (the
// image layout) and pe_resources.cpp (the resource section and the version
// resource). Only the writer's own files include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace exelore_test::pe_internal {

template <typename T>
T AlignUp(T v, T alignment) {
  return (v + alignment - 1) / alignment * alignment;
}

inline uint16_t Narrow16(size_t v, const char* what) {
  if (v > 0xFFFFu) throw std::length_error(std::string(what) + " does not fit in 16 bits");
  return static_cast<uint16_t>(v);
}

inline uint32_t Narrow32(size_t v, const char* what) {
  if (v > 0xFFFFFFFFu) throw std::length_error(std::string(what) + " does not fit in 32 bits");
  return static_cast<uint32_t>(v);
}

}  // namespace exelore_test::pe_internal

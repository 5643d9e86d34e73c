// Little-endian loads from bytes with checked bounds, for the binary
// structures the stand-in parses: PE headers and resource trees,
// WIN_CERTIFICATE headers, version blocks and serialized certificate records.
//
// Structures are read by named fields (a Field is a typed offset within its
// structure) against a base offset where the structure starts. A failed read
// returns nullopt and changes nothing; nothing is ever read outside the span.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace exelore_posix {

// A little-endian field of type T at `offset` bytes from its structure's start.
template <typename T>
struct Field {
  std::size_t offset;
};

template <typename T>
concept LittleEndianField = std::same_as<T, std::uint16_t> || std::same_as<T, std::uint32_t>;

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  // The T at byte `offset`, when all of it lies inside the span.
  template <LittleEndianField T>
  std::optional<T> Load(std::size_t offset) const {
    if (offset > bytes_.size() || sizeof(T) > bytes_.size() - offset) return std::nullopt;
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      value |= static_cast<T>(static_cast<T>(bytes_[offset + i]) << (8 * i));
    }
    return value;
  }

  // `field` of the structure that starts at `base`.
  template <LittleEndianField T>
  std::optional<T> Read(Field<T> field, std::size_t base = 0) const {
    // Checked apart, so that base + offset cannot wrap round into the span.
    if (base > bytes_.size() || field.offset > bytes_.size() - base) return std::nullopt;
    return Load<T>(base + field.offset);
  }

  std::optional<std::uint16_t> U16(std::size_t offset) const { return Load<std::uint16_t>(offset); }
  std::optional<std::uint32_t> U32(std::size_t offset) const { return Load<std::uint32_t>(offset); }

  std::size_t size() const { return bytes_.size(); }
  std::span<const std::uint8_t> bytes() const { return bytes_; }

 private:
  std::span<const std::uint8_t> bytes_;
};

// A position in a span for records laid one after another. Every operation
// either succeeds whole and advances, or fails, returns nullopt (or false) and
// leaves the position where it was.
class ByteCursor {
 public:
  explicit ByteCursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t position() const { return position_; }
  std::size_t remaining() const { return bytes_.size() - position_; }
  bool AtEnd() const { return position_ == bytes_.size(); }

  // The next T; advances past it.
  template <LittleEndianField T>
  std::optional<T> Next() {
    const auto value = ByteReader(bytes_).Load<T>(position_);
    if (value) position_ += sizeof(T);
    return value;
  }

  // The next `length` bytes, as a reader of their own; advances past them.
  std::optional<ByteReader> Take(std::size_t length) {
    if (length > remaining()) return std::nullopt;
    const ByteReader taken(bytes_.subspan(position_, length));
    position_ += length;
    return taken;
  }

  bool Skip(std::size_t length) { return Take(length).has_value(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

// Stores `value` little-endian at byte `offset`; false, with nothing written,
// when it would not lie wholly inside the span.
template <LittleEndianField T>
bool Store(std::span<std::uint8_t> bytes, std::size_t offset, T value) {
  if (offset > bytes.size() || sizeof(T) > bytes.size() - offset) return false;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  return true;
}

// Stores `field` of the structure that starts at `base`.
template <LittleEndianField T>
bool Store(std::span<std::uint8_t> bytes, Field<T> field, std::size_t base, T value) {
  if (base > bytes.size() || field.offset > bytes.size() - base) return false;
  return Store<T>(bytes, base + field.offset, value);
}

}  // namespace exelore_posix

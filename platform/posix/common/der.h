// DER tag-length-values read from bytes with checked bounds, for every walk
// over signed messages, trust lists, catalogs and certificates that does not
// decode through OpenSSL's templates.
//
// Shaped after BoringSSL's CBS (include/openssl/bytestring.h:
// CBS_get_asn1, CBS_get_any_asn1_element, CBS_peek_asn1_tag): an element is
// read whole or not at all, never outside the span it lies in, and tags have
// names. Lengths are definite; an indefinite length is refused. A header is
// read as OpenSSL's header reader reads it, so a length in more octets
// than it needs is accepted, as every decoder behind these walks accepts it;
// HeaderIsDer tells the headers DER would write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace exelore_posix::der {

// An identifier: its class and form (the top three bits of its first
// octet: 0x00 universal, 0x40 application, 0x80 context-specific, 0xC0
// private, plus 0x20 when constructed) and its tag number.
struct Tag {
  std::uint8_t class_and_form = 0;
  std::uint32_t number = 0;

  bool operator==(const Tag&) const = default;
  bool constructed() const { return (class_and_form & 0x20) != 0; }
  std::uint8_t tag_class() const { return class_and_form & 0xC0; }
};

inline constexpr std::uint8_t kUniversal = 0x00;
inline constexpr std::uint8_t kContextSpecific = 0x80;
inline constexpr std::uint8_t kConstructed = 0x20;

inline constexpr Tag kInteger{kUniversal, 2};
inline constexpr Tag kOctetString{kUniversal, 4};
inline constexpr Tag kNull{kUniversal, 5};
inline constexpr Tag kOid{kUniversal, 6};
inline constexpr Tag kUtcTime{kUniversal, 23};
inline constexpr Tag kGeneralizedTime{kUniversal, 24};
inline constexpr Tag kSequence{kUniversal | kConstructed, 16};
inline constexpr Tag kSet{kUniversal | kConstructed, 17};
// [n] of a constructed type: EXPLICIT tags, IMPLICIT SETs and SEQUENCEs.
constexpr Tag ContextConstructed(std::uint32_t n) { return {kContextSpecific | kConstructed, n}; }

// The identifier and length octets at the start of some bytes.
struct Header {
  Tag tag;
  // Whether the identifier is in the form DER writes for its tag: a tag
  // number below 31 in one octet.
  bool der_identifier = false;
  std::size_t size = 0;    // of the identifier and length octets
  std::size_t length = 0;  // of the contents, which may lie past the bytes read
};

// ReadHeader for headers other than those ReadHeader reads itself: tag
// numbers from 31, lengths in more than four octets, the malformed.
std::optional<Header> ReadUncommonHeader(std::span<const std::uint8_t> bytes);

// The header at the start of `bytes`, when its identifier and length octets
// lie inside them and the length is definite; nullopt otherwise. The
// contents it announces need not lie inside `bytes` (a header read from the
// first bytes of a file, say).
inline std::optional<Header> ReadHeader(std::span<const std::uint8_t> bytes) {
  // The headers nearly every element has, a one-octet identifier and a
  // length in at most four octets, read here as OpenSSL's header reader
  // reads them (ReadUncommonHeader calls it for the rest): a walk over a
  // catalog of a million entries spends its time here.
  constexpr std::uint8_t kHighTagNumber = 0x1F;
  constexpr std::uint8_t kLongForm = 0x80;
  if (bytes.size() < 2 || (bytes[0] & kHighTagNumber) == kHighTagNumber || bytes[1] == kLongForm ||
      bytes[1] > kLongForm + 4) {
    return ReadUncommonHeader(bytes);
  }
  Header header{{static_cast<std::uint8_t>(bytes[0] & 0xE0),
                 static_cast<std::uint32_t>(bytes[0] & kHighTagNumber)},
                true,
                2,
                bytes[1]};
  if (bytes[1] > kLongForm) {
    const std::size_t octets = bytes[1] - kLongForm;
    // OpenSSL's reader wants a byte beyond the length octets even for an
    // empty value.
    if (bytes.size() - header.size < octets + 1) return std::nullopt;
    header.length = 0;
    for (std::size_t i = 0; i < octets; ++i) {
      header.length = (header.length << 8) | bytes[header.size + i];
    }
    header.size += octets;
  }
  return header;
}

// One whole element.
struct Element {
  Tag tag;
  bool der_identifier = false;
  std::span<const std::uint8_t> whole;     // identifier, length and contents
  std::span<const std::uint8_t> contents;  // the contents octets alone

  // Whether this is a `tag` whose identifier is the one DER writes for it.
  bool Is(Tag t) const { return der_identifier && tag == t; }
};

// The element at the start of `bytes`, when all of it lies inside them;
// what follows it is left alone. nullopt otherwise.
inline std::optional<Element> ElementAt(std::span<const std::uint8_t> bytes) {
  const auto header = ReadHeader(bytes);
  if (!header || header->length > bytes.size() - header->size) return std::nullopt;
  return Element{header->tag, header->der_identifier, bytes.first(header->size + header->length),
                 bytes.subspan(header->size, header->length)};
}

// The elements that fill `contents`, in order; nullopt when one of them is
// not whole inside it.
std::optional<std::vector<Element>> ElementsOf(std::span<const std::uint8_t> contents);

// The identifier and length octets DER writes for a `tag` with `length`
// contents octets; empty when it cannot be written.
std::vector<std::uint8_t> DerHeader(Tag tag, std::size_t length);
// Whether `element`'s own header is the one DER writes for it.
bool HeaderIsDer(const Element& element);

// A position in bytes that hold elements one after another (the contents
// of a SEQUENCE, say). Every read either takes one whole element and moves
// past it, or fails, returns nullopt (or false) and leaves the position
// where it was.
class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> bytes) : rest_(bytes) {}

  bool AtEnd() const { return rest_.empty(); }
  // What is left to read.
  std::span<const std::uint8_t> rest() const { return rest_; }

  // Whether the next element's identifier is DER's for `tag`
  // (CBS_peek_asn1_tag); nothing is read.
  bool PeekTag(Tag tag) const {
    const auto header = ReadHeader(rest_);
    return header && header->der_identifier && header->tag == tag;
  }
  // The next element, whatever its tag (CBS_get_any_asn1_element).
  std::optional<Element> NextAny() {
    auto element = ElementAt(rest_);
    if (element) rest_ = rest_.subspan(element->whole.size());
    return element;
  }
  // The next element when it is a `tag` (CBS_get_asn1_element).
  std::optional<Element> Next(Tag tag) {
    auto element = ElementAt(rest_);
    if (!element || !element->Is(tag)) return std::nullopt;
    rest_ = rest_.subspan(element->whole.size());
    return element;
  }
  // Moves past the next element, whatever its tag.
  bool Skip() { return NextAny().has_value(); }

 private:
  std::span<const std::uint8_t> rest_;
};

}  // namespace exelore_posix::der

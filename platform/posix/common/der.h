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

// The header at the start of `bytes`, when its identifier and length octets
// lie inside them and the length is definite; nullopt otherwise. The
// contents it announces need not lie inside `bytes` (a header read from the
// first bytes of a file, say).
std::optional<Header> ReadHeader(std::span<const std::uint8_t> bytes);

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
std::optional<Element> ElementAt(std::span<const std::uint8_t> bytes);

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
  bool PeekTag(Tag tag) const;
  // The next element, whatever its tag (CBS_get_any_asn1_element).
  std::optional<Element> NextAny();
  // The next element when it is a `tag` (CBS_get_asn1_element).
  std::optional<Element> Next(Tag tag);
  // Moves past the next element, whatever its tag.
  bool Skip() { return NextAny().has_value(); }

 private:
  std::span<const std::uint8_t> rest_;
};

}  // namespace exelore_posix::der

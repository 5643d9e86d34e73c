#include "der.h"

#include <openssl/asn1.h>
#include <openssl/err.h>

#include <algorithm>
#include <climits>

namespace exelore_posix::der {
namespace {

constexpr std::uint8_t kClassAndForm = 0xE0;
constexpr std::uint8_t kHighTagNumber = 0x1F;
constexpr std::uint8_t kLongForm = 0x80;
// The flags in the answer of OpenSSL's header reader (ReadHeader's call;
// crypto/asn1/asn1_lib.c): the
// header did not decode, or its contents run past the bytes given
// ("too long", with the header read all the same); an indefinite length.
constexpr int kAsn1Error = 0x80;
constexpr int kAsn1Indefinite = 0x01;

// The headers nearly every element has, a one-byte identifier and a length
// in at most four octets, read here as OpenSSL's reader reads them: a walk
// over a catalog of a million entries spends its time in this function.
std::optional<Header> ReadCommonHeader(std::span<const std::uint8_t> bytes) {
  const std::uint8_t first = bytes[0];
  const std::uint8_t length_octet = bytes[1];
  Header header{{static_cast<std::uint8_t>(first & kClassAndForm),
                 static_cast<std::uint32_t>(first & kHighTagNumber)},
                true,
                2,
                length_octet};
  if (length_octet > kLongForm) {
    const std::size_t octets = length_octet - kLongForm;
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

}  // namespace

std::optional<Header> ReadHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() >= 2 && (bytes[0] & kHighTagNumber) != kHighTagNumber &&
      (bytes[1] < kLongForm || (bytes[1] > kLongForm && bytes[1] <= kLongForm + 4))) {
    return ReadCommonHeader(bytes);
  }
  // The rest (tag numbers from 31, lengths in more octets, the malformed):
  // OpenSSL's own reader, whose complaints stay out of the error queue.
  if (bytes.empty() || bytes.size() > LONG_MAX) return std::nullopt;
  const unsigned char* p = bytes.data();
  long length = 0;
  int number = 0;
  int cls = 0;
  ERR_set_mark();
  const int r = ASN1_get_object(&p, &length, &number, &cls, static_cast<long>(bytes.size()));
  ERR_pop_to_mark();
  if (((r & kAsn1Error) != 0 && p == bytes.data()) || (r & kAsn1Indefinite) != 0 || length < 0 ||
      number < 0) {
    return std::nullopt;
  }
  Header header;
  header.tag = {static_cast<std::uint8_t>((cls & 0xC0) | (r & kConstructed)),
                static_cast<std::uint32_t>(number)};
  // A number below 31 belongs in the first octet; one from 31 on in as few
  // octets as it needs after it (X.690 sections 8.1.2.2 to 8.1.2.4).
  header.der_identifier = (bytes[0] & kHighTagNumber) != kHighTagNumber ||
                          (number >= kHighTagNumber && bytes[1] != kLongForm);
  header.size = static_cast<std::size_t>(p - bytes.data());
  header.length = static_cast<std::size_t>(length);
  return header;
}

std::optional<Element> ElementAt(std::span<const std::uint8_t> bytes) {
  const auto header = ReadHeader(bytes);
  if (!header || header->length > bytes.size() - header->size) return std::nullopt;
  return Element{header->tag, header->der_identifier, bytes.first(header->size + header->length),
                 bytes.subspan(header->size, header->length)};
}

std::optional<std::vector<Element>> ElementsOf(std::span<const std::uint8_t> contents) {
  std::vector<Element> out;
  Cursor cursor(contents);
  while (!cursor.AtEnd()) {
    const auto element = cursor.NextAny();
    if (!element) return std::nullopt;
    out.push_back(*element);
  }
  return out;
}

std::vector<std::uint8_t> DerHeader(Tag tag, std::size_t length) {
  if (length > INT_MAX || tag.number > INT_MAX) return {};
  const int constructed = tag.constructed() ? 1 : 0;
  const int number = static_cast<int>(tag.number);
  const int whole = ASN1_object_size(constructed, static_cast<int>(length), number);
  if (whole < 0) return {};
  std::vector<std::uint8_t> header(static_cast<std::size_t>(whole) - length);
  unsigned char* out = header.data();
  ASN1_put_object(&out, constructed, static_cast<int>(length), number, tag.tag_class());
  return header;
}

bool HeaderIsDer(const Element& element) {
  const std::vector<std::uint8_t> header = DerHeader(element.tag, element.contents.size());
  const auto own = element.whole.first(element.whole.size() - element.contents.size());
  return !header.empty() && std::equal(header.begin(), header.end(), own.begin(), own.end());
}

bool Cursor::PeekTag(Tag tag) const {
  const auto header = ReadHeader(rest_);
  return header && header->der_identifier && header->tag == tag;
}

std::optional<Element> Cursor::NextAny() {
  const auto element = ElementAt(rest_);
  if (element) rest_ = rest_.subspan(element->whole.size());
  return element;
}

std::optional<Element> Cursor::Next(Tag tag) {
  const auto element = ElementAt(rest_);
  if (!element || !element->Is(tag)) return std::nullopt;
  rest_ = rest_.subspan(element->whole.size());
  return element;
}

}  // namespace exelore_posix::der

#include "der.h"

#include <openssl/asn1.h>
#include <openssl/err.h>

#include <algorithm>
#include <climits>

namespace exelore_posix::der {
namespace {

constexpr std::uint8_t kHighTagNumber = 0x1F;
constexpr std::uint8_t kLongForm = 0x80;
// The flags in the answer of OpenSSL's header reader (crypto/asn1/asn1_lib.c):
// the header did not decode, or its contents run past the bytes given ("too
// long", with the header read all the same); an indefinite length.
constexpr int kAsn1Error = 0x80;
constexpr int kAsn1Indefinite = 0x01;

}  // namespace

std::optional<Header> ReadUncommonHeader(std::span<const std::uint8_t> bytes) {
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

}  // namespace exelore_posix::der

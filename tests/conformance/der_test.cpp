// The DER reader every walk over signed messages, catalogs and certificates
// shares: headers at the edges of their bytes, lengths in every form, tags
// past the first octet, and the cursor's all-or-nothing moves.
#include "der.h"

#include <cstdint>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace der = exelore_posix::der;
using Bytes = std::vector<std::uint8_t>;

Bytes With(Bytes head, std::size_t filler) {
  head.resize(head.size() + filler, 0xAA);
  return head;
}

TEST(Der, ReadsAWholeElementOrNone) {
  struct Case {
    const char* what;
    Bytes bytes;
    std::optional<std::size_t> header;  // ReadHeader's size, nullopt when refused
    std::optional<std::size_t> whole;   // ElementAt's, nullopt when refused
    der::Tag tag = {};
    bool is_tag = true;      // Element::Is(tag)
    bool der_header = true;  // HeaderIsDer
  };
  const Case cases[] = {
      {"zero length", {0x05, 0x00}, 2, 2, der::kNull},
      {"trailing bytes left alone", {0x02, 0x01, 0x05, 0xFF}, 2, 3, der::kInteger},
      {"no bytes", {}, std::nullopt, std::nullopt},
      {"identifier alone", {0x30}, std::nullopt, std::nullopt},
      {"length octets cut", {0x30, 0x82, 0x01}, std::nullopt, std::nullopt},
      {"contents cut", {0x04, 0x03, 0x01, 0x02}, 2, std::nullopt},
      {"long form", With({0x04, 0x81, 0x80}, 0x80), 3, 0x83, der::kOctetString},
      {"long form, not minimal", {0x04, 0x81, 0x01, 0xAA}, 3, 4, der::kOctetString, true, false},
      {"four length octets", {0x04, 0x84, 0, 0, 0, 1, 0xAA}, 6, 7, der::kOctetString, true, false},
      {"five length octets",
       {0x04, 0x85, 0, 0, 0, 0, 1, 0xAA},
       7,
       8,
       der::kOctetString,
       true,
       false},
      // A length of 2^63 - 1: the header reads, its contents are not there.
      {"huge length",
       {0x04, 0x88, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA},
       10,
       std::nullopt},
      {"length past 64 bits",
       {0x04, 0x89, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0xAA},
       std::nullopt,
       std::nullopt},
      {"long form with nothing after it", {0x04, 0x81, 0x00}, std::nullopt, std::nullopt},
      {"indefinite, constructed", {0x30, 0x80, 0x00, 0x00}, std::nullopt, std::nullopt},
      {"indefinite, primitive", {0x04, 0x80, 0x00, 0x00}, std::nullopt, std::nullopt},
      {"length octet 0xFF", With({0x04, 0xFF}, 200), std::nullopt, std::nullopt},
      {"tag 31", {0x9F, 0x1F, 0x01, 0xAA}, 3, 4, der::Tag{der::kContextSpecific, 31}},
      {"tag 128", {0xBF, 0x81, 0x00, 0x00}, 4, 4, der::ContextConstructed(128)},
      {"tag 4 in high form", {0x1F, 0x04, 0x01, 0xAA}, 3, 4, der::kOctetString, false, false},
      {"tag 31 padded",
       {0x9F, 0x80, 0x1F, 0x01, 0xAA},
       4,
       5,
       der::Tag{der::kContextSpecific, 31},
       false,
       false},
      {"tag number cut", {0x9F, 0x81}, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto header = der::ReadHeader(c.bytes);
    EXPECT_EQ(header ? std::optional(header->size) : std::nullopt, c.header);
    const auto element = der::ElementAt(c.bytes);
    ASSERT_EQ(element ? std::optional(element->whole.size()) : std::nullopt, c.whole);
    if (!element) continue;
    EXPECT_EQ(element->whole.data(), c.bytes.data());
    EXPECT_EQ(element->contents.data() + element->contents.size(),
              element->whole.data() + element->whole.size());
    EXPECT_TRUE(element->tag == c.tag);
    EXPECT_EQ(element->Is(c.tag), c.is_tag);
    EXPECT_EQ(der::HeaderIsDer(*element), c.der_header);
  }
}

TEST(Der, ACursorTakesWholeElementsOrStaysWhereItWas) {
  // SEQUENCE { INTEGER 5, [0] { NULL } }, then an OCTET STRING cut short.
  const Bytes bytes = {0x30, 0x07, 0x02, 0x01, 0x05, 0xA0, 0x02, 0x05, 0x00, 0x04, 0x05, 0x01};
  der::Cursor cursor(bytes);
  EXPECT_FALSE(cursor.Next(der::kSet).has_value());
  EXPECT_TRUE(cursor.PeekTag(der::kSequence));
  const auto sequence = cursor.Next(der::kSequence);
  ASSERT_TRUE(sequence.has_value());
  der::Cursor fields(sequence->contents);
  EXPECT_EQ(fields.Next(der::kInteger)->contents.front(), 0x05);
  const auto explicit_null = fields.Next(der::ContextConstructed(0));
  ASSERT_TRUE(explicit_null.has_value());
  EXPECT_TRUE(der::Cursor(explicit_null->contents).Next(der::kNull).has_value());
  EXPECT_TRUE(fields.AtEnd());
  EXPECT_FALSE(fields.Skip());
  // The cut OCTET STRING: its identifier is there to peek at, but every
  // read fails and moves nothing.
  EXPECT_TRUE(cursor.PeekTag(der::kOctetString));
  EXPECT_FALSE(cursor.Next(der::kOctetString).has_value());
  EXPECT_FALSE(cursor.NextAny().has_value());
  EXPECT_EQ(cursor.rest().size(), 3u);
  EXPECT_EQ(der::ElementsOf(bytes), std::nullopt);
  EXPECT_EQ(der::ElementsOf(sequence->contents)->size(), 2u);
}

}  // namespace

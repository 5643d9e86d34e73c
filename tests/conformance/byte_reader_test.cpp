// The little-endian reader the stand-in's parsers share: reads at the edges of
// the span, offsets that would wrap, and the cursor's all-or-nothing moves.
#include "byte_reader.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

namespace {

using exelore_posix::ByteCursor;
using exelore_posix::ByteReader;
using exelore_posix::Field;

constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();
const std::vector<std::uint8_t> kBytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};

TEST(ByteReader, ReadsInsideTheSpanAndNothingElse) {
  struct Case {
    std::size_t offset;
    std::size_t base;
    std::optional<std::uint16_t> u16;  // Field<std::uint16_t>{offset} read at base
    std::optional<std::uint32_t> u32;
  };
  const Case cases[] = {
      {0, 0, 0x0201, 0x04030201},
      {2, 0, 0x0403, 0x06050403},
      {0, 2, 0x0403, 0x06050403},
      {4, 0, 0x0605, std::nullopt},  // the last whole 16-bit field
      {5, 0, std::nullopt, std::nullopt},
      {0, 6, std::nullopt, std::nullopt},
      {6, 0, std::nullopt, std::nullopt},
      // base + offset wraps round to 0 unless the base is checked first.
      {1, kHuge, std::nullopt, std::nullopt},
      {kHuge, 1, std::nullopt, std::nullopt},
      {kHuge - 1, 2, std::nullopt, std::nullopt},
  };
  const ByteReader reader(kBytes);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << ", base " << c.base);
    EXPECT_EQ(reader.Read(Field<std::uint16_t>{c.offset}, c.base), c.u16);
    EXPECT_EQ(reader.Read(Field<std::uint32_t>{c.offset}, c.base), c.u32);
  }
}

TEST(ByteCursor, AFailedStepLeavesThePositionWhereItWas) {
  ByteCursor cursor(kBytes);
  ASSERT_TRUE(cursor.Skip(1));
  EXPECT_EQ(cursor.Next<std::uint32_t>(), 0x05040302u);
  struct Step {
    const char* what;
    bool succeeded;
  };
  // Five bytes in, one left: every step below asks for more.
  const Step steps[] = {
      {"Next<uint16_t>", cursor.Next<std::uint16_t>().has_value()},
      {"Next<uint32_t>", cursor.Next<std::uint32_t>().has_value()},
      {"Take(2)", cursor.Take(2).has_value()},
      {"Take(huge)", cursor.Take(kHuge).has_value()},
      {"Skip(2)", cursor.Skip(2)},
  };
  for (const Step& step : steps) EXPECT_FALSE(step.succeeded) << step.what;
  EXPECT_EQ(cursor.position(), 5u);
  const auto last = cursor.Take(1);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->U16(0), std::nullopt);  // a taken reader ends where the take did
  EXPECT_TRUE(cursor.AtEnd());
}

TEST(Store, WritesWhollyInsideTheSpanOrNotAtAll) {
  struct Case {
    std::size_t offset;
    std::size_t base;
    bool stored;
  };
  const Case cases[] = {{0, 0, true},  {0, 2, true},      {1, 2, false},    {3, 0, false},
                        {0, 4, false}, {kHuge, 1, false}, {1, kHuge, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << ", base " << c.base);
    std::vector<std::uint8_t> bytes(4, 0xEE);
    EXPECT_EQ(
        exelore_posix::Store(bytes, Field<std::uint16_t>{c.offset}, c.base, std::uint16_t{0x1234}),
        c.stored);
    std::vector<std::uint8_t> expected(4, 0xEE);
    if (c.stored) {
      expected[c.base + c.offset] = 0x34;
      expected[c.base + c.offset + 1] = 0x12;
    }
    EXPECT_EQ(bytes, expected);
  }
}

}  // namespace

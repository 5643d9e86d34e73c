// The version resources of the fixture writer, laid out the way readers
// expect, read back by a parser independent of pe_resources.cpp.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "pe_builder.h"
#include "pe_selftest_helpers.h"

namespace exelore_test::pe_selftest {
namespace {

TEST(VersionResource, MinimalBlockMatchesHandLaidBytes) {
  VersionInfoLayout options;
  options.has_fixed_info = false;
  options.string_tables = {{u"040904b0", {{u"A", u"xy"}}}};

  std::vector<uint8_t> expect;
  auto w16 = [&](uint16_t v) {
    expect.push_back(static_cast<uint8_t>(v & 0xFF));
    expect.push_back(static_cast<uint8_t>(v >> 8));
  };
  auto wstr = [&](const std::u16string& s) {
    for (char16_t ch : s) w16(static_cast<uint16_t>(ch));
    w16(0);
  };
  // VS_VERSION_INFO: 6 + 32 key = 38, pad to 40, child of 78 -> 118.
  w16(118), w16(0), w16(0), wstr(u"VS_VERSION_INFO"), w16(0);
  // StringFileInfo: 6 + 30 = 36, child of 42 -> 78.
  w16(78), w16(0), w16(1), wstr(u"StringFileInfo");
  // StringTable: 6 + 18 = 24, child of 18 -> 42.
  w16(42), w16(0), w16(1), wstr(u"040904b0");
  // String: 6 + 4 = 10, pad to 12, "xy\0" -> 18; wValueLength 3 units.
  w16(18), w16(3), w16(1), wstr(u"A"), w16(0), wstr(u"xy");

  EXPECT_EQ(BuildVersionResource(options), expect);
}

TEST(VersionResource, FixedInfoCarriesSignatureAndPackedVersions) {
  VersionInfoLayout options;
  options.file_version = {1, 2, 3, 4};
  options.product_version = {0x0A0B, 0, 0xFFFF, 9};
  const auto bytes = BuildVersionResource(options);
  const VNode root = ParseVersionNode(bytes, 0, bytes.size(), false);
  ASSERT_EQ(root.key, u"VS_VERSION_INFO");
  ASSERT_EQ(root.value_length, 52);
  ASSERT_EQ(root.value.size(), 52u);
  EXPECT_EQ(U32(root.value, 0), 0xFEEF04BDu);
  EXPECT_EQ(U32(root.value, 4), 0x00010000u);
  EXPECT_EQ(U32(root.value, 8), 0x00010002u);
  EXPECT_EQ(U32(root.value, 12), 0x00030004u);
  EXPECT_EQ(U32(root.value, 16), 0x0A0B0000u);
  EXPECT_EQ(U32(root.value, 20), 0xFFFF0009u);
  // The value starts at offset 40: 6-byte header + 32-byte key, padded.
  EXPECT_EQ(U32(bytes, 40), 0xFEEF04BDu);

  options.fixed_signature = 0x12345678u;
  EXPECT_EQ(U32(BuildVersionResource(options), 40), 0x12345678u);
}

TEST(VersionResource, TreesRoundTripThroughIndependentParser) {
  struct Case {
    std::string name;
    VersionInfoLayout options;
  };
  std::vector<Case> cases;
  cases.push_back({"defaults", DefaultVersionInfo()});
  {
    VersionInfoLayout s;
    s.has_fixed_info = false;
    s.string_tables = {{u"040904B0", {{u"Odd", u"v"}, {u"Even", u"vv"}, {u"Empty", u""}}}};
    cases.push_back({"no_fixed_odd_even_empty", s});
  }
  {
    VersionInfoLayout s;
    s.string_tables = {{u"040904b0", {{u"CompanyName", u"Truncated", true}, {u"X", u"", true}}}};
    cases.push_back({"omit_nul", s});
  }
  {
    VersionInfoLayout s;
    s.string_tables = {{u"040904b0", {{u"ProductName", u"English"}}},
                       {u"040704b0", {{u"ProductName", u"Deutsch \u00e4\u00f6\u00fc"}}},
                       {u"041104b0", {{u"ProductName", u"\u65e5\u672c\U0001F600"}}}};
    s.translations = std::vector<std::pair<uint16_t, uint16_t>>{
        {0x0409, 0x04b0}, {0x0407, 0x04b0}, {0x0411, 0x04b0}};
    cases.push_back({"three_tables_three_translations", s});
  }
  {
    VersionInfoLayout s;
    s.translations = std::vector<std::pair<uint16_t, uint16_t>>{};
    cases.push_back({"fixed_only_empty_translation", s});
  }

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto bytes = BuildVersionResource(c.options);
    const VNode root = ParseVersionNode(bytes, 0, bytes.size(), false);
    EXPECT_EQ(root.key, u"VS_VERSION_INFO");
    EXPECT_EQ(root.type, 0);
    EXPECT_EQ(U16(bytes, 0), bytes.size()) << "root wLength covers the whole blob";
    EXPECT_EQ(root.value.size(), c.options.has_fixed_info ? 52u : 0u);

    size_t child = 0;
    if (!c.options.string_tables.empty()) {
      ASSERT_GT(root.children.size(), child);
      const VNode& sfi = root.children[child++];
      EXPECT_EQ(sfi.key, u"StringFileInfo");
      EXPECT_EQ(sfi.type, 1);
      ASSERT_EQ(sfi.children.size(), c.options.string_tables.size());
      for (size_t t = 0; t < sfi.children.size(); ++t) {
        const auto& want = c.options.string_tables[t];
        const VNode& table = sfi.children[t];
        EXPECT_EQ(table.key, want.block_name);
        EXPECT_EQ(table.value_length, 0);
        ASSERT_EQ(table.children.size(), want.strings.size());
        for (size_t i = 0; i < want.strings.size(); ++i) {
          const VNode& str = table.children[i];
          const auto& ws = want.strings[i];
          EXPECT_EQ(str.key, ws.key);
          EXPECT_EQ(str.type, 1);
          std::u16string expect_value = ws.value;
          if (!ws.omit_nul) expect_value.push_back(u'\0');
          EXPECT_EQ(str.value_length, expect_value.size()) << "units including any NUL";
          EXPECT_EQ(Utf16FromBytes(str.value), expect_value);
        }
      }
    }
    if (c.options.translations) {
      ASSERT_GT(root.children.size(), child);
      const VNode& vfi = root.children[child++];
      EXPECT_EQ(vfi.key, u"VarFileInfo");
      ASSERT_EQ(vfi.children.size(), 1u);
      const VNode& var = vfi.children[0];
      EXPECT_EQ(var.key, u"Translation");
      EXPECT_EQ(var.type, 0);
      ASSERT_EQ(var.value_length, 4 * c.options.translations->size()) << "bytes, not units";
      for (size_t i = 0; i < c.options.translations->size(); ++i) {
        EXPECT_EQ(U16(var.value, 4 * i), (*c.options.translations)[i].first);
        EXPECT_EQ(U16(var.value, 4 * i + 2), (*c.options.translations)[i].second);
      }
    }
    EXPECT_EQ(root.children.size(), child);
  }
}

}  // namespace
}  // namespace exelore_test::pe_selftest

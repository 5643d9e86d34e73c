// Checks that the fixture writer lays out images the way readers expect,
// read back by a parser independent of pe_builder.cpp. Its version resources
// are checked in version_resource_selftest.cpp, its images against external
// tools in pe_builder_tools_selftest.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "pe_builder.h"
#include "pe_selftest_helpers.h"

namespace exelore_test::pe_selftest {
namespace {

TEST(PeBuilder, ImagesAreStructurallyValid) {
  for (const auto& c : ImageCases()) {
    SCOPED_TRACE(c.name);
    PeLayout layout;
    const auto img = BuildPe(c.options, &layout);
    const Headers h = ParseHeaders(img);

    EXPECT_EQ(h.machine, c.options.pe32plus ? 0x8664 : 0x014C);
    EXPECT_EQ(h.magic, c.options.pe32plus ? 0x20B : 0x10B);
    EXPECT_EQ(h.opt_size, c.options.pe32plus ? 240 : 224);
    EXPECT_EQ(h.ndirs, 16u);
    EXPECT_EQ(h.fa, c.options.file_alignment);
    EXPECT_EQ(h.sa, c.options.section_alignment);
    EXPECT_EQ(h.size_of_headers % h.fa, 0u);
    EXPECT_GE(h.size_of_headers, h.headers_end);

    ASSERT_FALSE(h.sections.empty());
    EXPECT_EQ(h.sections[0].name, ".text");
    const size_t entry_off = RvaToOffset(h, h.entry, 1);
    EXPECT_EQ(img[entry_off], 0xC3) << "entry point should be a ret";

    uint32_t expect_raw = h.size_of_headers;
    uint32_t min_rva = h.size_of_headers;
    for (const auto& s : h.sections) {
      SCOPED_TRACE(s.name);
      EXPECT_EQ(s.raw_ptr, expect_raw) << "raw data should be contiguous";
      EXPECT_EQ(s.raw_ptr % h.fa, 0u);
      EXPECT_EQ(s.raw_size % h.fa, 0u);
      EXPECT_GE(s.raw_size, s.vsize);
      EXPECT_EQ(s.rva % h.sa, 0u);
      EXPECT_GE(s.rva, min_rva);
      min_rva = s.rva + s.vsize;
      expect_raw = s.raw_ptr + s.raw_size;
    }
    EXPECT_EQ(img.size(), expect_raw) << "no trailing bytes after the last section";
    const auto& last = h.sections.back();
    EXPECT_EQ(h.size_of_image, (last.rva + last.vsize + h.sa - 1) / h.sa * h.sa);
    if (c.options.extra_section_bytes) {
      EXPECT_GT(img.size(), c.options.extra_section_bytes);
    }

    // Resources: every entry reachable by its key with identical bytes, and
    // the layout offsets the builder reports point at the same bytes.
    if (c.options.resources.empty()) {
      EXPECT_EQ(h.rsrc_rva, 0u);
      continue;
    }
    EXPECT_EQ(h.rsrc_rva, layout.rsrc_rva);
    const auto found = WalkResources(img);
    EXPECT_EQ(found.size(), c.options.resources.size());
    for (size_t i = 0; i < c.options.resources.size(); ++i) {
      const auto& r = c.options.resources[i];
      const ResKey key{KeyText(r.type, r.type_string), KeyText(r.name_id, r.name_string), r.lang};
      ASSERT_TRUE(found.count(key)) << std::get<0>(key) << "/" << std::get<1>(key);
      EXPECT_EQ(found.at(key), r.data);
      const size_t at = layout.rsrc_raw + layout.rsrc.data_offsets.at(i);
      EXPECT_TRUE(
          std::equal(r.data.begin(), r.data.end(), img.begin() + static_cast<std::ptrdiff_t>(at)));
      EXPECT_EQ(U32(img, layout.rsrc_raw + layout.rsrc.data_entry_offsets.at(i)),
                layout.rsrc_rva + layout.rsrc.data_offsets.at(i));
    }
    ASSERT_NE(layout.version_data_offset, 0u);
    const auto first_version = c.options.resources.front().data;
    EXPECT_EQ(layout.version_data_size, first_version.size());
    EXPECT_EQ(
        std::vector<uint8_t>(img.begin() + static_cast<std::ptrdiff_t>(layout.version_data_offset),
                             img.begin() + static_cast<std::ptrdiff_t>(layout.version_data_offset +
                                                                       layout.version_data_size)),
        first_version);
  }
}

TEST(PeBuilder, RawRsrcIsPlacedVerbatimAtRequestedRva) {
  const std::vector<uint8_t> junk = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
  struct Case {
    uint32_t rva;
    bool pe32plus;
    bool valid;
  };
  const Case cases[] = {
      {kDefaultRsrcRva, true, true},
      {0x7000, false, true},
      {0x1000, true, false},
      {0x2800, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rva);
    if (!c.valid) {
      EXPECT_THROW(BuildPeWithRawRsrc(junk, c.rva, c.pe32plus), std::invalid_argument);
      continue;
    }
    PeLayout layout;
    const auto img = BuildPeWithRawRsrc(junk, c.rva, c.pe32plus, &layout);
    const Headers h = ParseHeaders(img);
    EXPECT_EQ(h.rsrc_rva, c.rva);
    EXPECT_EQ(h.rsrc_size, junk.size());
    EXPECT_GE(h.size_of_image, c.rva + junk.size());
    EXPECT_EQ(RvaToOffset(h, c.rva, junk.size()), layout.rsrc_raw);
    EXPECT_TRUE(std::equal(junk.begin(), junk.end(),
                           img.begin() + static_cast<std::ptrdiff_t>(layout.rsrc_raw)));
  }
}

TEST(PeBuilder, RejectsInconsistentRequests) {
  ResourceEntry a;
  a.data = {1};
  PeOptions dup;
  dup.resources = {a, a};
  EXPECT_THROW(BuildPe(dup), std::invalid_argument);

  PeOptions bad_align;
  bad_align.file_alignment = 0x300;
  EXPECT_THROW(BuildPe(bad_align), std::invalid_argument);

  PeOptions inverted;
  inverted.file_alignment = 0x2000;
  inverted.section_alignment = 0x1000;
  EXPECT_THROW(BuildPe(inverted), std::invalid_argument);
}

}  // namespace
}  // namespace exelore_test::pe_selftest

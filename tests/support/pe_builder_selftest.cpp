// Checks that the fixture writer produces images other tools accept, and that
// its version resources are laid out the way readers expect. The parsing here
// is deliberately independent of pe_builder.cpp.
#include "pe_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace exelore_test {
namespace {

namespace fs = std::filesystem;

// ----- independent readers -----------------------------------------------------

uint16_t U16(const std::vector<uint8_t>& b, size_t off) {
  if (off + 2 > b.size()) throw std::out_of_range("u16 read past end");
  return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

uint32_t U32(const std::vector<uint8_t>& b, size_t off) {
  if (off + 4 > b.size()) throw std::out_of_range("u32 read past end");
  return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
         (static_cast<uint32_t>(b[off + 2]) << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

struct SectionHdr {
  std::string name;
  uint32_t vsize, rva, raw_size, raw_ptr, characteristics;
};

struct Headers {
  uint16_t machine, magic, nsections, opt_size;
  uint32_t entry, sa, fa, size_of_image, size_of_headers, checksum, ndirs;
  uint32_t rsrc_rva, rsrc_size;
  size_t headers_end;
  std::vector<SectionHdr> sections;
};

Headers ParseHeaders(const std::vector<uint8_t>& img) {
  Headers h{};
  if (U16(img, 0) != 0x5A4D) throw std::runtime_error("no MZ");
  const size_t pe = U32(img, 0x3C);
  if (U32(img, pe) != 0x00004550u) throw std::runtime_error("no PE signature");
  const size_t coff = pe + 4;
  h.machine = U16(img, coff);
  h.nsections = U16(img, coff + 2);
  h.opt_size = U16(img, coff + 16);
  const size_t opt = coff + 20;
  h.magic = U16(img, opt);
  const bool plus = h.magic == 0x20B;
  h.entry = U32(img, opt + 16);
  h.sa = U32(img, opt + 32);
  h.fa = U32(img, opt + 36);
  h.size_of_image = U32(img, opt + 56);
  h.size_of_headers = U32(img, opt + 60);
  h.checksum = U32(img, opt + 64);
  const size_t ndirs_off = opt + (plus ? 108 : 92);
  h.ndirs = U32(img, ndirs_off);
  h.rsrc_rva = U32(img, ndirs_off + 4 + 2 * 8);
  h.rsrc_size = U32(img, ndirs_off + 4 + 2 * 8 + 4);
  const size_t st = opt + h.opt_size;
  for (size_t i = 0; i < h.nsections; ++i) {
    const size_t s = st + 40 * i;
    SectionHdr sh;
    sh.name.assign(reinterpret_cast<const char*>(&img.at(s)), 8);
    sh.name.resize(sh.name.find('\0') == std::string::npos ? 8 : sh.name.find('\0'));
    sh.vsize = U32(img, s + 8);
    sh.rva = U32(img, s + 12);
    sh.raw_size = U32(img, s + 16);
    sh.raw_ptr = U32(img, s + 20);
    sh.characteristics = U32(img, s + 36);
    h.sections.push_back(sh);
  }
  h.headers_end = st + 40 * h.nsections;
  return h;
}

size_t RvaToOffset(const Headers& h, uint32_t rva, size_t len) {
  for (const auto& s : h.sections)
    if (rva >= s.rva && rva + len <= s.rva + s.vsize && rva - s.rva + len <= s.raw_size)
      return s.raw_ptr + (rva - s.rva);
  throw std::runtime_error("RVA not backed by file data");
}

// Resource key rendered as text: "#16" for IDs, the name itself otherwise.
std::string DirKeyText(const std::vector<uint8_t>& rsrc, uint32_t field) {
  if (!(field & 0x80000000u)) return "#" + std::to_string(field);
  const size_t at = field & 0x7FFFFFFFu;
  std::string out;
  const uint16_t n = U16(rsrc, at);
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<char>(U16(rsrc, at + 2 + 2 * i)));
  return out;
}

using ResKey = std::tuple<std::string, std::string, uint32_t>;

// Walks a three-level resource tree; checks ordering (named before IDs,
// ascending) on every level and returns leaf data by (type, name, lang).
std::map<ResKey, std::vector<uint8_t>> WalkResources(const std::vector<uint8_t>& img) {
  const Headers h = ParseHeaders(img);
  const size_t base = RvaToOffset(h, h.rsrc_rva, h.rsrc_size);
  const std::vector<uint8_t> rsrc(img.begin() + static_cast<std::ptrdiff_t>(base),
                                  img.begin() + static_cast<std::ptrdiff_t>(base + h.rsrc_size));
  std::map<ResKey, std::vector<uint8_t>> out;
  auto entries = [&](size_t dir) {
    const size_t named = U16(rsrc, dir + 12), ids = U16(rsrc, dir + 14);
    std::vector<std::pair<uint32_t, uint32_t>> v;
    for (size_t i = 0; i < named + ids; ++i) {
      const uint32_t name = U32(rsrc, dir + 16 + 8 * i);
      EXPECT_EQ(i < named, (name & 0x80000000u) != 0) << "named entries must come first";
      if (!v.empty() && i != named) {
        if (i < named) {
          EXPECT_LT(DirKeyText(rsrc, v.back().first), DirKeyText(rsrc, name));
        } else {
          EXPECT_LT(v.back().first, name);
        }
      }
      v.emplace_back(name, U32(rsrc, dir + 16 + 8 * i + 4));
    }
    return v;
  };
  for (const auto& [type, t_off] : entries(0)) {
    if (!(t_off & 0x80000000u)) throw std::runtime_error("type entry is not a directory");
    for (const auto& [name, n_off] : entries(t_off & 0x7FFFFFFFu)) {
      if (!(n_off & 0x80000000u)) throw std::runtime_error("name entry is not a directory");
      for (const auto& [lang, leaf] : entries(n_off & 0x7FFFFFFFu)) {
        if (leaf & 0x80000000u) throw std::runtime_error("language entry is a directory");
        const uint32_t rva = U32(rsrc, leaf), size = U32(rsrc, leaf + 4);
        const size_t off = RvaToOffset(h, rva, size);
        out[{DirKeyText(rsrc, type), DirKeyText(rsrc, name), lang}] =
            std::vector<uint8_t>(img.begin() + static_cast<std::ptrdiff_t>(off),
                                 img.begin() + static_cast<std::ptrdiff_t>(off + size));
      }
    }
  }
  return out;
}

// A parsed version node.
struct VNode {
  std::u16string key;
  uint16_t value_length = 0, type = 0;
  std::vector<uint8_t> value;  // raw bytes, length derived from wValueLength
  std::vector<VNode> children;
};

// Parses one node at `off`; enforces that it lies within [off, limit) and
// that children start DWORD aligned and stay inside the parent.
VNode ParseVersionNode(const std::vector<uint8_t>& b, size_t off, size_t limit,
                       bool value_in_bytes_hint) {
  EXPECT_EQ(off % 4, 0u) << "node not DWORD aligned";
  VNode n;
  const size_t len = U16(b, off);
  n.value_length = U16(b, off + 2);
  n.type = U16(b, off + 4);
  if (len < 6 || off + len > limit) throw std::runtime_error("node overruns its parent");
  const size_t end = off + len;
  size_t p = off + 6;
  for (;;) {
    const uint16_t c = U16(b, p);
    p += 2;
    if (c == 0) break;
    n.key.push_back(static_cast<char16_t>(c));
  }
  p = (p + 3) & ~size_t{3};
  // Text values (wType 1) count UTF-16 units, binary ones count bytes.
  const bool in_bytes = n.type == 0 || value_in_bytes_hint;
  const size_t vbytes = in_bytes ? n.value_length : 2u * n.value_length;
  if (vbytes) {
    if (p + vbytes > end) throw std::runtime_error("value overruns node");
    n.value.assign(b.begin() + static_cast<std::ptrdiff_t>(p),
                   b.begin() + static_cast<std::ptrdiff_t>(p + vbytes));
    p += vbytes;
  }
  for (;;) {
    p = (p + 3) & ~size_t{3};
    if (p >= end) break;
    n.children.push_back(ParseVersionNode(b, p, end, false));
    p += U16(b, p);
  }
  EXPECT_LE(p, end + 3) << "padding past node end";
  return n;
}

std::u16string Utf16FromBytes(const std::vector<uint8_t>& v) {
  std::u16string s;
  for (size_t i = 0; i + 1 < v.size(); i += 2) s.push_back(static_cast<char16_t>(U16(v, i)));
  return s;
}

// ----- helpers for external tools ----------------------------------------------

struct Temp {
  fs::path dir;
  Temp() {
    std::random_device rd;
    std::ostringstream name;
    name << "exelore_pe_selftest_" << std::hex << rd() << rd();
    dir = fs::temp_directory_path() / name.str();
    fs::create_directories(dir);
  }
  ~Temp() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::string Path(const std::string& leaf) const { return (dir / leaf).string(); }
};

struct RunResult {
  int status;
  std::string output;
};

RunResult RunShell(const Temp& tmp, const std::string& cmd) {
  const std::string out = tmp.Path("cmd_output.txt");
  const int status = std::system((cmd + " >'" + out + "' 2>&1").c_str());
  const auto bytes = ReadFile(out);
  return {status, std::string(bytes.begin(), bytes.end())};
}

bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string LineValue(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  if (at == std::string::npos) return {};
  size_t p = text.find(':', at + label.size());
  if (p == std::string::npos) return {};
  ++p;
  while (p < text.size() && text[p] == ' ') ++p;
  size_t e = p;
  while (e < text.size() && !std::isspace(static_cast<unsigned char>(text[e]))) ++e;
  return text.substr(p, e - p);
}

std::string Hex8(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

// ----- fixtures under test -------------------------------------------------------

struct ImageCase {
  std::string name;
  PeOptions options;
};

std::vector<ImageCase> ImageCases() {
  auto version = [](uint16_t lang) {
    ResourceEntry e;
    e.lang = lang;
    e.data = BuildVersionResource(DefaultVersionInfo());
    return e;
  };
  std::vector<ImageCase> v;
  {
    ImageCase c{"pe64_version", {}};
    c.options.resources = {version(0x0409)};
    v.push_back(c);
  }
  {
    ImageCase c{"pe32_version", {}};
    c.options.pe32plus = false;
    c.options.resources = {version(0x0409)};
    v.push_back(c);
  }
  {
    ImageCase c{"pe64_no_resources", {}};
    v.push_back(c);
  }
  {
    ImageCase c{"pe32_big_extra_section", {}};
    c.options.pe32plus = false;
    c.options.resources = {version(0x0409)};
    c.options.extra_section_bytes = (1u << 20) + 7;
    v.push_back(c);
  }
  {
    ImageCase c{"pe64_page_file_alignment", {}};
    c.options.file_alignment = 0x1000;
    c.options.resources = {version(0x0407)};
    c.options.extra_section_bytes = 100;
    v.push_back(c);
  }
  {
    // Mixed tree: named and numbered types/names, several languages, given
    // out of order so the writer has to sort them.
    ImageCase c{"pe64_mixed_tree", {}};
    ResourceEntry manifest{kRtManifest, 1, std::nullopt, 0, {'<', 'x', '/', '>'}, std::nullopt};
    ResourceEntry named{kRtString, 0, u"ZETA", 0x0409, {1, 2, 3}, std::nullopt};
    ResourceEntry named2{kRtString, 0, u"ALPHA", 0x0409, {4}, std::nullopt};
    ResourceEntry custom{0, 7, std::nullopt, 0x0411, {9, 9}, u"MYTYPE"};
    c.options.resources = {version(0x0411), manifest, named, version(0x0409), named2, custom};
    v.push_back(c);
  }
  return v;
}

std::string KeyText(uint16_t id, const std::optional<std::u16string>& s) {
  if (!s) return "#" + std::to_string(id);
  return std::string(s->begin(), s->end());
}

// ============================================================================

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
      EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(),
                             img.begin() + static_cast<std::ptrdiff_t>(at)));
      EXPECT_EQ(U32(img, layout.rsrc_raw + layout.rsrc.data_entry_offsets.at(i)),
                layout.rsrc_rva + layout.rsrc.data_offsets.at(i));
    }
    ASSERT_NE(layout.version_data_offset, 0u);
    const auto first_version = c.options.resources.front().data;
    EXPECT_EQ(layout.version_data_size, first_version.size());
    EXPECT_EQ(std::vector<uint8_t>(
                  img.begin() + static_cast<std::ptrdiff_t>(layout.version_data_offset),
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
      {kDefaultRsrcRva, true, true}, {0x7000, false, true}, {0x1000, true, false},
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

// ----- version resource layout -----------------------------------------------------

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

// ----- external tools ----------------------------------------------------------------

TEST(PeBuilderTools, ObjdumpRecognisesImages) {
  std::string objdump;
  for (const char* tool : {"x86_64-w64-mingw32-objdump", "objdump"})
    if (HaveTool(tool)) {
      objdump = tool;
      break;
    }
  if (objdump.empty()) GTEST_SKIP() << "no objdump available";

  Temp tmp;
  for (const bool plus : {true, false}) {
    SCOPED_TRACE(plus ? "pe64" : "pe32");
    const std::string path = tmp.Path(plus ? "o64.exe" : "o32.exe");
    WriteFile(path, BuildPeWithVersion(DefaultVersionInfo(), plus));
    const auto r = RunShell(tmp, objdump + " -p '" + path + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find(plus ? "file format pei-x86-64" : "file format pei-i386"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(plus ? "(PE32+)" : "(PE32)"), std::string::npos);
    EXPECT_NE(r.output.find("Resource Directory [.rsrc]"), std::string::npos);
    EXPECT_NE(r.output.find("ID: 0x000010"), std::string::npos) << "RT_VERSION type entry";
    EXPECT_NE(r.output.find("ID: 0x000409"), std::string::npos) << "language entry";
    EXPECT_EQ(r.output.find("warning"), std::string::npos) << r.output;
  }
}

class SigningTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveTool("osslsigncode") || !HaveTool("openssl")) return;
    tmp_ = new Temp;
    const auto r = RunShell(*tmp_, "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "
                              "'/CN=ExeLore Fixture Signer' -keyout '" +
                                  tmp_->Path("key.pem") + "' -out '" + tmp_->Path("cert.pem") +
                                  "'");
    if (r.status != 0) {
      delete tmp_;
      tmp_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete tmp_;
    tmp_ = nullptr;
  }
  void SetUp() override {
    if (!tmp_) GTEST_SKIP() << "osslsigncode/openssl unavailable";
  }

  // Signs `img`; returns the path of the signed file.
  static std::string Sign(const std::vector<uint8_t>& img, const std::string& leaf) {
    const std::string in = tmp_->Path(leaf + ".exe"), out = tmp_->Path(leaf + ".signed.exe");
    WriteFile(in, img);
    const auto r = RunShell(*tmp_, "osslsigncode sign -certs '" + tmp_->Path("cert.pem") +
                                  "' -key '" + tmp_->Path("key.pem") + "' -h sha256 -in '" +
                                  in + "' -out '" + out + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    return out;
  }

  static RunResult Verify(const std::string& path) {
    return RunShell(*tmp_, "osslsigncode verify -CAfile '" + tmp_->Path("cert.pem") + "' -in '" +
                          path + "'");
  }

  static Temp* tmp_;
};

Temp* SigningTest::tmp_ = nullptr;

TEST_F(SigningTest, SignedImagesVerifyWithMatchingDigest) {
  for (const auto& c : ImageCases()) {
    SCOPED_TRACE(c.name);
    const std::string signed_path = Sign(BuildPe(c.options), c.name);
    const auto r = Verify(signed_path);
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string current = LineValue(r.output, "Current message digest");
    EXPECT_FALSE(current.empty()) << r.output;
    EXPECT_EQ(current, LineValue(r.output, "Calculated message digest")) << r.output;
    EXPECT_EQ(r.output.find("MISMATCH"), std::string::npos) << r.output;

    // The signature must cover the resource bytes: tampering with the
    // version data after signing has to break the digest.
    if (c.options.resources.empty()) continue;
    auto tampered = ReadFile(signed_path);
    PeLayout layout;
    BuildPe(c.options, &layout);
    tampered.at(layout.version_data_offset + layout.version_data_size / 2) ^= 0x20;
    const std::string bad = tmp_->Path(c.name + ".tampered.exe");
    WriteFile(bad, tampered);
    const auto rb = Verify(bad);
    EXPECT_NE(rb.status, 0) << rb.output;
    EXPECT_NE(rb.output.find("MISMATCH"), std::string::npos) << rb.output;
  }
}

TEST_F(SigningTest, ChecksumAgreesWithSigningTool) {
  struct Case {
    std::string name;
    bool pe32plus;
    size_t extra;
  };
  const Case cases[] = {{"ck64", true, 0}, {"ck32", false, 0}, {"ck64_big", true, 300001}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PeOptions options;
    options.pe32plus = c.pe32plus;
    options.extra_section_bytes = c.extra;
    options.resources = {ResourceEntry{kRtVersion, 1, std::nullopt, 0x0409,
                                    BuildVersionResource(DefaultVersionInfo()), std::nullopt}};

    // A deliberately wrong stored checksum makes the tool print its own.
    options.checksum = 0x1234;
    const auto wrong = BuildPe(options);
    const std::string wrong_path = tmp_->Path(c.name + ".exe");
    WriteFile(wrong_path, wrong);
    const auto r = Verify(wrong_path);
    EXPECT_EQ(LineValue(r.output, "Calculated PE checksum"), Hex8(ComputePeChecksum(wrong)))
        << r.output;

    options.compute_checksum = true;
    const auto right = BuildPe(options);
    EXPECT_EQ(ComputePeChecksum(right), ComputePeChecksum(wrong))
        << "the stored field must not affect the sum";
    WriteFile(wrong_path, right);
    const auto r2 = Verify(wrong_path);
    EXPECT_EQ(r2.output.find("Calculated PE checksum"), std::string::npos) << r2.output;
    EXPECT_EQ(LineValue(r2.output, "PE checksum"), Hex8(ComputePeChecksum(right)));

    // After signing, the tool rewrites the field; our sum must agree.
    const auto signed_img = ReadFile(Sign(right, c.name + "_s"));
    EXPECT_EQ(U32(signed_img, U32(signed_img, 0x3C) + 24 + 64), ComputePeChecksum(signed_img));
  }
}

}  // namespace
}  // namespace exelore_test

// The parsing here is deliberately independent of pe_builder.cpp and
// pe_resources.cpp.
#include "pe_selftest_helpers.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <stdexcept>

namespace exelore_test::pe_selftest {

namespace fs = std::filesystem;

uint16_t U16(const std::vector<uint8_t>& b, size_t off) {
  if (off + 2 > b.size()) throw std::out_of_range("u16 read past end");
  return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

uint32_t U32(const std::vector<uint8_t>& b, size_t off) {
  if (off + 4 > b.size()) throw std::out_of_range("u32 read past end");
  return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
         (static_cast<uint32_t>(b[off + 2]) << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

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

namespace {

// Resource key rendered as text: "#16" for IDs, the name itself otherwise.
std::string DirKeyText(const std::vector<uint8_t>& rsrc, uint32_t field) {
  if (!(field & 0x80000000u)) return "#" + std::to_string(field);
  const size_t at = field & 0x7FFFFFFFu;
  std::string out;
  const uint16_t n = U16(rsrc, at);
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<char>(U16(rsrc, at + 2 + 2 * i)));
  return out;
}

}  // namespace

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
Temp::Temp() {
  std::random_device rd;
  std::ostringstream name;
  name << "exelore_pe_selftest_" << std::hex << rd() << rd();
  dir = fs::temp_directory_path() / name.str();
  fs::create_directories(dir);
}

Temp::~Temp() {
  std::error_code ec;
  fs::remove_all(dir, ec);
}

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

}  // namespace exelore_test::pe_selftest

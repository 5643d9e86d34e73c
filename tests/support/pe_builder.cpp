#include "pe_builder.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

namespace exelore_test {
void Put16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  b.at(off + 1);  // bounds check once
  b[off] = static_cast<uint8_t>(v & 0xFFu);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  b.at(off + 3);
  for (size_t i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFFu);
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t off) {
  b.at(off + 3);
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[off + i]) << (8 * i);
  return v;
}

namespace {

// ----- little-endian byte helpers ------------------------------------------

void Put64(std::vector<uint8_t>& b, size_t off, uint64_t v) {
  b.at(off + 7);
  for (size_t i = 0; i < 8; ++i) b[off + i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFFu);
}

void Append16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v & 0xFFu));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void Append32(std::vector<uint8_t>& b, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFFu));
}

void AppendUtf16(std::vector<uint8_t>& b, const std::u16string& s) {
  for (char16_t c : s) Append16(b, static_cast<uint16_t>(c));
}

void PadTo(std::vector<uint8_t>& b, size_t alignment) {
  while (b.size() % alignment != 0) b.push_back(0);
}

template <typename T>
T AlignUp(T v, T alignment) {
  return (v + alignment - 1) / alignment * alignment;
}

uint16_t Narrow16(size_t v, const char* what) {
  if (v > 0xFFFFu) throw std::length_error(std::string(what) + " does not fit in 16 bits");
  return static_cast<uint16_t>(v);
}

uint32_t Narrow32(size_t v, const char* what) {
  if (v > 0xFFFFFFFFu) throw std::length_error(std::string(what) + " does not fit in 32 bits");
  return static_cast<uint32_t>(v);
}

// ----- version resource nodes ------------------------------------------------

// Serialises one VS_VERSIONINFO-style node. `children` are already serialised
// nodes; each is placed on a DWORD boundary relative to this node's start,
// which is itself DWORD aligned wherever it ends up.
std::vector<uint8_t> VersionNode(const std::u16string& key, uint16_t type, uint16_t value_length,
                                 const std::vector<uint8_t>& value,
                                 const std::vector<std::vector<uint8_t>>& children) {
  std::vector<uint8_t> out(6, 0);
  AppendUtf16(out, key);
  Append16(out, 0);
  if (!value.empty()) {
    PadTo(out, 4);
    out.insert(out.end(), value.begin(), value.end());
  }
  for (const auto& child : children) {
    PadTo(out, 4);
    out.insert(out.end(), child.begin(), child.end());
  }
  Put16(out, 0, Narrow16(out.size(), "version node wLength"));
  Put16(out, 2, value_length);
  Put16(out, 4, type);
  return out;
}

std::vector<uint8_t> FixedFileInfo(const VersionInfoLayout& options) {
  auto pack = [](uint16_t hi, uint16_t lo) {
    return (static_cast<uint32_t>(hi) << 16) | static_cast<uint32_t>(lo);
  };
  std::vector<uint8_t> v;
  Append32(v, options.fixed_signature);
  Append32(v, 0x00010000u);  // dwStrucVersion
  Append32(v, pack(options.file_version[0], options.file_version[1]));
  Append32(v, pack(options.file_version[2], options.file_version[3]));
  Append32(v, pack(options.product_version[0], options.product_version[1]));
  Append32(v, pack(options.product_version[2], options.product_version[3]));
  Append32(v, 0x3Fu);  // dwFileFlagsMask
  Append32(v, options.file_flags);
  Append32(v, options.file_os);
  Append32(v, options.file_type);
  Append32(v, 0);  // dwFileSubtype
  Append32(v, 0);  // dwFileDateMS
  Append32(v, 0);  // dwFileDateLS
  return v;
}

// ----- resource directory ----------------------------------------------------

// A directory entry key: named entries sort before ID entries; names compare
// code unit by code unit, IDs numerically.
struct DirKey {
  bool named = false;
  std::u16string name;
  uint16_t id = 0;

  bool operator<(const DirKey& o) const {
    if (named != o.named) return named;  // named first
    if (named) return name < o.name;
    return id < o.id;
  }
};

DirKey TypeKey(const ResourceEntry& e) {
  if (e.type_string) return {true, *e.type_string, 0};
  return {false, {}, e.type};
}

DirKey NameKey(const ResourceEntry& e) {
  if (e.name_string) return {true, *e.name_string, 0};
  return {false, {}, e.name_id};
}

constexpr uint32_t kHighBit = 0x80000000u;

// ----- PE constants ------------------------------------------------------------

constexpr size_t kLfanew = 0x80;
constexpr size_t kCoffSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kOptSize32 = 224;
constexpr size_t kOptSize64 = 240;
constexpr uint32_t kNumDataDirs = 16;
constexpr size_t kResourceDir = 2;

struct Section {
  std::string name;
  std::vector<uint8_t> data;
  uint32_t characteristics = 0;
  uint32_t rva = 0;        // 0 = next free slot
  uint32_t raw_ptr = 0;
  uint32_t raw_size = 0;
};

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::vector<uint8_t> FillPattern(size_t n) {
  std::vector<uint8_t> out(n);
  uint32_t x = 0x2545F491u;
  for (size_t i = 0; i < n; ++i) {
    if (i % 4 == 0) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
    }
    out[i] = static_cast<uint8_t>((x >> (8 * (i % 4))) & 0xFFu);
  }
  return out;
}

}  // namespace

// ============================================================================

VersionInfoLayout DefaultVersionInfo(const std::u16string& company, const std::u16string& product,
                                   const std::u16string& description) {
  VersionInfoLayout options;
  StringTable table;
  table.block_name = u"040904b0";
  table.strings = {
      {u"CompanyName", company},
      {u"FileDescription", description},
      {u"FileVersion", u"1.0.0.0"},
      {u"InternalName", u"fixture"},
      {u"LegalCopyright", u"Copyright (C) " + company},
      {u"OriginalFilename", u"fixture.exe"},
      {u"ProductName", product},
      {u"ProductVersion", u"1.0.0.0"},
  };
  options.string_tables.push_back(std::move(table));
  options.translations = std::vector<std::pair<uint16_t, uint16_t>>{{0x0409, 0x04b0}};
  return options;
}

std::vector<uint8_t> BuildVersionResource(const VersionInfoLayout& options) {
  std::vector<std::vector<uint8_t>> root_children;

  if (!options.string_tables.empty()) {
    std::vector<std::vector<uint8_t>> tables;
    for (const auto& table : options.string_tables) {
      std::vector<std::vector<uint8_t>> strings;
      for (const auto& s : table.strings) {
        std::vector<uint8_t> value;
        AppendUtf16(value, s.value);
        size_t units = s.value.size();
        if (!s.omit_nul) {
          Append16(value, 0);
          ++units;
        }
        strings.push_back(
            VersionNode(s.key, 1, Narrow16(units, "string wValueLength"), value, {}));
      }
      tables.push_back(VersionNode(table.block_name, 1, 0, {}, strings));
    }
    root_children.push_back(VersionNode(u"StringFileInfo", 1, 0, {}, tables));
  }

  if (options.translations) {
    std::vector<uint8_t> value;
    for (const auto& [lang, cp] : *options.translations) {
      Append16(value, lang);
      Append16(value, cp);
    }
    auto var = VersionNode(u"Translation", 0, Narrow16(value.size(), "Translation size"), value,
                           {});
    root_children.push_back(VersionNode(u"VarFileInfo", 1, 0, {}, {var}));
  }

  std::vector<uint8_t> fixed;
  if (options.has_fixed_info) fixed = FixedFileInfo(options);
  return VersionNode(u"VS_VERSION_INFO", 0, Narrow16(fixed.size(), "fixed info"), fixed,
                     root_children);
}

std::vector<uint8_t> BuildResourceSection(const std::vector<ResourceEntry>& entries,
                                          uint32_t rsrc_rva, RsrcLayout* layout) {
  // type -> name -> lang -> index into entries
  std::map<DirKey, std::map<DirKey, std::map<uint16_t, size_t>>> tree;
  for (size_t i = 0; i < entries.size(); ++i) {
    auto& langs = tree[TypeKey(entries[i])][NameKey(entries[i])];
    if (!langs.emplace(entries[i].lang, i).second)
      throw std::invalid_argument("duplicate resource (type, name, language)");
  }

  // Pass 1: sizes and offsets. Directory tables first (root, then all name
  // levels, then all language levels), then data entries, then strings, then
  // the resource bytes.
  auto dir_size = [](size_t n) { return 16 + 8 * n; };
  size_t off = dir_size(tree.size());
  std::map<DirKey, size_t> name_dir_off;
  for (const auto& [type, names] : tree) {
    name_dir_off[type] = off;
    off += dir_size(names.size());
  }
  std::map<std::pair<DirKey, DirKey>, size_t> lang_dir_off;
  for (const auto& [type, names] : tree)
    for (const auto& [name, langs] : names) {
      lang_dir_off[{type, name}] = off;
      off += dir_size(langs.size());
    }
  std::vector<size_t> data_entry_off(entries.size());
  for (const auto& [type, names] : tree)
    for (const auto& [name, langs] : names)
      for (const auto& [lang, idx] : langs) {
        data_entry_off[idx] = off;
        off += 16;
      }
  std::map<std::u16string, size_t> string_off;
  for (const auto& e : entries) {
    for (const auto* s : {e.type_string ? &*e.type_string : nullptr,
                          e.name_string ? &*e.name_string : nullptr}) {
      if (s && !string_off.count(*s)) {
        string_off[*s] = off;
        off += 2 + 2 * s->size();
      }
    }
  }
  std::vector<size_t> data_off(entries.size());
  for (const auto& [type, names] : tree)
    for (const auto& [name, langs] : names)
      for (const auto& [lang, idx] : langs) {
        off = AlignUp<size_t>(off, 8);
        data_off[idx] = off;
        off += entries[idx].data.size();
      }

  // Pass 2: write.
  std::vector<uint8_t> out(off, 0);
  auto write_dir = [&](size_t at, size_t named, size_t ids) {
    // Characteristics, TimeDateStamp, Major/MinorVersion stay zero.
    Put16(out, at + 12, Narrow16(named, "named entries"));
    Put16(out, at + 14, Narrow16(ids, "id entries"));
  };
  auto key_field = [&](const DirKey& k) -> uint32_t {
    if (k.named) return kHighBit | Narrow32(string_off.at(k.name), "string offset");
    return k.id;
  };
  auto count_named = [](const auto& m) {
    return static_cast<size_t>(
        std::count_if(m.begin(), m.end(), [](const auto& kv) { return kv.first.named; }));
  };

  size_t named_types = count_named(tree);
  write_dir(0, named_types, tree.size() - named_types);
  size_t slot = 16;
  for (const auto& [type, names] : tree) {
    Put32(out, slot, key_field(type));
    Put32(out, slot + 4, kHighBit | Narrow32(name_dir_off[type], "dir offset"));
    slot += 8;

    size_t nd = name_dir_off[type];
    size_t named_names = count_named(names);
    write_dir(nd, named_names, names.size() - named_names);
    size_t nslot = nd + 16;
    for (const auto& [name, langs] : names) {
      size_t ld = lang_dir_off[{type, name}];
      Put32(out, nslot, key_field(name));
      Put32(out, nslot + 4, kHighBit | Narrow32(ld, "dir offset"));
      nslot += 8;

      write_dir(ld, 0, langs.size());
      size_t lslot = ld + 16;
      for (const auto& [lang, idx] : langs) {
        Put32(out, lslot, lang);
        Put32(out, lslot + 4, Narrow32(data_entry_off[idx], "data entry offset"));
        lslot += 8;
      }
    }
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    size_t de = data_entry_off[i];
    Put32(out, de, Narrow32(rsrc_rva + data_off[i], "data RVA"));
    Put32(out, de + 4, Narrow32(entries[i].data.size(), "data size"));
    // CodePage and Reserved stay zero.
    std::copy(entries[i].data.begin(), entries[i].data.end(),
              out.begin() + static_cast<std::ptrdiff_t>(data_off[i]));
  }
  for (const auto& [s, at] : string_off) {
    Put16(out, at, Narrow16(s.size(), "name length"));
    for (size_t i = 0; i < s.size(); ++i) Put16(out, at + 2 + 2 * i, static_cast<uint16_t>(s[i]));
  }

  if (layout) {
    layout->data_entry_offsets = data_entry_off;
    layout->data_offsets = data_off;
  }
  return out;
}

std::vector<uint8_t> BuildPe(const PeOptions& options, PeLayout* layout) {
  const uint32_t fa = options.file_alignment;
  const uint32_t sa = options.section_alignment;
  if (!IsPowerOfTwo(fa) || !IsPowerOfTwo(sa) || sa < fa || fa < 0x200)
    throw std::invalid_argument("bad file/section alignment");

  const bool has_rsrc = options.raw_rsrc.has_value() || !options.resources.empty();
  const size_t opt_size = options.pe32plus ? kOptSize64 : kOptSize32;
  const size_t nsections = 1 + (has_rsrc ? 1 : 0) + (options.extra_section_bytes ? 1 : 0);
  const size_t coff = kLfanew + 4;
  const size_t opt = coff + kCoffSize;
  const size_t sec_table = opt + opt_size;
  const uint32_t size_of_headers =
      AlignUp<uint32_t>(Narrow32(sec_table + nsections * kSectionHeaderSize, "headers"), fa);

  // Lay out sections: RVAs ascending and contiguous in section-aligned
  // slots, raw data back to back in file-aligned chunks.
  std::vector<Section> sections;
  sections.push_back({".text", {0xC3}, 0x60000020u, 0, 0, 0});  // ret
  uint32_t next_rva = AlignUp<uint32_t>(size_of_headers, sa);
  uint32_t next_raw = size_of_headers;
  auto place = [&](Section& s, uint32_t want_rva) {
    if (want_rva != 0) {
      if (want_rva < next_rva || want_rva % sa != 0)
        throw std::invalid_argument("requested section RVA overlaps or is misaligned");
      next_rva = want_rva;
    }
    s.rva = next_rva;
    s.raw_ptr = next_raw;
    s.raw_size = AlignUp<uint32_t>(Narrow32(s.data.size(), "section size"), fa);
    next_rva = AlignUp<uint32_t>(s.rva + std::max<uint32_t>(1, Narrow32(s.data.size(), "")), sa);
    next_raw += s.raw_size;
  };
  place(sections[0], 0);

  size_t rsrc_index = 0;
  RsrcLayout rsrc_layout;
  if (has_rsrc) {
    sections.push_back({".rsrc", {}, 0x40000040u, 0, 0, 0});
    rsrc_index = sections.size() - 1;
    uint32_t want = options.raw_rsrc ? options.raw_rsrc_rva : 0;
    // Place first with a placeholder to learn the RVA, then build the tree.
    uint32_t rva = want ? want : next_rva;
    if (options.raw_rsrc) {
      sections[rsrc_index].data = *options.raw_rsrc;
    } else {
      sections[rsrc_index].data = BuildResourceSection(options.resources, rva, &rsrc_layout);
    }
    place(sections[rsrc_index], want);
    if (sections[rsrc_index].rva != rva) throw std::logic_error("rsrc RVA mismatch");
  }
  if (options.extra_section_bytes) {
    sections.push_back({".rdata", FillPattern(options.extra_section_bytes), 0x40000040u, 0, 0, 0});
    place(sections.back(), 0);
  }
  const uint32_t size_of_image = next_rva;

  std::vector<uint8_t> img(next_raw, 0);

  // DOS header: only e_magic and e_lfanew matter to anyone today.
  img[0] = 'M';
  img[1] = 'Z';
  Put16(img, 0x02, 0x90);    // e_cblp
  Put16(img, 0x04, 3);       // e_cp
  Put16(img, 0x08, 4);       // e_cparhdr
  Put16(img, 0x0C, 0xFFFF);  // e_maxalloc
  Put16(img, 0x10, 0xB8);    // e_sp
  Put16(img, 0x18, 0x40);    // e_lfarlc
  Put32(img, 0x3C, static_cast<uint32_t>(kLfanew));

  img[kLfanew] = 'P';
  img[kLfanew + 1] = 'E';

  // COFF file header.
  Put16(img, coff, options.pe32plus ? 0x8664 : 0x014C);
  Put16(img, coff + 2, Narrow16(nsections, "sections"));
  Put16(img, coff + 16, Narrow16(opt_size, "optional header"));
  // EXECUTABLE_IMAGE plus LARGE_ADDRESS_AWARE (64-bit) or 32BIT_MACHINE.
  Put16(img, coff + 18, options.pe32plus ? 0x0022 : 0x0102);

  // Optional header.
  uint32_t size_of_code = 0, size_of_init = 0;
  for (const auto& s : sections) {
    if (s.characteristics & 0x20u) size_of_code += s.raw_size;
    if (s.characteristics & 0x40u) size_of_init += s.raw_size;
  }
  Put16(img, opt, options.pe32plus ? 0x20B : 0x10B);
  img[opt + 2] = 14;  // linker version
  Put32(img, opt + 4, size_of_code);
  Put32(img, opt + 8, size_of_init);
  Put32(img, opt + 16, sections[0].rva);  // AddressOfEntryPoint: the ret
  Put32(img, opt + 20, sections[0].rva);  // BaseOfCode
  size_t p;  // offset of SectionAlignment
  if (options.pe32plus) {
    Put64(img, opt + 24, 0x140000000ull);
    p = opt + 32;
  } else {
    Put32(img, opt + 24, sections.size() > 1 ? sections[1].rva : 0);  // BaseOfData
    Put32(img, opt + 28, 0x00400000u);
    p = opt + 32;
  }
  Put32(img, p, sa);
  Put32(img, p + 4, fa);
  Put16(img, p + 8, 6);    // MajorOperatingSystemVersion
  Put16(img, p + 16, 6);   // MajorSubsystemVersion
  Put32(img, p + 24, size_of_image);
  Put32(img, p + 28, size_of_headers);
  const size_t checksum_off = p + 32;
  Put32(img, checksum_off, options.checksum);
  Put16(img, p + 36, 3);       // IMAGE_SUBSYSTEM_WINDOWS_CUI
  Put16(img, p + 38, 0x8100);  // NX_COMPAT | TERMINAL_SERVER_AWARE
  size_t q = p + 40;           // stack/heap sizes
  if (options.pe32plus) {
    Put64(img, q, 0x100000);
    Put64(img, q + 8, 0x1000);
    Put64(img, q + 16, 0x100000);
    Put64(img, q + 24, 0x1000);
    q += 32;
  } else {
    Put32(img, q, 0x100000);
    Put32(img, q + 4, 0x1000);
    Put32(img, q + 8, 0x100000);
    Put32(img, q + 12, 0x1000);
    q += 16;
  }
  Put32(img, q + 4, kNumDataDirs);  // after LoaderFlags
  const size_t dirs = q + 8;
  if (dirs + 8 * kNumDataDirs != sec_table) throw std::logic_error("optional header size");
  if (has_rsrc) {
    Put32(img, dirs + 8 * kResourceDir, sections[rsrc_index].rva);
    Put32(img, dirs + 8 * kResourceDir + 4,
          Narrow32(sections[rsrc_index].data.size(), "rsrc size"));
  }

  // Section table and raw data.
  for (size_t i = 0; i < sections.size(); ++i) {
    const auto& s = sections[i];
    size_t h = sec_table + i * kSectionHeaderSize;
    std::copy(s.name.begin(), s.name.end(), img.begin() + static_cast<std::ptrdiff_t>(h));
    Put32(img, h + 8, Narrow32(s.data.size(), "virtual size"));
    Put32(img, h + 12, s.rva);
    Put32(img, h + 16, s.raw_size);
    Put32(img, h + 20, s.raw_ptr);
    Put32(img, h + 36, s.characteristics);
    std::copy(s.data.begin(), s.data.end(), img.begin() + static_cast<std::ptrdiff_t>(s.raw_ptr));
  }

  if (options.compute_checksum) Put32(img, checksum_off, ComputePeChecksum(img));

  if (layout) {
    *layout = PeLayout{};
    layout->e_lfanew = kLfanew;
    layout->coff_header = coff;
    layout->optional_header = opt;
    layout->checksum_field = checksum_off;
    layout->data_directories = dirs;
    layout->section_table = sec_table;
    if (has_rsrc) {
      const auto& r = sections[rsrc_index];
      layout->rsrc_raw = r.raw_ptr;
      layout->rsrc_rva = r.rva;
      layout->rsrc_size = r.data.size();
      layout->rsrc = rsrc_layout;
      for (size_t i = 0; i < options.resources.size() && !options.raw_rsrc; ++i) {
        if (options.resources[i].type == kRtVersion && !options.resources[i].type_string) {
          layout->version_data_offset = r.raw_ptr + rsrc_layout.data_offsets[i];
          layout->version_data_size = options.resources[i].data.size();
          break;
        }
      }
    }
  }
  return img;
}

std::vector<uint8_t> BuildPeWithVersion(const VersionInfoLayout& info, bool pe32plus, uint16_t lang,
                                        PeLayout* layout) {
  PeOptions options;
  options.pe32plus = pe32plus;
  ResourceEntry e;
  e.type = kRtVersion;
  e.name_id = 1;
  e.lang = lang;
  e.data = BuildVersionResource(info);
  options.resources.push_back(std::move(e));
  return BuildPe(options, layout);
}

std::vector<uint8_t> BuildPeWithRawRsrc(std::vector<uint8_t> rsrc_section_bytes, uint32_t rsrc_rva,
                                        bool pe32plus, PeLayout* layout) {
  PeOptions options;
  options.pe32plus = pe32plus;
  options.raw_rsrc = std::move(rsrc_section_bytes);
  options.raw_rsrc_rva = rsrc_rva;
  return BuildPe(options, layout);
}

uint32_t ComputePeChecksum(const std::vector<uint8_t>& image) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z')
    throw std::invalid_argument("not an MZ image");
  const size_t lfanew = Get32(image, 0x3C);
  if (lfanew + 24 + 68 > image.size() || Get32(image, lfanew) != 0x00004550u)
    throw std::invalid_argument("no PE header");
  const size_t checksum_off = lfanew + 24 + 64;

  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    if (i == checksum_off || i == checksum_off + 2) continue;
    uint32_t word = image[i];
    if (i + 1 < image.size()) word |= static_cast<uint32_t>(image[i + 1]) << 8;
    sum += word;
    sum = (sum & 0xFFFFu) + (sum >> 16);
  }
  sum = (sum & 0xFFFFu) + (sum >> 16);
  sum += image.size();
  return static_cast<uint32_t>(sum);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot open " + path + " for writing");
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("write failed: " + path);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace exelore_test

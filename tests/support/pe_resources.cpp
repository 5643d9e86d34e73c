// The resource section and the version resource of the PE writer.
#include <algorithm>
#include <map>
#include <stdexcept>

#include "pe_builder.h"
#include "pe_builder_internal.h"

namespace exelore_test {
namespace {

using pe_internal::AlignUp;
using pe_internal::Narrow16;
using pe_internal::Narrow32;

// ----- little-endian byte helpers ------------------------------------------

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
        strings.push_back(VersionNode(s.key, 1, Narrow16(units, "string wValueLength"), value, {}));
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
    auto var =
        VersionNode(u"Translation", 0, Narrow16(value.size(), "Translation size"), value, {});
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
    for (const auto* s :
         {e.type_string ? &*e.type_string : nullptr, e.name_string ? &*e.name_string : nullptr}) {
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

}  // namespace exelore_test

// The PE image layout of the PE writer: headers, sections, checksum, files.
// The resource section and the version resource are in pe_resources.cpp.
#include "pe_builder.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "pe_builder_internal.h"

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

using pe_internal::AlignUp;
using pe_internal::Narrow16;
using pe_internal::Narrow32;

// ----- little-endian byte helpers ------------------------------------------

void Put64(std::vector<uint8_t>& b, size_t off, uint64_t v) {
  b.at(off + 7);
  for (size_t i = 0; i < 8; ++i) b[off + i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFFu);
}

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
  uint32_t rva = 0;  // 0 = next free slot
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
  size_t p;                               // offset of SectionAlignment
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
  Put16(img, p + 8, 6);   // MajorOperatingSystemVersion
  Put16(img, p + 16, 6);  // MajorSubsystemVersion
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

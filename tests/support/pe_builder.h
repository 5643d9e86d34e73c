// Writer for small, genuinely valid PE/COFF images used as test fixtures.
//
// Everything here produces bytes in memory; nothing touches the file system
// except WriteFile. The images are minimal but complete: DOS header, PE
// signature, COFF header, optional header with 16 data directories, a .text
// section holding a single `ret`, an optional .rsrc section and an optional
// bulk data section. They are accepted by objdump and can be Authenticode
// signed and verified by external tools.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace exelore_test {

// ---------------------------------------------------------------------------
// Version resource (VS_VERSIONINFO, 32-bit "wide" layout)
// ---------------------------------------------------------------------------

struct VersionString {
  std::u16string key;
  std::u16string value;
  // Write the value without its terminating NUL; wValueLength then counts
  // only the characters actually written.
  bool omit_nul = false;
};

struct StringTable {
  std::u16string block_name;  // e.g. u"040904b0" or u"040904B0"
  std::vector<VersionString> strings;
};

struct VersionInfoLayout {
  // Emit a VS_FIXEDFILEINFO as the root node's value.
  bool has_fixed_info = true;
  uint32_t fixed_signature = 0xFEEF04BDu;            // override to corrupt
  std::array<uint16_t, 4> file_version{1, 0, 0, 0};  // major.minor.build.rev
  std::array<uint16_t, 4> product_version{1, 0, 0, 0};
  uint32_t file_flags = 0;
  uint32_t file_os = 0x00040004u;  // VOS_NT_WINDOWS32
  uint32_t file_type = 1;          // VFT_APP

  std::vector<StringTable> string_tables;  // children of StringFileInfo;
                                           // empty = no StringFileInfo
  // VarFileInfo\Translation as (language, code page) pairs;
  // nullopt = no VarFileInfo block at all.
  std::optional<std::vector<std::pair<uint16_t, uint16_t>>> translations;
};

// The standard English block: "040904b0" with CompanyName, FileDescription,
// FileVersion, InternalName, LegalCopyright, OriginalFilename, ProductName and
// ProductVersion, plus Translation 0x0409/1200. Handy starting point.
VersionInfoLayout DefaultVersionInfo(const std::u16string& company = u"ExeLore Test Corp",
                                     const std::u16string& product = u"ExeLore Fixture",
                                     const std::u16string& description = u"Fixture executable");

// Raw VS_VERSIONINFO bytes: every node is WORD wLength, WORD wValueLength,
// WORD wType, NUL-terminated UTF-16 key, padding to a DWORD boundary, value,
// padding, children (each starting on a DWORD boundary). wLength excludes the
// padding after a node's last byte. String values have wType 1 and
// wValueLength in UTF-16 units including the NUL; Translation has wType 0 and
// wValueLength in bytes.
std::vector<uint8_t> BuildVersionResource(const VersionInfoLayout& options);

// ---------------------------------------------------------------------------
// Resource section
// ---------------------------------------------------------------------------

inline constexpr uint16_t kRtVersion = 16;
inline constexpr uint16_t kRtManifest = 24;
inline constexpr uint16_t kRtIcon = 3;
inline constexpr uint16_t kRtString = 6;

struct ResourceEntry {
  uint16_t type = kRtVersion;
  uint16_t name_id = 1;
  std::optional<std::u16string> name_string;  // named entry instead of name_id
  uint16_t lang = 0x0409;
  std::vector<uint8_t> data;
  std::optional<std::u16string> type_string;  // named type instead of type
};

// Where things ended up inside a built .rsrc section. Offsets are relative to
// the start of the section; parallel vectors are in the caller's entry order.
struct RsrcLayout {
  std::vector<size_t> data_entry_offsets;  // IMAGE_RESOURCE_DATA_ENTRY
  std::vector<size_t> data_offsets;        // the resource bytes themselves
};

// A complete .rsrc section: three-level (type / name / language) directory
// tree, named entries before ID entries and both sorted as Windows expects,
// IMAGE_RESOURCE_DATA_ENTRY OffsetToData values expressed as RVAs based on
// rsrc_rva. Throws std::invalid_argument on duplicate (type, name, lang).
std::vector<uint8_t> BuildResourceSection(const std::vector<ResourceEntry>& entries,
                                          uint32_t rsrc_rva, RsrcLayout* layout = nullptr);

// ---------------------------------------------------------------------------
// PE image
// ---------------------------------------------------------------------------

// .text always lands at 0x1000 (with the default section alignment) and .rsrc
// in the next aligned slot, i.e. kDefaultRsrcRva.
inline constexpr uint32_t kDefaultRsrcRva = 0x2000;

struct PeOptions {
  bool pe32plus = true;                  // false: PE32 / i386
  std::vector<ResourceEntry> resources;  // empty (and no raw_rsrc) = no .rsrc
  // Use these bytes verbatim as the .rsrc contents instead of building from
  // `resources`. The section is placed at raw_rsrc_rva (0 = default slot).
  std::optional<std::vector<uint8_t>> raw_rsrc;
  uint32_t raw_rsrc_rva = 0;
  // Adds an initialized data section (".rdata") of this many bytes, filled
  // with a deterministic pseudo-random pattern. Used to make big files.
  size_t extra_section_bytes = 0;
  uint32_t file_alignment = 0x200;
  uint32_t section_alignment = 0x1000;
  uint32_t checksum = 0;
  bool compute_checksum = false;  // overrides `checksum` with the real one
};

// File offsets of interesting structures in a built image (0 when absent).
struct PeLayout {
  size_t e_lfanew = 0;
  size_t coff_header = 0;
  size_t optional_header = 0;
  size_t checksum_field = 0;
  size_t data_directories = 0;  // first IMAGE_DATA_DIRECTORY
  size_t section_table = 0;
  size_t rsrc_raw = 0;  // file offset of .rsrc raw data
  size_t rsrc_rva = 0;
  size_t rsrc_size = 0;            // unpadded .rsrc contents size
  size_t version_data_offset = 0;  // file offset of the first RT_VERSION data
  size_t version_data_size = 0;
  RsrcLayout rsrc;  // offsets relative to rsrc_raw
};

std::vector<uint8_t> BuildPe(const PeOptions& options, PeLayout* layout = nullptr);

// A PE carrying a single RT_VERSION resource, name id 1, in `lang`.
std::vector<uint8_t> BuildPeWithVersion(const VersionInfoLayout& info, bool pe32plus = true,
                                        uint16_t lang = 0x0409, PeLayout* layout = nullptr);

// A PE whose .rsrc section is exactly `rsrc_section_bytes`, mapped at
// rsrc_rva (must be section aligned and >= kDefaultRsrcRva).
std::vector<uint8_t> BuildPeWithRawRsrc(std::vector<uint8_t> rsrc_section_bytes,
                                        uint32_t rsrc_rva = kDefaultRsrcRva, bool pe32plus = true,
                                        PeLayout* layout = nullptr);

// The optional-header CheckSum as the Windows image loader computes it
// (16-bit one's-complement style sum skipping the CheckSum field, plus the
// file length). Throws std::invalid_argument if the headers are unreadable.
uint32_t ComputePeChecksum(const std::vector<uint8_t>& image);

// Little-endian fields of an image in memory; all throw std::out_of_range
// when the field does not lie inside `b`.
void Put16(std::vector<uint8_t>& b, size_t off, uint16_t v);
void Put32(std::vector<uint8_t>& b, size_t off, uint32_t v);
uint32_t Get32(const std::vector<uint8_t>& b, size_t off);

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);

}  // namespace exelore_test

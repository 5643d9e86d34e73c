#include "pe.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "byte_reader.h"

namespace exelore_posix::pe {
namespace {

constexpr std::uint16_t kMz = 0x5A4D;
constexpr std::uint32_t kPeSignature = 0x00004550;
// The high bits of a resource directory entry's two fields (winnt.h):
// IMAGE_RESOURCE_NAME_IS_STRING in the name, IMAGE_RESOURCE_DATA_IS_DIRECTORY
// in the offset.
constexpr std::uint32_t kResourceNameIsString = 0x80000000u;
constexpr std::uint32_t kResourceDataIsDirectory = 0x80000000u;
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kDirectoryHeaderSize = 16;
constexpr std::size_t kDirectoryEntrySize = 8;
constexpr std::size_t kDataEntrySize = 16;

// The fields read, by structure, at their offsets in winnt.h's layouts.
namespace dos {  // IMAGE_DOS_HEADER
inline constexpr Field<std::uint16_t> kMagic{0};
inline constexpr Field<std::uint32_t> kLfanew{60};
}  // namespace dos
namespace nt {  // IMAGE_NT_HEADERS: the signature, then the two headers
inline constexpr Field<std::uint32_t> kSignature{0};
inline constexpr std::size_t kFileHeader = 4;
inline constexpr std::size_t kOptionalHeader = kFileHeader + 20;
}  // namespace nt
namespace coff {  // IMAGE_FILE_HEADER
inline constexpr Field<std::uint16_t> kNumberOfSections{2};
inline constexpr Field<std::uint16_t> kSizeOfOptionalHeader{16};
}  // namespace coff
namespace optional {  // IMAGE_OPTIONAL_HEADER32 and 64 alike, up to the directory count
inline constexpr Field<std::uint16_t> kMagic{0};
inline constexpr Field<std::uint32_t> kSizeOfHeaders{60};
inline constexpr Field<std::uint32_t> kCheckSum{64};
inline constexpr Field<std::uint32_t> kNumberOfRvaAndSizes32{92};
inline constexpr Field<std::uint32_t> kNumberOfRvaAndSizes64{108};
}  // namespace optional
namespace data_directory {  // IMAGE_DATA_DIRECTORY
inline constexpr Field<std::uint32_t> kVirtualAddress{0};
inline constexpr Field<std::uint32_t> kSize{4};
}  // namespace data_directory
namespace section {  // IMAGE_SECTION_HEADER
inline constexpr Field<std::uint32_t> kVirtualSize{8};
inline constexpr Field<std::uint32_t> kVirtualAddress{12};
inline constexpr Field<std::uint32_t> kSizeOfRawData{16};
inline constexpr Field<std::uint32_t> kPointerToRawData{20};
}  // namespace section
namespace resource_directory {  // IMAGE_RESOURCE_DIRECTORY
inline constexpr Field<std::uint16_t> kNumberOfNamedEntries{12};
inline constexpr Field<std::uint16_t> kNumberOfIdEntries{14};
}  // namespace resource_directory
namespace resource_entry {  // IMAGE_RESOURCE_DIRECTORY_ENTRY
inline constexpr Field<std::uint32_t> kName{0};
inline constexpr Field<std::uint32_t> kOffsetToData{4};
}  // namespace resource_entry
namespace resource_data {  // IMAGE_RESOURCE_DATA_ENTRY
inline constexpr Field<std::uint32_t> kOffsetToData{0};
inline constexpr Field<std::uint32_t> kSize{4};
}  // namespace resource_data

// A resource directory read into memory: its entries, bounded by what the
// resource section holds.
struct ResourceDirectory {
  std::uint16_t named = 0;
  std::vector<std::uint8_t> entries;  // (named + id) entries of 8 bytes

  std::size_t count() const { return entries.size() / kDirectoryEntrySize; }
  std::optional<std::uint32_t> NameField(std::size_t i) const {
    return ByteReader(entries).Read(resource_entry::kName, i * kDirectoryEntrySize);
  }
  std::optional<std::uint32_t> OffsetField(std::size_t i) const {
    return ByteReader(entries).Read(resource_entry::kOffsetToData, i * kDirectoryEntrySize);
  }
};

// The resource section as a window of the file: offsets in the tree are
// relative to its start and must stay inside it.
struct ResourceWindow {
  const FileSource& file;
  std::uint64_t base;
  std::uint64_t size;

  bool Read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (offset > size || out.size() > size - offset) return false;
    return file.ReadAt(base + offset, out);
  }

  std::optional<ResourceDirectory> Directory(std::uint32_t offset) const {
    std::uint8_t header[kDirectoryHeaderSize];
    if (!Read(offset, header)) return std::nullopt;
    const ByteReader r(header);
    const auto named = r.Read(resource_directory::kNumberOfNamedEntries);
    const auto ids = r.Read(resource_directory::kNumberOfIdEntries);
    if (!named || !ids) return std::nullopt;
    ResourceDirectory dir;
    dir.named = *named;
    const std::size_t count = static_cast<std::size_t>(*named) + *ids;
    const std::uint64_t first = static_cast<std::uint64_t>(offset) + kDirectoryHeaderSize;
    // Entries that would run past the section are not there.
    const std::uint64_t available = first <= size ? (size - first) / kDirectoryEntrySize : 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, available));
    if (dir.named > n) dir.named = static_cast<std::uint16_t>(n);
    dir.entries.resize(n * kDirectoryEntrySize);
    if (n != 0 && !Read(first, dir.entries)) return std::nullopt;
    return dir;
  }
};

// The entry of numeric `id` among the directory's id entries, found by binary
// search as the Windows loader does (the entries are sorted by id).
std::optional<std::uint32_t> FindById(const ResourceDirectory& dir, std::uint16_t id) {
  std::size_t lo = dir.named;
  std::size_t hi = dir.count();
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const auto name = dir.NameField(mid);
    if (!name) return std::nullopt;
    const std::uint32_t entry_id = *name & 0xFFFF;
    const bool named = (*name & kResourceNameIsString) != 0;
    if (!named && entry_id == id) return dir.OffsetField(mid);
    if (named || entry_id < id) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return std::nullopt;
}

std::optional<std::uint32_t> SubdirectoryOffset(std::uint32_t field) {
  if ((field & kResourceDataIsDirectory) == 0) return std::nullopt;
  return field & ~kResourceDataIsDirectory;
}

}  // namespace

bool FileSource::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (offset > size_ || out.size() > size_ - offset) return false;
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n =
        ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

namespace {

// Where the NT headers start: e_lfanew of a DOS header that begins "MZ".
std::optional<std::uint64_t> NtHeadersOffset(const FileSource& file) {
  std::uint8_t dos_header[64];
  if (!file.ReadAt(0, dos_header)) return std::nullopt;
  const ByteReader dos_reader(dos_header);
  const auto mz = dos_reader.Read(dos::kMagic);
  const auto e_lfanew = dos_reader.Read(dos::kLfanew);
  if (!mz || *mz != kMz || !e_lfanew) return std::nullopt;
  return *e_lfanew;
}

// The optional header's fields into `h`: the format, the header size, the
// checksum's place and the data directories, which count only as far as
// both NumberOfRvaAndSizes and SizeOfOptionalHeader allow. `r` reads the NT
// headers from their signature on.
bool ReadOptionalHeader(const ByteReader& r, std::uint16_t size_of_optional, Headers& h) {
  const auto magic = r.Read(optional::kMagic, nt::kOptionalHeader);
  if (!magic) return false;
  if (*magic == kMagicPe32) {
    h.pe32plus = false;
  } else if (*magic == kMagicPe32Plus) {
    h.pe32plus = true;
  } else {
    return false;
  }
  const auto rva_count_field =
      h.pe32plus ? optional::kNumberOfRvaAndSizes64 : optional::kNumberOfRvaAndSizes32;
  // The directories follow their count, to the end of the optional header.
  const std::size_t dirs_in_optional = rva_count_field.offset + 4;
  const std::size_t dirs_at = nt::kOptionalHeader + dirs_in_optional;
  // The optional header must at least reach the directory count.
  if (size_of_optional < dirs_in_optional) return false;
  const auto size_of_headers = r.Read(optional::kSizeOfHeaders, nt::kOptionalHeader);
  const auto rva_count = r.Read(rva_count_field, nt::kOptionalHeader);
  if (!size_of_headers || !rva_count) return false;
  h.size_of_headers = *size_of_headers;
  h.checksum_offset = h.nt_offset + nt::kOptionalHeader + optional::kCheckSum.offset;
  h.data_directory_offset = h.nt_offset + dirs_at;
  const std::uint32_t room =
      static_cast<std::uint32_t>((size_of_optional - dirs_in_optional) / kDirectoryEntrySize);
  h.number_of_directories = std::min({*rva_count, room, 16u});
  for (std::uint32_t i = 0; i < h.number_of_directories; ++i) {
    const std::size_t entry = dirs_at + kDirectoryEntrySize * i;
    const auto address = r.Read(data_directory::kVirtualAddress, entry);
    const auto size = r.Read(data_directory::kSize, entry);
    if (!address || !size) return false;
    h.directories[i] = {*address, *size};
  }
  return true;
}

// The section table, which follows the optional header, into `h`.
bool ReadSectionTable(const FileSource& file, std::uint16_t number_of_sections,
                      std::uint16_t size_of_optional, Headers& h) {
  if (number_of_sections > kMaxSections) return false;
  const std::uint64_t table = h.nt_offset + nt::kOptionalHeader + size_of_optional;
  h.section_table_end = table + number_of_sections * kSectionHeaderSize;
  std::vector<std::uint8_t> raw(number_of_sections * kSectionHeaderSize);
  if (!raw.empty() && !file.ReadAt(table, raw)) return false;
  h.sections.reserve(number_of_sections);
  ByteCursor table_cursor(raw);
  while (const auto header = table_cursor.Take(kSectionHeaderSize)) {
    const auto virtual_address = header->Read(section::kVirtualAddress);
    const auto virtual_size = header->Read(section::kVirtualSize);
    const auto raw_offset = header->Read(section::kPointerToRawData);
    const auto raw_size = header->Read(section::kSizeOfRawData);
    if (!virtual_address || !virtual_size || !raw_offset || !raw_size) return false;
    h.sections.push_back(Section{*virtual_address, *virtual_size, *raw_offset, *raw_size});
  }
  return true;
}

}  // namespace

std::optional<Headers> ReadHeaders(const FileSource& file) {
  const auto nt_offset = NtHeadersOffset(file);
  if (!nt_offset) return std::nullopt;
  // Signature, COFF header (20 bytes) and the optional header up to the end
  // of the data directories of PE32+ (240 bytes at most).
  std::uint8_t nt_headers[nt::kOptionalHeader + 240] = {};
  if (*nt_offset > file.size() || nt::kOptionalHeader > file.size() - *nt_offset) {
    return std::nullopt;
  }
  const std::size_t nt_len = static_cast<std::size_t>(
      std::min<std::uint64_t>(sizeof nt_headers, file.size() - *nt_offset));
  if (!file.ReadAt(*nt_offset, std::span(nt_headers, nt_len))) return std::nullopt;
  const ByteReader r(std::span<const std::uint8_t>(nt_headers, nt_len));
  const auto signature = r.Read(nt::kSignature);
  if (!signature || *signature != kPeSignature) return std::nullopt;
  const auto number_of_sections = r.Read(coff::kNumberOfSections, nt::kFileHeader);
  const auto size_of_optional = r.Read(coff::kSizeOfOptionalHeader, nt::kFileHeader);
  if (!number_of_sections || !size_of_optional) return std::nullopt;

  Headers h;
  h.nt_offset = *nt_offset;
  if (!ReadOptionalHeader(r, *size_of_optional, h) ||
      !ReadSectionTable(file, *number_of_sections, *size_of_optional, h)) {
    return std::nullopt;
  }
  return h;
}

std::optional<std::uint64_t> RvaToOffset(const Headers& headers, std::uint32_t rva,
                                         std::uint32_t length, std::uint64_t file_size) {
  const auto inside_file = [&](std::uint64_t offset) -> std::optional<std::uint64_t> {
    if (offset > file_size || length > file_size - offset) return std::nullopt;
    return offset;
  };
  for (const Section& s : headers.sections) {
    // The bytes must come from the section's raw data: what lies beyond it in
    // memory is zero fill, not file content.
    const std::uint32_t span = s.raw_size;
    if (rva < s.virtual_address) continue;
    const std::uint32_t delta = rva - s.virtual_address;
    if (delta >= span || length > span - delta) continue;
    return inside_file(static_cast<std::uint64_t>(s.raw_offset) + delta);
  }
  if (rva < headers.size_of_headers && length <= headers.size_of_headers - rva) {
    return inside_file(rva);
  }
  return std::nullopt;
}

std::optional<ResourceData> FindResource(const FileSource& file, const Headers& headers,
                                         std::uint16_t type, std::uint16_t name,
                                         std::span<const std::uint16_t> languages) {
  if (headers.number_of_directories <= kDirectoryResource) return std::nullopt;
  const DataDirectory& dir = headers.directories[kDirectoryResource];
  if (dir.address == 0 || dir.size == 0) return std::nullopt;

  // The window is the rest of the section holding the root, limited to the
  // file: every offset inside the tree is relative to the root.
  std::optional<ResourceWindow> window;
  for (const Section& s : headers.sections) {
    if (dir.address < s.virtual_address) continue;
    const std::uint32_t delta = dir.address - s.virtual_address;
    if (delta >= s.raw_size) continue;
    const std::uint64_t base = static_cast<std::uint64_t>(s.raw_offset) + delta;
    if (base >= file.size()) return std::nullopt;
    const std::uint64_t size = std::min<std::uint64_t>(s.raw_size - delta, file.size() - base);
    window.emplace(ResourceWindow{file, base, size});
    break;
  }
  if (!window) return std::nullopt;

  // Three levels, type, name and language: the walk is bounded by its depth,
  // so a tree whose offsets point back at a parent cannot loop.
  const auto root = window->Directory(0);
  if (!root) return std::nullopt;
  const auto type_field = FindById(*root, type);
  if (!type_field) return std::nullopt;
  const auto type_offset = SubdirectoryOffset(*type_field);
  if (!type_offset) return std::nullopt;
  const auto type_dir = window->Directory(*type_offset);
  if (!type_dir) return std::nullopt;
  const auto name_field = FindById(*type_dir, name);
  if (!name_field) return std::nullopt;
  const auto name_offset = SubdirectoryOffset(*name_field);
  if (!name_offset) return std::nullopt;
  const auto lang_dir = window->Directory(*name_offset);
  if (!lang_dir || lang_dir->count() == 0) return std::nullopt;

  std::optional<std::uint32_t> data_field;
  for (const std::uint16_t lang : languages) {
    if ((data_field = FindById(*lang_dir, lang))) break;
  }
  if (!data_field) data_field = lang_dir->OffsetField(0);
  if (!data_field || (*data_field & 0x80000000u) != 0) return std::nullopt;  // a directory

  std::uint8_t entry[kDataEntrySize];
  if (!window->Read(*data_field, entry)) return std::nullopt;
  const ByteReader er(entry);
  const auto data_rva = er.Read(resource_data::kOffsetToData);
  const auto data_size = er.Read(resource_data::kSize);
  if (!data_rva || !data_size) return std::nullopt;
  const auto offset = RvaToOffset(headers, *data_rva, *data_size, file.size());
  if (!offset) return std::nullopt;
  return ResourceData{*offset, *data_size};
}

}  // namespace exelore_posix::pe

#include "pe.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace exelore_posix::pe {
namespace {

constexpr std::uint16_t kMz = 0x5A4D;
constexpr std::uint32_t kPeSignature = 0x00004550;
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kDirectoryHeaderSize = 16;
constexpr std::size_t kDirectoryEntrySize = 8;
constexpr std::size_t kDataEntrySize = 16;

// A resource directory read into memory: its entries, bounded by what the
// resource section holds.
struct ResourceDirectory {
  std::uint16_t named = 0;
  std::vector<std::uint8_t> entries;  // (named + id) entries of 8 bytes

  std::size_t count() const { return entries.size() / kDirectoryEntrySize; }
  std::uint32_t NameField(std::size_t i) const {
    return *ByteReader(entries).U32(i * kDirectoryEntrySize);
  }
  std::uint32_t OffsetField(std::size_t i) const {
    return *ByteReader(entries).U32(i * kDirectoryEntrySize + 4);
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
    ByteReader r(header);
    ResourceDirectory dir;
    dir.named = *r.U16(12);
    const std::size_t count = static_cast<std::size_t>(dir.named) + *r.U16(14);
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
    const std::uint32_t name = dir.NameField(mid);
    const std::uint32_t entry_id = name & 0xFFFF;
    if ((name & 0x80000000u) == 0 && entry_id == id) return dir.OffsetField(mid);
    if ((name & 0x80000000u) != 0 || entry_id < id) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return std::nullopt;
}

std::optional<std::uint32_t> SubdirectoryOffset(std::uint32_t field) {
  if ((field & 0x80000000u) == 0) return std::nullopt;
  return field & 0x7FFFFFFFu;
}

}  // namespace

bool FileSource::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (offset > size_ || out.size() > size_ - offset) return false;
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::uint16_t> ByteReader::U16(std::size_t offset) const {
  if (offset > bytes_.size() || 2 > bytes_.size() - offset) return std::nullopt;
  return static_cast<std::uint16_t>(bytes_[offset] | (bytes_[offset + 1] << 8));
}

std::optional<std::uint32_t> ByteReader::U32(std::size_t offset) const {
  if (offset > bytes_.size() || 4 > bytes_.size() - offset) return std::nullopt;
  return static_cast<std::uint32_t>(bytes_[offset]) |
         (static_cast<std::uint32_t>(bytes_[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(bytes_[offset + 2]) << 16) |
         (static_cast<std::uint32_t>(bytes_[offset + 3]) << 24);
}

std::optional<Headers> ReadHeaders(const FileSource& file, ParseError* error) {
  const auto fail = [&](ParseError e) -> std::optional<Headers> {
    if (error) *error = e;
    return std::nullopt;
  };
  std::uint8_t dos[64];
  if (!file.ReadAt(0, dos)) return fail(ParseError::kNotPe);
  ByteReader dos_reader(dos);
  if (*dos_reader.U16(0) != kMz) return fail(ParseError::kNotPe);
  const std::uint32_t e_lfanew = *dos_reader.U32(60);

  // Signature, COFF header (20 bytes) and the optional header up to the end
  // of the data directories of PE32+ (240 bytes at most).
  std::uint8_t nt[4 + 20 + 240] = {};
  const std::uint64_t nt_offset = e_lfanew;
  if (nt_offset > file.size() || 24 > file.size() - nt_offset) return fail(ParseError::kNotPe);
  const std::size_t nt_len =
      static_cast<std::size_t>(std::min<std::uint64_t>(sizeof nt, file.size() - nt_offset));
  if (!file.ReadAt(nt_offset, std::span(nt, nt_len))) return fail(ParseError::kTruncated);
  ByteReader r(std::span<const std::uint8_t>(nt, nt_len));
  if (*r.U32(0) != kPeSignature) return fail(ParseError::kNotPe);

  Headers h;
  h.nt_offset = nt_offset;
  const std::uint16_t number_of_sections = *r.U16(6);
  const std::uint16_t size_of_optional = *r.U16(20);
  const auto magic = r.U16(24);
  if (!magic) return fail(ParseError::kTruncated);
  if (*magic == kMagicPe32) {
    h.pe32plus = false;
  } else if (*magic == kMagicPe32Plus) {
    h.pe32plus = true;
  } else {
    return fail(ParseError::kNotPe);
  }
  const std::size_t opt = 24;
  const std::size_t rva_count_at = opt + (h.pe32plus ? 108 : 92);
  const std::size_t dirs_at = rva_count_at + 4;
  // The optional header must at least reach the directory count.
  if (size_of_optional < dirs_at - opt) return fail(ParseError::kNotPe);
  const auto size_of_headers = r.U32(opt + 60);
  const auto rva_count = r.U32(rva_count_at);
  if (!size_of_headers || !rva_count) return fail(ParseError::kTruncated);
  h.size_of_headers = *size_of_headers;
  h.checksum_offset = nt_offset + opt + 64;
  h.data_directory_offset = nt_offset + dirs_at;
  // Directories count only as far as both the count and the optional header
  // size allow.
  const std::uint32_t room = static_cast<std::uint32_t>((size_of_optional - (dirs_at - opt)) / 8);
  h.number_of_directories = std::min({*rva_count, room, 16u});
  for (std::uint32_t i = 0; i < h.number_of_directories; ++i) {
    const auto address = r.U32(dirs_at + 8 * i);
    const auto size = r.U32(dirs_at + 8 * i + 4);
    if (!address || !size) return fail(ParseError::kTruncated);
    h.directories[i] = {*address, *size};
  }

  if (number_of_sections > kMaxSections) return fail(ParseError::kNotPe);
  const std::uint64_t table = nt_offset + opt + size_of_optional;
  h.section_table_end = table + number_of_sections * kSectionHeaderSize;
  std::vector<std::uint8_t> raw(number_of_sections * kSectionHeaderSize);
  if (!raw.empty() && !file.ReadAt(table, raw)) return fail(ParseError::kTruncated);
  ByteReader sr(raw);
  h.sections.reserve(number_of_sections);
  for (std::size_t i = 0; i < number_of_sections; ++i) {
    const std::size_t at = i * kSectionHeaderSize;
    h.sections.push_back(
        Section{*sr.U32(at + 12), *sr.U32(at + 8), *sr.U32(at + 20), *sr.U32(at + 16)});
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
    const std::uint64_t size =
        std::min<std::uint64_t>(s.raw_size - delta, file.size() - base);
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
  if ((*data_field & 0x80000000u) != 0) return std::nullopt;  // a directory, not data

  std::uint8_t entry[kDataEntrySize];
  if (!window->Read(*data_field, entry)) return std::nullopt;
  ByteReader er(entry);
  const std::uint32_t data_rva = *er.U32(0);
  const std::uint32_t data_size = *er.U32(4);
  const auto offset = RvaToOffset(headers, data_rva, data_size, file.size());
  if (!offset) return std::nullopt;
  return ResourceData{*offset, data_size};
}

}  // namespace exelore_posix::pe

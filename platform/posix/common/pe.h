// A bounds-checked reader of PE images (PE32 and PE32+), shared by the
// version resource API and the Authenticode code.
//
// It reads only the structures it is asked for, each with a positioned read,
// and checks every offset and size against the file before using it. It never
// maps or reads a whole file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace exelore_posix::pe {

// Positioned reads from an open regular file.
class FileSource {
 public:
  FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  // Reads exactly out.size() bytes at `offset`; false when the range is not
  // wholly inside the file or the read fails.
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const;
  std::uint64_t size() const { return size_; }
  int fd() const { return fd_; }

 private:
  int fd_;
  std::uint64_t size_;
};

inline constexpr unsigned kDirectoryResource = 2;
inline constexpr unsigned kDirectorySecurity = 4;
inline constexpr std::uint32_t kMaxSections = 96;  // the Windows loader's limit

struct Section {
  std::uint32_t virtual_address = 0;
  std::uint32_t virtual_size = 0;
  std::uint32_t raw_offset = 0;
  std::uint32_t raw_size = 0;
};

struct DataDirectory {
  std::uint32_t address = 0;  // an RVA; for the security directory a file offset
  std::uint32_t size = 0;
};

struct Headers {
  bool pe32plus = false;
  std::uint64_t nt_offset = 0;        // "PE\0\0"
  std::uint64_t checksum_offset = 0;  // OptionalHeader.CheckSum
  std::uint64_t data_directory_offset = 0;
  std::uint32_t number_of_directories = 0;  // as present in the file, at most 16
  std::uint32_t size_of_headers = 0;
  std::uint64_t section_table_end = 0;  // file offset just past the section table
  std::vector<Section> sections;
  DataDirectory directories[16] = {};

  // File offset of the data directory entry `index`; only meaningful when
  // index < number_of_directories.
  std::uint64_t DirectoryEntryOffset(unsigned index) const {
    return data_directory_offset + 8ull * index;
  }
};

// Reads the DOS header, NT headers and section table. Fails for anything that
// is not a PE32 or PE32+ image.
std::optional<Headers> ReadHeaders(const FileSource& file);

// The file offset of `length` bytes at `rva`, when they lie wholly inside the
// raw data of one section (or in the headers) and inside the file.
std::optional<std::uint64_t> RvaToOffset(const Headers& headers, std::uint32_t rva,
                                         std::uint32_t length, std::uint64_t file_size);

struct ResourceData {
  std::uint64_t offset = 0;  // in the file
  std::uint32_t size = 0;
};

// Finds the resource of numeric `type` and `name` in the resource tree. The
// language is the first of `languages` present; when none is, the first
// language entry listed, as the Windows resource loader falls back.
std::optional<ResourceData> FindResource(const FileSource& file, const Headers& headers,
                                         std::uint16_t type, std::uint16_t name,
                                         std::span<const std::uint16_t> languages);

}  // namespace exelore_posix::pe

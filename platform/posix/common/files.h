// Files for every part of the stand-in: opening regular files, reading them whole,
// the Windows error for an errno, and paths below a mounted Windows
// installation.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace exelore_posix {

// The Windows error code for errno `err` after an operation on `path`:
// ENOENT is ERROR_PATH_NOT_FOUND when the folder part is missing, as Windows
// distinguishes the two.
DWORD ErrorFromErrno(int err, const std::string& path);

// Opens `path` read-only as every open in the stand-in does: close-on-exec,
// never blocking (a FIFO without a writer, a terminal) and never becoming
// the controlling terminal. -1 with errno set when it fails.
int OpenReadOnly(const std::string& path);

// The file-system bytes of a wide path; nullopt, with the error for the
// last error in *error, for a null or empty path or one with an unmappable
// surrogate.
std::optional<std::string> PathFromWide(LPCWSTR path, DWORD* error);

// An open regular file, closed on destruction. Only regular files are read:
// FIFOs, devices and sockets are refused at once and never block.
class RegularFile {
 public:
  RegularFile() = default;
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;
  RegularFile(RegularFile&& other) noexcept;
  RegularFile& operator=(RegularFile&& other) noexcept;
  ~RegularFile();

  // Opens `path` for reading. On failure returns false and sets *error to the
  // Windows code (a directory gives ERROR_ACCESS_DENIED as CreateFileW does; a
  // FIFO, device or socket gives ERROR_BAD_FORMAT).
  bool Open(const std::string& path, DWORD* error);
  // Adopts a descriptor (not owned) already open on a regular file.
  bool Attach(int fd, DWORD* error);

  int fd() const { return fd_; }
  std::uint64_t size() const { return size_; }

 private:
  int fd_ = -1;
  bool owned_ = false;
  std::uint64_t size_ = 0;
};

// The whole content of a regular file of `size` bytes, read into memory
// with positioned reads; nothing when it cannot be read whole: an empty
// file, memory refused, or a file that holds fewer bytes than `size` by the
// time it is read. A copy, never a mapping: a mapped file that another
// process truncates ends the reader with SIGBUS at its next access (Linux
// mmap(2), "SIGBUS"; on Windows a mapped file cannot be truncated at all),
// while a copy is one consistent view of the bytes that stays whatever a
// writer does next. Memory for a whole read is reused within the thread:
// mapping and unmapping a fresh copy for every catalog costs more in page
// faults and TLB shootdowns than the reading itself.
class FileContent {
 public:
  // With `read` false the bytes are only set aside, and ReadRange reads the
  // parts wanted; bytes not read hold whatever the memory held before (a
  // file this thread read earlier): a caller reads every byte it looks at.
  FileContent(int fd, std::uint64_t size, bool read = true);
  ~FileContent();
  FileContent(const FileContent&) = delete;
  FileContent& operator=(const FileContent&) = delete;
  bool ok() const { return data_ != nullptr; }
  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
  // Reads the file's bytes [offset, offset + length) into their place;
  // false, and not ok() from then on, when they cannot be read.
  bool ReadRange(std::uint64_t offset, std::uint64_t length);

 private:
  void Release();

  int fd_ = -1;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // of the mapping at data_, reused by the thread's next
};

// The path below `root`, a Windows installation's folder as SystemRoot
// names it, named by `components`, each matched without regard to ASCII
// case (the exact spelling first, else the bytewise least), as Windows'
// file system matches them: every component but the last a folder, the last
// a folder when `last_is_folder`, else a regular file. nullopt when `root`
// is empty or there is no such entry.
std::optional<std::string> BelowSystemRoot(const std::string& root,
                                           std::span<const std::string_view> components,
                                           bool last_is_folder);

// Whether `path` names a folder (`folder`) or a regular file, links followed.
bool IsEntryOfType(const std::string& path, bool folder);

}  // namespace exelore_posix

// Kernel pieces shared by the other stand-in libraries.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace exelore_posix {

// The Windows error code for errno `err` after an operation on `path`:
// ENOENT is ERROR_PATH_NOT_FOUND when the folder part is missing, as Windows
// distinguishes the two.
DWORD ErrorFromErrno(int err, const std::string& path);

// The file-system bytes of a wide path. Sets the last error and returns
// nullopt for a null or empty path or one with an unmappable surrogate.
std::optional<std::string> PathFromWide(LPCWSTR path);

// The descriptor behind a handle from CreateFileW, or -1.
int FdFromHandle(HANDLE handle);

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

}  // namespace exelore_posix

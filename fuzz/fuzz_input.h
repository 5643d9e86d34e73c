// Fuzz inputs as files: the bytes live in an anonymous memory file, named by
// its /proc/self/fd path, so the code under test opens and reads a real file
// descriptor and nothing is written to disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "text.h"

namespace exelore_fuzz {

class MemoryFile {
 public:
  MemoryFile(const std::uint8_t* data, std::size_t size) {
    fd_ = ::memfd_create("exelore-fuzz", MFD_CLOEXEC);
    std::size_t done = 0;
    while (fd_ >= 0 && done < size) {
      const ssize_t n = ::write(fd_, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  }
  ~MemoryFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  int fd() const { return fd_; }
  std::u16string WidePath() const {
    return exelore_posix::BytesToUtf16("/proc/self/fd/" + std::to_string(fd_));
  }

 private:
  int fd_ = -1;
};

}  // namespace exelore_fuzz

// Files read into memory, as the catalog code reads them: one thread's reads
// reuse the memory of those before, and every byte read is the file's,
// whatever order whole reads, reads in parts and failed reads come in.
#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using exelore_posix::FileContent;

class TempFile {
 public:
  TempFile(std::size_t size, std::uint8_t fill) : bytes_(size, fill) {
    char name[] = "/tmp/file_content_XXXXXX";
    fd_ = ::mkstemp(name);
    ::unlink(name);
    for (std::size_t i = 0; i < size; i += 4096) bytes_[i] = static_cast<std::uint8_t>(i >> 12);
    EXPECT_EQ(::write(fd_, bytes_.data(), size), static_cast<ssize_t>(size));
  }
  ~TempFile() { ::close(fd_); }
  int fd() const { return fd_; }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  int fd_ = -1;
  std::vector<std::uint8_t> bytes_;
};

TEST(FileContentTest, ReusedMemoryShowsOnlyTheFileRead) {
  const TempFile large(3 << 20, 0xAA), small(1 << 20, 0x55);
  struct Step {
    const char* name;
    const TempFile* file;
    std::uint64_t size;  // asked for
    bool whole;          // else the first and last 4 KiB only
    bool ok;
  };
  const Step steps[] = {
      {"whole, fresh", &large, large.bytes().size(), true, true},
      {"whole, reusing the larger", &small, small.bytes().size(), true, true},
      {"in parts, reusing", &small, small.bytes().size(), false, true},
      {"longer than the file: nothing", &small, large.bytes().size(), true, false},
      {"whole after a failed read", &large, large.bytes().size(), true, true},
      {"in parts after a failed read", &large, large.bytes().size(), false, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    FileContent content(step.file->fd(), step.size, step.whole);
    const std::size_t size = step.file->bytes().size();
    if (!step.whole) {
      ASSERT_TRUE(content.ReadRange(0, 4096));
      ASSERT_TRUE(content.ReadRange(size - 4096, 4096));
    }
    ASSERT_EQ(content.ok(), step.ok);
    if (!step.ok) continue;
    const auto& expected = step.file->bytes();
    const auto bytes = content.bytes();
    ASSERT_EQ(bytes.size(), size);
    const std::size_t middle = step.whole ? size : 4096;  // the first bytes compared
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + middle, expected.begin()));
    EXPECT_TRUE(std::equal(bytes.end() - 4096, bytes.end(), expected.end() - 4096));
  }
}

}  // namespace

// Helpers for tests that run programs and need scratch folders.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace exelore_test {

// A fresh folder under the system temporary folder, removed with everything
// in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct ProcessResult {
  int exit_status = -1;  // exit code, or -1 when killed by a signal
  int signal = 0;        // the terminating signal, if any
  bool timed_out = false;
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
};

// Runs argv[0] (a path, not searched) with the given arguments, an empty
// standard input and optional extra environment ("NAME=value", replacing a
// variable of the same name), capturing
// both output streams. The child is killed after `timeout`.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extra_env = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// What this process has read from files so far (Linux's rchar in
// /proc/self/io: every read and pread, whatever the file), for tests that
// bound how much a call reads.
std::uint64_t BytesReadSoFar();

}  // namespace exelore_test

// Paths that name something other than a readable executable, end to end
// through the executable: each gives its defined report, exit status 0,
// nothing on standard error, and returns promptly.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "pe_builder.h"
#include "process.h"

namespace {

using exelore_test::BuildPeWithVersion;
using exelore_test::DefaultVersionInfo;
using exelore_test::RunProcess;
using exelore_test::TempDir;
using namespace std::chrono_literals;

struct BadInput {
  const char* name;
  std::function<std::string(const TempDir&)> make;
  bool reports_versions;  // the file is readable and has a version resource
};

std::string LongPath(const TempDir& dir, std::size_t length) {
  std::string path = dir.path();
  while (path.size() + 1 + 200 + 12 < length) {
    path += "/" + std::string(200, 'd');
    ::mkdir(path.c_str(), 0700);
  }
  path += "/" + std::string(length - path.size() - 5, 'f') + ".exe";
  return path;
}

TEST(BadInput, EveryPathGivesADefinedReportPromptly) {
  const std::vector<BadInput> inputs = {
      {"directory", [](const TempDir& d) { return d.path(); }, false},
      {"FIFO without a writer",
       [](const TempDir& d) {
         ::mkfifo(d.File("fifo").c_str(), 0600);
         return d.File("fifo");
       },
       false},
      {"/dev/zero", [](const TempDir&) { return std::string("/dev/zero"); }, false},
      {"/dev/urandom", [](const TempDir&) { return std::string("/dev/urandom"); }, false},
      {"socket",
       [](const TempDir& d) {
         const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         std::strncpy(address.sun_path, d.File("s").c_str(), sizeof address.sun_path - 1);
         ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
         ::close(fd);
         return d.File("s");
       },
       false},
      {"dangling symbolic link",
       [](const TempDir& d) {
         ::symlink(d.File("nothing").c_str(), d.File("dangling").c_str());
         return d.File("dangling");
       },
       false},
      {"looping symbolic link",
       [](const TempDir& d) {
         ::symlink(d.File("loop-b").c_str(), d.File("loop-a").c_str());
         ::symlink(d.File("loop-a").c_str(), d.File("loop-b").c_str());
         return d.File("loop-a");
       },
       false},
      {"zero-length file",
       [](const TempDir& d) {
         exelore_test::WriteFile(d.File("zero.exe"), {});
         return d.File("zero.exe");
       },
       false},
      {"path of 5000 characters", [](const TempDir& d) { return d.File(std::string(5000, 'x')); },
       false},
      {"name that is not valid UTF-8",
       [](const TempDir& d) {
         exelore_test::WriteFile(d.File("\xc3\x28-\xed\xa0\x80-\xf8.exe"),
                                 BuildPeWithVersion(DefaultVersionInfo()));
         return d.File("\xc3\x28-\xed\xa0\x80-\xf8.exe");
       },
       true},
      {"path of 4000 characters",
       [](const TempDir& d) {
         const std::string path = LongPath(d, 4000);
         exelore_test::WriteFile(path, BuildPeWithVersion(DefaultVersionInfo()));
         return path;
       },
       true},
      {"symbolic link to an executable",
       [](const TempDir& d) {
         exelore_test::WriteFile(d.File("real.exe"), BuildPeWithVersion(DefaultVersionInfo()));
         ::symlink(d.File("real.exe").c_str(), d.File("link.exe").c_str());
         return d.File("link.exe");
       },
       true},
  };
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.name);
    TempDir dir;
    const std::string path = input.make(dir);
    const auto result = RunProcess({EXELORE_BINARY, "/c", path}, {}, 10s);
    EXPECT_FALSE(result.timed_out);
    EXPECT_LT(result.elapsed, 3s);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    if (input.reports_versions) {
      EXPECT_EQ(result.out.rfind("Comments: \r\nInternalName: fixture\r\n", 0), 0u) << result.out;
    } else {
      EXPECT_EQ(result.out, "\r\n");
    }
  }
}

// Run as an unprivileged user, a file it may not read gives the empty report.
TEST(BadInput, UnreadableFileGivesAnEmptyReport) {
  TempDir dir;
  exelore_test::WriteFile(dir.File("secret.exe"), BuildPeWithVersion(DefaultVersionInfo()));
  ::chmod(dir.File("secret.exe").c_str(), 0000);
  ::chmod(dir.path().c_str(), 0755);
  std::vector<std::string> argv = {EXELORE_BINARY, "/c", dir.File("secret.exe")};
  if (::geteuid() == 0) {
    // Root reads everything: drop to an unprivileged user for this run.
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "root without setpriv";
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    ::chmod(EXELORE_BINARY, 0755);
  }
  const auto result = RunProcess(argv, {}, 10s);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "\r\n");
}

}  // namespace

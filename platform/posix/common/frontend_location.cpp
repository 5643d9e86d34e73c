#include <unistd.h>

#include <climits>

#include "frontend_loader.h"

namespace exelore_posix {
namespace {

std::string ExecutableFolder() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return std::string();
  std::string path(buffer, static_cast<std::size_t>(n));
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

std::vector<std::string> FrontendCandidates() {
  std::vector<std::string> candidates;
  const std::string folder = ExecutableFolder();
  if (!folder.empty()) {
    candidates.push_back(folder + "/" + kFrontendLibrary);
    candidates.push_back(folder + "/../lib/exelore/" + kFrontendLibrary);
  }
  candidates.push_back(std::string(EXELORE_QT_LIBDIR) + "/" + kFrontendLibrary);
  return candidates;
}

}  // namespace exelore_posix

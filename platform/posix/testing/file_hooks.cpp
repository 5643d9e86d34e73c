// The test build's file hooks (common/file_hooks.h), switched by the seam of
// testing.h.
#include <mutex>
#include <utility>

#include "file_hooks.h"
#include "testing.h"

namespace exelore_posix {
namespace {

std::mutex g_mutex;
std::function<void(int)>& SizedHook() {
  static std::function<void(int)> hook;
  return hook;
}

}  // namespace

void WholeFileSized(int fd) {
  std::function<void(int)> hook;
  {
    std::lock_guard lock(g_mutex);
    hook = SizedHook();
  }
  if (hook) hook(fd);
}

namespace testing {

void SetWholeFileSizedHook(std::function<void(int fd)> hook) {
  std::lock_guard lock(g_mutex);
  SizedHook() = std::move(hook);
}

}  // namespace testing
}  // namespace exelore_posix

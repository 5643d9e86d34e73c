// The test build's file hooks (common/file_hooks.h), switched by the seam of
// testing.h.
#include <atomic>

#include "file_hooks.h"
#include "testing.h"

namespace exelore_posix {
namespace {

std::atomic<void (*)(int)> g_sized_hook{nullptr};

}  // namespace

void WholeFileSized(int fd) {
  if (const auto hook = g_sized_hook.load()) hook(fd);
}

void testing::SetWholeFileSizedHook(void (*hook)(int fd)) { g_sized_hook = hook; }

}  // namespace exelore_posix

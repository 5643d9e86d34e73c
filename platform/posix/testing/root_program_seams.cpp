// The test build's root program (root_program.h): the compiled-in one, or
// the list and roots a test stands in with SetRootProgram.
#include <deque>
#include <mutex>

#include "authenticode/root_program.h"
#include "testing.h"

namespace exelore_posix {
namespace {

struct StandIn {
  std::vector<std::uint8_t> list;
  std::string roots_pem;
  std::vector<std::array<std::uint8_t, 20>> windows_roots;
  std::array<std::uint8_t, 20> list_root;
};
std::mutex g_mutex;
// Every list set stays where it is for the process: the anchors read from
// it may still be in use.
std::deque<StandIn>* g_lists = new std::deque<StandIn>;
const StandIn* g_current = nullptr;

}  // namespace

namespace authenticode {

RootProgramSource CurrentRootProgramSource() {
  std::lock_guard lock(g_mutex);
  if (g_current == nullptr) return CompiledInRootProgramSource();
  return {
      g_current->list, g_current->roots_pem, {}, g_current->windows_roots, g_current->list_root};
}

}  // namespace authenticode

namespace testing {

void SetRootProgram(std::vector<std::uint8_t> list, std::string roots_pem,
                    std::vector<std::array<std::uint8_t, 20>> windows_roots,
                    std::array<std::uint8_t, 20> list_root) {
  std::lock_guard lock(g_mutex);
  g_lists->push_back({std::move(list), std::move(roots_pem), std::move(windows_roots), list_root});
  g_current = &g_lists->back();
}

void UseMicrosoftRootProgram() {
  std::lock_guard lock(g_mutex);
  g_current = nullptr;
}

}  // namespace testing
}  // namespace exelore_posix

// The test build's kernel32 hooks (kernel32/hooks.h), switched by the seams
// of testing.h.
#include <winver.h>

#include <utility>

#include "kernel32/hooks.h"
#include "testing.h"

namespace exelore_posix {
namespace {

struct VersionDllSwitches {
  bool missing = false;
  bool neutral_hidden = false;
  bool neutral_fail = false;
};
VersionDllSwitches g_version_dll;

std::function<void(const std::u16string&)>& DebugSink() {
  static std::function<void(const std::u16string&)> sink;
  return sink;
}

// What an older system's language-neutral exports answer when they fail.
DWORD WINAPI FailingSizeEx(DWORD, LPCWSTR, LPDWORD handle) {
  if (handle) *handle = 0;
  SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
  return 0;
}

BOOL WINAPI FailingInfoEx(DWORD, LPCWSTR, DWORD, DWORD, LPVOID) {
  SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
  return FALSE;
}

std::function<void(const std::string&)>& OpenHook() {
  static std::function<void(const std::string&)> hook;
  return hook;
}

}  // namespace

namespace kernel32 {

VersionDll InProcessVersionDll() {
  VersionDll dll;
  dll.present = !g_version_dll.missing;
  if (!g_version_dll.neutral_hidden) {
    dll.size_ex = g_version_dll.neutral_fail ? AsFarProc(&FailingSizeEx)
                                             : AsFarProc(&GetFileVersionInfoSizeExW);
    dll.info_ex =
        g_version_dll.neutral_fail ? AsFarProc(&FailingInfoEx) : AsFarProc(&GetFileVersionInfoExW);
  }
  return dll;
}

// Tests never write to the system log: text goes to the sink, or nowhere.
void DeliverDebugText(const std::u16string& text) {
  if (auto& sink = DebugSink()) sink(text);
}

void BeforeOpen(const std::string& path) {
  if (auto& hook = OpenHook()) hook(path);
}

}  // namespace kernel32

namespace testing {

void SetDebugOutputSink(std::function<void(const std::u16string&)> sink) {
  DebugSink() = std::move(sink);
}
void SetVersionDllNeutralExportsHidden(bool hidden) { g_version_dll.neutral_hidden = hidden; }
void SetVersionDllNeutralExportsFail(bool fail) { g_version_dll.neutral_fail = fail; }
void SetVersionDllMissing(bool missing) { g_version_dll.missing = missing; }
void SetBeforeOpenHook(std::function<void(const std::string&)> hook) {
  OpenHook() = std::move(hook);
}

}  // namespace testing
}  // namespace exelore_posix

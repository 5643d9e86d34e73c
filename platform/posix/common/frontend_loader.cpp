#include "frontend_loader.h"

#include <dlfcn.h>

namespace exelore_posix {
namespace {

struct Loaded {
  const Frontend* table = nullptr;
  DWORD error = ERROR_MOD_NOT_FOUND;
};

// The library's last-error setter, which the front end is lent: the first
// caller's (every caller passes kernel32's SetLastError). While the front
// end's entry runs, what it sets is also kept as the reason it failed.
SetLastErrorFunction g_set_last_error = nullptr;
DWORD* g_entry_error = nullptr;
void HostSetLastError(DWORD code) {
  if (g_entry_error != nullptr) *g_entry_error = code;
  g_set_last_error(code);
}

Loaded Load() {
  static const FrontendHost host{kFrontendVersion, &HostSetLastError};
  Loaded loaded;
  for (const auto& path : FrontendCandidates()) {
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) continue;
    const auto entry = reinterpret_cast<FrontendEntry>(::dlsym(library, kFrontendEntry));
    if (entry == nullptr) {
      loaded.error = ERROR_PROC_NOT_FOUND;
      return loaded;
    }
    DWORD entry_error = ERROR_DLL_INIT_FAILED;
    g_entry_error = &entry_error;
    const Frontend* table = entry(&host);
    g_entry_error = nullptr;
    if (table == nullptr || table->version != kFrontendVersion) {
      loaded.error = table == nullptr ? entry_error : ERROR_DLL_INIT_FAILED;
      return loaded;
    }
    loaded.table = table;
    loaded.error = ERROR_SUCCESS;
    return loaded;
  }
  return loaded;
}

// Loaded on the first call, by one thread; the others wait for it.
const Loaded& Once(SetLastErrorFunction set_last_error) {
  static const Loaded loaded = [set_last_error] {
    g_set_last_error = set_last_error;
    return Load();
  }();
  return loaded;
}

}  // namespace

const Frontend* LoadedFrontend(SetLastErrorFunction set_last_error) {
  const Loaded& loaded = Once(set_last_error);
  if (loaded.table == nullptr) set_last_error(loaded.error);
  return loaded.table;
}

const Frontend* WindowFrontend(SetLastErrorFunction set_last_error) {
  const Frontend* frontend = LoadedFrontend(set_last_error);
  if (frontend == nullptr) set_last_error(ERROR_INVALID_WINDOW_HANDLE);
  return frontend;
}

}  // namespace exelore_posix

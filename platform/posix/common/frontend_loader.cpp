#include "frontend_loader.h"

#include <dlfcn.h>

namespace exelore_posix {
namespace {

struct Loaded {
  const Frontend* table = nullptr;
  DWORD error = ERROR_MOD_NOT_FOUND;
};

Loaded Load() {
  static const FrontendHost host{kFrontendVersion, &SetLastError};
  Loaded loaded;
  for (const auto& path : FrontendCandidates()) {
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) continue;
    const auto entry = reinterpret_cast<FrontendEntry>(::dlsym(library, kFrontendEntry));
    if (entry == nullptr) {
      loaded.error = ERROR_PROC_NOT_FOUND;
      return loaded;
    }
    SetLastError(ERROR_DLL_INIT_FAILED);
    const Frontend* table = entry(&host);
    if (table == nullptr || table->version != kFrontendVersion) {
      loaded.error = table == nullptr ? GetLastError() : ERROR_DLL_INIT_FAILED;
      return loaded;
    }
    loaded.table = table;
    loaded.error = ERROR_SUCCESS;
    return loaded;
  }
  return loaded;
}

const Loaded& Once() {
  static const Loaded loaded = Load();
  return loaded;
}

}  // namespace

const Frontend* LoadedFrontend() {
  const Loaded& loaded = Once();
  if (loaded.table == nullptr) SetLastError(loaded.error);
  return loaded.table;
}

const Frontend* WindowFrontend() {
  const Frontend* frontend = LoadedFrontend();
  if (frontend == nullptr) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return frontend;
}

}  // namespace exelore_posix

#include "report/version_info.h"

namespace {

using GetFileVersionInfoSizeExWFn = DWORD(WINAPI*)(DWORD, LPCWSTR, LPDWORD);
using GetFileVersionInfoExWFn = BOOL(WINAPI*)(DWORD, LPCWSTR, DWORD, DWORD, LPVOID);

template <typename Fn>
Fn ToFunction(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

}  // namespace

DWORD QueryVersionInfoSize(LPCWSTR path, LPDWORD handle) {
  DWORD size = 0;
  if (HMODULE version = LoadLibraryW(TEXT("version.dll"))) {
    if (auto fn = ToFunction<GetFileVersionInfoSizeExWFn>(
            GetProcAddress(version, "GetFileVersionInfoSizeExW"))) {
      size = fn(FILE_VER_GET_NEUTRAL, path, handle);
    }
    FreeLibrary(version);
  }
  if (size != 0) return size;
  return GetFileVersionInfoSizeW(path, handle);
}

BOOL LoadVersionInfo(LPCWSTR path, DWORD handle, DWORD size, LPVOID buffer) {
  BOOL loaded = FALSE;
  if (HMODULE version = LoadLibraryW(TEXT("version.dll"))) {
    if (auto fn =
            ToFunction<GetFileVersionInfoExWFn>(GetProcAddress(version, "GetFileVersionInfoExW"))) {
      loaded = fn(FILE_VER_GET_NEUTRAL, path, handle, size, buffer);
    }
    FreeLibrary(version);
  }
  if (loaded) return loaded;
  return GetFileVersionInfoW(path, handle, size, buffer);
}

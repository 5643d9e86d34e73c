// What the test build varies in this library. The product links hooks.cpp;
// the tests link testing/kernel32_hooks.cpp in its place, so the shipped
// executable carries no switch and no stand-in export.
#pragma once

#include <windows.h>

#include <string>

namespace exelore_posix::kernel32 {

template <typename F>
FARPROC AsFarProc(F* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

// The in-process "version.dll": whether LoadLibraryW finds it, and its
// language-neutral exports (GetFileVersionInfoSizeExW, GetFileVersionInfoExW),
// null where it does not export them.
struct VersionDll {
  bool present = true;
  FARPROC size_ex = nullptr;
  FARPROC info_ex = nullptr;
};
VersionDll InProcessVersionDll();

// Takes the text of one OutputDebugStringW call.
void DeliverDebugText(const std::u16string& text);

// Called by CreateFileW with the file-system path it is about to open: the
// moment between a folder's listing and the opening of one of its entries,
// which the tests use to change the tree there.
void BeforeOpen(const std::string& path);

}  // namespace exelore_posix::kernel32

// The one table of live handles. Every handle the stand-in hands out (files,
// folder searches, certificate stores, signed messages, catalog
// administrators and catalog contexts) is registered here with its kind when created and looked up
// before it is used, so a stale, closed, made-up or wrong-kind handle is
// refused instead of being read. WinVerifyTrust's state data is kept the
// same way.
#pragma once

#include <windows.h>

#include <memory>

namespace exelore_posix {

enum class HandleKind {
  kFile,
  kFind,
  kCertStore,
  kMessage,
  kCatAdmin,
  kCatInfo,
  kTrustState,
  kHashAlgorithm,
  kHash,
};

void RegisterHandle(const void* object, HandleKind kind);
// Whether `handle` is live and of `kind`.
bool IsLiveHandle(const void* handle, HandleKind kind);
// Forgets `handle`; false when it was not live and of `kind`.
bool UnregisterHandle(const void* handle, HandleKind kind);

// Hands `object` out as a live handle of `kind`; the table owns it until
// TakeHandle takes it back.
template <typename T>
T* NewHandle(std::unique_ptr<T> object, HandleKind kind) {
  T* handle = object.release();
  RegisterHandle(handle, kind);
  return handle;
}

// Takes a live handle of `kind` out of the table, with the object behind it;
// null, and nothing freed, when it was not live and of `kind`. Of two
// threads closing one handle, only one gets the object.
template <typename T>
std::unique_ptr<T> TakeHandle(const void* handle, HandleKind kind) {
  if (!UnregisterHandle(handle, kind)) return nullptr;
  return std::unique_ptr<T>(static_cast<T*>(const_cast<void*>(handle)));
}

// The object behind a live handle of `kind`, or null.
template <typename T>
T* FromHandle(const void* handle, HandleKind kind) {
  return IsLiveHandle(handle, kind) ? static_cast<T*>(const_cast<void*>(handle)) : nullptr;
}

// A file handle from CreateFileW or GetStdHandle: the descriptor behind it
// and whether CloseHandle closes it.
struct FileObject {
  int fd;
  bool owned;
};

// The descriptor behind a live file handle, or -1.
int FdFromHandle(HANDLE handle);

}  // namespace exelore_posix

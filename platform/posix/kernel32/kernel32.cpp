// Kernel functions of the stand-in: last error, files, local memory, modules,
// debugger output and process control.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "files.h"
#include "handles.h"
#include "hooks.h"
#include "text.h"

namespace exelore_posix {
namespace {

thread_local DWORD g_last_error = 0;

// The standard handles, registered on first use and never closed.
FileObject* StdObject(int index) {
  static FileObject* objects = [] {
    auto* std_objects = new FileObject[3]{{0, false}, {1, false}, {2, false}};
    for (int i = 0; i < 3; ++i) RegisterHandle(&std_objects[i], HandleKind::kFile);
    return std_objects;
  }();
  return &objects[index];
}

// Fake module identities: distinct addresses that are never dereferenced.
char g_version_module_tag;
char g_main_module_tag;

}  // namespace

}  // namespace exelore_posix

using exelore_posix::FileObject;

extern "C" {

DWORD WINAPI GetLastError() { return exelore_posix::g_last_error; }

void WINAPI SetLastError(DWORD code) { exelore_posix::g_last_error = code; }

// CreateFileW: only what the program asks for, opening an existing file for
// reading. Like Windows, opening a directory this way fails with
// ERROR_ACCESS_DENIED, unless FILE_FLAG_BACKUP_SEMANTICS asks for folders
// too (Microsoft's CreateFileW page, "Directories"). With
// FILE_FLAG_OPEN_REPARSE_POINT a symbolic link in the last component is
// opened itself, not followed (the same page): the handle then reports the
// link (GetFileInformationByHandle) and cannot be read. Opening never
// blocks (FIFOs, terminals).
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                          HANDLE /*hTemplateFile*/) {
  DWORD path_error = 0;
  const auto path = exelore_posix::PathFromWide(lpFileName, &path_error);
  if (!path) {
    SetLastError(path_error);
    return INVALID_HANDLE_VALUE;
  }
  if (dwCreationDisposition != OPEN_EXISTING || (dwDesiredAccess & GENERIC_WRITE) != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  exelore_posix::kernel32::BeforeOpen(*path);
  const bool no_follow = (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  int fd = no_follow
               ? ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW)
               : exelore_posix::OpenReadOnly(*path);
  if (fd < 0 && no_follow && errno == ELOOP)
    fd = ::open(path->c_str(), O_PATH | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    SetLastError(exelore_posix::ErrorFromErrno(errno, *path));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) &&
      (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  FileObject* handle = exelore_posix::NewHandle(std::make_unique<FileObject>(FileObject{fd, true}),
                                                exelore_posix::HandleKind::kFile);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

// CloseHandle: only a live handle this stand-in handed out is closed; any
// other value (null, INVALID_HANDLE_VALUE, closed, made up, or a handle of
// another kind) fails with ERROR_INVALID_HANDLE, never dereferenced.
BOOL WINAPI CloseHandle(HANDLE hObject) {
  using exelore_posix::HandleKind;
  const auto* object = exelore_posix::FromHandle<FileObject>(hObject, HandleKind::kFile);
  if (object != nullptr && !object->owned) return TRUE;  // a standard handle stays open
  const auto owned = exelore_posix::TakeHandle<FileObject>(hObject, HandleKind::kFile);
  if (owned == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ::close(owned->fd);
  return TRUE;
}

// GetFileAttributesW: follows symbolic links as Windows follows reparse
// points for this call's purposes; a dangling or looping link is an error.
DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  DWORD path_error = 0;
  const auto path = exelore_posix::PathFromWide(lpFileName, &path_error);
  if (!path) {
    SetLastError(path_error);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat st {};
  if (::stat(path->c_str(), &st) != 0) {
    SetLastError(exelore_posix::ErrorFromErrno(errno, *path));
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DEVICE;
  }
  if (::access(path->c_str(), W_OK) != 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

// SetEnvironmentVariableW: sets the variable for this process, or removes
// it when lpValue is null (Microsoft's page). Names and values are file-system
// text here, converted as paths are.
BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  const auto name = lpName == nullptr ? std::nullopt : exelore_posix::Utf16ToBytes(lpName);
  const auto value =
      lpValue == nullptr ? std::optional<std::string>() : exelore_posix::Utf16ToBytes(lpValue);
  if (!name || name->empty() || name->find('=') != std::string::npos ||
      (lpValue != nullptr && !value)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if ((value ? ::setenv(name->c_str(), value->c_str(), 1) : ::unsetenv(name->c_str())) != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}

// GetEnvironmentVariableW (Microsoft's page): the value's length without its
// NUL when it fits in nSize units, otherwise the size needed with the NUL
// (lpBuffer unchanged); 0 with ERROR_ENVVAR_NOT_FOUND for an unset variable.
DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  const auto name = lpName == nullptr ? std::nullopt : exelore_posix::Utf16ToBytes(lpName);
  const char* value = name ? ::getenv(name->c_str()) : nullptr;
  if (value == nullptr) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  const std::u16string wide = exelore_posix::BytesToUtf16(value);
  if (lpBuffer == nullptr || nSize <= wide.size()) return static_cast<DWORD>(wide.size() + 1);
  std::memcpy(lpBuffer, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(wide.size());
}

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
  switch (nStdHandle) {
    case STD_INPUT_HANDLE:
      return exelore_posix::StdObject(0);
    case STD_OUTPUT_HANDLE:
      return exelore_posix::StdObject(1);
    case STD_ERROR_HANDLE:
      return exelore_posix::StdObject(2);
    default:
      SetLastError(ERROR_INVALID_HANDLE);
      return INVALID_HANDLE_VALUE;
  }
}

// WriteFile: writes everything or fails, retrying interrupted and partial
// writes, as a synchronous Windows write does.
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED /*lpOverlapped*/) {
  const int fd = exelore_posix::FdFromHandle(hFile);
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const auto* bytes = static_cast<const char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToWrite) {
    const ssize_t n = ::write(fd, bytes + done, nNumberOfBytesToWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(exelore_posix::ErrorFromErrno(errno, std::string()));
      if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
  return TRUE;
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  void* block = (uFlags & LMEM_ZEROINIT) ? std::calloc(uBytes ? uBytes : 1, 1)
                                         : std::malloc(uBytes ? uBytes : 1);
  if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  std::free(hMem);
  return nullptr;
}

// LoadLibraryW: the only library the program loads by name is the version
// API, which lives in this process. Names compare case-insensitively, as
// module names do on Windows.
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  static constexpr std::u16string_view kVersionDll = u"version.dll";
  if (lpLibFileName != nullptr && exelore_posix::kernel32::InProcessVersionDll().present &&
      exelore_posix::EqualsIgnoringAsciiCase(std::u16string_view(lpLibFileName), kVersionDll)) {
    return reinterpret_cast<HMODULE>(&exelore_posix::g_version_module_tag);
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  using exelore_posix::kernel32::AsFarProc;
  if (hModule == reinterpret_cast<HMODULE>(&exelore_posix::g_version_module_tag) &&
      lpProcName != nullptr && !IS_INTRESOURCE(lpProcName)) {
    const std::string_view name(lpProcName);
    const auto dll = exelore_posix::kernel32::InProcessVersionDll();
    if (name == "GetFileVersionInfoSizeExW" && dll.size_ex != nullptr) return dll.size_ex;
    if (name == "GetFileVersionInfoExW" && dll.info_ex != nullptr) return dll.info_ex;
    if (name == "GetFileVersionInfoSizeW") return AsFarProc(&GetFileVersionInfoSizeW);
    if (name == "GetFileVersionInfoW") return AsFarProc(&GetFileVersionInfoW);
    if (name == "VerQueryValueW") return AsFarProc(&VerQueryValueW);
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (hLibModule != reinterpret_cast<HMODULE>(&exelore_posix::g_version_module_tag)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  if (lpModuleName == nullptr) return reinterpret_cast<HMODULE>(&exelore_posix::g_main_module_tag);
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

// OutputDebugStringW: Windows hands the text to an attached debugger or to
// nobody; see DeliverDebugText for where it goes here.
void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
  if (lpOutputString == nullptr) return;
  exelore_posix::kernel32::DeliverDebugText(lpOutputString);
}

// FreeConsole: detaches from the terminal as a Windows process detaches from
// its console. The standard streams go to /dev/null, and the process leaves
// the terminal's session so that closing the terminal does not end it.
BOOL WINAPI FreeConsole() {
  std::fflush(stdout);
  std::fflush(stderr);
  const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd >= 0) {
    for (int fd = 0; fd <= 2; ++fd) ::dup2(null_fd, fd);
    if (null_fd > 2) ::close(null_fd);
  }
  ::signal(SIGHUP, SIG_IGN);
  ::setsid();
  return TRUE;
}

// ExitProcess: ends the process at once. Output already written stays
// written; no static destructors of loaded libraries run.
void WINAPI ExitProcess(UINT uExitCode) {
  std::fflush(stdout);
  ::_exit(static_cast<int>(uExitCode));
}

}  // extern "C"

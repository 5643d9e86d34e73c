// Kernel functions of the stand-in: last error, files, local memory, modules,
// debugger output and process control.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

#include "kernel_internal.h"
#include "testing.h"
#include "unicode.h"

namespace exelore_posix {
namespace {

thread_local DWORD g_last_error = 0;

// A file handle: the descriptor behind it and whether CloseHandle closes it.
struct FileObject {
  int fd;
  bool owned;
};

FileObject g_std_objects[3] = {{0, false}, {1, false}, {2, false}};

bool ParentFolderExists(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return true;
  const std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
  struct stat st {};
  return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::function<void(const std::u16string&)>& DebugSink() {
  static std::function<void(const std::u16string&)> sink;
  return sink;
}

struct VersionDllSwitches {
  bool missing = false;
  bool neutral_hidden = false;
  bool neutral_fail = false;
};
VersionDllSwitches g_version_dll;

// Fake module identities: distinct addresses that are never dereferenced.
char g_version_module_tag;
char g_main_module_tag;

DWORD WINAPI FailingSizeEx(DWORD, LPCWSTR, LPDWORD handle) {
  if (handle) *handle = 0;
  SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
  return 0;
}

BOOL WINAPI FailingInfoEx(DWORD, LPCWSTR, DWORD, DWORD, LPVOID) {
  SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
  return FALSE;
}

template <typename F>
FARPROC AsFarProc(F* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

}  // namespace

DWORD ErrorFromErrno(int err, const std::string& path) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ParentFolderExists(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

std::optional<std::string> PathFromWide(LPCWSTR path) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  const std::u16string_view wide(path);
  if (wide.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  auto bytes = Utf16ToBytes(wide);
  if (!bytes) SetLastError(ERROR_INVALID_NAME);
  return bytes;
}

int FdFromHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
  return static_cast<FileObject*>(handle)->fd;
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      owned_(std::exchange(other.owned_, false)),
      size_(other.size_) {}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
  if (this != &other) {
    if (owned_ && fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    owned_ = std::exchange(other.owned_, false);
    size_ = other.size_;
  }
  return *this;
}

RegularFile::~RegularFile() {
  if (owned_ && fd_ >= 0) ::close(fd_);
}

bool RegularFile::Open(const std::string& path, DWORD* error) {
  // O_NONBLOCK: opening a FIFO without a writer, or a terminal, must not wait.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int open_error = errno;
    // A socket cannot be opened at all; it is no more readable than a FIFO.
    struct stat st {};
    const bool special = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
    *error = special ? ERROR_BAD_FORMAT : ErrorFromErrno(open_error, path);
    return false;
  }
  fd_ = fd;
  owned_ = true;
  return Attach(fd, error);
}

bool RegularFile::Attach(int fd, DWORD* error) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    *error = ErrorFromErrno(errno, std::string());
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = ERROR_BAD_FORMAT;
    return false;
  }
  fd_ = fd;
  size_ = static_cast<std::uint64_t>(st.st_size);
  return true;
}

namespace testing {

void SetDebugOutputSink(std::function<void(const std::u16string&)> sink) {
  DebugSink() = std::move(sink);
}
void SetVersionDllNeutralExportsHidden(bool hidden) { g_version_dll.neutral_hidden = hidden; }
void SetVersionDllNeutralExportsFail(bool fail) { g_version_dll.neutral_fail = fail; }
void SetVersionDllMissing(bool missing) { g_version_dll.missing = missing; }

}  // namespace testing
}  // namespace exelore_posix

using exelore_posix::FileObject;

extern "C" {

DWORD WINAPI GetLastError() { return exelore_posix::g_last_error; }

void WINAPI SetLastError(DWORD code) { exelore_posix::g_last_error = code; }

// CreateFileW: only what the program asks for, opening an existing file for
// reading. Like Windows, opening a directory this way fails with
// ERROR_ACCESS_DENIED. Opening never blocks (FIFOs, terminals).
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                          DWORD dwCreationDisposition, DWORD /*dwFlagsAndAttributes*/,
                          HANDLE /*hTemplateFile*/) {
  const auto path = exelore_posix::PathFromWide(lpFileName);
  if (!path) return INVALID_HANDLE_VALUE;
  if (dwCreationDisposition != OPEN_EXISTING || (dwDesiredAccess & GENERIC_WRITE) != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  const int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    SetLastError(exelore_posix::ErrorFromErrno(errno, *path));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return new FileObject{fd, true};
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (hObject == nullptr || hObject == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* object = static_cast<FileObject*>(hObject);
  if (!object->owned) return TRUE;
  ::close(object->fd);
  delete object;
  return TRUE;
}

// GetFileAttributesW: follows symbolic links as Windows follows reparse
// points for this call's purposes; a dangling or looping link is an error.
DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  const auto path = exelore_posix::PathFromWide(lpFileName);
  if (!path) return INVALID_FILE_ATTRIBUTES;
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

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
  switch (nStdHandle) {
    case STD_INPUT_HANDLE:
      return &exelore_posix::g_std_objects[0];
    case STD_OUTPUT_HANDLE:
      return &exelore_posix::g_std_objects[1];
    case STD_ERROR_HANDLE:
      return &exelore_posix::g_std_objects[2];
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
  if (lpLibFileName != nullptr && !exelore_posix::g_version_dll.missing) {
    const std::u16string_view name(lpLibFileName);
    bool same = name.size() == kVersionDll.size();
    for (std::size_t i = 0; same && i < name.size(); ++i) {
      char16_t c = name[i];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      same = c == kVersionDll[i];
    }
    if (same) return reinterpret_cast<HMODULE>(&exelore_posix::g_version_module_tag);
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  using exelore_posix::AsFarProc;
  if (hModule == reinterpret_cast<HMODULE>(&exelore_posix::g_version_module_tag) &&
      lpProcName != nullptr && !IS_INTRESOURCE(lpProcName)) {
    const std::string_view name(lpProcName);
    const auto& sw = exelore_posix::g_version_dll;
    if (name == "GetFileVersionInfoSizeExW" && !sw.neutral_hidden) {
      return sw.neutral_fail ? AsFarProc(&exelore_posix::FailingSizeEx)
                             : AsFarProc(&GetFileVersionInfoSizeExW);
    }
    if (name == "GetFileVersionInfoExW" && !sw.neutral_hidden) {
      return sw.neutral_fail ? AsFarProc(&exelore_posix::FailingInfoEx)
                             : AsFarProc(&GetFileVersionInfoExW);
    }
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
// nobody. Here it goes to the system log at debug priority, where a developer
// can look and a user never sees it.
void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
  if (lpOutputString == nullptr) return;
  const std::u16string text(lpOutputString);
  if (auto& sink = exelore_posix::DebugSink()) {
    sink(text);
    return;
  }
  const std::string utf8 = exelore_posix::Utf16ToUtf8(text);
  ::syslog(LOG_USER | LOG_DEBUG, "exelore: %s", utf8.c_str());
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

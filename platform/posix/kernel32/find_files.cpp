// Listing folders (FindFirstFileW, FindNextFileW, FindClose), reading and
// seeking open files (ReadFile, SetFilePointer), what an open file is
// (GetFileInformationByHandle), and whether a handle is a console
// (GetConsoleMode).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "files.h"
#include "handles.h"
#include "text.h"

namespace exelore_posix {
namespace {

// A folder search: the entries read when it started, handed out in order.
struct FindObject {
  std::vector<WIN32_FIND_DATAW> entries;
  std::size_t next = 0;
};

// FILETIME counts 100 ns intervals since 1601-01-01.
FILETIME FileTimeOf(const timespec& t) {
  constexpr std::int64_t kEpochDifference = 11644473600;  // seconds from 1601 to 1970
  const std::int64_t ticks =
      (static_cast<std::int64_t>(t.tv_sec) + kEpochDifference) * 10000000 + t.tv_nsec / 100;
  const auto value = static_cast<std::uint64_t>(std::max<std::int64_t>(ticks, 0));
  return {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

// What Windows reports for the entry `name` of a folder on device `device`:
// a symbolic link is a reparse point with the symbolic link tag (a folder
// too when its target is one); a folder on another file system is a mount
// point, as a volume mounted in a folder appears to NTFS; FIFOs, sockets and
// devices, which a Windows folder cannot hold, are devices. An entry that
// vanished since the folder was read is still listed, as a plain file.
WIN32_FIND_DATAW EntryData(const std::string& folder, const std::string& name, dev_t device) {
  WIN32_FIND_DATAW data{};
  const std::string path = folder + "/" + name;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    data.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  } else if (S_ISLNK(st.st_mode)) {
    data.dwFileAttributes = FILE_ATTRIBUTE_REPARSE_POINT;
    data.dwReserved0 = IO_REPARSE_TAG_SYMLINK;
    struct stat target {};
    if (::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
      data.dwFileAttributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else if (S_ISDIR(st.st_mode)) {
    data.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    if (st.st_dev != device) {
      data.dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
      data.dwReserved0 = IO_REPARSE_TAG_MOUNT_POINT;
    }
  } else if (S_ISREG(st.st_mode)) {
    data.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
  } else {
    data.dwFileAttributes = FILE_ATTRIBUTE_DEVICE;
  }
  data.ftLastWriteTime = FileTimeOf(st.st_mtim);
  data.ftLastAccessTime = FileTimeOf(st.st_atim);
  data.ftCreationTime = data.ftLastWriteTime;
  const std::u16string wide = BytesToUtf16(name);
  const std::size_t units = std::min<std::size_t>(wide.size(), MAX_PATH - 1);
  std::memcpy(data.cFileName, wide.data(), units * sizeof(WCHAR));
  return data;
}

void Hand(FindObject* find, WIN32_FIND_DATAW* data) { *data = find->entries[find->next++]; }

}  // namespace
}  // namespace exelore_posix

using namespace exelore_posix;

extern "C" {

// FindFirstFileW (Microsoft's page): only the pattern every folder listing
// uses, a folder followed by "/*" or "\*" (or "*" alone for the current
// folder); any other pattern fails with ERROR_INVALID_PARAMETER. Like
// Windows, the listing holds "." and "..", in no particular order. A missing
// folder gives ERROR_PATH_NOT_FOUND, one that cannot be read
// ERROR_ACCESS_DENIED, a file in place of the folder ERROR_DIRECTORY.
HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  if (lpFileName == nullptr || lpFindFileData == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string_view pattern(lpFileName);
  if (pattern.empty() || pattern.back() != u'*') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  pattern.remove_suffix(1);
  std::string folder = ".";
  if (!pattern.empty()) {
    if (pattern.back() != u'/' && pattern.back() != u'\\') {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    pattern.remove_suffix(1);
    const auto bytes = pattern.empty() ? std::optional<std::string>("/") : Utf16ToBytes(pattern);
    if (!bytes) {
      SetLastError(ERROR_INVALID_NAME);
      return INVALID_HANDLE_VALUE;
    }
    folder = *bytes;
  }
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    const int err = errno;
    SetLastError(err == ENOTDIR  ? ERROR_DIRECTORY
                 : err == ENOENT ? ERROR_PATH_NOT_FOUND
                                 : ErrorFromErrno(err, folder));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  const dev_t device = ::fstat(::dirfd(dir), &st) == 0 ? st.st_dev : 0;
  auto find = std::make_unique<FindObject>();
  errno = 0;
  while (const dirent* entry = ::readdir(dir))
    find->entries.push_back(EntryData(folder, entry->d_name, device));
  const int read_error = errno;
  ::closedir(dir);
  if (read_error != 0 || find->entries.empty()) {
    SetLastError(read_error != 0 ? ErrorFromErrno(read_error, folder) : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  FindObject* handle = NewHandle(std::move(find), HandleKind::kFind);
  Hand(handle, lpFindFileData);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

// FindNextFileW: the next entry, or FALSE with ERROR_NO_MORE_FILES after the
// last; a handle that is not a live search fails with ERROR_INVALID_HANDLE.
BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  auto* find = FromHandle<FindObject>(hFindFile, HandleKind::kFind);
  if (find == nullptr || lpFindFileData == nullptr) {
    SetLastError(find == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (find->next == find->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  Hand(find, lpFindFileData);
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  if (TakeHandle<FindObject>(hFindFile, HandleKind::kFind) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// ReadFile: a synchronous read of up to nNumberOfBytesToRead bytes; fewer
// only at the end of the file (0 there, still TRUE), as Windows reads a file.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED /*lpOverlapped*/) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  const int fd = FdFromHandle(hFile);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* bytes = static_cast<char*>(lpBuffer);
  DWORD done = 0;
  while (done < nNumberOfBytesToRead) {
    const ssize_t n = ::read(fd, bytes + done, nNumberOfBytesToRead - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastError(ErrorFromErrno(errno, std::string()));
      if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = done;
      return FALSE;
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = done;
  return TRUE;
}

// SetFilePointer: moves to a 64-bit position (high part through
// lpDistanceToMoveHigh when given); only FILE_BEGIN is supported. Returns
// the low part of the new position, INVALID_SET_FILE_POINTER with the last
// error set on failure (ERROR_NEGATIVE_SEEK for a position before 0).
DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod) {
  const int fd = FdFromHandle(hFile);
  if (fd < 0 || dwMoveMethod != FILE_BEGIN) {
    SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  std::int64_t position = lDistanceToMove;
  if (lpDistanceToMoveHigh != nullptr)
    position = static_cast<std::int64_t>((static_cast<std::uint64_t>(*lpDistanceToMoveHigh) << 32) |
                                         static_cast<std::uint32_t>(lDistanceToMove));
  if (position < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  if (::lseek(fd, static_cast<off_t>(position), SEEK_SET) < 0) {
    SetLastError(ErrorFromErrno(errno, std::string()));
    return INVALID_SET_FILE_POINTER;
  }
  if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(position >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(position);
}

// GetFileInformationByHandle (Microsoft's BY_HANDLE_FILE_INFORMATION page):
// the volume serial number and file index together identify the file on
// the machine, as the device and inode numbers do here (the device folded
// into 32 bits, the inode split into the two halves of the index). The
// attributes are GetFileAttributesW's, and a handle that CreateFileW opened
// on a link itself (FILE_FLAG_OPEN_REPARSE_POINT) is a symbolic-link
// reparse point.
BOOL WINAPI GetFileInformationByHandle(HANDLE hFile,
                                       LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  const int fd = FdFromHandle(hFile);
  struct stat st {};
  if (fd < 0 || lpFileInformation == nullptr || ::fstat(fd, &st) != 0) {
    SetLastError(fd < 0                         ? ERROR_INVALID_HANDLE
                 : lpFileInformation == nullptr ? ERROR_INVALID_PARAMETER
                                                : ErrorFromErrno(errno, std::string()));
    return FALSE;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  info.dwFileAttributes = S_ISDIR(st.st_mode)   ? FILE_ATTRIBUTE_DIRECTORY
                          : S_ISLNK(st.st_mode) ? FILE_ATTRIBUTE_REPARSE_POINT
                          : S_ISREG(st.st_mode) ? FILE_ATTRIBUTE_NORMAL
                                                : FILE_ATTRIBUTE_DEVICE;
  info.ftLastWriteTime = FileTimeOf(st.st_mtim);
  info.ftLastAccessTime = FileTimeOf(st.st_atim);
  info.ftCreationTime = info.ftLastWriteTime;
  const auto device = static_cast<std::uint64_t>(st.st_dev);
  info.dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
  const auto size = static_cast<std::uint64_t>(st.st_size);
  info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info.nFileSizeLow = static_cast<DWORD>(size);
  info.nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  const auto inode = static_cast<std::uint64_t>(st.st_ino);
  info.nFileIndexHigh = static_cast<DWORD>(inode >> 32);
  info.nFileIndexLow = static_cast<DWORD>(inode);
  *lpFileInformation = info;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// GetConsoleMode: succeeds only for a handle on a terminal, as Windows'
// succeeds only for a console handle; the mode reported is the usual one of
// an output console (processed output, wrap at end of line).
BOOL WINAPI GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
  const int fd = FdFromHandle(hConsoleHandle);
  if (fd < 0 || lpMode == nullptr || ::isatty(fd) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *lpMode = 0x0001 | 0x0002;  // ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT
  return TRUE;
}

}  // extern "C"

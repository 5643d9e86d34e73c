// Files for every part of the stand-in: opening regular files, reading
// them whole, the Windows error for an errno, and paths below a mounted Windows
// installation.
#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "file_hooks.h"
#include "pe.h"
#include "text.h"

namespace exelore_posix {
namespace {

bool ParentFolderExists(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return true;
  const std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
  struct stat st {};
  return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// `parent`/`name`, a folder or a regular file, where the entry's name may
// differ from `name` in ASCII case. The exact spelling wins; among other
// spellings the bytewise least, so the choice never depends on the
// directory's order.
std::optional<std::string> ChildEntry(const std::string& parent, std::string_view name,
                                      bool folder) {
  std::string exact = parent + "/" + std::string(name);
  if (IsEntryOfType(exact, folder)) return exact;
  DIR* dir = ::opendir(parent.c_str());
  if (dir == nullptr) return std::nullopt;
  std::optional<std::string> best;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view candidate(entry->d_name);
    if (!EqualsIgnoringAsciiCase(candidate, name)) continue;
    std::string path = parent + "/" + std::string(candidate);
    if (!IsEntryOfType(path, folder)) continue;
    if (!best || path < *best) best = std::move(path);
  }
  ::closedir(dir);
  return best;
}

}  // namespace

bool IsEntryOfType(const std::string& path, bool folder) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && (folder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode));
}

int OpenReadOnly(const std::string& path) {
  // O_NONBLOCK: opening a FIFO without a writer, or a terminal, must not wait.
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

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

std::optional<std::string> PathFromWide(LPCWSTR path, DWORD* error) {
  if (path == nullptr) {
    *error = ERROR_INVALID_PARAMETER;
    return std::nullopt;
  }
  const std::u16string_view wide(path);
  if (wide.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return std::nullopt;
  }
  auto bytes = Utf16ToBytes(wide);
  if (!bytes) *error = ERROR_INVALID_NAME;
  return bytes;
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
  const int fd = OpenReadOnly(path);
  if (fd < 0) {
    const int open_error = errno;
    // A socket cannot be opened at all; it is no more readable than a FIFO.
    struct stat st {};
    const bool special =
        ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
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

namespace {

// Anonymous memory, which no writer of the file can take away, asked for in
// huge pages where the system grants them on request (transparent_hugepage
// "madvise"): a catalog of tens of MiB faulted in 4 KiB at a time costs
// several times its reading.
std::uint8_t* MapAnonymous(std::size_t length) {
  void* memory =
      ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  ::madvise(memory, length, MADV_HUGEPAGE);  // advice: refused, the pages are small
  return static_cast<std::uint8_t*>(memory);
}

// Whether this thread's SpareMappings exists: a copy kept in another
// thread-local object may outlive it at the thread's exit.
thread_local bool spares_alive = false;

// The mapping a whole read of this thread used last, kept for the next
// one: a scan reads hundreds of catalogs, and faulting in and unmapping a
// fresh copy for each (a TLB shootdown on every core the process runs on)
// cost a third of its time. The larger of the last two is kept, and none
// over 16 MiB (most catalogs are far smaller; the few larger ones are read
// rarely), so a thread keeps at most 16 MiB whatever it reads.
class SpareMappings {
 public:
  static constexpr std::size_t kLargestKept = std::size_t{16} << 20;

  SpareMappings() { spares_alive = true; }
  ~SpareMappings() {
    spares_alive = false;
    if (data_ != nullptr) ::munmap(data_, capacity_);
  }
  // A mapping of at least `length` bytes: the one kept, its contents
  // whatever they were, or a fresh one.
  std::uint8_t* Take(std::size_t length, std::size_t* capacity) {
    if (data_ == nullptr || capacity_ < length) {
      *capacity = length;
      return MapAnonymous(length);
    }
    *capacity = capacity_;
    return std::exchange(data_, nullptr);
  }
  void Give(std::uint8_t* data, std::size_t capacity) {
    if (capacity <= kLargestKept && (data_ == nullptr || capacity_ < capacity)) {
      std::swap(data, data_);
      std::swap(capacity, capacity_);
    }
    if (data != nullptr) ::munmap(data, capacity);
  }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t capacity_ = 0;
};

SpareMappings& Spares() {
  thread_local SpareMappings spares;
  return spares;
}

}  // namespace

FileContent::FileContent(int fd, std::uint64_t size, bool read) : fd_(fd) {
  if (size == 0 || size > SIZE_MAX) return;
  const auto length = static_cast<std::size_t>(size);
  data_ = Spares().Take(length, &capacity_);
  if (data_ == nullptr) return;
  size_ = length;
  WholeFileSized(fd);
  if (read) ReadRange(0, size);
}

bool FileContent::ReadRange(std::uint64_t offset, std::uint64_t length) {
  if (data_ == nullptr) return false;
  if (offset <= size_ && length <= size_ - offset &&
      pe::FileSource(fd_, size_)
          .ReadAt(offset, std::span(data_ + offset, static_cast<std::size_t>(length)))) {
    return true;
  }
  Release();
  return false;
}

void FileContent::Release() {
  if (data_ == nullptr) return;
  if (spares_alive) {
    Spares().Give(data_, capacity_);
  } else {
    ::munmap(data_, capacity_);
  }
  data_ = nullptr;
  size_ = 0;
}

FileContent::~FileContent() { Release(); }

std::optional<std::string> BelowSystemRoot(const std::string& root,
                                           std::span<const std::string_view> components,
                                           bool last_is_folder) {
  if (root.empty() || components.empty()) return std::nullopt;
  std::optional<std::string> path = root;
  for (std::size_t i = 0; i < components.size() && path; ++i) {
    path = ChildEntry(*path, components[i], i + 1 < components.size() || last_is_folder);
  }
  return path;
}

}  // namespace exelore_posix

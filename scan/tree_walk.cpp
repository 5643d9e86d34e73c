#include "scan/tree_walk.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using WideView = std::basic_string_view<WCHAR>;

// Windows takes both separators; the walk keeps the one the root is written
// with, so `C:\Windows` gives `C:\Windows\System32` and `/mnt/c/Windows`
// gives `/mnt/c/Windows/System32`.
WCHAR SeparatorOf(WideView root) {
  return root.find(TEXT('\\')) != WideView::npos && root.find(TEXT('/')) == WideView::npos
             ? TEXT('\\')
             : TEXT('/');
}

WideString ChildPath(const WideString& folder, WCHAR separator, WideView name) {
  WideString path = folder;
  if (!path.empty() && path.back() != TEXT('/') && path.back() != TEXT('\\'))
    path.push_back(separator);
  path += name;
  return path;
}

bool IsDotEntry(WideView name) { return name == TEXT(".") || name == TEXT(".."); }

const WCHAR* ReparseProblem(DWORD tag) {
  switch (tag) {
    case IO_REPARSE_TAG_SYMLINK:
      return TEXT("symbolic link, not followed");
    case IO_REPARSE_TAG_MOUNT_POINT:
      return TEXT("junction or mount point, not entered");
    default:
      return TEXT("reparse point, not followed");
  }
}

constexpr const WCHAR* kChanged = TEXT("changed during the scan: ");

// Lists `folder` and hands out its entries. The folder is opened first
// without following a link, and must be a folder on the walk's volume; it
// is opened again after the listing and must be the same folder, so a
// folder swapped for a link or a mount while the walk goes on is reported,
// never entered.
bool WalkFolder(const WideString& folder, WCHAR separator, WalkEntry& self,
                const WalkVisitor& visit) {
  DWORD error = 0;
  const auto before = OpenIdentity(folder, self.named, &error);
  if (!before)
    return visit({folder, self.named, false, DescribeError(TEXT("cannot open folder"), error)});
  if (!self.on_volume) {
    self.on_volume = true;
    self.volume = before->volume;
  }
  if (WideString problem = ChangedProblem(*before, true, self); !problem.empty())
    return visit({folder, self.named, false, std::move(problem)});

  WIN32_FIND_DATAW data{};
  const HANDLE find = FindFirstFileW(ChildPath(folder, separator, TEXT("*")).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ||
           visit({folder, self.named, false, DescribeError(TEXT("cannot list folder"), error)});
  }
  struct Child {
    WideString name;
    DWORD attributes;
    DWORD reparse_tag;
  };
  std::vector<Child> children;
  do {
    const WideView name(data.cFileName);
    if (!IsDotEntry(name))
      children.push_back({WideString(name), data.dwFileAttributes, data.dwReserved0});
  } while (FindNextFileW(find, &data));
  const DWORD end = GetLastError();
  FindClose(find);
  const auto after = OpenIdentity(folder, self.named, &error);
  if (!after || *after != *before)
    return visit({folder, self.named, false, WideString(kChanged) + TEXT("replaced while listed")});

  std::sort(children.begin(), children.end(),
            [](const Child& a, const Child& b) { return a.name < b.name; });
  for (Child& child : children) {
    WalkEntry entry{ChildPath(folder, separator, child.name), false, false, {}, true, self.volume};
    child.name.clear();
    child.name.shrink_to_fit();
    const DWORD attributes = child.attributes;
    bool go_on = true;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      entry.skipped = true;
      entry.problem = ReparseProblem(child.reparse_tag);
      go_on = visit(std::move(entry));
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      go_on = WalkFolder(entry.path, separator, entry, visit);
    } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
      entry.skipped = true;
      entry.problem = TEXT("not a regular file");
      go_on = visit(std::move(entry));
    } else {
      go_on = visit(std::move(entry));
    }
    if (!go_on) return false;
  }
  return end == ERROR_NO_MORE_FILES ||
         visit({folder, self.named, false, DescribeError(TEXT("cannot list folder"), end)});
}

}  // namespace

WideString DescribeError(const WCHAR* what, DWORD error) {
  const WCHAR* reason = TEXT("failed");
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      reason = TEXT("file not found");
      break;
    case ERROR_PATH_NOT_FOUND:
      reason = TEXT("path not found");
      break;
    case ERROR_ACCESS_DENIED:
      reason = TEXT("access denied");
      break;
    case ERROR_SHARING_VIOLATION:
      reason = TEXT("in use by another process");
      break;
    case ERROR_INVALID_NAME:
      reason = TEXT("invalid name");
      break;
    default:
      break;
  }
  WideString text = what;
  text += TEXT(": ");
  text += reason;
  text += TEXT(" (error ");
  AppendDecimal(text, error);
  text += TEXT(")");
  return text;
}

std::optional<FileIdentity> OpenIdentity(const WideString& path, bool follow, DWORD* error,
                                         HANDLE* handle) {
  const HANDLE file = CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
      nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) {
    *error = GetLastError();
    CloseHandle(file);
    return std::nullopt;
  }
  if (handle != nullptr) {
    *handle = file;
  } else {
    CloseHandle(file);
  }
  return FileIdentity{
      info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow, info.dwFileAttributes,
      (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow};
}

WideString ChangedProblem(const FileIdentity& identity, bool folder, const WalkEntry& entry) {
  WideString problem = kChanged;
  if ((identity.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    problem += TEXT("now a symbolic link or reparse point, not followed");
  } else if (((identity.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
    problem += folder ? TEXT("no longer a folder") : TEXT("now a folder");
  } else if (entry.on_volume && identity.volume != entry.volume) {
    problem += TEXT("now on another volume, not entered");
  } else {
    problem.clear();
  }
  return problem;
}

bool WalkTree(const WideString& root, const WalkVisitor& visit) {
  const DWORD attributes = GetFileAttributesW(root.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return visit({root, true, false, DescribeError(TEXT("cannot open"), GetLastError())});
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    WalkEntry self{root, true, false, {}};
    return WalkFolder(root, SeparatorOf(root), self, visit);
  }
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0)
    return visit({root, true, true, TEXT("not a regular file")});
  return visit({root, true, false, {}});
}

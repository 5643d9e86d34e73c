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

void WalkFolder(const WideString& folder, WCHAR separator, std::vector<WalkEntry>& entries) {
  WIN32_FIND_DATAW data{};
  const HANDLE find = FindFirstFileW(ChildPath(folder, separator, TEXT("*")).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND)
      entries.push_back({folder, false, DescribeError(TEXT("cannot list folder"), error)});
    return;
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

  std::sort(children.begin(), children.end(),
            [](const Child& a, const Child& b) { return a.name < b.name; });
  for (const Child& child : children) {
    WideString path = ChildPath(folder, separator, child.name);
    const DWORD attributes = child.attributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      entries.push_back({std::move(path), false, ReparseProblem(child.reparse_tag)});
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      WalkFolder(path, separator, entries);
    } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
      entries.push_back({std::move(path), false, TEXT("not a regular file")});
    } else {
      entries.push_back({std::move(path), false, {}});
    }
  }
  if (end != ERROR_NO_MORE_FILES)
    entries.push_back({folder, false, DescribeError(TEXT("cannot list folder"), end)});
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

void WalkTree(const WideString& root, std::vector<WalkEntry>& entries) {
  const DWORD attributes = GetFileAttributesW(root.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    entries.push_back({root, true, DescribeError(TEXT("cannot open"), GetLastError())});
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    WalkFolder(root, SeparatorOf(root), entries);
  } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
    entries.push_back({root, true, TEXT("not a regular file")});
  } else {
    entries.push_back({root, true, {}});
  }
}

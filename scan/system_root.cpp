#include "scan/system_root.h"

#include <optional>
#include <vector>

namespace {

using WideView = std::basic_string_view<WCHAR>;

WCHAR Lower(WCHAR c) { return c >= TEXT('A') && c <= TEXT('Z') ? static_cast<WCHAR>(c + 32) : c; }

bool EqualIgnoringCase(WideView a, WideView b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool IsSeparator(WCHAR c) { return c == TEXT('/') || c == TEXT('\\'); }

WideString Child(const WideString& folder, WideView name) {
  WideString path = folder;
  if (!path.empty() && !IsSeparator(path.back())) path.push_back(TEXT('/'));
  path += name;
  return path;
}

// The entry of `folder` named `name` regardless of case (the exact name
// first), with its attributes; nullopt when there is none.
std::optional<WideString> FindIgnoringCase(const WideString& folder, WideView name,
                                           DWORD* attributes) {
  WIN32_FIND_DATAW data{};
  const HANDLE find = FindFirstFileW(Child(folder, TEXT("*")).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<WideString> found;
  do {
    const WideView entry(data.cFileName);
    if (!EqualIgnoringCase(entry, name) || (found && entry != name)) continue;
    found = Child(folder, entry);
    *attributes = data.dwFileAttributes;
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return found;
}

// `root` followed by the components of `relative`, each found regardless of
// case; nullopt when one is missing.
std::optional<WideString> Resolve(const WideString& root, std::vector<WideView> relative,
                                  DWORD* attributes) {
  WideString path = root;
  for (const WideView component : relative) {
    auto next = FindIgnoringCase(path, component, attributes);
    if (!next) return std::nullopt;
    path = std::move(*next);
  }
  return path;
}

std::optional<BY_HANDLE_FILE_INFORMATION> FolderInformation(const WideString& path) {
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool got = GetFileInformationByHandle(handle, &info) != FALSE;
  CloseHandle(handle);
  if (!got) return std::nullopt;
  return info;
}

}  // namespace

SystemRootView DescribeSystemRoot() {
  SystemRootView view;
  const DWORD size = GetEnvironmentVariableW(TEXT("SystemRoot"), nullptr, 0);
  if (size == 0) return view;
  std::vector<WCHAR> buffer(size);
  if (GetEnvironmentVariableW(TEXT("SystemRoot"), buffer.data(), size) + 1 != size) return view;
  view.set = true;
  view.root = buffer.data();
  DWORD attributes = 0;
  if (const auto catalogs = Resolve(
          view.root,
          {TEXT("System32"), TEXT("CatRoot"), TEXT("{F750E6C3-38EE-11D1-85E5-00C04FC295EE}")},
          &attributes);
      catalogs && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    view.catalog_folder = *catalogs;
    WIN32_FIND_DATAW data{};
    const HANDLE find = FindFirstFileW(Child(*catalogs, TEXT("*")).c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const WideView name(data.cFileName);
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && name.size() > 4 &&
            EqualIgnoringCase(name.substr(name.size() - 4), TEXT(".cat")))
          ++view.catalogs;
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
  }
  if (const auto hive =
          Resolve(view.root, {TEXT("System32"), TEXT("config"), TEXT("SOFTWARE")}, &attributes);
      hive && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    view.software_hive = *hive;
  }
  return view;
}

WideString InstallationOfCatalogPath(WideView path) {
  static constexpr const WCHAR* kTail[] = {TEXT("windows"), TEXT("system32"), TEXT("catroot")};
  // Component boundaries: the start of each component.
  std::size_t start = 0;
  std::vector<std::pair<std::size_t, std::size_t>> components;  // offset, length
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || IsSeparator(path[i])) {
      if (i > start) components.emplace_back(start, i - start);
      start = i + 1;
    }
  }
  // A file below CatRoot: CatRoot is not the last component.
  for (std::size_t c = 0; c + 3 < components.size(); ++c) {
    bool match = true;
    for (std::size_t k = 0; k < 3 && match; ++k)
      match = EqualIgnoringCase(path.substr(components[c + k].first, components[c + k].second),
                                kTail[k]);
    if (match) return WideString(path.substr(0, components[c].first + components[c].second));
  }
  return {};
}

bool SameFolder(const WideString& a, const WideString& b) {
  const auto first = FolderInformation(a);
  const auto second = FolderInformation(b);
  return first && second && first->dwVolumeSerialNumber == second->dwVolumeSerialNumber &&
         first->nFileIndexHigh == second->nFileIndexHigh &&
         first->nFileIndexLow == second->nFileIndexLow;
}

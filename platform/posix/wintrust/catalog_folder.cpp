// The catalog database's folder: where it is, the catalogs in it in lookup
// order, and the scanner that finds the first catalog listing a hash.
#include <dirent.h>

#include <algorithm>
#include <memory>
#include <cstring>
#include <utility>

#include "authenticode/authenticode.h"
#include "catalog_db.h"
#include "catalog_index.h"
#include "pe.h"
#include "text.h"

namespace exelore_posix::catalog {
namespace {

constexpr char kCatRootGuid[] = "{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";

}  // namespace

std::optional<std::string> DatabaseFolder(const authenticode::TrustConfig& config) {
  if (config.system_root.empty()) {
    const std::string configured = EXELORE_CATALOG_DIR;
    if (configured.empty() || !IsEntryOfType(configured, true)) return std::nullopt;
    return configured;
  }
  static constexpr std::string_view kCatRoot[] = {"System32", "CatRoot", kCatRootGuid};
  return BelowSystemRoot(config.system_root, kCatRoot, true);
}

std::vector<std::string> ListCatalogs(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return {};
  // (name without case, name)
  std::vector<std::pair<std::string, std::string>> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name.size() < 4 ||
        !EqualsIgnoringAsciiCase(name.substr(name.size() - 4), std::string_view(".cat")))
      continue;
    std::string folded(name);
    for (char& c : folded) c = AsciiLower(c);
    names.emplace_back(std::move(folded), std::string(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const auto& entry : names) paths.push_back(folder + "/" + entry.second);
  return paths;
}

namespace {

// The catalog this thread's last search found, while its file is settled.
struct Found {
  std::string path;
  FileIdentity identity;
  std::shared_ptr<const FileContent> content;
};
thread_local Found last_found;

}  // namespace

bool Scanner::Lists(const std::string& path, std::span<const std::uint8_t> hash) {
  RegularFile file;
  DWORD error = 0;
  if (!file.Open(path, &error) || file.size() == 0 ||
      file.size() > authenticode::kMaxSignedFileSize)
    return false;
  const std::uint64_t size = file.size();
  const auto identity = SettledIdentity(file.fd());
  // An entry that lists the hash holds its bytes, in the digest of its
  // SpcIndirectData or as its identifier (Member::compat_sha1), so a file
  // without them cannot list it: most files cost one read and one search,
  // and only candidates are parsed. The file is read into its place piece by
  // piece, each searched while it is fresh in the cache, from the hash's
  // length less one before it so that no occurrence straddles two; a
  // candidate's rest is read after and the whole parsed where it lies.
  auto content = std::make_shared<FileContent>(file.fd(), size, false);
  if (!content->ok()) return false;
  const std::uint8_t* bytes = content->bytes().data();
  const std::uint64_t overlap = hash.size() - 1;
  bool found = false;
  std::uint64_t read = 0;
  while (!found && read < size) {
    const std::uint64_t n = std::min<std::uint64_t>(kScanChunk, size - read);
    if (!content->ReadRange(read, n)) return false;
    const std::uint64_t from = read > overlap ? read - overlap : 0;
    found = ::memmem(bytes + from, static_cast<std::size_t>(read + n - from), hash.data(),
                     hash.size()) != nullptr;
    read += n;
  }
  if (!found || (read < size && !content->ReadRange(read, size - read))) return false;
  const std::optional<Catalog> catalog = ParseCatalog(content->bytes());
  const bool lists = catalog && catalog->FindByDigest(hash).has_value();
  ERR_clear_error();
  // Unchanged from before the read to after it: these are its bytes.
  if (lists && identity && SettledIdentity(file.fd()) == identity)
    last_found = {path, *identity, std::move(content)};
  return lists;
}

std::shared_ptr<const FileContent> TakeFoundCatalog(const std::string& path,
                                                    const FileIdentity& identity) {
  Found found = std::move(last_found);
  last_found = {};
  if (found.path != path || found.identity != identity) return nullptr;
  return std::move(found.content);
}

std::optional<std::size_t> Scanner::FindFirst(const std::vector<std::string>& paths,
                                              std::size_t start,
                                              std::span<const std::uint8_t> hash) {
  if (hash.empty()) return std::nullopt;
  for (std::size_t i = start; i < paths.size(); ++i) {
    if (Lists(paths[i], hash)) return i;
  }
  return std::nullopt;
}

}  // namespace exelore_posix::catalog

// The catalog database's folder: where it is, the catalogs in it in lookup
// order, and the scanner that finds the first catalog listing a hash.
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "authenticode/authenticode.h"
#include "catalog_db.h"
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

bool Scanner::Lists(const std::string& path, std::span<const std::uint8_t> hash) {
  RegularFile file;
  DWORD error = 0;
  if (!file.Open(path, &error) || file.size() == 0 ||
      file.size() > authenticode::kMaxSignedFileSize)
    return false;
  const pe::FileSource source(file.fd(), file.size());
  // An entry that lists the hash holds its bytes, in the digest of its
  // SpcIndirectData or as its identifier (Member::compat_sha1), so a file
  // without them cannot list it: most files cost
  // one read and one search, and only candidates are parsed. Pieces
  // overlap by the hash's length less one, so no occurrence straddles two.
  const std::uint64_t size = file.size();
  const std::size_t overlap = hash.size() - 1;
  const std::size_t piece =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kScanChunk + overlap));
  if (buffer_.size() < piece) buffer_.resize(piece);
  bool found = false;
  for (std::uint64_t at = 0; !found && at < size;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece, size - at));
    if (!source.ReadAt(at, std::span(buffer_.data(), n))) return false;
    found = ::memmem(buffer_.data(), n, hash.data(), hash.size()) != nullptr;
    if (at + n == size) break;
    at += n - overlap;
  }
  if (!found) return false;
  // The catalog refers into the bytes parsed: the buffer, or for a larger
  // file its whole content read again, which lasts until the search is
  // done and no longer.
  std::optional<FileContent> content;
  std::span<const std::uint8_t> bytes(buffer_.data(), static_cast<std::size_t>(size));
  if (size > piece) {
    content.emplace(file.fd(), size);
    if (!content->ok()) return false;
    bytes = content->bytes();
  }
  const std::optional<Catalog> catalog = ParseCatalog(bytes);
  const bool lists = catalog && catalog->FindByDigest(hash).has_value();
  ERR_clear_error();
  return lists;
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

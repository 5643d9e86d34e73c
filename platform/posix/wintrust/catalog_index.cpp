#include "catalog_index.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <thread>
#include <tuple>
#include <utility>

#include "authenticode/authenticode.h"
#include "der.h"
#include "digest.h"
#include "files.h"
#include "pe.h"

namespace exelore_posix::catalog {
namespace {

std::int64_t Nanoseconds(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

FileIdentity IdentityFromStat(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::int64_t>(st.st_size), Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
}

std::optional<FileIdentity> SettledStat(const struct stat& st) {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return std::nullopt;
  if (Nanoseconds(st.st_ctim) > Nanoseconds(now) - kSettledAfterNs) return std::nullopt;
  return IdentityFromStat(st);
}

// An index key: the first four bytes of a digest. Keys that collide are told
// apart when the entry is decoded.
std::uint32_t KeyOf(std::span<const std::uint8_t> digest) {
  std::uint32_t key = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    key = (key << 8) | (i < digest.size() ? digest[i] : 0u);
  }
  return key;
}

// The entry at `offset` of the file open as `fd`: a whole definite-length
// TLV read from there, or nullopt.
std::optional<std::vector<std::uint8_t>> ReadEntry(int fd, std::uint64_t size,
                                                   std::uint64_t offset) {
  constexpr std::size_t kFirstRead = 4096;
  const pe::FileSource source(fd, size);
  if (offset >= size) return std::nullopt;
  std::vector<std::uint8_t> bytes(
      static_cast<std::size_t>(std::min<std::uint64_t>(kFirstRead, size - offset)));
  if (!source.ReadAt(offset, bytes)) return std::nullopt;
  // The header says how long the entry is, however much of it was read.
  const auto header = der::ReadHeader(bytes);
  if (!header || header->length > size - offset - header->size) return std::nullopt;
  const std::uint64_t whole = header->size + header->length;
  if (whole > bytes.size()) {
    bytes.resize(static_cast<std::size_t>(whole));
    if (!source.ReadAt(offset, bytes)) return std::nullopt;
  }
  bytes.resize(static_cast<std::size_t>(whole));
  if (!der::ElementAt(bytes)) return std::nullopt;
  return bytes;
}

}  // namespace

std::optional<FileIdentity> SettledIdentity(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return SettledStat(st);
}

// --- Database --------------------------------------------------------------------

struct Listing::Index {
  struct Key {
    std::uint32_t key;
    std::uint32_t catalog;  // its place in the listing
    std::uint32_t offset;   // of the entry in the file
    bool operator<(const Key& o) const {
      return std::tie(key, catalog, offset) < std::tie(o.key, o.catalog, o.offset);
    }
  };
  std::vector<Key> keys;               // every listed digest of the indexed catalogs
  std::vector<std::uint32_t> scanned;  // catalogs searched as the scanner searches
  std::vector<std::optional<FileIdentity>> identities;  // of each indexed catalog
  std::vector<bool> hash_identifiers;                   // of each (Catalog::hash_identifiers)
};

Database& Database::Of(const std::string& folder) {
  static std::mutex mutex;
  // Every database opened stays for the process: an admin context may hold
  // one of its listings.
  static auto* all = new std::map<std::string, std::unique_ptr<Database>>;
  std::lock_guard lock(mutex);
  auto& db = (*all)[folder];
  if (!db) db.reset(new Database(folder));
  return *db;
}

std::shared_ptr<const Listing> Database::List() {
  // The folder is read outside the lock; a listing made meanwhile by
  // another thread for the same settled folder is the one kept.
  std::optional<FileIdentity> folder;
  struct stat st {};
  if (::stat(folder_.c_str(), &st) == 0) folder = SettledStat(st);
  const auto current = [&] { return current_ && folder && current_folder_ == folder; };
  {
    std::lock_guard lock(mutex_);
    if (current()) return current_;
  }
  auto listing = std::make_shared<Listing>();
  listing->paths_ = ListCatalogs(folder_);
  std::lock_guard lock(mutex_);
  if (current()) return current_;
  current_folder_ = folder;
  current_ = std::move(listing);
  return current_;
}

namespace {

// What the index holds of one catalog.
struct Indexed {
  bool scanned = false;                  // searched as the scanner searches, at each lookup
  std::optional<FileIdentity> identity;  // when indexed
  bool hash_identifiers = false;
  std::vector<Listing::Index::Key> keys;
};

Indexed IndexCatalog(const std::string& path, std::uint32_t catalog_at) {
  Indexed out;
  RegularFile file;
  DWORD error = 0;
  std::optional<FileIdentity> identity;
  if (file.Open(path, &error)) identity = SettledIdentity(file.fd());
  // A file not settled may change, and is scanned at each lookup (as is one
  // that cannot be opened now); an empty or oversized one lists nothing.
  out.scanned = !identity;
  if (!identity || file.size() == 0 || file.size() > authenticode::kMaxSignedFileSize) {
    out.identity = identity;
    return out;
  }
  // Read whole on the indexing thread and freed once indexed: each thread
  // holds one catalog at a time.
  const FileContent content(file.fd(), file.size());
  if (!content.ok()) {
    out.scanned = true;
    return out;
  }
  const std::span<const std::uint8_t> bytes = content.bytes();
  const std::optional<Catalog> catalog = ParseCatalog(bytes);
  ERR_clear_error();
  bool regular = true;
  bool whole = false;
  if (catalog) {
    out.hash_identifiers = catalog->hash_identifiers;
    // A list with an entry that is not a whole TLV lists nothing.
    whole = ForEachEntry(catalog->entries, [&](std::span<const std::uint8_t> entry) {
      const auto offset = static_cast<std::uint32_t>(entry.data() - bytes.data());
      std::span<const std::uint8_t> digest;
      const ListedDigest listed = ReadListedDigest(entry, &digest);
      if (listed == ListedDigest::kIrregular) regular = false;
      if (listed == ListedDigest::kListed && !digest.empty()) {
        out.keys.push_back({KeyOf(digest), catalog_at, offset});
      }
      // A member-v2 identifier may be the hash a bare entry lists: indexed
      // too, and told apart from a digest when the entry is decoded.
      if (catalog->hash_identifiers) {
        const auto identifier = EntryIdentifier(entry);
        if (identifier && !identifier->empty()) {
          out.keys.push_back({KeyOf(*identifier), catalog_at, offset});
        }
      }
      return regular;
    });
  }
  // What was read counts only if the file is unchanged once it is read.
  if (!regular || SettledIdentity(file.fd()) != identity) {
    out.scanned = true;
    out.keys.clear();
    return out;
  }
  if (!whole) out.keys.clear();
  out.identity = identity;
  return out;
}

// Sorts `keys`, which come in catalog order and within a catalog in file
// order, into key order keeping that order among equal keys (so in the
// order of Key::operator<): a stable radix sort on the key's two halves,
// for millions of keys a tenth of the cost of comparing them.
void SortByKey(std::vector<Listing::Index::Key>& keys) {
  std::vector<Listing::Index::Key> other(keys.size());
  for (const int shift : {0, 16}) {
    std::vector<std::size_t> start(1u << 16, 0);
    for (const auto& k : keys) ++start[(k.key >> shift) & 0xFFFF];
    std::size_t at = 0;
    for (std::size_t& s : start) at += std::exchange(s, at);
    for (const auto& k : keys) other[start[(k.key >> shift) & 0xFFFF]++] = k;
    keys.swap(other);
  }
}

}  // namespace

std::shared_ptr<const Listing::Index> Database::IndexOf(
    const std::shared_ptr<const Listing>& listing) {
  std::call_once(listing->index_once_, [&] { listing->index_ = BuildIndex(listing->paths_); });
  return listing->index_;
}

std::shared_ptr<const Listing::Index> Database::BuildIndex(const std::vector<std::string>& paths) {
  // The catalogs are read on as many threads as there are processors.
  std::vector<Indexed> catalogs(paths.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < paths.size();) {
      catalogs[i] = IndexCatalog(paths[i], static_cast<std::uint32_t>(i));
    }
  };
  const unsigned helpers =
      std::min<unsigned>(std::max(1u, std::thread::hardware_concurrency()), 16u) - 1;
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < helpers && t + 1 < paths.size(); ++t) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();

  auto index = std::make_shared<Listing::Index>();
  index->identities.resize(paths.size());
  index->hash_identifiers.resize(paths.size());
  std::size_t keys = 0;
  for (const Indexed& c : catalogs) keys += c.keys.size();
  index->keys.reserve(keys);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (catalogs[i].scanned) index->scanned.push_back(static_cast<std::uint32_t>(i));
    index->identities[i] = catalogs[i].identity;
    index->hash_identifiers[i] = catalogs[i].hash_identifiers;
    index->keys.insert(index->keys.end(), catalogs[i].keys.begin(), catalogs[i].keys.end());
    std::vector<Listing::Index::Key>().swap(catalogs[i].keys);
  }
  SortByKey(index->keys);
  return index;
}

std::optional<std::size_t> Database::FindFirst(const std::shared_ptr<const Listing>& listing,
                                               std::size_t start,
                                               std::span<const std::uint8_t> hash,
                                               Scanner& scanner) {
  if (hash.empty()) return std::nullopt;
  bool indexed = false;
  {
    std::lock_guard lock(mutex_);
    // A process that asks once, such as `exelore /c`, scans and stops early.
    indexed = ++lookups_ >= 2;
  }
  const std::shared_ptr<const Listing::Index> index = indexed ? IndexOf(listing) : nullptr;
  const std::vector<std::string>& paths = listing->paths();
  if (!index) return scanner.FindFirst(paths, start, hash);

  const std::uint32_t key = KeyOf(hash);
  auto candidate =
      std::lower_bound(index->keys.begin(), index->keys.end(), Listing::Index::Key{key, 0, 0});
  const auto candidates_end = std::upper_bound(candidate, index->keys.end(),
                                               Listing::Index::Key{key, UINT32_MAX, UINT32_MAX});
  auto scanned = index->scanned.begin();
  // Whether the indexed catalog `at` lists the hash in one of the entries
  // the index names (candidate onwards); nullopt when it changed since.
  const auto confirm = [&](std::uint32_t at) -> std::optional<bool> {
    RegularFile file;
    DWORD error = 0;
    if (!file.Open(paths[at], &error) || SettledIdentity(file.fd()) != index->identities[at]) {
      return std::nullopt;
    }
    bool found = false;
    for (; candidate != candidates_end && candidate->catalog == at; ++candidate) {
      if (found) continue;
      const auto entry = ReadEntry(file.fd(), file.size(), candidate->offset);
      const auto member = entry ? DecodeMember(*entry, index->hash_identifiers[at]) : std::nullopt;
      found = member && member->Lists() && SameDigest(hash, member->digest);
    }
    ERR_clear_error();
    return found;
  };
  while (true) {
    while (candidate != candidates_end && candidate->catalog < start) ++candidate;
    while (scanned != index->scanned.end() && *scanned < start) ++scanned;
    const std::size_t next_candidate = candidate != candidates_end ? candidate->catalog : SIZE_MAX;
    const std::size_t next_scanned = scanned != index->scanned.end() ? *scanned : SIZE_MAX;
    const std::size_t at = std::min(next_candidate, next_scanned);
    if (at == SIZE_MAX) return std::nullopt;
    if (at == next_scanned) {
      ++scanned;
      if (scanner.Lists(paths[at], hash)) return at;
    } else {
      const std::optional<bool> listed = confirm(static_cast<std::uint32_t>(at));
      if (listed ? *listed : scanner.Lists(paths[at], hash)) return at;
    }
    start = at + 1;
  }
}

// --- VerdictCache ----------------------------------------------------------------

struct VerdictCache::Entry {
  FileIdentity identity;
  std::uint64_t entries_offset = 0;
  std::uint64_t entries_length = 0;
  bool hash_identifiers = false;
  std::map<std::string, Verdict> verdicts;  // by trust configuration, under the cache's lock
  // The entries by folded tag: (std::hash of the folded text, offset), in
  // file order within a hash; built from the file at the first lookup after
  // the verdict was kept (the catalog's second use), under this catalog's
  // own lock and never the cache's, so that threads asking about other
  // catalogs do not wait for its read. Null before, and when an entry's tag
  // cannot be read without decoding it.
  std::mutex tags_mutex;
  bool tags_tried = false;
  std::shared_ptr<const Tags> tags;
};

VerdictCache& VerdictCache::Instance() {
  static auto* cache = new VerdictCache;
  return *cache;
}

std::optional<VerdictCache::Verdict> VerdictCache::Find(const std::string& path,
                                                        const FileIdentity& identity,
                                                        const std::string& config_key) {
  std::lock_guard lock(mutex_);
  const auto entry = entries_.find(path);
  if (entry == entries_.end() || entry->second->identity != identity) return std::nullopt;
  const auto found = entry->second->verdicts.find(config_key);
  if (found == entry->second->verdicts.end()) return std::nullopt;
  return Verdict{found->second.status, ossl::UpRef(found->second.signer.get())};
}

void VerdictCache::Keep(const std::string& path, const FileIdentity& identity,
                        const std::string& config_key, const Verdict& verdict,
                        std::uint64_t entries_offset, std::uint64_t entries_length,
                        bool hash_identifiers) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<Entry>& entry = entries_[path];
  // An entry's place and form are set only when it is made, before any
  // reader has it: the same identity is the same bytes.
  if (!entry || entry->identity != identity) {
    entry = std::make_shared<Entry>();
    entry->identity = identity;
    entry->entries_offset = entries_offset;
    entry->entries_length = entries_length;
    entry->hash_identifiers = hash_identifiers;
  }
  entry->verdicts[config_key] =
      Verdict{verdict.status, ossl::UpRef(ossl::Shareable(verdict.signer.get()))};
}

namespace {

// The index of the tags of the entries list at `offset` (`length` bytes) of
// the file open as `fd`, of `size` bytes; null when a read fails or an
// entry's tag cannot be read without decoding it.
std::shared_ptr<const VerdictCache::Tags> ReadTags(int fd, std::uint64_t size, std::uint64_t offset,
                                                   std::uint64_t length, bool hash_identifiers) {
  // Read into its place in the thread's copy of the file (FileContent),
  // the rest of which is left unread.
  FileContent content(fd, size, false);
  if (offset > size || length > size - offset || !content.ReadRange(offset, length)) return nullptr;
  const std::span<const std::uint8_t> list =
      content.bytes().subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
  auto tags = std::make_shared<VerdictCache::Tags>();
  bool regular = true;
  std::u16string folded;
  const bool walked = ForEachEntry(list, [&](std::span<const std::uint8_t> e) {
    const auto id = EntryIdentifier(e);
    if (!id) {
      regular = false;
      return false;
    }
    if (FoldIdentifier(*id, hash_identifiers, &folded)) {
      tags->emplace_back(std::hash<std::u16string>{}(folded),
                         offset + static_cast<std::uint64_t>(e.data() - list.data()));
    }
    return true;
  });
  if (!walked || !regular) return nullptr;
  std::stable_sort(tags->begin(), tags->end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return tags;
}

}  // namespace

std::shared_ptr<const VerdictCache::Tags> VerdictCache::TagsOf(const std::string& path,
                                                               const FileIdentity& identity, int fd,
                                                               bool* hash_identifiers) {
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(path);
    if (found == entries_.end() || found->second->identity != identity) return nullptr;
    entry = found->second;
  }
  *hash_identifiers = entry->hash_identifiers;
  std::lock_guard lock(entry->tags_mutex);
  if (!entry->tags_tried) {
    entry->tags_tried = true;
    auto tags = ReadTags(fd, static_cast<std::uint64_t>(identity.size), entry->entries_offset,
                         entry->entries_length, entry->hash_identifiers);
    // Read from the file the verdict was kept for, or not kept.
    if (tags && SettledIdentity(fd) == identity) entry->tags = std::move(tags);
  }
  return entry->tags;
}

std::optional<Member> VerdictCache::FindByTag(const std::string& path, const FileIdentity& identity,
                                              int fd, std::u16string_view tag, bool* answered) {
  *answered = false;
  bool hash_identifiers = false;
  const std::shared_ptr<const Tags> tags = TagsOf(path, identity, fd, &hash_identifiers);
  if (!tags) return std::nullopt;
  std::optional<Member> member;
  if (!tag.empty()) {
    // As FindByTag: of the entries whose identifier names the tag, in
    // order, the first is the member if it decodes; if not, there is none.
    const std::size_t wanted = std::hash<std::u16string>{}(FoldTag(tag));
    auto at = std::lower_bound(tags->begin(), tags->end(), wanted,
                               [](const auto& e, std::size_t h) { return e.first < h; });
    for (; at != tags->end() && at->first == wanted; ++at) {
      const auto entry = ReadEntry(fd, static_cast<std::uint64_t>(identity.size), at->second);
      if (!entry) return std::nullopt;
      const auto id = EntryIdentifier(*entry);
      if (!id || !IdentifierNames(*id, tag, hash_identifiers)) continue;
      member = DecodeMember(*entry, hash_identifiers);
      break;
    }
    ERR_clear_error();
  }
  // What was read is what was verified only if the file is still the one
  // the verdict was kept for.
  if (SettledIdentity(fd) != identity) return std::nullopt;
  *answered = true;
  return member;
}

}  // namespace exelore_posix::catalog

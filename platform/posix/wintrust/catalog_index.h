// What one process keeps of the catalog database between lookups, as
// Windows keeps it in its catalog service: the folder's listing, an index
// from listed hash to catalogs, and each catalog's verdict. Nothing is
// written to disk. A file is vouched for by what was read of it before only
// while fstat still shows it unchanged and settled (FileIdentity), so a
// catalog replaced or rewritten since is read again.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "catalog_db.h"
#include "ossl.h"

namespace exelore_posix::catalog {

// What fstat says of a file's content: two equal identities of a settled
// file mean the same bytes.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};

// How long after its last change (its ctime) a file counts as settled. A
// change within the same tick of the file system's clock can leave the
// timestamps as they were; one after a file has settled cannot. Two seconds
// cover the coarsest clock of the file systems a Windows volume is mounted
// with (FAT's).
inline constexpr std::int64_t kSettledAfterNs = 2'000'000'000;

// The identity of the file open as `fd` when it is settled; nullopt for a
// file changed more recently, which nothing cached may vouch for, or when
// fstat fails.
std::optional<FileIdentity> SettledIdentity(int fd);

// The bytes of the catalog this thread's last search found listing a hash
// (Scanner), when it is `path` and they were read from a settled file of
// `identity`, the identity the caller's own descriptor has now: the same
// bytes, read once for the search and the check. Null otherwise. Given
// once: the bytes are let go either way.
std::shared_ptr<const FileContent> TakeFoundCatalog(const std::string& path,
                                                    const FileIdentity& identity);

// A folder's catalogs in lookup order (ListCatalogs), and once a process has
// asked about more than one hash, an index of what they list.
class Listing {
 public:
  struct Index;  // what catalog_index.cpp builds

  const std::vector<std::string>& paths() const { return paths_; }

 private:
  friend class Database;
  std::vector<std::string> paths_;
  // Built at most once, under the listing's own once-flag and never the
  // database's lock: the threads of one scan wait for the one index they
  // all need rather than each reading the folder, and nothing else waits.
  mutable std::once_flag index_once_;
  mutable std::shared_ptr<const Index> index_;
};

// The catalog database of one folder, for the life of the process. Safe to
// use from any thread.
class Database {
 public:
  // The database of `folder`; the same object for every call with it.
  static Database& Of(const std::string& folder);

  // The folder's catalogs: the listing handed out before while the folder
  // is settled and unchanged, or lists the same names; a new one otherwise.
  std::shared_ptr<const Listing> List();

  // What Scanner::FindFirst answers over listing->paths(). The first lookup
  // of the process scans as the scanner does, stopping at the first catalog
  // found; a later one builds the listing's index once (every catalog read
  // once) and then reads only the entries the index names, each decoded and
  // compared as the scanner would. Catalogs not settled, changed since the
  // index was built, or holding an entry the index cannot read are scanned.
  std::optional<std::size_t> FindFirst(const std::shared_ptr<const Listing>& listing,
                                       std::size_t start, std::span<const std::uint8_t> hash,
                                       Scanner& scanner);

 private:
  explicit Database(std::string folder) : folder_(std::move(folder)) {}
  std::shared_ptr<const Listing::Index> IndexOf(const std::shared_ptr<const Listing>& listing);
  static std::shared_ptr<const Listing::Index> BuildIndex(const std::vector<std::string>& paths);

  const std::string folder_;
  // Guards the current listing and the count of lookups; never held over
  // file I/O.
  std::mutex mutex_;
  std::shared_ptr<const Listing> current_;
  std::optional<FileIdentity> current_folder_;
  std::size_t lookups_ = 0;
};

// The verdict of a catalog's own signature (VerifySignedMessage with the
// code-signing policy), kept per catalog file and trust configuration, and
// its entries by tag once the catalog is used a second time.
class VerdictCache {
 public:
  // A catalog's entries by folded tag (FoldIdentifier): (std::hash of the
  // text, offset of the entry in the file), sorted by hash, in file order
  // within one.
  using Tags = std::vector<std::pair<std::size_t, std::uint64_t>>;

  struct Verdict {
    HRESULT status = S_OK;
    ossl::X509Ptr signer;  // shareable (ossl::Shareable); null when none was found
  };

  static VerdictCache& Instance();

  // The verdict kept for the catalog `path` of `identity` under `config_key`,
  // or nullopt.
  std::optional<Verdict> Find(const std::string& path, const FileIdentity& identity,
                              const std::string& config_key);
  // Keeps `verdict` for the catalog; `entries` is where its entries lie in
  // the file (offset and length; length 0 when it has none), and
  // `hash_identifiers` how they name members (Catalog::hash_identifiers).
  void Keep(const std::string& path, const FileIdentity& identity, const std::string& config_key,
            const Verdict& verdict, std::uint64_t entries_offset, std::uint64_t entries_length,
            bool hash_identifiers);

  // The member named `tag` (Catalog::FindByTag's answer) in the catalog open
  // as `fd`, which has `identity` and a verdict kept: found through an index
  // of its entries' tags, built at this second use from the file. nullopt
  // in `*answered` false when the catalog must be read whole instead (it
  // changed, or an entry's tag cannot be indexed). The file is read under
  // the catalog's own lock, never under the cache's.
  std::optional<Member> FindByTag(const std::string& path, const FileIdentity& identity, int fd,
                                  std::u16string_view tag, bool* answered);

 private:
  struct Entry;
  // The tags of the kept catalog, built from `fd` at the first call; null
  // when it has no verdict kept for `identity` or its tags cannot be
  // indexed. *hash_identifiers as Catalog::hash_identifiers.
  std::shared_ptr<const Tags> TagsOf(const std::string& path, const FileIdentity& identity, int fd,
                                     bool* hash_identifiers);
  // Guards the map and each entry's verdicts; never held over file I/O.
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Entry>> entries_;
};

}  // namespace exelore_posix::catalog

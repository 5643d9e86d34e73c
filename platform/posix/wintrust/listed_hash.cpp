// The hash a catalog lists for a file, and the hashes this process keeps of
// settled files so that one request hashes each file once.
#include <algorithm>
#include <array>
#include <mutex>

#include "authenticode/authenticode.h"
#include "catalog_db.h"
#include "catalog_index.h"
#include "digest.h"
#include "pe.h"

namespace exelore_posix::catalog {
namespace {

std::optional<std::vector<std::uint8_t>> ComputeListedHash(const RegularFile& file,
                                                           const EVP_MD* md) {
  const pe::FileSource source(file.fd(), file.size());
  if (const auto headers = pe::ReadHeaders(source)) {
    authenticode::ImageHashOptions options;
    options.pad_unsigned_to_8 = true;
    return authenticode::ComputeImageHash(source, *headers, md, options);
  }
  const FileRange whole{0, file.size()};
  return DigestFileRanges(source, {&whole, 1}, md);
}

// The listed hashes of the files hashed last, by settled identity and
// digest. A request that looks a file's hash up in the catalogs
// (CryptCATAdminCalcHashFromFileHandle) and then has WinVerifyTrust check
// it as a catalog member hashes the same bytes twice; the second asks here.
//
// Why an equal identity means the same bytes: the identity is the file's
// device, inode, size, mtime and ctime, taken by fstat before the hash was
// computed and again after, and kept only when the two agree and the file
// was settled (its ctime at least kSettledAfterNs in the past). To defeat
// this a writer would have to change the bytes and leave all five as they
// were. Writing the file sets its mtime and ctime to the present; it may set
// the mtime back (utimensat), but that too sets the ctime to the present,
// and no unprivileged process can set a ctime. Renaming another file over
// it changes the inode. A change made within the same tick of a coarse file
// system clock as the hash could leave both times as they were, which is
// why only a file whose ctime was already older than the coarsest tick (two
// seconds, FAT's) when it was hashed is kept: any later change moves its
// ctime forward. What a caller hands in as a hash (pbCalculatedFileHash) is
// never consulted.
class KeptHashes {
 public:
  static KeptHashes& Instance() {
    static auto* kept = new KeptHashes;
    return *kept;
  }
  std::optional<std::vector<std::uint8_t>> Find(const FileIdentity& identity, int md) {
    std::lock_guard lock(mutex_);
    for (const Kept& k : kept_) {
      if (k.md == md && k.identity == identity) return k.hash;
    }
    return std::nullopt;
  }
  void Keep(const FileIdentity& identity, int md, std::vector<std::uint8_t> hash) {
    std::lock_guard lock(mutex_);
    kept_[next_++ % kept_.size()] = {identity, md, std::move(hash)};
  }

 private:
  struct Kept {
    FileIdentity identity;
    int md = NID_undef;
    std::vector<std::uint8_t> hash;
  };
  // A request's lookup and member check follow each other on one thread;
  // room for the files a few dozen scan threads have in flight.
  std::mutex mutex_;
  std::array<Kept, 64> kept_{};
  std::size_t next_ = 0;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> ListedHashOf(const RegularFile& file, const EVP_MD* md) {
  const int type = EVP_MD_get_type(md);
  const std::optional<FileIdentity> before = SettledIdentity(file.fd());
  if (before) {
    if (auto kept = KeptHashes::Instance().Find(*before, type)) return kept;
  }
  auto hash = ComputeListedHash(file, md);
  if (hash && before && SettledIdentity(file.fd()) == before) {
    KeptHashes::Instance().Keep(*before, type, *hash);
  }
  return hash;
}

}  // namespace exelore_posix::catalog

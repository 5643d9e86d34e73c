// The catalog database of the stand-in: the folder of signed catalogs
// (CatRoot on Windows), the catalogs in it, and the hash of a file as the
// catalogs list it.
//
// A catalog is a PKCS #7 SignedData whose content is a certificate trust list
// (szOID_CTL) used for catalog lists (szOID_CATALOG_LIST). Each entry names a
// member (its tag, Windows writes the file hash as UTF-16 hexadecimal text)
// and carries the member's hash in an SPC_INDIRECT_DATA attribute.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernel_internal.h"
#include "ossl.h"

namespace exelore_posix::catalog {

// The largest catalog read; larger files are skipped. The same cap as
// CryptQueryObject's, so every catalog the database names can be opened.
std::uint64_t MaxCatalogSize();

// One entry of a catalog.
struct Member {
  std::vector<std::uint8_t> tag;  // the SubjectIdentifier octets as stored
  const EVP_MD* md = nullptr;     // digest of the SpcIndirectData; null when refused or absent
  std::vector<std::uint8_t> digest;
  bool has_indirect_data = false;
};

// A parsed catalog: the signed message and its entries.
struct Catalog {
  ossl::Pkcs7Ptr message;
  std::vector<Member> members;

  // The first member whose SpcIndirectData digest is `hash` (same length and
  // bytes), or null.
  const Member* FindByDigest(std::span<const std::uint8_t> hash) const;
  // The first member named `tag`: its identifier is `tag` as UTF-16LE text
  // (ASCII letters compared without case, a terminating zero allowed), or
  // raw bytes whose hexadecimal spelling is `tag`. Null when none.
  const Member* FindByTag(std::u16string_view tag) const;
};

// Decodes a catalog from the whole of `der`: a SignedData with at least one
// signer whose content is a CTL for catalog lists. nullopt for anything else;
// never reads outside `der`. Signatures are not checked here.
std::optional<Catalog> ParseCatalog(std::span<const std::uint8_t> der);

// The folder of the catalog database: with SystemRoot set,
// $SystemRoot/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE} with
// each component below SystemRoot matched without regard to ASCII case;
// otherwise the configure-time folder. nullopt when it does not exist.
std::optional<std::string> DatabaseFolder();

// The path below the SystemRoot environment variable named by `components`,
// each matched without regard to ASCII case (the exact spelling first, else
// the bytewise least), as Windows' file system matches them: every
// component but the last a folder, the last a folder when `last_is_folder`,
// else a regular file. nullopt without SystemRoot or such an entry.
std::optional<std::string> BelowSystemRoot(std::span<const std::string_view> components,
                                           bool last_is_folder);

// The paths of the `*.cat` files in `folder` (extension in any case), in
// lookup order: names compared without ASCII case, then bytewise.
std::vector<std::string> ListCatalogs(const std::string& folder);

// Finds catalogs that list a hash. Reads each file once into a buffer kept
// across files and parses only the files that contain the hash's bytes.
class Scanner {
 public:
  // The index, at or after `start`, of the first catalog in `paths` that
  // lists `hash` in an entry's SpcIndirectData; nullopt when none does.
  // Unreadable, oversized and malformed files are skipped.
  std::optional<std::size_t> FindFirst(const std::vector<std::string>& paths, std::size_t start,
                                       std::span<const std::uint8_t> hash);

 private:
  bool ReadWhole(const std::string& path, std::size_t* size);
  std::vector<std::uint8_t> buffer_;
};

// The hash a catalog lists for the file open in `file`: for a PE image its
// Authenticode image hash with `md` (an image without a certificate table
// padded with zeros to a multiple of 8 bytes), for any other file the digest
// of its whole content. One pass in bounded memory; nullopt when a read
// fails or the PE's certificate table is invalid.
std::optional<std::vector<std::uint8_t>> FileHash(const RegularFile& file, const EVP_MD* md);

}  // namespace exelore_posix::catalog

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
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "files.h"
#include "ossl.h"

namespace exelore_posix::catalog {

// One entry of a catalog.
struct Member {
  std::vector<std::uint8_t> tag;  // the SubjectIdentifier octets as stored
  const EVP_MD* md = nullptr;     // digest of the SpcIndirectData; null when refused or absent
  std::vector<std::uint8_t> digest;
  bool has_indirect_data = false;
};

// A parsed catalog: the signed message, decoded without its content, and
// where the content and its entries lie in the bytes parsed, which must
// outlive it. Entries are decoded one at a time when searched, so that a
// catalog of a million entries costs no more memory than its bytes.
struct Catalog {
  ossl::Pkcs7Ptr message;                 // its content left out (DecodeSignedDataShell)
  std::span<const std::uint8_t> content;  // the octets the signer digested: the CTL's fields
  std::span<const std::uint8_t> entries;  // the trustedSubjects SEQUENCE, whole; empty if none

  // Calls `visit` with each member in order until it returns true; whether
  // one did. An entry that does not decode ends the walk; a list whose
  // framing is broken anywhere has no member visited.
  bool ForEachMember(const std::function<bool(const Member&)>& visit) const;
  // The first member whose SpcIndirectData digest is `hash` (same length and
  // bytes), or nullopt. Entries that do not decode are passed over.
  std::optional<Member> FindByDigest(std::span<const std::uint8_t> hash) const;
  // The first member named `tag`: its identifier is `tag` as UTF-16LE text
  // (ASCII letters compared without case, a terminating zero allowed). The
  // identifier is the member's reference tag, a NUL-terminated string
  // (Microsoft's CRYPTCATMEMBER and CryptCATGetMemberInfo pages): one that
  // holds the hash's bytes themselves names no member by the hash's text,
  // however its bytes spell. nullopt when none, or when an entry that may
  // carry the tag does not decode.
  std::optional<Member> FindByTag(std::u16string_view tag) const;
};

// Decodes a catalog from the whole of `der`: a SignedData with at least one
// signer whose content is a CTL for catalog lists, its fields decoding. Only
// the certificates, the signers and the CTL's fields other than its entries
// are decoded. Each search of the catalog walks its whole list of entries
// and answers nothing (false, nullopt) when one is not a whole
// tag-length-value inside the list, wherever it lies; an entry is decoded
// when a search reaches it. nullopt for anything else; never reads outside
// `der`. Signatures are not checked here.
std::optional<Catalog> ParseCatalog(std::span<const std::uint8_t> der);

// Pieces of the searches above, for a reader that finds entries by index.
// Calls `visit` with the encoding of each entry of `entries` (as
// Catalog::entries), in order, until it returns false; false when an entry,
// visited or not, is not a whole tag-length-value inside the list.
bool ForEachEntry(std::span<const std::uint8_t> entries,
                  const std::function<bool(std::span<const std::uint8_t>)>& visit);
// The member an encoded entry holds; nullopt when it does not decode.
std::optional<Member> DecodeMember(std::span<const std::uint8_t> entry);
// An entry's identifier read from its encoding, without decoding it, when
// it is a primitive OCTET STRING first in the entry (as DER writes it).
std::optional<std::span<const std::uint8_t>> EntryIdentifier(std::span<const std::uint8_t> entry);
// Whether an identifier names `tag` (as FindByTag compares them).
bool IdentifierNames(std::span<const std::uint8_t> identifier, std::u16string_view tag);
// The text an identifier names, as FindByTag compares it, into *text: its
// UTF-16 units, ASCII letters in lower case, terminating zeros dropped;
// false for an odd number of bytes, which names nothing. A tag given is put
// the same way by FoldTag.
bool FoldIdentifier(std::span<const std::uint8_t> identifier, std::u16string* text);
std::u16string FoldTag(std::u16string_view tag);

// The digest an entry lists, read from its encoding without decoding it:
// kListed with *digest set, kNone when it lists none (no SPC_INDIRECT_DATA
// attribute, or one whose value is not a SEQUENCE), kIrregular when the
// encoding is not the plain DER shape this reader follows (another
// attribute form, constructed strings, two SPC_INDIRECT_DATA attributes),
// which only decoding the entry can judge. An entry DecodeMember accepts
// and this reads as kListed lists exactly *digest; as kNone, nothing.
enum class ListedDigest { kListed, kNone, kIrregular };
ListedDigest ReadListedDigest(std::span<const std::uint8_t> entry,
                              std::span<const std::uint8_t>* digest);

// The folder of the catalog database: with SystemRoot set,
// $SystemRoot/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE} with
// each component below SystemRoot matched without regard to ASCII case;
// otherwise the configure-time folder. nullopt when it does not exist.
std::optional<std::string> DatabaseFolder();

// The paths of the `*.cat` files in `folder` (extension in any case), in
// lookup order: names compared without ASCII case, then bytewise.
std::vector<std::string> ListCatalogs(const std::string& folder);

// Finds catalogs that list a hash. Reads each file once, in pieces of at
// most kScanChunk bytes through a buffer kept across files, and parses only
// the files that contain the hash's bytes: one that fits the buffer from
// there, a larger one read again whole (FileContent).
class Scanner {
 public:
  static constexpr std::size_t kScanChunk = 1u << 20;

  // The index, at or after `start`, of the first catalog in `paths` that
  // lists `hash` in an entry's SpcIndirectData; nullopt when none does.
  // Unreadable, oversized and malformed files are skipped.
  std::optional<std::size_t> FindFirst(const std::vector<std::string>& paths, std::size_t start,
                                       std::span<const std::uint8_t> hash);

  // Whether the file at `path` is a catalog that lists `hash`.
  bool Lists(const std::string& path, std::span<const std::uint8_t> hash);

 private:
  std::vector<std::uint8_t> buffer_;
};

// The hash a catalog lists for the file open in `file`: for a PE image its
// Authenticode image hash with `md` (an image without a certificate table
// padded with zeros to a multiple of 8 bytes), for any other file the digest
// of its whole content. One pass in bounded memory; nullopt when a read
// fails or the PE's certificate table is invalid.
std::optional<std::vector<std::uint8_t>> ListedHashOf(const RegularFile& file, const EVP_MD* md);

}  // namespace exelore_posix::catalog

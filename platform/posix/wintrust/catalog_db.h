// The catalog database of the stand-in: the folder of signed catalogs
// (CatRoot on Windows), the catalogs in it, and the hash of a file as the
// catalogs list it.
//
// A catalog is a PKCS #7 SignedData whose content is a certificate trust list
// (szOID_CTL) used for catalog lists (szOID_CATALOG_LIST). Its subject
// algorithm says how entries name members. A classic catalog
// (szOID_CATALOG_LIST_MEMBER, 1.3.6.1.4.1.311.12.1.2) names each by a tag,
// the file hash as UTF-16 hexadecimal text as Windows writes it, and carries
// the member's hash in an SPC_INDIRECT_DATA attribute. A member-v2 catalog
// (szOID_CATALOG_LIST_MEMBER2, .12.1.3), as Windows 8 and later write their
// system catalogs, names each by the hash's own bytes: the SHA-256 hash with
// SPC_INDIRECT_DATA and the name/value attributes, and beside it the SHA-1
// hash as a bare entry carrying only CAT_MEMBERINFO2 (.12.2.3), for lookups
// by the legacy SHA-1 hash. mscat.h calls the bare one a compatibility entry
// (CRYPTCAT_ATTR_NO_AUTO_COMPAT_ENTRY stops the catalog tool from adding
// it); Windows' catalog database indexes both forms (its catdb holds a
// HashCatNameTableSHA1 and a HashCatNameTableSHA256 table, as
// dissect.target's plugins/os/windows/catroot.py reads them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "authenticode/trust_config.h"
#include "files.h"
#include "ossl.h"

namespace exelore_posix::catalog {

// One entry of a catalog.
struct Member {
  std::vector<std::uint8_t> tag;  // the SubjectIdentifier octets as stored
  const EVP_MD* md = nullptr;     // digest of the hash listed; null when refused or absent
  std::vector<std::uint8_t> digest;
  bool has_indirect_data = false;
  // A bare entry of a member-v2 catalog: no SpcIndirectData, and a 20-byte
  // identifier, which is then the hash it lists (md SHA-1, digest the
  // identifier). Nothing else binds such an entry to a file: the file's
  // SHA-1 hash must be the identifier itself, and the catalog's signature
  // covers the identifier as it covers an SpcIndirectData digest. Where
  // Windows documents no check of its own, this is the one the entry's
  // bytes allow.
  bool compat_sha1 = false;

  // Whether the entry lists a hash: md and digest say which.
  bool Lists() const { return has_indirect_data || compat_sha1; }
};

// A parsed catalog: the signed message, decoded without its content, and
// where the content and its entries lie in the bytes parsed, which must
// outlive it. Entries are decoded one at a time when searched, so that a
// catalog of a million entries costs no more memory than its bytes.
struct Catalog {
  ossl::Pkcs7Ptr message;                 // its content left out (DecodeSignedDataShell)
  std::span<const std::uint8_t> content;  // the octets the signer digested: the CTL's fields
  std::span<const std::uint8_t> entries;  // the trustedSubjects SEQUENCE, whole; empty if none
  bool hash_identifiers = false;          // member v2: identifiers are the hashes' bytes

  // Calls `visit` with each member in order until it returns true; whether
  // one did. An entry that does not decode ends the walk; a list whose
  // framing is broken anywhere has no member visited.
  bool ForEachMember(const std::function<bool(const Member&)>& visit) const;
  // The first member that lists `hash` (same length and bytes; Member::Lists),
  // or nullopt. Entries that do not decode are passed over.
  std::optional<Member> FindByDigest(std::span<const std::uint8_t> hash) const;
  // The first member named `tag` (IdentifierNames). In a classic catalog
  // the identifier is the member's reference tag, a NUL-terminated string
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
// The member an encoded entry of a catalog with `hash_identifiers` (as
// Catalog::hash_identifiers) holds; nullopt when it does not decode.
std::optional<Member> DecodeMember(std::span<const std::uint8_t> entry, bool hash_identifiers);
// An entry's identifier read from its encoding, without decoding it, when
// it is a primitive OCTET STRING first in the entry (as DER writes it).
std::optional<std::span<const std::uint8_t>> EntryIdentifier(std::span<const std::uint8_t> entry);
// Whether an identifier names `tag`, as FindByTag compares them: the
// identifier as UTF-16LE text (a terminating zero allowed) in a classic
// catalog; with `hash_identifiers` the hexadecimal spelling of its bytes, as
// the program spells the hash it looked up (two digits a byte, no
// separator). ASCII letters are compared without case. How Windows'
// CryptCATGetMemberInfo matches a member-v2 entry is not documented: the
// caller passes the hexadecimal text of the hash it looked the catalog up
// by, and this is the reading under which that tag names the entry that
// lists the hash, and no other.
bool IdentifierNames(std::span<const std::uint8_t> identifier, std::u16string_view tag,
                     bool hash_identifiers);
// The text an identifier names, as IdentifierNames compares it, into *text:
// its UTF-16 units (with `hash_identifiers`, its bytes' hexadecimal
// digits), ASCII letters in lower case, terminating zeros dropped; false for
// a classic identifier of an odd number of bytes, which names nothing. A
// tag given is put the same way by FoldTag.
bool FoldIdentifier(std::span<const std::uint8_t> identifier, bool hash_identifiers,
                    std::u16string* text);
std::u16string FoldTag(std::u16string_view tag);

// The digest an entry lists, read from its encoding without decoding it:
// kListed with *digest set, kNone when it lists none (no SPC_INDIRECT_DATA
// attribute, or one whose value is not a SEQUENCE), kIrregular when the
// encoding is not the plain DER shape this reader follows (another
// attribute form, constructed strings, two SPC_INDIRECT_DATA attributes),
// which only decoding the entry can judge. An entry DecodeMember accepts
// and this reads as kListed lists exactly *digest; as kNone, nothing, but
// in a member-v2 catalog, where it may list its identifier
// (Member::compat_sha1).
enum class ListedDigest { kListed, kNone, kIrregular };
ListedDigest ReadListedDigest(std::span<const std::uint8_t> entry,
                              std::span<const std::uint8_t>* digest);

// The folder of the catalog database the trust configuration names: below
// a Windows installation (its system_root),
// System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE} with each
// component matched without regard to ASCII case; without one, the
// configure-time folder. nullopt when it does not exist.
std::optional<std::string> DatabaseFolder(const authenticode::TrustConfig& config);

// The paths of the `*.cat` files in `folder` (extension in any case), in
// lookup order: names compared without ASCII case, then bytewise.
std::vector<std::string> ListCatalogs(const std::string& folder);

// Finds catalogs that list a hash. Reads each file once, in pieces of at
// most kScanChunk bytes searched as they come, and parses only the files
// that contain the hash's bytes. The bytes of the catalog found are kept
// for this thread's next check of it (TakeFoundCatalog), where the file
// was settled.
class Scanner {
 public:
  static constexpr std::size_t kScanChunk = 1u << 20;

  // The index, at or after `start`, of the first catalog in `paths` with a
  // member that lists `hash` (Catalog::FindByDigest); nullopt when none does.
  // Unreadable, oversized and malformed files are skipped.
  std::optional<std::size_t> FindFirst(const std::vector<std::string>& paths, std::size_t start,
                                       std::span<const std::uint8_t> hash);

  // Whether the file at `path` is a catalog that lists `hash`.
  bool Lists(const std::string& path, std::span<const std::uint8_t> hash);
};

// The hash a catalog lists for the file open in `file`: for a PE image its
// Authenticode image hash with `md` (an image without a certificate table
// padded with zeros to a multiple of 8 bytes), for any other file the digest
// of its whole content. One pass in bounded memory; nullopt when a read
// fails or the PE's certificate table is invalid.
std::optional<std::vector<std::uint8_t>> ListedHashOf(const RegularFile& file, const EVP_MD* md);

}  // namespace exelore_posix::catalog

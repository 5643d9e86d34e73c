// Catalogs for tests: the certificate trust lists Windows writes into .cat
// files, signed with OpenSSL by an identity of the test PKI, and the hashes
// catalogs list, computed here independently of the code under test.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "pe_builder.h"
#include "test_pki.h"

namespace exelore_test {

struct CatalogEntry {
  std::vector<std::uint8_t> digest;       // the member's hash
  std::string digest_algorithm = "sha1";  // its OpenSSL name ("sha1", "sha256")
  // The member tag. Default: the uppercase hexadecimal spelling of `digest`
  // as UTF-16LE text with a terminating zero, as Windows writes it.
  std::optional<std::u16string> tag;
  // The identifier's bytes instead of a text tag (the hash's own bytes, as a
  // crafted catalog may hold them).
  std::optional<std::vector<std::uint8_t>> raw_tag;
  bool pe_image = true;       // SpcPeImageData (1.3.6.1.4.1.311.2.1.15), else SpcLink (.25)
  bool indirect_data = true;  // carry the SPC_INDIRECT_DATA attribute at all
  bool name_value = true;     // carry a CAT_NAMEVALUE attribute ("File")
  bool member_info2 = false;  // carry CAT_MEMBERINFO2 (1.3.6.1.4.1.311.12.2.3)
};

// The subject algorithm of member-v2 catalogs (szOID_CATALOG_LIST_MEMBER2).
inline constexpr char kCatalogListMember2[] = "1.3.6.1.4.1.311.12.1.3";

// The two entries a member-v2 catalog holds for one file, laid out as in
// Windows 10/11 system catalogs: the SHA-256 hash's bytes as identifier,
// with CAT_NAMEVALUE, CAT_MEMBERINFO2 and SPC_INDIRECT_DATA; then the SHA-1
// hash's bytes as a bare identifier carrying CAT_MEMBERINFO2 alone.
std::vector<CatalogEntry> Member2Entries(const std::vector<std::uint8_t>& sha256,
                                         const std::vector<std::uint8_t>& sha1);

struct CatalogOptions {
  std::vector<CatalogEntry> entries;
  std::string content_type = "1.3.6.1.4.1.311.10.1";         // szOID_CTL
  std::string subject_usage = "1.3.6.1.4.1.311.12.1.1";      // szOID_CATALOG_LIST
  std::string subject_algorithm = "1.3.6.1.4.1.311.12.1.2";  // szOID_CATALOG_LIST_MEMBER
  std::time_t this_update = TestPki::kNotBefore + 86400;
};

// The DER of the certificate trust list alone.
std::vector<std::uint8_t> BuildTrustList(const CatalogOptions& options);

// A catalog signed by `signer` (SHA-256, its chain in the message). Throws
// std::runtime_error when OpenSSL fails.
std::vector<std::uint8_t> BuildCatalog(const CatalogOptions& options, const PkiIdentity& signer);

// The same SignedData without any signer.
std::vector<std::uint8_t> BuildUnsignedCatalog(const CatalogOptions& options);

// A catalog entry for a digest with the defaults above.
CatalogEntry EntryFor(const std::vector<std::uint8_t>& digest,
                      const std::string& algorithm = "sha1");

// One root of a root program list (authroot.stl), with the properties
// Windows' deprecation rules read (attributes 1.3.6.1.4.1.311.10.11.N).
struct ProgramListEntry {
  std::vector<std::uint8_t> sha1 = {};              // the root certificate's SHA-1
  std::vector<std::string> usages = {};             // 9: usage OIDs; empty = no list
  std::optional<std::time_t> disabled_at = {};      // 104
  std::optional<std::time_t> not_before = {};       // 126
  std::vector<std::string> not_before_usages = {};  // 127
};

// A root program list of `entries`, signed by `signer` as Microsoft signs
// authroot.stl (a CTL of usage szOID_ROOT_LIST_SIGNER, SHA-1 subjects).
std::vector<std::uint8_t> BuildRootProgramList(const std::vector<ProgramListEntry>& entries,
                                               const PkiIdentity& signer,
                                               std::optional<std::time_t> this_update = {});

// Digest `algorithm` of `bytes`.
std::vector<std::uint8_t> Digest(const std::vector<std::uint8_t>& bytes,
                                 const std::string& algorithm = "sha1");

// The Authenticode hash of an image WITHOUT a certificate table, from the
// layout pe_builder reports: every byte except the CheckSum and the security
// directory entry, then zeros up to a multiple of 8 bytes.
std::vector<std::uint8_t> UnsignedImageHash(const std::vector<std::uint8_t>& image,
                                            const PeLayout& layout,
                                            const std::string& algorithm = "sha1");

// Uppercase hexadecimal spelling of `bytes`.
std::u16string HexTag(const std::vector<std::uint8_t>& bytes);

}  // namespace exelore_test

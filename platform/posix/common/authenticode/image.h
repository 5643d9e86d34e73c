// The Authenticode view of a PE image: where its certificate table lies, the
// signature embedded there, and the image hash a signature covers.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ossl.h"
#include "pe.h"
#include "signed_data.h"

namespace exelore_posix::authenticode {

// Where the certificate table lies in the file (the security directory's
// address is a file offset, not an RVA).
struct CertificateTable {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
  // Whether it starts after the headers and every section's raw data; a
  // table anywhere else is not a valid signed image.
  bool follows_sections = false;
};

enum class TableState { kAbsent, kInvalid, kPresent };

// Classifies the security directory: absent (no entry, or zero address or
// size), invalid (pointing outside the file), or present with *table
// filled.
TableState FindCertificateTable(const pe::FileSource& file, const pe::Headers& headers,
                                CertificateTable* table);

// Reads the bCertificate bytes of the FIRST WIN_CERTIFICATE of the table,
// wherever the table lies, when it is a PKCS #7 SignedData (revision 0x0200,
// type 2) of sensible size: what crypt32 opens as the file's signature.
// nullopt otherwise.
std::optional<std::vector<std::uint8_t>> ReadEmbeddedSignature(const pe::FileSource& file,
                                                               const pe::Headers& headers);

// Whether the certificate table is one a valid signed image has: it follows
// the sections, and after its first WIN_CERTIFICATE it holds only further
// WIN_CERTIFICATEs and zero bytes. What WinVerifyTrust asks of the table
// before it looks at the signature.
bool CertificateTableIsClean(const pe::FileSource& file, const pe::Headers& headers);

struct ImageHashOptions {
  // For a file without a certificate table, hash as many zero bytes after
  // the end of the file as bring its length to a multiple of 8, as the
  // Windows catalog hash of an unsigned image does.
  bool pad_unsigned_to_8 = false;
};

// The Authenticode hash of a PE image: the headers (SizeOfHeaders bytes)
// without the optional header's CheckSum and the security directory entry,
// then each section's raw data in the order of their file offsets, then what
// follows the last section without the certificate table. Reads through a
// buffer of at most 1 MiB. nullopt when the certificate table is invalid or
// does not follow the sections, the headers do not hold the section table,
// a section's raw data runs past the end of the file, or a read fails.
std::optional<std::vector<std::uint8_t>> ComputeImageHash(const pe::FileSource& file,
                                                          const pe::Headers& headers,
                                                          const EVP_MD* md,
                                                          ImageHashOptions options = {});

}  // namespace exelore_posix::authenticode

// Authenticode pieces shared by crypt32 (CryptQueryObject), wintrust
// (WinVerifyTrust) and the catalog functions: the embedded signature of a PE,
// the PE image hash, and the verification of a PKCS #7 SignedData's signer,
// chain, extended key usage and timestamp against the trust anchors.
#pragma once

#include <windows.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <vector>

#include "ossl.h"
#include "pe.h"

namespace exelore_posix::authenticode {

// The largest PKCS #7 blob read from a file; a signature is a few kilobytes,
// and the cap keeps a hostile size field from costing memory.
inline constexpr std::uint32_t kMaxSignatureSize = 8u << 20;

// The largest file read whole as a signed message (CryptQueryObject) or as a
// catalog; larger catalogs are skipped. Catalogs of cumulative updates reach
// tens of MiB; such a file is mapped, never copied whole, and decoding one
// costs about three times its size while it lasts.
inline constexpr std::uint64_t kMaxSignedFileSize = 256u << 20;

// Where the certificate table lies in the file (the security directory's
// address is a file offset, not an RVA).
struct CertificateTable {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
};

enum class TableState { kAbsent, kInvalid, kPresent };

// Classifies the security directory: absent (no entry, or zero address or
// size), invalid (pointing outside the file, or starting before the end of
// the headers and of every section's raw data: such a file is not a valid
// signed image), or present with *table filled.
TableState FindCertificateTable(const pe::FileSource& file, const pe::Headers& headers,
                                CertificateTable* table);

// Reads the bCertificate bytes of the FIRST WIN_CERTIFICATE of the table, when
// it is a PKCS #7 SignedData (revision 0x0200, type 2) of sensible size and
// the rest of the table is further WIN_CERTIFICATEs and zero bytes only.
// nullopt otherwise.
std::optional<std::vector<std::uint8_t>> ReadEmbeddedSignature(const pe::FileSource& file,
                                                               const pe::Headers& headers);

// Decodes a DER SignedData from the start of `der`, of at most `max_size`
// bytes. The bytes after the encoding must all be zero (the alignment padding
// of a WIN_CERTIFICATE); anything else, or a message that is not SignedData
// with content, is nullptr.
ossl::Pkcs7Ptr ParseSignedData(std::span<const std::uint8_t> der,
                               std::uint64_t max_size = kMaxSignatureSize);

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
// buffer of at most 1 MiB. nullopt when the certificate table is invalid,
// the headers do not hold the section table, a section's raw data runs past
// the end of the file, or a read fails.
std::optional<std::vector<std::uint8_t>> ComputeImageHash(const pe::FileSource& file,
                                                          const pe::Headers& headers,
                                                          const EVP_MD* md,
                                                          ImageHashOptions options = {});

// The contents octets a SignedData's signers digested: the value of its
// content without the outer tag and length, as PKCS #7 defines for content
// other than plain data. Empty span when the message carries no content.
std::optional<std::span<const std::uint8_t>> SignedContentOctets(PKCS7* p7);

// The digest an Authenticode SpcIndirectDataContent (1.3.6.1.4.1.311.2.1.4)
// carries, and its algorithm.
struct IndirectData {
  const EVP_MD* md = nullptr;
  std::vector<std::uint8_t> digest;
};
// nullopt when the content is not SpcIndirectDataContent or does not decode;
// md is null when the digest algorithm is unknown or refused (MD5 and older).
std::optional<IndirectData> ParseIndirectData(PKCS7* p7);
// The same for an encoded SpcIndirectDataContent (a DER SEQUENCE filling
// `der`), as a catalog entry's SPC_INDIRECT_DATA attribute holds it.
std::optional<IndirectData> DecodeIndirectData(std::span<const std::uint8_t> der);

// The digests a signature or a listed hash may use (SHA-1 and SHA-2); null
// for MD5 and older, and for anything unknown.
const EVP_MD* AcceptedDigest(const ASN1_OBJECT* algorithm);

// What a signer must satisfy besides its signature.
struct SignerPolicy {
  int required_eku_nid = NID_code_sign;  // allowed by every certificate that restricts EKU
};

struct SignerResult {
  ossl::X509Ptr signer;                 // the signer's certificate, when found
  std::optional<std::time_t> timestamp; // the time of a valid countersignature
};

// Verifies the FIRST signer of a SignedData: its certificate is the first of
// the message's certificates with its issuer and serial number, compared as
// CertFindCertificateInStore compares them (else TRUST_E_NO_SIGNER_CERT);
// its authenticated attributes hold exactly one messageDigest and one
// contentType naming the content (CRYPT_E_HASH_VALUE); its signature over
// them verifies (NTE_BAD_SIGNATURE) and the messageDigest equals the digest
// of SignedContentOctets (CRYPT_E_HASH_VALUE); a timestamp (legacy
// countersignature or RFC 3161 token), when present, verifies and its signer
// names the time-stamping usage (TRUST_E_TIME_STAMP); the chain reaches a
// trust anchor at the timestamp's time (now for a lifetime-signing leaf, or
// without a timestamp), with the message's certificates as intermediates;
// every certificate that restricts its extended key usage allows
// policy.required_eku_nid (CERT_E_WRONG_USAGE), and none has an RSA key
// under 1024 bits (TRUST_E_CERT_SIGNATURE). No revocation checks. Returns
// S_OK or the Windows status code.
HRESULT VerifySignedMessage(PKCS7* p7, const SignerPolicy& policy, SignerResult* result);

// Whether a VerifySignedMessage status is a failure of the signature
// itself (no usable signer, a signature or authenticated attribute that does
// not verify, a refused digest algorithm), which WinVerifyTrust reports
// before it compares the subject's hash, in file and in catalog mode alike.
// Every other failure (timestamp, chain, usage, weak key, distrust) is
// reported only when the hash matches: Windows' Authenticode provider checks
// the subject's hash while loading the message (SoftpubLoadMessage), before
// its signer and countersigner step (SoftpubLoadSignature), so a changed
// file reports TRUST_E_BAD_DIGEST however its timestamp fares (Wine's
// dlls/wintrust/softpub.c keeps the same order of steps).
bool FailsBeforeSubjectHash(HRESULT status);

// The process-wide trust anchors: Windows' code-signing roots built in,
// OpenSSL's default locations (SSL_CERT_DIR and SSL_CERT_FILE honoured) and
// EXELORE_CODESIGN_ROOTS_DIR. Built on first use. Directories are searched
// through their hash links; the built-in roots and a bundle file are indexed
// by subject, and only the certificates a chain needs are decoded.
X509_STORE* TrustStore();
// Prepares the store for chaining `leaf` with `intermediates`: decodes from
// the built-in roots and the bundle file the certificates whose subjects the
// chain needs.
void PrepareTrustStore(X509* leaf, STACK_OF(X509) * intermediates);
// Forgets the store, so the next verification reads the environment again.
void ResetTrustStore();

// The contents octets of one DER tag-length-value (definite length, inside
// `tlv`); nullopt otherwise.
std::optional<std::span<const std::uint8_t>> DerContents(std::span<const std::uint8_t> tlv);

// What an OpenSSL i2d function writes for `value`; empty when it fails.
template <typename T, typename Encode>
std::vector<std::uint8_t> Encoded(const T* value, Encode encode) {
  unsigned char* raw = nullptr;
  const int n = encode(value, &raw);
  if (n <= 0) return {};
  ossl::BytesPtr owner(raw);
  return std::vector<std::uint8_t>(raw, raw + n);
}

// The DER of a name; empty when it does not encode.
std::vector<std::uint8_t> NameDer(const X509_NAME* name);
// An INTEGER as Windows keeps it in a CRYPT_INTEGER_BLOB: the two's
// complement contents octets, least significant byte first; empty when it
// does not encode.
std::vector<std::uint8_t> IntegerBlob(const ASN1_INTEGER* value);
// Whether two such blobs hold the same number, as CertCompareIntegerBlob
// decides. Every lookup of a certificate by serial number uses this.
bool IntegerBlobsEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

// Seconds since 1970 of an ASN.1 time; nullopt when it does not decode.
std::optional<std::time_t> ToTimeT(const ASN1_TIME* t);

}  // namespace exelore_posix::authenticode

// PKCS #7 SignedData as Authenticode uses it: decoding a message held to
// DER, the content its signers digested, the SpcIndirectDataContent digest,
// and the name and integer helpers every signature check shares.
#pragma once

#include <windows.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "der.h"
#include "ossl.h"

namespace exelore_posix::authenticode {

// The largest PKCS #7 blob read from a file; a signature is a few kilobytes,
// and the cap keeps a hostile size field from costing memory.
inline constexpr std::uint32_t kMaxSignatureSize = 8u << 20;

// The largest file read whole as a signed message (CryptQueryObject) or as a
// catalog; larger catalogs are skipped. Catalogs of cumulative updates reach
// tens of MiB; such a file is read into memory once (FileContent, never
// mapped), and decoding one costs about three times its size while it lasts.
inline constexpr std::uint64_t kMaxSignedFileSize = 256u << 20;

// Decodes a SignedData from the start of `der`, of at most `max_size`
// bytes, as crypt32 decodes one: what follows the encoding is left alone
// (*used, when given, receives the encoding's length), and the sets no
// signature covers may hold their elements in any order (digestAlgorithms,
// signerInfos, each signer's unauthenticated attributes and their values:
// RFC 5652 sections 5.3 and 5.4; BER does not order a SET OF). Everything
// else must be DER exactly as OpenSSL encodes what it decoded: the decoder
// forgives some tags and lengths that a re-encoding would write otherwise,
// and bytes it forgives are bytes an attacker could change unnoticed.
// nullptr for anything else, or a message that is not SignedData with
// content.
ossl::Pkcs7Ptr DecodeSignedData(std::span<const std::uint8_t> der,
                                std::uint64_t max_size = kMaxSignatureSize,
                                std::size_t* used = nullptr);

// A SignedData decoded without its content: the message as OpenSSL holds
// it, its content's value left empty, and where the content lies in the
// bytes decoded.
struct SignedDataShell {
  ossl::Pkcs7Ptr message;
  // The content's tag-length-value, inside the bytes given; its contents
  // octets are what the signers digested (SignedContentOctets of the whole).
  std::span<const std::uint8_t> content;
};

// The content of the SignedData ContentInfo at the start of `der`
// (ContentInfo { contentType, [0] { SignedData { version,
// digestAlgorithms, encapContentInfo { contentType, [0] { content } }, ...
// } } }), read from the headers before it alone: each element on the way
// lies inside its parent, nothing after the content is read, and no tag is
// checked. nullopt where they do not frame one. So a large file's content
// can be left unread.
std::optional<der::Element> SignedDataContent(std::span<const std::uint8_t> der);

// DecodeSignedData for a message whose content is a SEQUENCE of a type
// OpenSSL's PKCS #7 does not decode itself (a certificate trust list, say),
// without copying or decoding the content: accepts exactly the messages of
// that shape DecodeSignedData accepts (the headers around the content must
// be DER, the content's own a definite length filling its [0]), with the
// same *used. nullopt for anything else, content of another shape included.
// A catalog of tens of MiB so costs the decoding of its certificates and
// signers alone.
std::optional<SignedDataShell> DecodeSignedDataShell(std::span<const std::uint8_t> der,
                                                     std::uint64_t max_size = kMaxSignatureSize,
                                                     std::size_t* used = nullptr);

// A SignedData as WinVerifyTrust takes one: DecodeSignedData, and the bytes
// after the encoding all zero (the alignment padding of a WIN_CERTIFICATE).
// nullptr otherwise.
ossl::Pkcs7Ptr ParseSignedData(std::span<const std::uint8_t> der,
                               std::uint64_t max_size = kMaxSignatureSize);

// DecodeSignedData for an embedded signature, which one thread decodes
// twice in a row for one file: CryptQueryObject to read its signer, then
// WinVerifyTrust to check it. Each thread keeps the last message decoded
// here with a copy of its bytes, and hands the same message out again for
// bytes equal to those, compared byte for byte; other bytes are decoded
// afresh and take its place. Holders share the message and only read it.
// nullptr as DecodeSignedData, and nothing is kept then.
std::shared_ptr<PKCS7> DecodeSignedDataShared(std::span<const std::uint8_t> der,
                                              std::size_t* used = nullptr);
// ParseSignedData through the same per-thread message.
std::shared_ptr<PKCS7> ParseSignedDataShared(std::span<const std::uint8_t> der);

// Whether the authenticated attributes of the SignerInfo encoded in
// `signer_info` are `attributes` in DER, in order; true when it has none
// and `attributes` is empty.
bool SignedAttributesAreDer(std::span<const std::uint8_t> signer_info,
                            const std::vector<X509_ATTRIBUTE*>& attributes);

// The attributes of `stack`, in order.
std::vector<X509_ATTRIBUTE*> AttributeList(const STACK_OF(X509_ATTRIBUTE) * stack);

// The encoding of the first SignerInfo of the SignedData ContentInfo
// encoded in `der` (PKCS #7 or CMS); nullopt when the framing is not
// definite-length tag-length-values.
std::optional<std::span<const std::uint8_t>> FirstSignerInfoDer(std::span<const std::uint8_t> der);

// The contents octets a SignedData's signers digested: the value of its
// content without the outer tag and length, as PKCS #7 defines for content
// other than plain data. Empty span when the message carries no content.
std::optional<std::span<const std::uint8_t>> SignedContentOctets(PKCS7* p7);

// Defined in indirect_data.cpp.
// SPC_INDIRECT_DATA_OBJID (1.3.6.1.4.1.311.2.1.4): the content type of an
// Authenticode signature, and the attribute of a catalog entry.
const ASN1_OBJECT* SpcIndirectDataOid();

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

// An instant as a timestamp gives it: whole seconds since 1970, and whether
// a fraction of a second follows them (a GeneralizedTime may carry one, as
// a TSTInfo's genTime does; certificate validity never does, RFC 5280
// section 4.1.2.5.2).
struct Instant {
  std::time_t seconds = 0;
  bool past_second = false;
};
// The instant of an ASN.1 time; nullopt when it does not decode.
std::optional<Instant> ToInstant(const ASN1_TIME* t);

}  // namespace exelore_posix::authenticode

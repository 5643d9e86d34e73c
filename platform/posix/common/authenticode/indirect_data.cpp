// Authenticode's SpcIndirectDataContent: the digest a signature or a
// catalog entry lists for its subject, and the digests accepted there.
#include <openssl/asn1t.h>
#include <openssl/objects.h>

#include "signed_data.h"

namespace exelore_posix::authenticode {
namespace {

// SpcIndirectDataContent ::= SEQUENCE {
//   data           SpcAttributeTypeAndOptionalValue,
//   messageDigest  DigestInfo }
// SpcAttributeTypeAndOptionalValue ::= SEQUENCE { type OID, value ANY OPTIONAL }
// DigestInfo ::= SEQUENCE { AlgorithmIdentifier, OCTET STRING }
struct SpcAttributeTypeAndOptionalValue {
  ASN1_OBJECT* type;
  ASN1_TYPE* value;
};
struct SpcDigestInfo {
  X509_ALGOR* digest_algorithm;
  ASN1_OCTET_STRING* digest;
};
struct SpcIndirectDataContent {
  SpcAttributeTypeAndOptionalValue* data;
  SpcDigestInfo* message_digest;
};

}  // namespace

// OpenSSL's template macros, laid out as its own sources lay them out.
// clang-format off
ASN1_SEQUENCE(SpcAttributeTypeAndOptionalValue) = {
    ASN1_SIMPLE(SpcAttributeTypeAndOptionalValue, type, ASN1_OBJECT),
    ASN1_OPT(SpcAttributeTypeAndOptionalValue, value, ASN1_ANY),
} ASN1_SEQUENCE_END(SpcAttributeTypeAndOptionalValue)

ASN1_SEQUENCE(SpcDigestInfo) = {
    ASN1_SIMPLE(SpcDigestInfo, digest_algorithm, X509_ALGOR),
    ASN1_SIMPLE(SpcDigestInfo, digest, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SpcDigestInfo)

ASN1_SEQUENCE(SpcIndirectDataContent) = {
    ASN1_SIMPLE(SpcIndirectDataContent, data, SpcAttributeTypeAndOptionalValue),
    ASN1_SIMPLE(SpcIndirectDataContent, message_digest, SpcDigestInfo),
} ASN1_SEQUENCE_END(SpcIndirectDataContent)
// clang-format on

namespace {

using IndirectDataPtr = ossl::ItemPtr<SpcIndirectDataContent, SpcIndirectDataContent_it>;
}  // namespace

const EVP_MD* AcceptedDigest(const ASN1_OBJECT* algorithm) {
  switch (OBJ_obj2nid(algorithm)) {
    case NID_sha1:
      return EVP_sha1();
    case NID_sha256:
      return EVP_sha256();
    case NID_sha384:
      return EVP_sha384();
    case NID_sha512:
      return EVP_sha512();
    default:
      return nullptr;
  }
}

const ASN1_OBJECT* SpcIndirectDataOid() {
  static const ASN1_OBJECT* const oid = OBJ_txt2obj("1.3.6.1.4.1.311.2.1.4", 1);
  return oid;
}

std::optional<IndirectData> ParseIndirectData(PKCS7* p7) {
  if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) {
    return std::nullopt;
  }
  PKCS7* content = p7->d.sign->contents;
  if (content->type == nullptr || OBJ_cmp(content->type, SpcIndirectDataOid()) != 0) {
    return std::nullopt;
  }
  if (!PKCS7_type_is_other(content) || content->d.other == nullptr ||
      content->d.other->type != V_ASN1_SEQUENCE) {
    return std::nullopt;
  }
  const ASN1_STRING* seq = content->d.other->value.sequence;
  return DecodeIndirectData(
      std::span<const std::uint8_t>(seq->data, static_cast<std::size_t>(seq->length)));
}

std::optional<IndirectData> DecodeIndirectData(std::span<const std::uint8_t> der) {
  const unsigned char* p = der.data();
  IndirectDataPtr parsed(reinterpret_cast<SpcIndirectDataContent*>(ASN1_item_d2i(
      nullptr, &p, static_cast<long>(der.size()), ASN1_ITEM_rptr(SpcIndirectDataContent))));
  if (!parsed) return std::nullopt;
  IndirectData out;
  out.md = AcceptedDigest(parsed->message_digest->digest_algorithm->algorithm);
  const ASN1_OCTET_STRING* digest = parsed->message_digest->digest;
  out.digest.assign(digest->data, digest->data + digest->length);
  return out;
}

}  // namespace exelore_posix::authenticode

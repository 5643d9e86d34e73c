#include "signed_data.h"

#include <openssl/asn1t.h>
#include <openssl/objects.h>

#include <algorithm>

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

void FreeIndirectData(SpcIndirectDataContent* p) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(p), ASN1_ITEM_rptr(SpcIndirectDataContent));
}
using IndirectDataPtr = std::unique_ptr<SpcIndirectDataContent, ossl::Free<FreeIndirectData>>;
// Whether `der` is exactly the DER `encode` writes for what was decoded from
// it: the decoder forgives some tags and lengths that a re-encoding would
// write differently, and bytes it forgives are bytes an attacker could change
// without the signature noticing.
template <typename T, typename Encode>
bool IsDer(std::span<const std::uint8_t> der, T* decoded, Encode encode) {
  const std::vector<std::uint8_t> again = Encoded(decoded, encode);
  return !again.empty() && std::equal(again.begin(), again.end(), der.begin(), der.end());
}

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

std::optional<std::span<const std::uint8_t>> DerContents(std::span<const std::uint8_t> tlv) {
  const unsigned char* p = tlv.data();
  long length = 0;
  int tag = 0;
  int cls = 0;
  const int r = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(tlv.size()));
  if ((r & 0x80) != 0 || r == (V_ASN1_CONSTRUCTED | 1)) return std::nullopt;  // error / indefinite
  const auto header = static_cast<std::size_t>(p - tlv.data());
  if (length < 0 || static_cast<std::size_t>(length) > tlv.size() - header) return std::nullopt;
  return tlv.subspan(header, static_cast<std::size_t>(length));
}

std::vector<std::uint8_t> NameDer(const X509_NAME* name) { return Encoded(name, i2d_X509_NAME); }

std::vector<std::uint8_t> IntegerBlob(const ASN1_INTEGER* value) {
  const std::vector<std::uint8_t> der = Encoded(value, i2d_ASN1_INTEGER);
  const auto contents = DerContents(der);
  if (!contents) return {};
  return std::vector<std::uint8_t>(contents->rbegin(), contents->rend());
}

namespace {

// CertCompareIntegerBlob: leading zero bytes of a positive number and
// leading 0xFF bytes of a negative one do not count (Microsoft's page for
// CertCompareIntegerBlob). The blobs are little-endian, so "leading" is the
// end. So 00 80 01 and 80 01 compare equal, as they do on Windows.
std::span<const std::uint8_t> SignificantBytes(std::span<const std::uint8_t> blob) {
  std::size_t n = blob.size();
  if (n > 0 && (blob[n - 1] & 0x80) != 0) {
    while (n > 1 && blob[n - 1] == 0xFF && (blob[n - 2] & 0x80) != 0) --n;
  } else {
    while (n > 0 && blob[n - 1] == 0x00) --n;
  }
  return blob.first(n);
}

}  // namespace

bool IntegerBlobsEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  const auto x = SignificantBytes(a);
  const auto y = SignificantBytes(b);
  return std::equal(x.begin(), x.end(), y.begin(), y.end());
}

ossl::Pkcs7Ptr ParseSignedData(std::span<const std::uint8_t> der, std::uint64_t max_size) {
  if (der.empty() || der.size() > max_size) return nullptr;
  const unsigned char* p = der.data();
  ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  if (!p7) return nullptr;
  const auto used = static_cast<std::size_t>(p - der.data());
  if (!std::all_of(der.begin() + static_cast<std::ptrdiff_t>(used), der.end(),
                   [](std::uint8_t b) { return b == 0; })) {
    return nullptr;
  }
  if (!PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) {
    return nullptr;
  }
  if (!IsDer(der.first(used), p7.get(), i2d_PKCS7)) return nullptr;
  return p7;
}

std::optional<std::span<const std::uint8_t>> SignedContentOctets(PKCS7* p7) {
  if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) {
    return std::nullopt;
  }
  PKCS7* content = p7->d.sign->contents;
  if (PKCS7_type_is_data(content)) {
    if (content->d.data == nullptr) return std::span<const std::uint8_t>();
    return std::span<const std::uint8_t>(content->d.data->data,
                                         static_cast<std::size_t>(content->d.data->length));
  }
  if (PKCS7_type_is_other(content)) {
    const ASN1_TYPE* other = content->d.other;
    if (other == nullptr) return std::span<const std::uint8_t>();
    if (other->type == V_ASN1_OCTET_STRING) {
      return std::span<const std::uint8_t>(
          other->value.octet_string->data,
          static_cast<std::size_t>(other->value.octet_string->length));
    }
    if (other->type == V_ASN1_SEQUENCE) {
      return DerContents(std::span<const std::uint8_t>(
          other->value.sequence->data, static_cast<std::size_t>(other->value.sequence->length)));
    }
  }
  return std::nullopt;
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

std::optional<std::time_t> ToTimeT(const ASN1_TIME* t) {
  std::tm tm{};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return std::nullopt;
  return ::timegm(&tm);
}

}  // namespace exelore_posix::authenticode

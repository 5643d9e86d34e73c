#include "authenticode.h"

#include <fcntl.h>
#include <openssl/asn1t.h>
#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/ts.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>

#include "registry_stores.h"

namespace exelore_posix::authenticode {
namespace {

constexpr std::uint16_t kWinCertRevision2 = 0x0200;
constexpr std::uint16_t kWinCertTypePkcsSignedData = 0x0002;
constexpr std::size_t kWinCertHeader = 8;
constexpr std::size_t kHashBuffer = 1u << 20;
constexpr int kMaxChainDepth = 10;
// A bundle file larger than this is not indexed (the system bundle is ~200 KB).
constexpr std::uint64_t kMaxBundleSize = 16u << 20;

// SpcIndirectDataContent ::= SEQUENCE {
//   data           SpcAttributeTypeAndOptionalValue,  -- SEQUENCE { type OID, value ANY OPTIONAL }
//   messageDigest  DigestInfo }                       -- SEQUENCE { AlgorithmIdentifier, OCTET STRING }
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

namespace {

void FreeIndirectData(SpcIndirectDataContent* p) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(p), ASN1_ITEM_rptr(SpcIndirectDataContent));
}
using IndirectDataPtr = std::unique_ptr<SpcIndirectDataContent, ossl::Free<FreeIndirectData>>;
void FreeSignerInfo(PKCS7_SIGNER_INFO* p) { PKCS7_SIGNER_INFO_free(p); }
using SignerInfoPtr = std::unique_ptr<PKCS7_SIGNER_INFO, ossl::Free<FreeSignerInfo>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, ossl::Free<TS_TST_INFO_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, ossl::Free<CMS_ContentInfo_free>>;
void FreeObject(X509_OBJECT* p) { X509_OBJECT_free(p); }
using ObjectPtr = std::unique_ptr<X509_OBJECT, ossl::Free<FreeObject>>;

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
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

namespace {

// Digests `data` through an OpenSSL digest BIO, which PKCS7_signatureVerify
// takes as the content's digest.
ossl::BioPtr DigestBio(const EVP_MD* md, std::span<const std::uint8_t> data) {
  ossl::BioPtr mem(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
  ossl::BioPtr digest(BIO_new(BIO_f_md()));
  if (!mem || !digest || BIO_set_md(digest.get(), md) != 1) return nullptr;
  BIO_push(digest.get(), mem.release());
  unsigned char sink[4096];
  while (BIO_read(digest.get(), sink, sizeof sink) > 0) {
  }
  return digest;
}

HRESULT ChainError(int error) {
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return CERT_E_EXPIRED;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return CERT_E_UNTRUSTEDROOT;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
      return CERT_E_CHAINING;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return TRUST_E_CERT_SIGNATURE;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
      return TRUST_E_BASIC_CONSTRAINTS;
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
      return CERT_E_CRITICAL;
    case X509_V_ERR_INVALID_PURPOSE:
      return CERT_E_WRONG_USAGE;
    default:
      return CERT_E_CHAINING;
  }
}

std::uint32_t EkuFlagFor(int nid) {
  switch (nid) {
    case NID_code_sign:
      return XKU_CODE_SIGN;
    case NID_time_stamp:
      return XKU_TIMESTAMP;
    default:
      return 0;
  }
}

// Whether `cert` lists `usage` in its extended key usage extension.
bool ListsUsage(X509* cert, const ASN1_OBJECT* usage) {
  ossl::UsagesPtr usages(
      static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr)));
  for (int i = 0; usages && i < sk_ASN1_OBJECT_num(usages.get()); ++i) {
    if (OBJ_cmp(sk_ASN1_OBJECT_value(usages.get(), i), usage) == 0) return true;
  }
  return false;
}

// Microsoft's lifetime-signing usage (szOID_KP_LIFETIME_SIGNING): a
// signature by such a certificate ends with the certificate, timestamp or
// not ("Timestamp Processing with Lifetime Signing Semantics" in Microsoft's
// Authenticode PE format document).
const ASN1_OBJECT* LifetimeSigning() {
  static const ASN1_OBJECT* const oid = OBJ_txt2obj("1.3.6.1.4.1.311.10.3.13", 1);
  return oid;
}

// Windows' root store makes a certificate an anchor whatever its extensions
// (Microsoft Root Authority of 1997 has neither basicConstraints nor
// keyUsage), where OpenSSL asks every issuer to be a CA. Forgive that only
// for the anchor itself, the last certificate of the chain and one taken
// from the trust store: an intermediate that is not a CA stays refused.
int ForgiveAnchorExtensions(int ok, X509_STORE_CTX* ctx) {
  if (ok == 1) return ok;
  const int error = X509_STORE_CTX_get_error(ctx);
  if (error != X509_V_ERR_INVALID_CA && error != X509_V_ERR_KEYUSAGE_NO_CERTSIGN) return ok;
  const int depth = X509_STORE_CTX_get_error_depth(ctx);
  const int anchor = sk_X509_num(X509_STORE_CTX_get0_chain(ctx)) - 1;
  return depth == anchor && depth >= X509_STORE_CTX_get_num_untrusted(ctx) ? 1 : ok;
}

// Windows' chain engine refuses RSA keys shorter than 1024 bits (Microsoft
// Security Advisory 2661254), anchors included.
constexpr int kMinRsaBits = 1024;
bool WeakKey(X509* cert) {
  EVP_PKEY* key = X509_get0_pubkey(cert);
  if (key == nullptr) return true;
  const int type = EVP_PKEY_get_base_id(key);
  return (type == EVP_PKEY_RSA || type == EVP_PKEY_RSA_PSS) && EVP_PKEY_get_bits(key) < kMinRsaBits;
}

// Builds and checks the chain of `leaf` at `at` (or now).
// With a Windows volume (registry_stores.h), its CA stores add
// intermediates, and a certificate of its Disallowed stores anywhere in the
// chain, built or not, is TRUST_E_EXPLICIT_DISTRUST before anything else.
HRESULT VerifyChain(X509* leaf, STACK_OF(X509) * intermediates, std::optional<std::time_t> at,
                    int eku_nid) {
  const registry::MachineStores* volume = registry::Volume();
  ossl::X509StackViewPtr with_volume;
  if (volume != nullptr) {
    with_volume = volume->WithIntermediates(intermediates);
    if (!with_volume) return TRUST_E_SYSTEM_ERROR;
    intermediates = with_volume.get();
  }
  PrepareTrustStore(leaf, intermediates);
  ossl::StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), TrustStore(), leaf, intermediates) != 1) {
    return TRUST_E_SYSTEM_ERROR;
  }
  X509_STORE_CTX_set_verify_cb(ctx.get(), ForgiveAnchorExtensions);
  if (at) X509_STORE_CTX_set_time(ctx.get(), 0, *at);
  const bool built = X509_verify_cert(ctx.get()) == 1;
  if (volume != nullptr) {
    ossl::X509StackViewPtr leaf_only(sk_X509_new_null());
    if (!leaf_only || sk_X509_push(leaf_only.get(), leaf) <= 0) return TRUST_E_SYSTEM_ERROR;
    for (STACK_OF(X509)* certs : {leaf_only.get(), X509_STORE_CTX_get0_chain(ctx.get())}) {
      if (const HRESULT hr = volume->CheckDistrust(certs); hr != S_OK) return hr;
    }
  }
  if (!built) return ChainError(X509_STORE_CTX_get_error(ctx.get()));
  // Windows checks usage along the whole chain: a certificate that lists
  // extended key usages must list the one asked for.
  const std::uint32_t wanted = EkuFlagFor(eku_nid);
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    X509* cert = sk_X509_value(chain, i);
    const std::uint32_t flags = X509_get_extension_flags(cert);
    if ((flags & EXFLAG_INVALID) != 0) return CERT_E_MALFORMED;
    if ((flags & EXFLAG_XKUSAGE) != 0 && (X509_get_extended_key_usage(cert) & wanted) == 0) {
      return CERT_E_WRONG_USAGE;
    }
    if (WeakKey(cert)) return TRUST_E_CERT_SIGNATURE;
  }
  return volume != nullptr ? volume->CheckUsage(chain, eku_nid) : S_OK;
}

// The authenticated attributes of a SignerInfo. They must be there, with
// exactly one messageDigest and at most one contentType attribute, each of
// one value (RFC 5652 sections 5.3, 11.1 and 11.2). Authenticode requires
// contentType and messageDigest (Microsoft's [MS-OSHARED] 2.3.2.4.2, which
// makes SpcSpOpusInfo optional): `content_type` is the type the contentType
// must name. A countersignature (null `content_type`) has no content type of
// its own: RFC 5652 section 11.4 leaves the attribute out, and the legacy
// Authenticode timestamps of Microsoft's and other services name id-data.
HRESULT CheckSignedAttributes(const std::vector<X509_ATTRIBUTE*>& attributes,
                              const ASN1_OBJECT* content_type) {
  int digests = 0;
  int types = 0;
  const ASN1_TYPE* type = nullptr;
  for (X509_ATTRIBUTE* attribute : attributes) {
    const int nid = OBJ_obj2nid(X509_ATTRIBUTE_get0_object(attribute));
    if (nid == NID_pkcs9_messageDigest) {
      if (++digests > 1 || X509_ATTRIBUTE_count(attribute) != 1) return CRYPT_E_HASH_VALUE;
    } else if (nid == NID_pkcs9_contentType) {
      if (++types > 1 || X509_ATTRIBUTE_count(attribute) != 1) return CRYPT_E_HASH_VALUE;
      type = X509_ATTRIBUTE_get0_type(attribute, 0);
      if (type == nullptr || type->type != V_ASN1_OBJECT) return CRYPT_E_HASH_VALUE;
    }
  }
  if (digests != 1) return CRYPT_E_HASH_VALUE;
  if (content_type != nullptr) {
    return type != nullptr && OBJ_cmp(type->value.object, content_type) == 0 ? S_OK
                                                                              : CRYPT_E_HASH_VALUE;
  }
  return type == nullptr || OBJ_obj2nid(type->value.object) == NID_pkcs7_data ? S_OK
                                                                              : CRYPT_E_HASH_VALUE;
}

std::vector<X509_ATTRIBUTE*> Attributes(STACK_OF(X509_ATTRIBUTE) * stack) {
  std::vector<X509_ATTRIBUTE*> out;
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(stack); ++i) out.push_back(sk_X509_ATTRIBUTE_value(stack, i));
  return out;
}

// The certificate a signer names by issuer and serial number: the first of
// `certs`, in the order the message lists them, whose issuer is byte for byte
// `issuer` (CertCompareCertificateName) and whose serial number equals
// `serial` as CertCompareIntegerBlob compares them. CertFindCertificateInStore
// over the message's store compares and orders the same way, so the
// certificate named as the signer is the one whose key is checked.
X509* FindSignerCertificate(STACK_OF(X509) * certs, const X509_NAME* issuer,
                            const ASN1_INTEGER* serial) {
  if (issuer == nullptr || serial == nullptr) return nullptr;
  const std::vector<std::uint8_t> wanted_issuer = NameDer(issuer);
  const std::vector<std::uint8_t> wanted_serial = IntegerBlob(serial);
  if (wanted_issuer.empty() || wanted_serial.empty()) return nullptr;
  X509* found = nullptr;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    X509* cert = sk_X509_value(certs, i);
    if (!IntegerBlobsEqual(IntegerBlob(X509_get0_serialNumber(cert)), wanted_serial)) continue;
    const bool exact = NameDer(X509_get_issuer_name(cert)) == wanted_issuer;
    if (exact && found == nullptr) found = cert;
    // A certificate whose issuer differs only in what OpenSSL's name
    // comparison ignores (letter case, spacing, string types) would be
    // taken for the signer's by a chain builder or another verifier: with
    // two such candidates the signer's identity is ambiguous, so refuse
    // rather than pick.
    if (!exact && X509_NAME_cmp(X509_get_issuer_name(cert), issuer) == 0) return nullptr;
  }
  return found;
}

X509* FindSignerCertificate(STACK_OF(X509) * certs, const PKCS7_ISSUER_AND_SERIAL* ias) {
  if (ias == nullptr) return nullptr;
  return FindSignerCertificate(certs, ias->issuer, ias->serial);
}

// The signature algorithm a signer names must fit its key and digest: a bare
// key algorithm (rsaEncryption, id-ecPublicKey) or a signature algorithm
// with the signer's digest.
bool SignatureAlgorithmFits(const PKCS7_SIGNER_INFO* si, X509* signer) {
  const int digest = OBJ_obj2nid(si->digest_alg->algorithm);
  const int named = OBJ_obj2nid(si->digest_enc_alg->algorithm);
  // A damaged certificate may carry a key that does not decode.
  EVP_PKEY* public_key = X509_get0_pubkey(signer);
  if (public_key == nullptr) return false;
  const int key = EVP_PKEY_get_base_id(public_key);
  int named_digest = NID_undef;
  int named_key = NID_undef;
  if (named == NID_rsaEncryption || named == NID_X9_62_id_ecPublicKey) {
    named_key = named;
    named_digest = digest;
  } else if (OBJ_find_sigid_algs(named, &named_digest, &named_key) != 1) {
    return false;
  }
  const bool key_fits = (named_key == NID_rsaEncryption && key == EVP_PKEY_RSA) ||
                        (named_key == NID_X9_62_id_ecPublicKey && key == EVP_PKEY_EC);
  return key_fits && named_digest == digest;
}

// Checks signer `si` of `p7` over `content` with certificate `signer`;
// `content_type` as for CheckSignedAttributes.
HRESULT VerifySignerSignature(PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* signer,
                              std::span<const std::uint8_t> content,
                              const ASN1_OBJECT* content_type) {
  const EVP_MD* md = AcceptedDigest(si->digest_alg->algorithm);
  if (md == nullptr) return NTE_BAD_ALGID;
  if (!SignatureAlgorithmFits(si, signer)) return NTE_BAD_ALGID;
  if (const HRESULT hr = CheckSignedAttributes(Attributes(si->auth_attr), content_type); hr != S_OK) {
    return hr;
  }
  ossl::BioPtr bio = DigestBio(md, content);
  if (!bio) return TRUST_E_SYSTEM_ERROR;
  if (PKCS7_signatureVerify(bio.get(), p7, si, signer) == 1) return S_OK;
  const unsigned long error = ERR_peek_last_error();
  ERR_clear_error();
  return ERR_GET_REASON(error) == PKCS7_R_DIGEST_FAILURE ? CRYPT_E_HASH_VALUE : NTE_BAD_SIGNATURE;
}

// Whether `der` is exactly the DER `encode` writes for what was decoded from
// it: the decoder forgives some tags and lengths that a re-encoding would
// write differently, and bytes it forgives are bytes an attacker could change
// without the signature noticing.
template <typename T, typename Encode>
bool IsDer(std::span<const std::uint8_t> der, T* decoded, Encode encode) {
  const std::vector<std::uint8_t> again = Encoded(decoded, encode);
  return !again.empty() && std::equal(again.begin(), again.end(), der.begin(), der.end());
}

// The time of an RFC 3161 timestamp (1.3.6.1.4.1.311.3.3.1) over the signer's
// signature `signed_digest`, when it verifies. Decoded as CMS: the token's
// certificate set may hold certificate choices other than X.509
// certificates (Microsoft's service adds an attribute certificate), which
// the PKCS #7 decoder refuses and CMS keeps apart from the certificates.
std::optional<std::time_t> VerifyRfc3161(const ASN1_TYPE* value,
                                         std::span<const std::uint8_t> signed_digest,
                                         HRESULT* chain_status) {
  if (value == nullptr || value->type != V_ASN1_SEQUENCE) return std::nullopt;
  const std::span<const std::uint8_t> der(value->value.sequence->data,
                                          static_cast<std::size_t>(value->value.sequence->length));
  const unsigned char* p = der.data();
  CmsPtr token(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
  // Not held to DER as a whole: CMS writes the certificate set sorted, as
  // DER's SET OF asks, and real tokens do not sort theirs. The set is not
  // signed; what is, the signature checks below.
  if (!token || p != der.data() + der.size()) return std::nullopt;
  if (OBJ_obj2nid(CMS_get0_type(token.get())) != NID_pkcs7_signed ||
      OBJ_obj2nid(CMS_get0_eContentType(token.get())) != NID_id_smime_ct_TSTInfo) {
    return std::nullopt;
  }
  ASN1_OCTET_STRING** content = CMS_get0_content(token.get());
  if (content == nullptr || *content == nullptr) return std::nullopt;
  const std::span<const std::uint8_t> tst(ASN1_STRING_get0_data(*content),
                                          static_cast<std::size_t>(ASN1_STRING_length(*content)));
  const unsigned char* q = tst.data();
  TstInfoPtr info(d2i_TS_TST_INFO(nullptr, &q, static_cast<long>(tst.size())));
  if (!info) return std::nullopt;
  TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
  const EVP_MD* imprint_md = AcceptedDigest(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
  const ASN1_OCTET_STRING* expected = TS_MSG_IMPRINT_get_msg(imprint);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  if (imprint_md == nullptr ||
      EVP_Digest(signed_digest.data(), signed_digest.size(), digest, &digest_len, imprint_md,
                 nullptr) != 1 ||
      static_cast<int>(digest_len) != ASN1_STRING_length(expected) ||
      CRYPTO_memcmp(digest, ASN1_STRING_get0_data(expected), digest_len) != 0) {
    return std::nullopt;
  }
  const auto when = ToTimeT(TS_TST_INFO_get_time(info.get()));
  if (!when) return std::nullopt;

  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(token.get());
  if (sk_CMS_SignerInfo_num(signers) < 1) return std::nullopt;
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, 0);
  ossl::X509StackPtr certs(CMS_get1_certs(token.get()));
  ASN1_OCTET_STRING* key_id = nullptr;
  X509_NAME* issuer = nullptr;
  ASN1_INTEGER* serial = nullptr;
  if (CMS_SignerInfo_get0_signer_id(si, &key_id, &issuer, &serial) != 1) return std::nullopt;
  X509* tsa = nullptr;
  if (issuer != nullptr) {
    tsa = FindSignerCertificate(certs.get(), issuer, serial);
  } else {
    for (int i = 0; tsa == nullptr && i < sk_X509_num(certs.get()); ++i) {
      if (CMS_SignerInfo_cert_cmp(si, sk_X509_value(certs.get(), i)) == 0) tsa = sk_X509_value(certs.get(), i);
    }
  }
  if (tsa == nullptr) return std::nullopt;
  X509_ALGOR* digest_alg = nullptr;
  CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest_alg, nullptr);
  const EVP_MD* md = digest_alg != nullptr ? AcceptedDigest(digest_alg->algorithm) : nullptr;
  if (md == nullptr) return std::nullopt;
  std::vector<X509_ATTRIBUTE*> attributes;
  for (int i = 0; i < CMS_signed_get_attr_count(si); ++i) attributes.push_back(CMS_signed_get_attr(si, i));
  if (CheckSignedAttributes(attributes, CMS_get0_eContentType(token.get())) != S_OK) {
    return std::nullopt;
  }
  CMS_SignerInfo_set1_signer_cert(si, tsa);
  // The content is digested with every algorithm the token announces, as
  // CMS_verify does; the signer's must be one of them.
  ossl::BioPtr digests(CMS_dataInit(token.get(), nullptr));
  if (!digests) return std::nullopt;
  unsigned char sink[4096];
  while (BIO_read(digests.get(), sink, sizeof sink) > 0) {
  }
  if (CMS_SignerInfo_verify(si) != 1 || CMS_SignerInfo_verify_content(si, digests.get()) != 1) {
    return std::nullopt;
  }
  // The TSA's certificate names the time-stamping usage (RFC 3161 section
  // 2.3); one without any extended key usage is not a TSA.
  if (!ListsUsage(tsa, OBJ_nid2obj(NID_time_stamp))) return std::nullopt;
  *chain_status = VerifyChain(tsa, certs.get(), *when, NID_time_stamp);
  if (*chain_status != S_OK) return std::nullopt;
  return when;
}

// The time of a PKCS #9 countersignature (1.2.840.113549.1.9.6) over the
// signer's signature, when it verifies; its certificate is among `p7`'s.
// Its signer must name the time-stamping usage too: Microsoft's and the
// other legacy services' certificates do, and a certificate without it is
// not one a timestamp can rest on.
std::optional<std::time_t> VerifyCountersignature(PKCS7* p7, const ASN1_TYPE* value,
                                                  std::span<const std::uint8_t> signed_digest,
                                                  HRESULT* chain_status) {
  if (value == nullptr || value->type != V_ASN1_SEQUENCE) return std::nullopt;
  const unsigned char* p = value->value.sequence->data;
  SignerInfoPtr counter(d2i_PKCS7_SIGNER_INFO(nullptr, &p, value->value.sequence->length));
  if (!counter) return std::nullopt;
  const ASN1_TYPE* signing_time = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
  if (signing_time == nullptr ||
      (signing_time->type != V_ASN1_UTCTIME && signing_time->type != V_ASN1_GENERALIZEDTIME)) {
    return std::nullopt;
  }
  const auto when = ToTimeT(signing_time->value.utctime);
  if (!when) return std::nullopt;
  X509* tsa = FindSignerCertificate(p7->d.sign->cert, counter->issuer_and_serial);
  if (tsa == nullptr) return std::nullopt;
  if (VerifySignerSignature(p7, counter.get(), tsa, signed_digest, nullptr) != S_OK) return std::nullopt;
  if (!ListsUsage(tsa, OBJ_nid2obj(NID_time_stamp))) return std::nullopt;
  *chain_status = VerifyChain(tsa, p7->d.sign->cert, *when, NID_time_stamp);
  if (*chain_status != S_OK) return std::nullopt;
  return when;
}

// --- Trust anchors -----------------------------------------------------------

// A PEM bundle read once, indexed by the DER of each certificate's subject.
// Only certificates a chain asks for are decoded as X.509.
class BundleIndex {
 public:
  // A bundle file, read on first use.
  explicit BundleIndex(std::string path) : path_(std::move(path)) {}
  // PEM text held in memory for the process's life.
  static BundleIndex FromText(std::string_view text) {
    BundleIndex index({});
    index.loaded_ = true;
    index.Index(text);
    return index;
  }

  // Adds to `store` every bundle certificate whose subject is `name`;
  // returns the first one added or found.
  X509* Resolve(X509_STORE* store, const X509_NAME* name) {
    Load();
    const std::vector<std::uint8_t> wanted = NameDer(name);
    if (wanted.empty()) return nullptr;
    X509* first = nullptr;
    for (Entry& e : entries_) {
      const auto subject = std::span<const std::uint8_t>(e.der).subspan(e.subject_at, e.subject_len);
      if (!std::equal(subject.begin(), subject.end(), wanted.begin(), wanted.end())) continue;
      if (!e.decoded) {
        const unsigned char* p = e.der.data();
        e.decoded.reset(d2i_X509(nullptr, &p, static_cast<long>(e.der.size())));
        if (e.decoded) X509_STORE_add_cert(store, e.decoded.get());
      }
      if (e.decoded && first == nullptr) first = e.decoded.get();
    }
    return first;
  }

 private:
  struct Entry {
    std::vector<std::uint8_t> der;
    std::size_t subject_at = 0;
    std::size_t subject_len = 0;
    ossl::X509Ptr decoded;
  };

  void Load() {
    if (loaded_) return;
    loaded_ = true;
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
    in.seekg(0, std::ios::end);
    const auto size = in.tellg();
    if (size <= 0 || static_cast<std::uint64_t>(size) > kMaxBundleSize) return;
    in.seekg(0);
    std::string text(static_cast<std::size_t>(size), '\0');
    if (!in.read(text.data(), size)) return;
    Index(text);
  }

  void Index(std::string_view text) {
    static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    std::size_t at = 0;
    while ((at = text.find(kBegin, at)) != std::string::npos) {
      const std::size_t body = at + kBegin.size();
      const std::size_t end = text.find(kEnd, body);
      if (end == std::string::npos) break;
      at = end + kEnd.size();
      Entry e;
      if (DecodeBase64(text.substr(body, end - body), &e.der) &&
          LocateSubject(e.der, &e.subject_at, &e.subject_len)) {
        entries_.push_back(std::move(e));
      }
    }
  }

  static bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>* out) {
    std::string compact;
    compact.reserve(text.size());
    for (const char c : text) {
      if (c != '\n' && c != '\r' && c != ' ' && c != '\t') compact.push_back(c);
    }
    if (compact.empty() || compact.size() % 4 != 0) return false;
    out->resize(compact.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out->data(), reinterpret_cast<const unsigned char*>(compact.data()),
                                  static_cast<int>(compact.size()));
    if (n < 0) return false;
    std::size_t len = static_cast<std::size_t>(n);
    // EVP_DecodeBlock counts the bytes the '=' padding stands for.
    if (compact.ends_with("==")) {
      len -= 2;
    } else if (compact.ends_with("=")) {
      len -= 1;
    }
    out->resize(len);
    return true;
  }

  // Finds the subject Name inside a certificate's DER:
  // Certificate { TBSCertificate { [0] version OPTIONAL, serial, signature,
  // issuer, validity, subject, ... }, ... }.
  static bool LocateSubject(std::span<const std::uint8_t> der, std::size_t* at, std::size_t* len) {
    const auto certificate = DerContents(der);
    if (!certificate) return false;
    const auto tbs = DerContents(*certificate);
    if (!tbs) return false;
    std::size_t offset = static_cast<std::size_t>(tbs->data() - der.data());
    const std::size_t end = offset + tbs->size();
    for (int field = 0; field < 6 && offset < end; ++field) {
      const unsigned char* p = der.data() + offset;
      long length = 0;
      int tag = 0;
      int cls = 0;
      const int r = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(end - offset));
      if ((r & 0x80) != 0 || length < 0) return false;
      const std::size_t header = static_cast<std::size_t>(p - (der.data() + offset));
      if (static_cast<std::size_t>(length) > end - offset - header) return false;
      const std::size_t whole = header + static_cast<std::size_t>(length);
      if (field == 0 && cls != V_ASN1_CONTEXT_SPECIFIC) ++field;  // no version field
      if (field == 5) {
        *at = offset;
        *len = whole;
        return true;
      }
      offset += whole;
    }
    return false;
  }

  std::string path_;
  bool loaded_ = false;
  std::vector<Entry> entries_;
};

// Windows' code-signing roots, which a TLS store does not carry: the PEM
// files of platform/posix/common/authenticode/roots, compiled in so that the build tree and an
// install trust them alike.
constexpr char kBuiltinRoots[] =
#include "builtin_roots.inc"
    ;

struct TrustAnchors {
  ossl::StorePtr store;
  BundleIndex builtin = BundleIndex::FromText(kBuiltinRoots);
  std::optional<BundleIndex> bundle;
  std::mutex bundle_mutex;
};

std::mutex g_trust_mutex;
std::unique_ptr<TrustAnchors> g_trust;

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

TrustAnchors& Anchors() {
  std::lock_guard lock(g_trust_mutex);
  if (g_trust) return *g_trust;
  auto anchors = std::make_unique<TrustAnchors>();
  anchors->store.reset(X509_STORE_new());
  X509_LOOKUP* dirs = X509_STORE_add_lookup(anchors->store.get(), X509_LOOKUP_hash_dir());
  if (dirs != nullptr) {
    const std::string system_dirs = EnvOr(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
    if (!system_dirs.empty()) X509_LOOKUP_add_dir(dirs, system_dirs.c_str(), X509_FILETYPE_PEM);
    const std::string codesign = EXELORE_CODESIGN_ROOTS_DIR;
    if (!codesign.empty()) X509_LOOKUP_add_dir(dirs, codesign.c_str(), X509_FILETYPE_PEM);
  }
  const std::string bundle = EnvOr(X509_get_default_cert_file_env(), X509_get_default_cert_file());
  if (!bundle.empty()) anchors->bundle.emplace(bundle);
  ERR_clear_error();
  g_trust = std::move(anchors);
  return *g_trust;
}

bool InStore(X509_STORE* store, const X509_NAME* name) {
  ossl::StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), store, nullptr, nullptr) != 1) return false;
  ObjectPtr object(
      X509_STORE_CTX_get_obj_by_subject(ctx.get(), X509_LU_X509, const_cast<X509_NAME*>(name)));
  return object != nullptr;
}

X509* FindBySubject(STACK_OF(X509) * certs, const X509_NAME* name) {
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    X509* c = sk_X509_value(certs, i);
    if (X509_NAME_cmp(X509_get_subject_name(c), name) == 0) return c;
  }
  return nullptr;
}

}  // namespace

namespace {

// Where the sections' raw data ends: the headers' end at least.
std::uint64_t EndOfSections(const pe::Headers& headers) {
  std::uint64_t end = headers.size_of_headers;
  for (const pe::Section& s : headers.sections) {
    if (s.raw_size != 0) end = std::max<std::uint64_t>(end, std::uint64_t{s.raw_offset} + s.raw_size);
  }
  return end;
}

std::uint64_t AlignUp8(std::uint64_t n) { return (n + 7) & ~std::uint64_t{7}; }

// Whether the bytes of [from, to) are all zero.
bool AllZero(const pe::FileSource& file, std::uint64_t from, std::uint64_t to) {
  std::uint8_t chunk[4096];
  while (from < to) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, to - from));
    if (!file.ReadAt(from, std::span(chunk, n))) return false;
    if (std::any_of(chunk, chunk + n, [](std::uint8_t b) { return b != 0; })) return false;
    from += n;
  }
  return true;
}

// The certificate table after its first WIN_CERTIFICATE (of `first_length`
// bytes): further WIN_CERTIFICATEs, each on an 8-byte boundary, and zero
// bytes between and after them. Windows reads only the first certificate,
// so a later one is skipped whole; any other byte is one no signature
// covers, and is refused, as Windows refuses it with EnableCertPaddingCheck
// (Microsoft Security Advisory 2915720, CVE-2013-3900).
bool RestOfTableIsClean(const pe::FileSource& file, const CertificateTable& table,
                        std::uint32_t first_length) {
  constexpr int kMaxCertificates = 64;
  const std::uint64_t end = table.offset + table.size;
  std::uint64_t at = table.offset + first_length;
  for (int count = 1;; ++count) {
    const std::uint64_t next = std::min(table.offset + AlignUp8(at - table.offset), end);
    if (!AllZero(file, at, next)) return false;
    at = next;
    std::uint8_t header[kWinCertHeader];
    if (end - at < kWinCertHeader || !file.ReadAt(at, header) || Le32(header) == 0) {
      return AllZero(file, at, end);
    }
    const std::uint32_t length = Le32(header);
    if (count == kMaxCertificates || length < kWinCertHeader || length > end - at) return false;
    at += length;
  }
}

}  // namespace

TableState FindCertificateTable(const pe::FileSource& file, const pe::Headers& headers,
                                CertificateTable* table) {
  if (headers.number_of_directories <= pe::kDirectorySecurity) return TableState::kAbsent;
  const pe::DataDirectory& dir = headers.directories[pe::kDirectorySecurity];
  if (dir.address == 0 || dir.size == 0) return TableState::kAbsent;
  const std::uint64_t size = file.size();
  if (dir.address > size || dir.size > size - dir.address) return TableState::kInvalid;
  // The table follows the sections: the image hash takes the headers and
  // each section's raw data where the loader finds them, and a table over
  // them would leave bytes the loader maps out of the signed image.
  if (dir.address < EndOfSections(headers)) return TableState::kInvalid;
  table->offset = dir.address;
  table->size = dir.size;
  return TableState::kPresent;
}

std::optional<std::vector<std::uint8_t>> ReadEmbeddedSignature(const pe::FileSource& file,
                                                               const pe::Headers& headers) {
  CertificateTable table;
  if (FindCertificateTable(file, headers, &table) != TableState::kPresent) return std::nullopt;
  if (table.size < kWinCertHeader) return std::nullopt;
  std::uint8_t header[kWinCertHeader];
  if (!file.ReadAt(table.offset, header)) return std::nullopt;
  const std::uint32_t length = Le32(header);
  const std::uint16_t revision = static_cast<std::uint16_t>(header[4] | (header[5] << 8));
  const std::uint16_t type = static_cast<std::uint16_t>(header[6] | (header[7] << 8));
  if (revision != kWinCertRevision2 || type != kWinCertTypePkcsSignedData) return std::nullopt;
  if (length <= kWinCertHeader || length > table.size) return std::nullopt;
  const std::uint32_t body = length - static_cast<std::uint32_t>(kWinCertHeader);
  if (body > kMaxSignatureSize) return std::nullopt;
  if (!RestOfTableIsClean(file, table, length)) return std::nullopt;
  std::vector<std::uint8_t> der(body);
  if (!file.ReadAt(table.offset + kWinCertHeader, der)) return std::nullopt;
  return der;
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

std::optional<std::vector<std::uint8_t>> ComputeImageHash(const pe::FileSource& file,
                                                          const pe::Headers& headers,
                                                          const EVP_MD* md,
                                                          ImageHashOptions options) {
  struct Range {
    std::uint64_t offset;
    std::uint64_t length;
  };
  CertificateTable table;
  const TableState state = FindCertificateTable(file, headers, &table);
  if (state == TableState::kInvalid) return std::nullopt;
  // The headers must hold the section table and the fields left out of the
  // hash, or the hash would not cover what says where the sections are.
  const std::uint64_t size = file.size();
  const std::uint64_t header_end = headers.size_of_headers;
  if (header_end > size || headers.section_table_end > header_end ||
      headers.checksum_offset + 4 > header_end) {
    return std::nullopt;
  }
  // In the order Microsoft's Authenticode PE format document gives: the
  // headers without the CheckSum and the security directory entry; each
  // section's raw data, in the order of their file offsets; then what
  // follows the last section, without the certificate table.
  std::vector<Range> ranges;
  std::vector<Range> skip{{headers.checksum_offset, 4}};
  if (headers.number_of_directories > pe::kDirectorySecurity) {
    skip.push_back({headers.DirectoryEntryOffset(pe::kDirectorySecurity), 8});
  }
  std::sort(skip.begin(), skip.end(), [](const Range& a, const Range& b) { return a.offset < b.offset; });
  std::uint64_t at = 0;
  for (const Range& r : skip) {
    if (r.offset < at) continue;  // overlapping exclusions hash nothing twice
    ranges.push_back({at, r.offset - at});
    at = r.offset + r.length;
  }
  ranges.push_back({at, header_end - at});
  std::vector<pe::Section> sections;
  for (const pe::Section& s : headers.sections) {
    if (s.raw_size == 0) continue;
    if (s.raw_offset > size || s.raw_size > size - s.raw_offset) return std::nullopt;
    sections.push_back(s);
  }
  std::stable_sort(sections.begin(), sections.end(),
                   [](const pe::Section& a, const pe::Section& b) { return a.raw_offset < b.raw_offset; });
  for (const pe::Section& s : sections) ranges.push_back({s.raw_offset, s.raw_size});
  const std::uint64_t tail = EndOfSections(headers);
  if (state == TableState::kPresent) {
    ranges.push_back({tail, table.offset - tail});
    ranges.push_back({table.offset + table.size, size - (table.offset + table.size)});
  } else {
    ranges.push_back({tail, size - std::min(tail, size)});
  }

  ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return std::nullopt;
  // Reading ahead helps the mostly sequential pass; the advice is only a hint.
  ::posix_fadvise(file.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // No bigger than the file: zeroing a buffer the file cannot fill costs a
  // small file more than hashing it.
  std::vector<std::uint8_t> buffer(
      static_cast<std::size_t>(std::clamp<std::uint64_t>(size, 1, kHashBuffer)));
  for (const Range& r : ranges) {
    for (std::uint64_t from = r.offset, to = r.offset + r.length; from < to;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), to - from));
      const std::span<std::uint8_t> chunk(buffer.data(), n);
      if (!file.ReadAt(from, chunk) || EVP_DigestUpdate(ctx.get(), chunk.data(), n) != 1) {
        return std::nullopt;
      }
      from += n;
    }
  }
  if (options.pad_unsigned_to_8 && state == TableState::kAbsent && size % 8 != 0) {
    static constexpr std::uint8_t kZeros[8] = {};
    if (EVP_DigestUpdate(ctx.get(), kZeros, 8 - size % 8) != 1) return std::nullopt;
  }
  std::vector<std::uint8_t> digest(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &len) != 1) return std::nullopt;
  digest.resize(len);
  return digest;
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
      return std::span<const std::uint8_t>(other->value.octet_string->data,
                                           static_cast<std::size_t>(other->value.octet_string->length));
    }
    if (other->type == V_ASN1_SEQUENCE) {
      return DerContents(std::span<const std::uint8_t>(
          other->value.sequence->data, static_cast<std::size_t>(other->value.sequence->length)));
    }
  }
  return std::nullopt;
}

std::optional<IndirectData> ParseIndirectData(PKCS7* p7) {
  if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) {
    return std::nullopt;
  }
  PKCS7* content = p7->d.sign->contents;
  static const ASN1_OBJECT* const kSpcIndirectData = OBJ_txt2obj("1.3.6.1.4.1.311.2.1.4", 1);
  if (content->type == nullptr || OBJ_cmp(content->type, kSpcIndirectData) != 0) return std::nullopt;
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

bool FailsBeforeSubjectHash(HRESULT status) {
  return status == TRUST_E_NOSIGNATURE || status == TRUST_E_NO_SIGNER_CERT ||
         status == NTE_BAD_SIGNATURE || status == CRYPT_E_HASH_VALUE || status == NTE_BAD_ALGID;
}

HRESULT VerifySignedMessage(PKCS7* p7, const SignerPolicy& policy, SignerResult* result) {
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) < 1) return TRUST_E_NOSIGNATURE;
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
  const auto content = SignedContentOctets(p7);
  if (!content) return TRUST_E_NOSIGNATURE;

  // The signer's digest algorithm is one the message announces.
  bool announced = false;
  STACK_OF(X509_ALGOR)* announced_algs = p7->d.sign->md_algs;
  for (int i = 0; i < sk_X509_ALGOR_num(announced_algs); ++i) {
    if (OBJ_cmp(sk_X509_ALGOR_value(announced_algs, i)->algorithm, si->digest_alg->algorithm) == 0) {
      announced = true;
    }
  }
  if (!announced) return NTE_BAD_ALGID;

  X509* signer = FindSignerCertificate(p7->d.sign->cert, si->issuer_and_serial);
  if (signer == nullptr) return TRUST_E_NO_SIGNER_CERT;
  result->signer = ossl::UpRef(signer);

  if (const HRESULT hr = VerifySignerSignature(p7, si, signer, *content, p7->d.sign->contents->type);
      hr != S_OK) {
    return hr;
  }

  std::time_t at = 0;
  bool timestamped = false;
  {
    const std::span<const std::uint8_t> signed_digest(si->enc_digest->data,
                                                      static_cast<std::size_t>(si->enc_digest->length));
    static const ASN1_OBJECT* const kRfc3161 = OBJ_txt2obj("1.3.6.1.4.1.311.3.3.1", 1);
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i) {
      X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(si->unauth_attr, i);
      const ASN1_OBJECT* oid = X509_ATTRIBUTE_get0_object(attr);
      const bool rfc3161 = OBJ_cmp(oid, kRfc3161) == 0;
      const bool legacy = OBJ_obj2nid(oid) == NID_pkcs9_countersignature;
      if (!rfc3161 && !legacy) continue;
      // A timestamp that is there must hold; a broken one fails the
      // signature rather than being ignored.
      const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, 0);
      HRESULT timestamp_chain = S_OK;
      const auto when = rfc3161 ? VerifyRfc3161(value, signed_digest, &timestamp_chain)
                                : VerifyCountersignature(p7, value, signed_digest, &timestamp_chain);
      if (!when) {
        // Explicit distrust, of the timestamp's chain or the signer's,
        // outranks a timestamp that fails otherwise.
        if (timestamp_chain == TRUST_E_EXPLICIT_DISTRUST ||
            VerifyChain(signer, p7->d.sign->cert, std::nullopt, policy.required_eku_nid) ==
                TRUST_E_EXPLICIT_DISTRUST) {
          return TRUST_E_EXPLICIT_DISTRUST;
        }
        return TRUST_E_TIME_STAMP;
      }
      at = *when;
      timestamped = true;
      result->timestamp = when;
      break;
    }
  }
  // A lifetime-signing certificate's signature ends with the certificate:
  // the timestamp, checked above all the same, does not extend it.
  if (ListsUsage(signer, LifetimeSigning())) timestamped = false;
  return VerifyChain(signer, p7->d.sign->cert,
                     timestamped ? std::optional<std::time_t>(at) : std::nullopt,
                     policy.required_eku_nid);
}

X509_STORE* TrustStore() { return Anchors().store.get(); }

void PrepareTrustStore(X509* leaf, STACK_OF(X509) * intermediates) {
  TrustAnchors& anchors = Anchors();
  // Walk up by issuer name: the store's directories and the message's own
  // certificates are cheap; the built-in roots and then the bundle are
  // consulted for a name neither has.
  X509* current = leaf;
  for (int depth = 0; depth < kMaxChainDepth && current != nullptr; ++depth) {
    const X509_NAME* issuer = X509_get_issuer_name(current);
    if (X509_NAME_cmp(issuer, X509_get_subject_name(current)) == 0) break;
    if (InStore(anchors.store.get(), issuer)) break;
    X509* next = FindBySubject(intermediates, issuer);
    // A root the message carries is no anchor by itself, but the bundle may
    // hold it.
    if (next != nullptr &&
        X509_NAME_cmp(X509_get_issuer_name(next), X509_get_subject_name(next)) != 0) {
      current = next;
      continue;
    }
    std::lock_guard lock(anchors.bundle_mutex);
    current = anchors.builtin.Resolve(anchors.store.get(), issuer);
    if (current == nullptr && anchors.bundle) current = anchors.bundle->Resolve(anchors.store.get(), issuer);
    if (current == nullptr && registry::Volume() != nullptr) {
      current = registry::Volume()->AddAnchors(anchors.store.get(), issuer);
    }
  }
  ERR_clear_error();
}

void ResetTrustStore() {
  std::lock_guard lock(g_trust_mutex);
  g_trust.reset();
  registry::ResetVolume();
}

std::optional<std::time_t> ToTimeT(const ASN1_TIME* t) {
  std::tm tm{};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return std::nullopt;
  return ::timegm(&tm);
}

}  // namespace exelore_posix::authenticode

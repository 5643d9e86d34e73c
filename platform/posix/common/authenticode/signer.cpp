#include "signer.h"

#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <vector>

#include "digest.h"
#include "signed_data.h"
#include "verification.h"

namespace exelore_posix::authenticode {
namespace {

// Digests `data` through an OpenSSL digest BIO, which PKCS7_signatureVerify
// takes as the content's digest: written where it lies into a BIO that
// discards it, so a content of tens of MiB is read once and never copied.
ossl::BioPtr DigestBio(const EVP_MD* md, std::span<const std::uint8_t> data) {
  ossl::BioPtr sink(BIO_new(BIO_s_null()));
  ossl::BioPtr digest(BIO_new(BIO_f_md()));
  if (!sink || !digest || BIO_set_md(digest.get(), md) != 1) return nullptr;
  BIO_push(digest.get(), sink.release());
  constexpr std::size_t kPiece = 1u << 30;
  for (std::size_t at = 0; at < data.size();) {
    const auto n = static_cast<int>(std::min(kPiece, data.size() - at));
    if (BIO_write(digest.get(), data.data() + at, n) != n) return nullptr;
    at += static_cast<std::size_t>(n);
  }
  return digest;
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

// Whether `expected` is the digest `md` of `data`.
bool IsDigestOf(std::span<const std::uint8_t> expected, const EVP_MD* md,
                std::span<const std::uint8_t> data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  return EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr) == 1 &&
         SameDigest(std::span<const std::uint8_t>(digest, length), expected);
}

// Whether the RSA signature of `si` by `signer` holds, after a PKCS #1 v1.5
// type 1 padding that OpenSSL checks, exactly the digest `md` of the
// authenticated attributes' DER as a SET (what PKCS7_signatureVerify
// digests), with no DigestInfo around it, and the messageDigest attribute is
// the digest of `content`. Windows verifies such a block as
// CryptVerifySignature does with CRYPT_NOHASHOID: the hash OID "is not
// expected to be present or checked" (Microsoft's CryptVerifySignature page).
bool BareDigestVerifies(PKCS7_SIGNER_INFO* si, X509* signer, const EVP_MD* md,
                        std::span<const std::uint8_t> content) {
  EVP_PKEY* key = X509_get0_pubkey(signer);
  const ASN1_OCTET_STRING* message_digest = PKCS7_digest_from_attributes(si->auth_attr);
  // As RSA_verify, a block exactly as long as the modulus.
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA || message_digest == nullptr ||
      si->enc_digest->length != EVP_PKEY_get_size(key) ||
      !IsDigestOf(std::span<const std::uint8_t>(message_digest->data,
                                                static_cast<std::size_t>(message_digest->length)),
                  md, content)) {
    return false;
  }
  unsigned char* der = nullptr;
  const int der_length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &der,
                                       ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  const ossl::BytesPtr owned_der(der);
  if (der_length <= 0) return false;
  std::vector<std::uint8_t> recovered(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
  std::size_t recovered_length = recovered.size();
  ossl::KeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_verify_recover(ctx.get(), recovered.data(), &recovered_length, si->enc_digest->data,
                              static_cast<std::size_t>(si->enc_digest->length)) != 1) {
    return false;
  }
  return IsDigestOf(std::span<const std::uint8_t>(recovered.data(), recovered_length), md,
                    std::span<const std::uint8_t>(der, static_cast<std::size_t>(der_length)));
}

}  // namespace

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

// The certificate a signer names by issuer and serial number: the first of
// `certs`, in the order the message lists them, whose issuer is byte for byte
// `issuer` (CertCompareCertificateName) and whose serial number equals
// `serial` as CertCompareIntegerBlob compares them. CertFindCertificateInStore
// over the message's store (crypt32/stores.cpp) takes that same first exact
// match, so the certificate whose name the program shows is the one whose
// key is checked here. Only this lookup also refuses a near twin (below):
// then the signature does not verify, so a name the store lookup finds
// beside such a twin is never shown as verified.
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

// Checks signer `si` of `p7` over `content` with certificate `signer`;
// `content_type` as for CheckSignedAttributes; `rsa_block` says whether an
// RSA block may hold the bare digest.
HRESULT VerifySignerSignature(PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* signer,
                              std::span<const std::uint8_t> content,
                              const ASN1_OBJECT* content_type, RsaBlock rsa_block) {
  const EVP_MD* md = AcceptedDigest(si->digest_alg->algorithm);
  if (md == nullptr) return NTE_BAD_ALGID;
  if (!SignatureAlgorithmFits(si, signer)) return NTE_BAD_ALGID;
  if (const HRESULT hr = CheckSignedAttributes(AttributeList(si->auth_attr), content_type);
      hr != S_OK) {
    return hr;
  }
  ossl::BioPtr bio = DigestBio(md, content);
  if (!bio) return TRUST_E_SYSTEM_ERROR;
  if (PKCS7_signatureVerify(bio.get(), p7, si, signer) != 1) {
    const unsigned long error = ERR_peek_last_error();
    ERR_clear_error();
    if (ERR_GET_REASON(error) == PKCS7_R_DIGEST_FAILURE) return CRYPT_E_HASH_VALUE;
    const bool bare = rsa_block == RsaBlock::kDigestInfoOrBareDigest &&
                      BareDigestVerifies(si, signer, md, content);
    ERR_clear_error();
    if (!bare) return NTE_BAD_SIGNATURE;
  }
  // A signature by a key anyone can recover proves nothing, whatever the
  // chain says.
  return WeakKey(signer) ? TRUST_E_CERT_SIGNATURE : S_OK;
}

namespace {

// The first timestamp of signer `si` (an RFC 3161 token or a legacy
// countersignature, whichever comes first among its unauthenticated
// attributes): S_OK with *at its time, or none there (*at left empty); a
// timestamp that is there must hold, and a broken one fails the signature
// rather than being ignored (TRUST_E_TIME_STAMP, or
// TRUST_E_EXPLICIT_DISTRUST, which outranks it).
HRESULT CheckTimestamp(PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* signer, const SignerPolicy& policy,
                       const TrustConfig& config, std::optional<Instant>* at,
                       SignerResult* result) {
  const std::span<const std::uint8_t> signed_digest(
      si->enc_digest->data, static_cast<std::size_t>(si->enc_digest->length));
  static const ASN1_OBJECT* const kRfc3161 = OBJ_txt2obj("1.3.6.1.4.1.311.3.3.1", 1);
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i) {
    X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(si->unauth_attr, i);
    const ASN1_OBJECT* oid = X509_ATTRIBUTE_get0_object(attr);
    const bool rfc3161 = OBJ_cmp(oid, kRfc3161) == 0;
    const bool legacy = OBJ_obj2nid(oid) == NID_pkcs9_countersignature;
    if (!rfc3161 && !legacy) continue;
    const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, 0);
    HRESULT timestamp_chain = S_OK;
    const auto when = rfc3161 ? VerifyRfc3161(config, value, signed_digest, &timestamp_chain,
                                              &result->timestamp_signer)
                              : VerifyCountersignature(config, p7, value, signed_digest,
                                                       &timestamp_chain, &result->timestamp_signer);
    if (!when) {
      // Explicit distrust, of the timestamp's chain or the signer's,
      // outranks a timestamp that fails otherwise.
      if (timestamp_chain == TRUST_E_EXPLICIT_DISTRUST ||
          VerifyChain(config, signer, p7->d.sign->cert, std::nullopt, policy.required_eku_nid) ==
              TRUST_E_EXPLICIT_DISTRUST) {
        return TRUST_E_EXPLICIT_DISTRUST;
      }
      return TRUST_E_TIME_STAMP;
    }
    *at = *when;
    result->timestamp = when->seconds;
    result->rfc3161 = rfc3161;
    return S_OK;
  }
  return S_OK;
}

}  // namespace

bool FailsBeforeSubjectHash(HRESULT status) {
  return status == TRUST_E_NOSIGNATURE || status == TRUST_E_NO_SIGNER_CERT ||
         status == NTE_BAD_SIGNATURE || status == CRYPT_E_HASH_VALUE || status == NTE_BAD_ALGID;
}

HRESULT VerifySignedMessage(PKCS7* p7, const SignerPolicy& policy, const TrustConfig& config,
                            SignerResult* result) {
  const auto content = SignedContentOctets(p7);
  if (!content) return TRUST_E_NOSIGNATURE;
  return VerifySignedMessage(p7, *content, policy, config, result);
}

HRESULT VerifySignedMessage(PKCS7* p7, std::span<const std::uint8_t> content,
                            const SignerPolicy& policy, const TrustConfig& config,
                            SignerResult* result) {
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) < 1) return TRUST_E_NOSIGNATURE;
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);

  // The signer's digest algorithm is one the message announces.
  bool announced = false;
  STACK_OF(X509_ALGOR)* announced_algs = p7->d.sign->md_algs;
  for (int i = 0; i < sk_X509_ALGOR_num(announced_algs); ++i) {
    if (OBJ_cmp(sk_X509_ALGOR_value(announced_algs, i)->algorithm, si->digest_alg->algorithm) ==
        0) {
      announced = true;
    }
  }
  if (!announced) return NTE_BAD_ALGID;

  X509* signer = FindSignerCertificate(p7->d.sign->cert, si->issuer_and_serial);
  if (signer == nullptr) return TRUST_E_NO_SIGNER_CERT;
  result->signer = ossl::UpRef(signer);

  if (const HRESULT hr = VerifySignerSignature(p7, si, signer, content, p7->d.sign->contents->type);
      hr != S_OK) {
    return hr;
  }

  std::optional<Instant> at;
  if (const HRESULT hr = CheckTimestamp(p7, si, signer, policy, config, &at, result); hr != S_OK) {
    return hr;
  }
  // A lifetime-signing certificate's signature ends with the certificate:
  // the timestamp, checked above all the same, does not extend it.
  if (ListsUsage(signer, LifetimeSigning())) at.reset();
  return VerifyChain(config, signer, p7->d.sign->cert, at, policy.required_eku_nid);
}

}  // namespace exelore_posix::authenticode

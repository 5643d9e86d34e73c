// Timestamps over a signer's signature: RFC 3161 tokens and legacy PKCS #9
// countersignatures.
#include <openssl/objects.h>

#include <algorithm>

#include "digest.h"
#include "signed_data.h"
#include "verification.h"

namespace exelore_posix::authenticode {

namespace {

// The token of an RFC 3161 timestamp attribute: CMS signed data over a
// TSTInfo. Decoded as CMS: the token's certificate set may hold certificate
// choices other than X.509 certificates (Microsoft's service adds an
// attribute certificate), which the PKCS #7 decoder refuses and CMS keeps
// apart from the certificates.
CmsPtr DecodeToken(std::span<const std::uint8_t> der) {
  const unsigned char* p = der.data();
  CmsPtr token(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
  // Not held to DER as a whole: CMS writes the certificate set sorted, as
  // DER's SET OF asks, and real tokens do not sort theirs. The set is not
  // signed; what is, VerifyTokenSignature checks.
  if (!token || p != der.data() + der.size()) return nullptr;
  if (OBJ_obj2nid(CMS_get0_type(token.get())) != NID_pkcs7_signed ||
      OBJ_obj2nid(CMS_get0_eContentType(token.get())) != NID_id_smime_ct_TSTInfo) {
    return nullptr;
  }
  return token;
}

// The token's TSTInfo, when its message imprint is the digest of
// `signed_digest` (the signature timestamped) with an accepted algorithm.
TstInfoPtr DecodeTstInfoOver(CMS_ContentInfo* token, std::span<const std::uint8_t> signed_digest) {
  ASN1_OCTET_STRING** content = CMS_get0_content(token);
  if (content == nullptr || *content == nullptr) return nullptr;
  const unsigned char* q = ASN1_STRING_get0_data(*content);
  TstInfoPtr info(d2i_TS_TST_INFO(nullptr, &q, ASN1_STRING_length(*content)));
  if (!info) return nullptr;
  TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
  const EVP_MD* imprint_md = AcceptedDigest(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
  const ASN1_OCTET_STRING* expected = TS_MSG_IMPRINT_get_msg(imprint);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  if (imprint_md == nullptr ||
      EVP_Digest(signed_digest.data(), signed_digest.size(), digest, &digest_len, imprint_md,
                 nullptr) != 1 ||
      !SameDigest(std::span<const std::uint8_t>(digest, digest_len),
                  std::span<const std::uint8_t>(
                      ASN1_STRING_get0_data(expected),
                      static_cast<std::size_t>(std::max(0, ASN1_STRING_length(expected)))))) {
    return nullptr;
  }
  return info;
}

// The certificate among `certs` that token signer `si` names, by issuer and
// serial number or by subject key identifier.
X509* FindTokenSigner(CMS_SignerInfo* si, STACK_OF(X509) * certs) {
  ASN1_OCTET_STRING* key_id = nullptr;
  X509_NAME* issuer = nullptr;
  ASN1_INTEGER* serial = nullptr;
  if (CMS_SignerInfo_get0_signer_id(si, &key_id, &issuer, &serial) != 1) return nullptr;
  if (issuer != nullptr) return FindSignerCertificate(certs, issuer, serial);
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    if (CMS_SignerInfo_cert_cmp(si, sk_X509_value(certs, i)) == 0) return sk_X509_value(certs, i);
  }
  return nullptr;
}

// Whether `tsa`'s key verifies token signer `si` over the TSTInfo: an
// accepted digest, the signed attributes as for any signer and encoded as
// the token holds them (`der`), and the signature.
bool VerifyTokenSignature(CMS_ContentInfo* token, std::span<const std::uint8_t> der,
                          CMS_SignerInfo* si, X509* tsa) {
  X509_ALGOR* digest_alg = nullptr;
  CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest_alg, nullptr);
  if (digest_alg == nullptr || AcceptedDigest(digest_alg->algorithm) == nullptr) return false;
  std::vector<X509_ATTRIBUTE*> attributes;
  for (int i = 0; i < CMS_signed_get_attr_count(si); ++i)
    attributes.push_back(CMS_signed_get_attr(si, i));
  if (CheckSignedAttributes(attributes, CMS_get0_eContentType(token)) != S_OK) return false;
  // What the TSA signed is checked as the bytes the token holds.
  const auto signer_der = FirstSignerInfoDer(der);
  if (!signer_der || !SignedAttributesAreDer(*signer_der, attributes)) return false;
  CMS_SignerInfo_set1_signer_cert(si, tsa);
  // The content is digested with every algorithm the token announces, as
  // CMS_verify does; the signer's must be one of them.
  ossl::BioPtr digests(CMS_dataInit(token, nullptr));
  if (!digests) return false;
  unsigned char sink[4096];
  while (BIO_read(digests.get(), sink, sizeof sink) > 0) {
  }
  return CMS_SignerInfo_verify(si) == 1 && CMS_SignerInfo_verify_content(si, digests.get()) == 1;
}

}  // namespace

// An RFC 3161 timestamp (1.3.6.1.4.1.311.3.3.1) holds when the token
// decodes, its TSTInfo's imprint is the signer's signature's, its first
// signer's certificate is in the token and verifies the signature, and that
// certificate is a TSA's whose chain holds at the time stamped.
std::optional<Instant> VerifyRfc3161(const TrustConfig& config, const ASN1_TYPE* value,
                                     std::span<const std::uint8_t> signed_digest,
                                     HRESULT* chain_status, ossl::X509Ptr* signer) {
  if (value == nullptr || value->type != V_ASN1_SEQUENCE) return std::nullopt;
  const std::span<const std::uint8_t> der(value->value.sequence->data,
                                          static_cast<std::size_t>(value->value.sequence->length));
  const CmsPtr token = DecodeToken(der);
  if (!token) return std::nullopt;
  const TstInfoPtr info = DecodeTstInfoOver(token.get(), signed_digest);
  if (!info) return std::nullopt;
  // To the fraction of a second genTime gives (RFC 3161 section 2.4.2): a
  // time half a second after a certificate's notAfter is after it.
  const auto when = ToInstant(TS_TST_INFO_get_time(info.get()));
  if (!when) return std::nullopt;

  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(token.get());
  if (sk_CMS_SignerInfo_num(signers) < 1) return std::nullopt;
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, 0);
  ossl::X509StackPtr certs(CMS_get1_certs(token.get()));
  X509* tsa = FindTokenSigner(si, certs.get());
  if (tsa == nullptr || !VerifyTokenSignature(token.get(), der, si, tsa)) return std::nullopt;
  // The TSA's certificate names the time-stamping usage (RFC 3161 section
  // 2.3); one without any extended key usage is not a TSA.
  if (!ListsUsage(tsa, OBJ_nid2obj(NID_time_stamp))) return std::nullopt;
  *chain_status = VerifyChain(config, tsa, certs.get(), *when, NID_time_stamp);
  if (*chain_status != S_OK) return std::nullopt;
  if (signer != nullptr) *signer = ossl::UpRef(tsa);
  return when;
}

// The time of a PKCS #9 countersignature (1.2.840.113549.1.9.6) over the
// signer's signature, when it verifies; its certificate is among `p7`'s.
// Its signer must name the time-stamping usage too: Microsoft's and the
// other legacy services' certificates do, and a certificate without it is
// not one a timestamp can rest on.
std::optional<Instant> VerifyCountersignature(const TrustConfig& config, PKCS7* p7,
                                              const ASN1_TYPE* value,
                                              std::span<const std::uint8_t> signed_digest,
                                              HRESULT* chain_status, ossl::X509Ptr* signer) {
  if (value == nullptr || value->type != V_ASN1_SEQUENCE) return std::nullopt;
  const unsigned char* p = value->value.sequence->data;
  SignerInfoPtr counter(d2i_PKCS7_SIGNER_INFO(nullptr, &p, value->value.sequence->length));
  if (!counter ||
      !SignedAttributesAreDer(
          std::span<const std::uint8_t>(value->value.sequence->data,
                                        static_cast<std::size_t>(value->value.sequence->length)),
          AttributeList(counter->auth_attr))) {
    return std::nullopt;
  }
  const ASN1_TYPE* signing_time = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
  if (signing_time == nullptr ||
      (signing_time->type != V_ASN1_UTCTIME && signing_time->type != V_ASN1_GENERALIZEDTIME)) {
    return std::nullopt;
  }
  const auto when = ToInstant(signing_time->value.utctime);
  if (!when) return std::nullopt;
  X509* tsa = FindSignerCertificate(p7->d.sign->cert, counter->issuer_and_serial);
  if (tsa == nullptr) return std::nullopt;
  // "Symantec Time Stamping Services Signer - G4", the default service of
  // VeriSign's, Symantec's and DigiCert's timestamp URL from about 2012 to
  // 2020, put the bare SHA-1 after the RSA padding, without the DigestInfo
  // that OpenSSL's RSA verification requires; Windows verifies those
  // countersignatures (signtool does) and countless files carry one.
  // osslsigncode refuses them too and closed its issue unfixed. Only here,
  // never for a signer or an RFC 3161 token, is that form accepted.
  if (VerifySignerSignature(p7, counter.get(), tsa, signed_digest, nullptr,
                            RsaBlock::kDigestInfoOrBareDigest) != S_OK) {
    return std::nullopt;
  }
  if (!ListsUsage(tsa, OBJ_nid2obj(NID_time_stamp))) return std::nullopt;
  *chain_status = VerifyChain(config, tsa, p7->d.sign->cert, *when, NID_time_stamp);
  if (*chain_status != S_OK) return std::nullopt;
  if (signer != nullptr) *signer = ossl::UpRef(tsa);
  return when;
}

}  // namespace exelore_posix::authenticode

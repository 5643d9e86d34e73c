// What the signer, timestamp and chain checks share inside the Authenticode
// engine; not for use outside this folder.
#pragma once

#include <openssl/cms.h>
#include <openssl/ts.h>

#include <ctime>
#include <optional>
#include <span>
#include <vector>

#include "signer.h"
#include "trust_config.h"

namespace exelore_posix::authenticode {

using ossl::CmsPtr;
using ossl::SignerInfoPtr;
using ossl::TstInfoPtr;

// Builds and checks the chain of `leaf` at `at` (or now; validity
// includes notAfter), for the extended key usage `eku_nid`: the issuers may
// come from `certificates` (the message's), the anchors `config` names, and
// a volume's CA stores; the first path to an anchor that passes every rule
// with no certificate of a volume's Disallowed stores on it decides. When
// there is none, a distrusted certificate on a path the signatures bear is
// TRUST_E_EXPLICIT_DISTRUST. Returns S_OK or the Windows status.
HRESULT VerifyChain(const TrustConfig& config, X509* leaf, STACK_OF(X509) * certificates,
                    std::optional<Instant> at, int eku_nid);

// Whether the key of `cert` is one Windows refuses: RSA under 1024 bits, an
// elliptic curve other than P-256, P-384 and P-521, explicit curve
// parameters, or a key that does not decode.
bool WeakKey(X509* cert);

// Whether `cert` lists `usage` in its extended key usage extension.
bool ListsUsage(X509* cert, const ASN1_OBJECT* usage);

// Microsoft's lifetime-signing usage (szOID_KP_LIFETIME_SIGNING).
const ASN1_OBJECT* LifetimeSigning();

// Checks the authenticated attributes of a signer; `content_type` is the
// type its contentType must name, null for a countersignature.
HRESULT CheckSignedAttributes(const std::vector<X509_ATTRIBUTE*>& attributes,
                              const ASN1_OBJECT* content_type);

// The certificate a signer names by issuer and serial number.
X509* FindSignerCertificate(STACK_OF(X509) * certs, const X509_NAME* issuer,
                            const ASN1_INTEGER* serial);
X509* FindSignerCertificate(STACK_OF(X509) * certs, const PKCS7_ISSUER_AND_SERIAL* ias);

// What an RSA signature's block may hold after its PKCS #1 v1.5 padding: the
// DigestInfo (algorithm and digest) that RSA signatures hold, or also the
// bare digest alone, which only legacy countersignatures get (see
// VerifyCountersignature).
enum class RsaBlock { kDigestInfo, kDigestInfoOrBareDigest };

// Checks signer `si` of `p7` over `content` with certificate `signer`.
HRESULT VerifySignerSignature(PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* signer,
                              std::span<const std::uint8_t> content,
                              const ASN1_OBJECT* content_type,
                              RsaBlock rsa_block = RsaBlock::kDigestInfo);

// The time of a timestamp over the signer's signature `signed_digest`, when
// it verifies; *chain_status receives the status of the TSA's chain, and
// *signer (when given) the TSA's certificate once the timestamp holds.
std::optional<Instant> VerifyRfc3161(const TrustConfig& config, const ASN1_TYPE* value,
                                     std::span<const std::uint8_t> signed_digest,
                                     HRESULT* chain_status, ossl::X509Ptr* signer = nullptr);
std::optional<Instant> VerifyCountersignature(const TrustConfig& config, PKCS7* p7,
                                              const ASN1_TYPE* value,
                                              std::span<const std::uint8_t> signed_digest,
                                              HRESULT* chain_status,
                                              ossl::X509Ptr* signer = nullptr);

}  // namespace exelore_posix::authenticode

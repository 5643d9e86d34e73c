// Verifying a SignedData's first signer as WinVerifyTrust's Authenticode
// provider does: the signer's certificate and signature, its authenticated
// attributes, a timestamp, and the chain to a trust anchor.
#pragma once

#include <windows.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>

#include "ossl.h"
#include "trust_config.h"

namespace exelore_posix::authenticode {

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

// What a signer must satisfy besides its signature.
struct SignerPolicy {
  int required_eku_nid = NID_code_sign;  // allowed by every certificate that restricts EKU
};

struct SignerResult {
  ossl::X509Ptr signer;                  // the signer's certificate, when found
  std::optional<std::time_t> timestamp;  // the time of a valid countersignature
  // With `timestamp`: an RFC 3161 token (else a legacy countersignature),
  // and its signer's certificate.
  bool rfc3161 = false;
  ossl::X509Ptr timestamp_signer;
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
// trust anchor `config` names at the timestamp's time (now for a lifetime-signing leaf, or
// without a timestamp), with the message's certificates as intermediates;
// every certificate that restricts its extended key usage allows
// policy.required_eku_nid (CERT_E_WRONG_USAGE), and none has an RSA key
// under 1024 bits (TRUST_E_CERT_SIGNATURE). No revocation checks. Returns
// S_OK or the Windows status code.
HRESULT VerifySignedMessage(PKCS7* p7, const SignerPolicy& policy, const TrustConfig& config,
                            SignerResult* result);
// The same for a message decoded without its content (DecodeSignedDataShell):
// `content` is what SignedContentOctets gives of the whole message.
HRESULT VerifySignedMessage(PKCS7* p7, std::span<const std::uint8_t> content,
                            const SignerPolicy& policy, const TrustConfig& config,
                            SignerResult* result);

}  // namespace exelore_posix::authenticode

#include "judge.h"

#include "digest.h"

namespace exelore_posix {
namespace {

// Authenticode's SignedData and SignerInfo are both version 1. A catalog's
// message is held to the same when it is loaded (catalog::ParseCatalog):
// one of another version is no catalog at all.
bool SignedAsAuthenticode(PKCS7* p7) {
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  return ASN1_INTEGER_get(p7->d.sign->version) == 1 && sk_PKCS7_SIGNER_INFO_num(signers) >= 1 &&
         ASN1_INTEGER_get(sk_PKCS7_SIGNER_INFO_value(signers, 0)->version) == 1;
}

// Whether a listed digest can be compared: S_OK, or the status that ends
// the steps.
HRESULT Usable(const Listed& listed) {
  if (listed.status != S_OK) return listed.status;
  return listed.md == nullptr ? NTE_BAD_ALGID : S_OK;
}

}  // namespace

Outcome Fail(HRESULT status) { return {status, static_cast<DWORD>(status)}; }

Outcome FailWithError(DWORD error) { return {static_cast<HRESULT>(error), error}; }

Judged Judge(const Subject& subject, const authenticode::TrustConfig& config) {
  Judged judged;
  const auto fail = [&](Outcome outcome) {
    judged.outcome = outcome;
    return std::move(judged);
  };
  if (subject.failure) return fail(*subject.failure);
  if (subject.message && !SignedAsAuthenticode(subject.message.get())) {
    return fail(Fail(TRUST_E_NOSIGNATURE));
  }
  if (subject.listed) {
    if (const HRESULT usable = Usable(*subject.listed); usable != S_OK) return fail(Fail(usable));
  }

  HRESULT message = TRUST_E_NOSIGNATURE;
  if (subject.held) {
    message = subject.held->status;
    judged.found.signer = ossl::UpRef(subject.held->signer.get());
  } else if (subject.message) {
    message = authenticode::VerifySignedMessage(subject.message.get(), {}, config, &judged.found);
  }
  if (authenticode::FailsBeforeSubjectHash(message)) return fail(Fail(message));

  std::optional<Listed> found_listed;
  if (!subject.listed) found_listed = subject.find_listed();
  const Listed& listed = subject.listed ? *subject.listed : *found_listed;
  if (const HRESULT usable = Usable(listed); usable != S_OK) return fail(Fail(usable));
  const Hashed now = subject.hash(listed.md);
  if (now.status != S_OK) return fail(Fail(now.status));
  // The one comparison of a subject's hash with the digest its signer
  // vouches for, as softpub.c's SOFTPUB_VerifyImageHash is Wine's.
  if (!SameDigest(now.digest, listed.digest)) return fail(Fail(TRUST_E_BAD_DIGEST));
  if (message != S_OK) return fail(Fail(message));
  return judged;
}

}  // namespace exelore_posix

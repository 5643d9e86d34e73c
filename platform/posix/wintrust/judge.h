// WinVerifyTrust's Authenticode provider as one list of steps over one
// value, as Wine's WINTRUST_ExecuteSteps (dlls/wintrust/wintrust_main.c)
// runs the provider's steps over one CRYPT_PROVIDER_DATA: loading a file
// (wintrust.cpp) and loading a catalog member (wintrust_catalog.cpp) each
// fill a Subject, as softpub.c's SOFTPUB_LoadFileMessage and
// SOFTPUB_LoadCatalogMessage fill the provider data, and Judge alone decides.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "authenticode/authenticode.h"
#include "ossl.h"

namespace exelore_posix {

// What WinVerifyTrust returns and what it leaves as the last error; they
// differ only where Windows makes them differ.
struct Outcome {
  HRESULT status;
  DWORD last_error;
  bool operator==(const Outcome&) const = default;
};

// A failure whose last error is the status itself.
Outcome Fail(HRESULT status);
// A Win32 error (a file that cannot be opened), returned as it is.
Outcome FailWithError(DWORD error);

// The digest a message lists for its subject.
struct Listed {
  HRESULT status = S_OK;       // else the status that ends the steps (none listed)
  const EVP_MD* md = nullptr;  // null: an algorithm refused (NTE_BAD_ALGID)
  std::vector<std::uint8_t> digest;
};

// The subject's hash as it is now, or the status that ends the steps (a
// member file that cannot be opened, a hash that cannot be computed).
struct Hashed {
  HRESULT status = S_OK;
  std::vector<std::uint8_t> digest;
};

// A signed message's verdict kept from an earlier request (a catalog's,
// catalog_index.h): VerifySignedMessage's status and the signer it found.
struct HeldVerdict {
  HRESULT status = S_OK;
  ossl::X509Ptr signer;
};

// What loading a subject fills. Exactly one of `message` and `held` says
// where the message's verdict comes from; exactly one of `listed` and
// `find_listed` where the digest does.
struct Subject {
  // Loading stopped before a message: what WinVerifyTrust gives.
  std::optional<Outcome> failure;
  // The signed message, to check now (shared: the decoded message may be
  // the one CryptQueryObject decoded from the same bytes).
  std::shared_ptr<PKCS7> message;
  // Or the message's verdict, already held.
  std::optional<HeldVerdict> held;
  // The digest the message itself lists (an embedded signature's
  // SpcIndirectData), judged before the message's signature ...
  std::optional<Listed> listed;
  // ... or found only once the message holds (a catalog's member), so that
  // a catalog that does not verify never costs a search.
  std::function<Listed()> find_listed;
  // How the subject is hashed, with the listed digest's algorithm.
  std::function<Hashed(const EVP_MD*)> hash;
};

struct Judged {
  Outcome outcome{S_OK, ERROR_SUCCESS};
  // What the message's check found, whatever the outcome (a held verdict
  // gives its signer only).
  authenticode::SignerResult found;
};

// Runs the steps over `subject`, in the order Windows' provider runs them,
// the same for every subject: a load failure; the message's form (SignedData
// and first SignerInfo of version 1, as Authenticode signs); the digest the
// message lists, when it says it itself; the message's signature, whose own
// failures (authenticode::FailsBeforeSubjectHash) end the steps; the digest
// found for the subject once the message holds; the subject's hash against
// it (TRUST_E_BAD_DIGEST when they differ, so a changed subject is reported
// before a chain problem, as Windows does); then the message's other
// failures (timestamp, chain, usage, distrust).
Judged Judge(const Subject& subject, const authenticode::TrustConfig& config);

}  // namespace exelore_posix

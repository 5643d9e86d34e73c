// The wintrust part of the stand-in: WinVerifyTrust with the generic
// Authenticode action, for files and for catalog members. The message,
// signer, chain and timestamp checks are common/authenticode/'s (its
// authenticode.h); catalog mode lives in wintrust_catalog.cpp.
#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "authenticode/authenticode.h"
#include "files.h"
#include "handles.h"
#include "ossl.h"
#include "pe.h"
#include "judge.h"
#include "wintrust_catalog.h"

namespace exelore_posix {
namespace {

// A certificate as the provider's state hands it out: a context over its
// encoding (crypt32's functions decode a context from its bytes).
struct ProviderCert {
  std::vector<std::uint8_t> der;
  CERT_INFO info{};
  CERT_CONTEXT context{};
  CRYPT_PROVIDER_CERT entry{};

  void Set(X509* cert) {
    if (cert == nullptr) return;
    der = authenticode::Encoded(cert, i2d_X509);
    if (der.empty()) return;
    context = {X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
               &info, nullptr};
    entry.cbStruct = sizeof entry;
    entry.pCert = &context;
  }
};

// The state a WTD_STATEACTION_VERIFY call leaves in hWVTStateData until the
// WTD_STATEACTION_CLOSE call, with what WTHelperProvDataFromStateData shows
// of it: the signer (when the signature was read), the time its chain was
// judged at, and the timestamp's signer as its one counter-signer.
struct TrustState {
  HRESULT status = S_OK;
  ossl::X509Ptr signer;
  CRYPT_PROVIDER_DATA data{};
  CRYPT_PROVIDER_SGNR signer_entry{};
  CRYPT_PROVIDER_SGNR counter_entry{};
  ProviderCert signer_cert;
  ProviderCert counter_cert;
};

// `time` as a FILETIME (100 ns since 1601).
FILETIME ToFileTime(std::time_t time) {
  const auto ticks = (static_cast<unsigned long long>(time) + 11644473600ull) * 10000000ull;
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Fills the provider data of `state` from what the signer's checks found:
// sftVerifyAsOf is the timestamp's time, or the present when there is none
// (Microsoft's CRYPT_PROVIDER_SGNR page: "the current system time" when not
// time stamped; Wine's softpub.c WINTRUST_GetTimeFromSigner).
void FillProviderData(TrustState& state, const authenticode::SignerResult& result) {
  state.data.cbStruct = sizeof state.data;
  if (!result.signer) return;
  state.signer_cert.Set(result.signer.get());
  const FILETIME as_of = ToFileTime(result.timestamp ? *result.timestamp : std::time(nullptr));
  state.signer_entry.cbStruct = sizeof state.signer_entry;
  state.signer_entry.sftVerifyAsOf = as_of;
  state.signer_entry.csCertChain = 1;
  state.signer_entry.pasCertChain = &state.signer_cert.entry;
  if (result.timestamp && result.timestamp_signer) {
    state.counter_cert.Set(result.timestamp_signer.get());
    state.counter_entry.cbStruct = sizeof state.counter_entry;
    state.counter_entry.sftVerifyAsOf = as_of;
    state.counter_entry.csCertChain = 1;
    state.counter_entry.pasCertChain = &state.counter_cert.entry;
    state.signer_entry.csCounterSigners = 1;
    state.signer_entry.pasCounterSigners = &state.counter_entry;
  }
  state.data.csSigners = 1;
  state.data.pasSigners = &state.signer_entry;
}

bool IsGenericVerifyV2(const GUID* guid) {
  static const GUID kGenericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  return guid != nullptr && std::memcmp(guid, &kGenericVerifyV2, sizeof(GUID)) == 0;
}

// Loads an embedded signature as Windows' provider loads a file's message
// (Wine's softpub.c SOFTPUB_LoadFileMessage): the file, its PE headers, the
// signature in its certificate table and the SpcIndirectData digest the
// message lists; the subject is hashed as its Authenticode image hash.
Subject LoadFile(const WINTRUST_FILE_INFO* info) {
  Subject subject;
  if (info == nullptr || info->pcwszFilePath == nullptr) {
    subject.failure = Fail(E_INVALIDARG);
    return subject;
  }
  DWORD error = 0;
  const auto path = PathFromWide(info->pcwszFilePath, &error);
  auto file = std::make_shared<RegularFile>();
  // The provider's first step fails with the file's own error, which
  // WinVerifyTrust passes on as it is.
  if (!path || !file->Open(*path, &error)) {
    subject.failure = FailWithError(error);
    return subject;
  }
  const pe::FileSource source(file->fd(), file->size());
  auto headers = pe::ReadHeaders(source);
  // No subject interface package knows the file: unsigned as far as callers
  // are concerned, with the reason in the last error.
  if (!headers) {
    subject.failure = {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN)};
    return subject;
  }
  const auto der = authenticode::ReadEmbeddedSignature(source, *headers);
  // What crypt32 opens, WinVerifyTrust may still refuse: a table over the
  // sections, bytes no signature covers in or after the first certificate
  // (which Windows refuses with EnableCertPaddingCheck, CVE-2013-3900), or
  // signed parts in an encoding other than DER. The file is then as good
  // as unsigned. The message is the one CryptQueryObject decoded from the
  // same bytes, if it did.
  if (der && authenticode::CertificateTableIsClean(source, *headers)) {
    subject.message = authenticode::ParseSignedDataShared(*der);
  }
  if (!subject.message) {
    subject.failure = Fail(TRUST_E_NOSIGNATURE);
    return subject;
  }
  Listed& listed = subject.listed.emplace();
  if (auto indirect = authenticode::ParseIndirectData(subject.message.get())) {
    listed.md = indirect->md;
    listed.digest = std::move(indirect->digest);
  } else {
    listed.status = TRUST_E_NOSIGNATURE;
  }
  subject.hash = [file, headers = std::move(*headers)](const EVP_MD* md) {
    const auto image_hash =
        authenticode::ComputeImageHash(pe::FileSource(file->fd(), file->size()), headers, md);
    return image_hash ? Hashed{S_OK, *image_hash} : Hashed{TRUST_E_NOSIGNATURE, {}};
  };
  return subject;
}

}  // namespace

}  // namespace exelore_posix

using namespace exelore_posix;

extern "C" {

// WinVerifyTrust with WINTRUST_ACTION_GENERIC_VERIFY_V2 (Microsoft's
// WinVerifyTrust and WINTRUST_DATA pages, Wine's wintrust tests):
// - another action: TRUST_E_PROVIDER_UNKNOWN;
// - WTD_STATEACTION_CLOSE releases what a WTD_STATEACTION_VERIFY call left in
//   hWVTStateData and returns 0; WTD_STATEACTION_IGNORE keeps nothing;
// - WTD_CHOICE_FILE: the Authenticode signature embedded in the file. No
//   signature: TRUST_E_NOSIGNATURE; a file that is not a PE:
//   TRUST_E_NOSIGNATURE with TRUST_E_SUBJECT_FORM_UNKNOWN as the last error;
//   a file that cannot be opened: its Win32 error; a tampered image:
//   TRUST_E_BAD_DIGEST; a timestamp that does not verify, only when the
//   image is intact: TRUST_E_TIME_STAMP; chain and usage failures: the
//   CERT_E_ codes; a
//   certificate of the chain that a Windows volume's Disallowed store holds
//   (registry_stores.h): TRUST_E_EXPLICIT_DISTRUST, reported where chain
//   failures are, after the signature and the digest.
// - WTD_CHOICE_CATALOG: the file as a member of the given catalog, under the
//   given member tag (wintrust_catalog.cpp).
// Revocation is never checked. The status is also left as the last error.
LONG WINAPI WinVerifyTrust(HWND /*hwnd*/, GUID* pgActionID, LPVOID pWVTData) {
  const ossl::ApiCall openssl_call;
  if (!IsGenericVerifyV2(pgActionID)) {
    SetLastError(static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN));
    return TRUST_E_PROVIDER_UNKNOWN;
  }
  auto* data = static_cast<WINTRUST_DATA*>(pWVTData);
  if (data == nullptr || data->cbStruct < offsetof(WINTRUST_DATA, hWVTStateData) + sizeof(HANDLE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  }
  if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
    TakeHandle<TrustState>(data->hWVTStateData, HandleKind::kTrustState);
    data->hWVTStateData = nullptr;
    SetLastError(ERROR_SUCCESS);
    return S_OK;
  }

  // What the decision reads from outside, read once for every step.
  const authenticode::TrustConfig config = authenticode::TrustConfig::FromEnvironment();
  Subject subject;
  switch (data->dwUnionChoice) {
    case WTD_CHOICE_FILE:
      subject = LoadFile(data->pFile);
      break;
    case WTD_CHOICE_CATALOG:
      subject = LoadCatalogMember(data->pCatalog, config);
      break;
    default:
      subject.failure = {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN)};
      break;
  }
  Judged judged = Judge(subject, config);
  const Outcome outcome = judged.outcome;
  ERR_clear_error();
  if (data->dwStateAction == WTD_STATEACTION_VERIFY) {
    auto state = std::make_unique<TrustState>();
    state->status = outcome.status;
    if (outcome.status == S_OK) state->signer = ossl::UpRef(judged.found.signer.get());
    // Only file mode shows its signer and counter-signer (below).
    static const authenticode::SignerResult kNoSigner;
    FillProviderData(*state, data->dwUnionChoice == WTD_CHOICE_FILE ? judged.found : kNoSigner);
    data->hWVTStateData = NewHandle(std::move(state), HandleKind::kTrustState);
  }
  SetLastError(outcome.last_error);
  return outcome.status;
}

// WTHelperProvDataFromStateData (Microsoft's page; Wine's wintrust_main.c):
// the provider data behind a state handle, or null for another handle.
// Here only file mode records its signer and counter-signer; catalog mode's
// state holds no signers.
CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE hStateData) {
  auto* state = FromHandle<TrustState>(hStateData, HandleKind::kTrustState);
  return state != nullptr ? &state->data : nullptr;
}

// WTHelperGetProvSignerFromChain (Microsoft's page; Wine's
// wintrust_main.c): signer idxSigner, or its counter-signer
// idxCounterSigner; null past either count.
CRYPT_PROVIDER_SGNR* WINAPI WTHelperGetProvSignerFromChain(CRYPT_PROVIDER_DATA* pProvData,
                                                           DWORD idxSigner, BOOL fCounterSigner,
                                                           DWORD idxCounterSigner) {
  if (pProvData == nullptr || idxSigner >= pProvData->csSigners) return nullptr;
  CRYPT_PROVIDER_SGNR* signer = &pProvData->pasSigners[idxSigner];
  if (!fCounterSigner) return signer;
  if (idxCounterSigner >= signer->csCounterSigners) return nullptr;
  return &signer->pasCounterSigners[idxCounterSigner];
}

// WTHelperGetProvCertFromChain (Microsoft's page; Wine's wintrust_main.c):
// certificate idxCert of the signer's chain, null past its end.
CRYPT_PROVIDER_CERT* WINAPI WTHelperGetProvCertFromChain(CRYPT_PROVIDER_SGNR* pSgnr,
                                                         DWORD idxCert) {
  if (pSgnr == nullptr || idxCert >= pSgnr->csCertChain) return nullptr;
  return &pSgnr->pasCertChain[idxCert];
}

}  // extern "C"

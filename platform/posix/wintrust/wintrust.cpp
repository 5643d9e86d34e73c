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
#include "wintrust_catalog.h"

namespace exelore_posix {
namespace {

// What WinVerifyTrust returns and what it leaves as the last error; they
// differ only where Windows makes them differ.
struct Outcome {
  HRESULT status;
  DWORD last_error;
};

Outcome Fail(HRESULT status) { return {status, static_cast<DWORD>(status)}; }

// A certificate as the provider's state hands it out: a context over its
// encoding (crypt32's functions decode a context from its bytes).
struct ProviderCert {
  std::vector<std::uint8_t> der;
  CERT_INFO info{};
  CERT_CONTEXT context{};
  CRYPT_PROVIDER_CERT entry{};

  void Set(X509* cert) {
    unsigned char* out = nullptr;
    const int length = cert != nullptr ? i2d_X509(cert, &out) : -1;
    if (length <= 0) return;
    der.assign(out, out + length);
    OPENSSL_free(out);
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

// Authenticode verification of a PE file, in the order Windows' provider
// works: load the signature, then the steps every subject goes through
// (authenticode::VerifySubject) with the image hash as the subject's.
Outcome VerifyFile(const WINTRUST_FILE_INFO* info, const authenticode::TrustConfig& config,
                   ossl::X509Ptr* signer, authenticode::SignerResult* found) {
  if (info == nullptr || info->pcwszFilePath == nullptr) return Fail(E_INVALIDARG);
  DWORD path_error = 0;
  const auto path = PathFromWide(info->pcwszFilePath, &path_error);
  if (!path) return {static_cast<HRESULT>(path_error), path_error};
  RegularFile file;
  DWORD open_error = 0;
  if (!file.Open(*path, &open_error)) {
    // The provider's first step fails with the file's own error, which
    // WinVerifyTrust passes on as it is.
    return {static_cast<HRESULT>(open_error), open_error};
  }
  const pe::FileSource source(file.fd(), file.size());
  const auto headers = pe::ReadHeaders(source);
  // No subject interface package knows the file: unsigned as far as callers
  // are concerned, with the reason in the last error.
  if (!headers) return {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN)};

  const auto der = authenticode::ReadEmbeddedSignature(source, *headers);
  if (!der) return Fail(TRUST_E_NOSIGNATURE);
  // What crypt32 opens, WinVerifyTrust may still refuse: a table over the
  // sections, bytes no signature covers in or after the first certificate
  // (which Windows refuses with EnableCertPaddingCheck, CVE-2013-3900), or
  // signed parts in an encoding other than DER. The file is then as good
  // as unsigned.
  if (!authenticode::CertificateTableIsClean(source, *headers)) return Fail(TRUST_E_NOSIGNATURE);
  // The message CryptQueryObject decoded from the same bytes, if it did.
  const std::shared_ptr<PKCS7> p7 = authenticode::ParseSignedDataShared(*der);
  if (!p7) return Fail(TRUST_E_NOSIGNATURE);
  // Authenticode's SignedData and SignerInfo are both version 1.
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7.get());
  if (ASN1_INTEGER_get(p7->d.sign->version) != 1 || sk_PKCS7_SIGNER_INFO_num(signers) < 1 ||
      ASN1_INTEGER_get(sk_PKCS7_SIGNER_INFO_value(signers, 0)->version) != 1) {
    return Fail(TRUST_E_NOSIGNATURE);
  }
  const auto indirect = authenticode::ParseIndirectData(p7.get());
  if (!indirect) return Fail(TRUST_E_NOSIGNATURE);

  if (indirect->md == nullptr) return Fail(NTE_BAD_ALGID);
  authenticode::SignerResult result;
  const HRESULT status = authenticode::VerifySubject(
      p7.get(), config,
      [&] {
        const auto image_hash = authenticode::ComputeImageHash(source, *headers, indirect->md);
        if (!image_hash) return TRUST_E_NOSIGNATURE;
        return image_hash->size() == indirect->digest.size() &&
                       CRYPTO_memcmp(image_hash->data(), indirect->digest.data(),
                                     image_hash->size()) == 0
                   ? S_OK
                   : TRUST_E_BAD_DIGEST;
      },
      &result);
  if (result.signer) *signer = ossl::UpRef(result.signer.get());
  *found = std::move(result);
  if (status != S_OK) {
    signer->reset();
    return Fail(status);
  }
  return {S_OK, ERROR_SUCCESS};
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
  Outcome outcome{};
  ossl::X509Ptr signer;
  authenticode::SignerResult found;
  switch (data->dwUnionChoice) {
    case WTD_CHOICE_FILE:
      outcome = VerifyFile(data->pFile, config, &signer, &found);
      break;
    case WTD_CHOICE_CATALOG:
      outcome.status = VerifyCatalogMember(data->pCatalog, config, &outcome.last_error, &signer);
      break;
    default:
      outcome = {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN)};
      break;
  }
  ERR_clear_error();
  if (data->dwStateAction == WTD_STATEACTION_VERIFY) {
    auto state = std::make_unique<TrustState>();
    state->status = outcome.status;
    state->signer = std::move(signer);
    FillProviderData(*state, found);
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

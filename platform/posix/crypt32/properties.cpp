// crypt32's certificate context properties: the ones Windows computes from
// the encoded certificate when asked.
#include <wincrypt.h>

#include "objects.h"
#include "ossl.h"

using namespace exelore_posix;

extern "C" {

// CertGetCertificateContextProperty (Microsoft's page; Wine's crypt32 cert.c
// CertContext_GetProperty and its tests): CERT_SHA1_HASH_PROP_ID is the SHA-1
// of the encoded certificate, computed on demand. A null pvData asks for the
// size (TRUE, *pcbData = 20); a short buffer fails with ERROR_MORE_DATA and
// *pcbData set to 20; any other property is not kept here and fails with
// CRYPT_E_NOT_FOUND, as an absent property does on Windows.
BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                              void* pvData, DWORD* pcbData) {
  const ossl::ApiCall openssl_call;
  constexpr DWORD kSha1Size = 20;
  if (pCertContext == nullptr || pcbData == nullptr || pCertContext->pbCertEncoded == nullptr) {
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  if (dwPropId != CERT_SHA1_HASH_PROP_ID) {
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return FALSE;
  }
  return GiveSized(pvData, pcbData, kSha1Size, [&] {
    if (EVP_Digest(pCertContext->pbCertEncoded, pCertContext->cbCertEncoded,
                   static_cast<unsigned char*>(pvData), nullptr, EVP_sha1(), nullptr) == 1) {
      return true;
    }
    ERR_clear_error();
    SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
    return false;
  });
}

}  // extern "C"

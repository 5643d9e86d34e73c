// The objects behind crypt32's handles, shared by the stores, messages and
// names of this folder: certificate contexts, stores and decoded messages.
#pragma once

#include <wincrypt.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "handles.h"
#include "ossl.h"

namespace exelore_posix {

// A certificate context and the storage its CERT_INFO points into.
struct CertObject {
  CERT_CONTEXT context{};
  CERT_INFO info{};
  ossl::X509Ptr x509;
  std::vector<std::uint8_t> encoded, serial, issuer, subject, public_key;
  std::string signature_oid, key_oid;
};

// A certificate store. On Windows a context keeps its store alive; here the
// store counts its handle and every context handed out, and goes when the
// last is released, whatever the order.
struct Store {
  std::atomic<int> references{1};
  std::vector<std::unique_ptr<CertObject>> certs;

  void AddRef() { references.fetch_add(1); }
  void Release() {
    if (references.fetch_sub(1) == 1) TakeHandle<Store>(this, HandleKind::kCertStore);
  }
};

// The two-call size/fill protocol of crypt32's getters (Microsoft's
// CryptMsgGetParam and CertGetCertificateContextProperty pages): a null
// buffer asks for the size (TRUE); a short one fails with ERROR_MORE_DATA
// and the size needed; otherwise `fill` writes the value into `data` and
// the size is set, or it returns false having set the last error.
template <typename Fill>
BOOL GiveSized(void* data, DWORD* size, std::size_t needed, const Fill& fill) {
  if (needed > 0xFFFFFFFFu) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (data == nullptr) {
    *size = static_cast<DWORD>(needed);
    return TRUE;
  }
  if (*size < needed) {
    *size = static_cast<DWORD>(needed);
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  if (!fill()) return FALSE;
  *size = static_cast<DWORD>(needed);
  return TRUE;
}

// The store behind a live HCERTSTORE, or null.
Store* StoreFromHandle(HCERTSTORE handle);

// A new store holding a context for each of `certs`, in their order;
// registered as a handle with one reference.
Store* NewStoreOf(STACK_OF(X509) * certs);

// A decoded signed message (HCRYPTMSG); a SEQUENCE content, such as a
// catalog's trust list, left out (nothing reads it).
struct Message {
  std::shared_ptr<PKCS7> p7;  // shared with WinVerifyTrust (signed_data.h)
};

// The message behind a live HCRYPTMSG, or null.
Message* MessageFromHandle(HCRYPTMSG handle);

// An OID in dotted form; empty when it does not fit.
std::string DottedOid(const ASN1_OBJECT* oid);

}  // namespace exelore_posix

// crypt32's certificate stores and contexts: the store a signed message's
// certificates make (CryptQueryObject), CertFindCertificateInStore,
// CertFreeCertificateContext and CertCloseStore.
#include <wincrypt.h>

#include <cstring>

#include "authenticode/authenticode.h"
#include "objects.h"

namespace exelore_posix {
namespace {

constexpr std::uint64_t kFiletimeUnixEpoch = 116444736000000000ull;

FILETIME ToFiletime(const ASN1_TIME* t) {
  FILETIME ft{};
  const auto seconds = authenticode::ToTimeT(t);
  if (!seconds) return ft;
  const std::uint64_t ticks =
      kFiletimeUnixEpoch +
      static_cast<std::uint64_t>(static_cast<std::int64_t>(*seconds)) * 10000000ull;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

CRYPT_INTEGER_BLOB Blob(std::vector<std::uint8_t>& bytes) {
  return CRYPT_INTEGER_BLOB{static_cast<DWORD>(bytes.size()),
                            bytes.empty() ? nullptr : bytes.data()};
}

std::unique_ptr<CertObject> MakeCertObject(X509* x509, Store* store) {
  auto object = std::make_unique<CertObject>();
  object->x509 = ossl::UpRef(x509);
  object->encoded = authenticode::Encoded(x509, i2d_X509);
  if (object->encoded.empty()) return nullptr;
  object->serial = authenticode::IntegerBlob(X509_get0_serialNumber(x509));
  object->issuer = authenticode::NameDer(X509_get_issuer_name(x509));
  object->subject = authenticode::NameDer(X509_get_subject_name(x509));
  const X509_ALGOR* signature_alg = nullptr;
  X509_get0_signature(nullptr, &signature_alg, x509);
  const ASN1_OBJECT* alg_oid = nullptr;
  X509_ALGOR_get0(&alg_oid, nullptr, nullptr, signature_alg);
  object->signature_oid = DottedOid(alg_oid);
  const ASN1_OBJECT* key_oid = nullptr;
  const unsigned char* key = nullptr;
  int key_len = 0;
  if (X509_PUBKEY_get0_param(const_cast<ASN1_OBJECT**>(&key_oid), &key, &key_len, nullptr,
                             X509_get_X509_PUBKEY(x509)) == 1) {
    object->key_oid = DottedOid(key_oid);
    object->public_key.assign(key, key + key_len);
  }

  CERT_INFO& info = object->info;
  info.dwVersion = static_cast<DWORD>(X509_get_version(x509));
  info.SerialNumber = Blob(object->serial);
  info.SignatureAlgorithm.pszObjId = object->signature_oid.data();
  info.Issuer = Blob(object->issuer);
  info.NotBefore = ToFiletime(X509_get0_notBefore(x509));
  info.NotAfter = ToFiletime(X509_get0_notAfter(x509));
  info.Subject = Blob(object->subject);
  info.SubjectPublicKeyInfo.Algorithm.pszObjId = object->key_oid.data();
  info.SubjectPublicKeyInfo.PublicKey.cbData = static_cast<DWORD>(object->public_key.size());
  info.SubjectPublicKeyInfo.PublicKey.pbData = object->public_key.data();

  CERT_CONTEXT& context = object->context;
  context.dwCertEncodingType = X509_ASN_ENCODING;
  context.pbCertEncoded = object->encoded.data();
  context.cbCertEncoded = static_cast<DWORD>(object->encoded.size());
  context.pCertInfo = &object->info;
  context.hCertStore = store;
  return object;
}

bool IntegerBlobsEqual(const CRYPT_INTEGER_BLOB& a, const CRYPT_INTEGER_BLOB& b) {
  const auto bytes = [](const CRYPT_INTEGER_BLOB& blob) {
    return blob.pbData == nullptr ? std::span<const std::uint8_t>()
                                  : std::span<const std::uint8_t>(blob.pbData, blob.cbData);
  };
  return authenticode::IntegerBlobsEqual(bytes(a), bytes(b));
}

bool NameBlobsEqual(const CERT_NAME_BLOB& a, const CERT_NAME_BLOB& b) {
  if (a.cbData != b.cbData) return false;
  return a.cbData == 0 || std::memcmp(a.pbData, b.pbData, a.cbData) == 0;
}

}  // namespace

std::string DottedOid(const ASN1_OBJECT* oid) {
  char buffer[128];
  const int n = OBJ_obj2txt(buffer, sizeof buffer, oid, 1);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

Store* StoreFromHandle(HCERTSTORE handle) {
  return FromHandle<Store>(handle, HandleKind::kCertStore);
}

Store* NewStoreOf(STACK_OF(X509) * certs) {
  Store* store = NewHandle(std::make_unique<Store>(), HandleKind::kCertStore);
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    if (auto object = MakeCertObject(sk_X509_value(certs, i), store)) {
      store->certs.push_back(std::move(object));
    }
  }
  return store;
}

}  // namespace exelore_posix

using namespace exelore_posix;

extern "C" {

// CertFindCertificateInStore with CERT_FIND_SUBJECT_CERT: the certificate
// whose issuer equals the CERT_INFO's Issuer (encoded bytes, as
// CertCompareCertificateName compares) and whose serial number equals its
// SerialNumber (as CertCompareIntegerBlob compares). A previous context
// passed in is released, and the search continues after it (Microsoft's
// CertFindCertificateInStore page). No match: null, CRYPT_E_NOT_FOUND.
// Near twins (issuers equal but for letter case, spacing or string type) do
// not stop it, as they do not stop Windows'; the signature check's own
// lookup, authenticode::FindSignerCertificate, refuses them.
PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore,
                                                 DWORD /*dwCertEncodingType*/,
                                                 DWORD /*dwFindFlags*/, DWORD dwFindType,
                                                 const void* pvFindPara,
                                                 PCCERT_CONTEXT pPrevCertContext) {
  const ossl::ApiCall openssl_call;
  Store* store = StoreFromHandle(hCertStore);
  if (store == nullptr || dwFindType != CERT_FIND_SUBJECT_CERT || pvFindPara == nullptr) {
    if (pPrevCertContext != nullptr) CertFreeCertificateContext(pPrevCertContext);
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return nullptr;
  }
  const auto* wanted = static_cast<const CERT_INFO*>(pvFindPara);
  std::size_t start = 0;
  if (pPrevCertContext != nullptr) {
    for (std::size_t i = 0; i < store->certs.size(); ++i) {
      if (&store->certs[i]->context == pPrevCertContext) start = i + 1;
    }
  }
  PCCERT_CONTEXT found = nullptr;
  for (std::size_t i = start; i < store->certs.size() && found == nullptr; ++i) {
    const CERT_INFO& info = store->certs[i]->info;
    if (NameBlobsEqual(info.Issuer, wanted->Issuer) &&
        IntegerBlobsEqual(info.SerialNumber, wanted->SerialNumber)) {
      found = &store->certs[i]->context;
      store->AddRef();
    }
  }
  if (pPrevCertContext != nullptr) CertFreeCertificateContext(pPrevCertContext);
  if (found == nullptr) SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  return found;
}

// CertFreeCertificateContext: releases the context's hold on its store; a
// null context succeeds.
BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  if (pCertContext == nullptr) return TRUE;
  if (Store* store = StoreFromHandle(pCertContext->hCertStore)) store->Release();
  return TRUE;
}

// CertCloseStore: releases the handle; the store lives on while contexts
// from it are held (without CERT_CLOSE_STORE_CHECK_FLAG Windows succeeds
// then too). A null handle succeeds.
BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD /*dwFlags*/) {
  if (hCertStore == nullptr) return TRUE;
  Store* store = StoreFromHandle(hCertStore);
  if (store == nullptr) {
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  store->Release();
  return TRUE;
}

}  // extern "C"

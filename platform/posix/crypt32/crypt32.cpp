// The crypt32 part of the stand-in: CryptQueryObject on files, signed
// messages (CryptMsgGetParam, CryptMsgClose), certificate stores and
// contexts (CertFindCertificateInStore, CertFreeCertificateContext,
// CertCloseStore) and CertGetNameStringW, on OpenSSL.
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "authenticode/authenticode.h"
#include "files.h"
#include "handles.h"
#include "files.h"
#include "handles.h"
#include "ossl.h"
#include "pe.h"

namespace exelore_posix {
namespace {

constexpr std::uint64_t kFiletimeUnixEpoch = 116444736000000000ull;

std::string DottedOid(const ASN1_OBJECT* oid) {
  char buffer[128];
  const int n = OBJ_obj2txt(buffer, sizeof buffer, oid, 1);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return {};
  return std::string(buffer, static_cast<std::size_t>(n));
}

FILETIME ToFiletime(const ASN1_TIME* t) {
  FILETIME ft{};
  const auto seconds = authenticode::ToTimeT(t);
  if (!seconds) return ft;
  const std::uint64_t ticks =
      kFiletimeUnixEpoch + static_cast<std::uint64_t>(static_cast<std::int64_t>(*seconds)) * 10000000ull;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

CRYPT_INTEGER_BLOB Blob(std::vector<std::uint8_t>& bytes) {
  return CRYPT_INTEGER_BLOB{static_cast<DWORD>(bytes.size()), bytes.empty() ? nullptr : bytes.data()};
}

struct Store;

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
    if (references.fetch_sub(1) == 1) {
      UnregisterHandle(this, HandleKind::kCertStore);
      delete this;
    }
  }
};

Store* StoreFromHandle(HCERTSTORE handle) {
  return FromHandle<Store>(handle, HandleKind::kCertStore);
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

// A decoded signed message (HCRYPTMSG).
struct Message {
  ossl::Pkcs7Ptr p7;
};

Message* MessageFromHandle(HCRYPTMSG handle) {
  return FromHandle<Message>(handle, HandleKind::kMessage);
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

// Hands out pieces of the caller's buffer for a structure and the data its
// pointers refer to. With no buffer it only measures.
class Arena {
 public:
  explicit Arena(BYTE* base, std::size_t capacity) : base_(base), capacity_(capacity) {}

  template <typename T>
  T* Take(std::size_t count) {
    used_ = (used_ + alignof(T) - 1) / alignof(T) * alignof(T);
    const std::size_t at = used_;
    used_ += sizeof(T) * count;
    if (base_ == nullptr || count == 0 || used_ > capacity_) return nullptr;
    return reinterpret_cast<T*>(base_ + at);
  }
  BYTE* CopyBytes(std::span<const std::uint8_t> bytes) {
    BYTE* p = Take<BYTE>(bytes.size());
    if (p != nullptr) std::memcpy(p, bytes.data(), bytes.size());
    return p;
  }
  char* CopyString(const std::string& s) {
    char* p = Take<char>(s.size() + 1);
    if (p != nullptr) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
  }
  std::size_t used() const { return used_; }

 private:
  BYTE* base_;
  std::size_t capacity_;
  std::size_t used_ = 0;
};

std::vector<std::uint8_t> EncodeType(const ASN1_TYPE* value) {
  return authenticode::Encoded(value, i2d_ASN1_TYPE);
}

CRYPT_ALGORITHM_IDENTIFIER PutAlgorithm(Arena& arena, const X509_ALGOR* alg) {
  const ASN1_OBJECT* oid = nullptr;
  int ptype = V_ASN1_UNDEF;
  const void* pval = nullptr;
  X509_ALGOR_get0(&oid, &ptype, &pval, alg);
  CRYPT_ALGORITHM_IDENTIFIER out{};
  out.pszObjId = arena.CopyString(DottedOid(oid));
  if (alg->parameter != nullptr) {
    const auto params = EncodeType(alg->parameter);
    out.Parameters.cbData = static_cast<DWORD>(params.size());
    out.Parameters.pbData = arena.CopyBytes(params);
  }
  return out;
}

CRYPT_ATTRIBUTES PutAttributes(Arena& arena, const STACK_OF(X509_ATTRIBUTE) * attrs) {
  CRYPT_ATTRIBUTES out{};
  const int count = sk_X509_ATTRIBUTE_num(attrs);
  if (count <= 0) return out;
  CRYPT_ATTRIBUTE* array = arena.Take<CRYPT_ATTRIBUTE>(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(attrs, i);
    CRYPT_ATTRIBUTE a{};
    a.pszObjId = arena.CopyString(DottedOid(X509_ATTRIBUTE_get0_object(attr)));
    const int values = std::max(0, X509_ATTRIBUTE_count(attr));
    a.cValue = static_cast<DWORD>(values);
    a.rgValue = arena.Take<CRYPT_ATTR_BLOB>(static_cast<std::size_t>(values));
    for (int j = 0; j < values; ++j) {
      const auto der = EncodeType(X509_ATTRIBUTE_get0_type(attr, j));
      CRYPT_ATTR_BLOB blob{static_cast<DWORD>(der.size()), arena.CopyBytes(der)};
      if (a.rgValue != nullptr) a.rgValue[j] = blob;
    }
    if (array != nullptr) array[i] = a;
  }
  out.cAttr = static_cast<DWORD>(count);
  out.rgAttr = array;
  return out;
}

// Lays out a CMSG_SIGNER_INFO for `si` in `arena`.
void PutSignerInfo(Arena& arena, PKCS7_SIGNER_INFO* si) {
  CMSG_SIGNER_INFO* info = arena.Take<CMSG_SIGNER_INFO>(1);
  CMSG_SIGNER_INFO v{};
  v.dwVersion = static_cast<DWORD>(ASN1_INTEGER_get(si->version));
  const auto issuer = authenticode::NameDer(si->issuer_and_serial->issuer);
  v.Issuer = {static_cast<DWORD>(issuer.size()), arena.CopyBytes(issuer)};
  const auto serial = authenticode::IntegerBlob(si->issuer_and_serial->serial);
  v.SerialNumber = {static_cast<DWORD>(serial.size()), arena.CopyBytes(serial)};
  v.HashAlgorithm = PutAlgorithm(arena, si->digest_alg);
  v.HashEncryptionAlgorithm = PutAlgorithm(arena, si->digest_enc_alg);
  const std::span<const std::uint8_t> hash(si->enc_digest->data,
                                           static_cast<std::size_t>(si->enc_digest->length));
  v.EncryptedHash = {static_cast<DWORD>(hash.size()), arena.CopyBytes(hash)};
  v.AuthAttrs = PutAttributes(arena, si->auth_attr);
  v.UnauthAttrs = PutAttributes(arena, si->unauth_attr);
  if (info != nullptr) *info = v;
}

// --- Names ----------------------------------------------------------------

void AppendCodePoint(std::u16string& out, std::uint32_t c) {
  if (c >= 0x10000 && c <= 0x10FFFF) {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    out.push_back(u'\uFFFD');
  } else {
    out.push_back(static_cast<char16_t>(c));
  }
}

// UTF-8 to UTF-16; each byte that does not start a valid sequence becomes
// U+FFFD, as MultiByteToWideChar(CP_UTF8) replaces it.
std::u16string FromUtf8(std::span<const std::uint8_t> s) {
  std::u16string out;
  std::size_t i = 0;
  while (i < s.size()) {
    const std::uint8_t b = s[i];
    std::size_t len = 0;
    std::uint32_t c = 0;
    std::uint32_t min = 0;
    if (b < 0x80) {
      len = 1, c = b;
    } else if (b >= 0xC2 && b <= 0xDF) {
      len = 2, c = b & 0x1Fu, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3, c = b & 0x0Fu, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4, c = b & 0x07u, min = 0x10000;
    }
    bool ok = len != 0 && len <= s.size() - i;
    for (std::size_t k = 1; ok && k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (s[i + k] & 0x3Fu);
    }
    if (ok && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    AppendCodePoint(out, c);
    i += len;
  }
  return out;
}

// The text of a directory string as Windows decodes it to UTF-16: BMPString
// is UTF-16BE, UniversalString UCS-4BE (pairs above U+FFFF), UTF8String UTF-8,
// and the 8-bit types (Printable, IA5, T61, Visible, ...) one unit per byte.
std::u16string StringToUtf16(const ASN1_STRING* s) {
  const std::span<const std::uint8_t> bytes(ASN1_STRING_get0_data(s),
                                            static_cast<std::size_t>(ASN1_STRING_length(s)));
  std::u16string out;
  switch (ASN1_STRING_type(s)) {
    case V_ASN1_BMPSTRING:
      for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        out.push_back(static_cast<char16_t>((bytes[i] << 8) | bytes[i + 1]));
      }
      return out;
    case V_ASN1_UNIVERSALSTRING:
      for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
        AppendCodePoint(out, (static_cast<std::uint32_t>(bytes[i]) << 24) |
                                 (static_cast<std::uint32_t>(bytes[i + 1]) << 16) |
                                 (static_cast<std::uint32_t>(bytes[i + 2]) << 8) | bytes[i + 3]);
      }
      return out;
    case V_ASN1_UTF8STRING:
      return FromUtf8(bytes);
    default:
      for (const std::uint8_t b : bytes) out.push_back(static_cast<char16_t>(b));
      return out;
  }
}

std::optional<std::u16string> FirstAttribute(const X509_NAME* name, int nid) {
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    if (OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)) == nid) {
      return StringToUtf16(X509_NAME_ENTRY_get_data(entry));
    }
  }
  return std::nullopt;
}

// CERT_NAME_SIMPLE_DISPLAY_TYPE as Microsoft's CertGetNameString page lists
// it: the first common name, organizational unit, organization or e-mail
// attribute of the name; else the alternative name's first rfc822Name; else
// the name's first attribute; else nothing.
std::u16string SimpleDisplayName(X509* cert, bool issuer) {
  const X509_NAME* name = issuer ? X509_get_issuer_name(cert) : X509_get_subject_name(cert);
  for (const int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                        NID_pkcs9_emailAddress}) {
    if (auto found = FirstAttribute(name, nid)) return *found;
  }
  ossl::GeneralNamesPtr alt_names(static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(
      cert, issuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr)));
  for (int i = 0; i < sk_GENERAL_NAME_num(alt_names.get()); ++i) {
    const GENERAL_NAME* gn = sk_GENERAL_NAME_value(alt_names.get(), i);
    if (gn->type == GEN_EMAIL) return StringToUtf16(gn->d.rfc822Name);
  }
  if (X509_NAME_entry_count(name) > 0) {
    return StringToUtf16(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, 0)));
  }
  return {};
}

// Decodes a whole file that may itself be a DER SignedData, such as a
// catalog: mapped, not copied, up to the catalog database's size cap.
ossl::Pkcs7Ptr ParseSignedDataFile(const RegularFile& file) {
  if (file.size() > authenticode::kMaxSignedFileSize) return nullptr;
  const MappedFile mapped(file.fd(), file.size());
  if (!mapped.ok()) return nullptr;
  return authenticode::ParseSignedData(mapped.bytes(), authenticode::kMaxSignedFileSize);
}

}  // namespace
}  // namespace exelore_posix

using namespace exelore_posix;

extern "C" {

// CryptQueryObject for files: the embedded Authenticode signature of a PE
// (CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED, the first WIN_CERTIFICATE of the
// certificate table) or a file that is a DER SignedData, such as a catalog
// (CERT_QUERY_CONTENT_PKCS7_SIGNED). Learned from Microsoft's CryptQueryObject
// page and Wine's crypt32 object.c: an unopenable file fails with the error
// of opening it, a file of none of the expected kinds with CRYPT_E_NO_MATCH;
// the outputs are written only on success.
BOOL WINAPI CryptQueryObject(DWORD dwObjectType, const void* pvObject,
                             DWORD dwExpectedContentTypeFlags, DWORD dwExpectedFormatTypeFlags,
                             DWORD /*dwFlags*/, DWORD* pdwMsgAndCertEncodingType,
                             DWORD* pdwContentType, DWORD* pdwFormatType, HCERTSTORE* phCertStore,
                             HCRYPTMSG* phMsg, const void** ppvContext) {
  const ossl::ApiCall openssl_call;
  if (dwObjectType != CERT_QUERY_OBJECT_FILE || pvObject == nullptr) {
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  const auto path = PathFromWide(static_cast<LPCWSTR>(pvObject));
  if (!path) return FALSE;
  RegularFile file;
  DWORD open_error = 0;
  if (!file.Open(*path, &open_error)) {
    SetLastError(open_error);
    return FALSE;
  }
  const pe::FileSource source(file.fd(), file.size());

  ossl::Pkcs7Ptr p7;
  DWORD content_type = 0;
  if ((dwExpectedFormatTypeFlags & CERT_QUERY_FORMAT_FLAG_BINARY) != 0) {
    if ((dwExpectedContentTypeFlags & CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED) != 0) {
      if (const auto headers = pe::ReadHeaders(source)) {
        if (const auto der = authenticode::ReadEmbeddedSignature(source, *headers)) {
          p7 = authenticode::ParseSignedData(*der);
          content_type = CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED;
        }
      }
    }
    if (!p7 && (dwExpectedContentTypeFlags & CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED) != 0) {
      p7 = ParseSignedDataFile(file);
      content_type = CERT_QUERY_CONTENT_PKCS7_SIGNED;
    }
  }
  ERR_clear_error();
  if (!p7) {
    SetLastError(static_cast<DWORD>(CRYPT_E_NO_MATCH));
    return FALSE;
  }

  auto* store = new Store;
  RegisterHandle(store, HandleKind::kCertStore);
  STACK_OF(X509)* certs = p7->d.sign->cert;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    if (auto object = MakeCertObject(sk_X509_value(certs, i), store)) {
      store->certs.push_back(std::move(object));
    }
  }
  auto* message = new Message;
  message->p7 = std::move(p7);
  RegisterHandle(message, HandleKind::kMessage);

  if (pdwMsgAndCertEncodingType) *pdwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  if (pdwContentType) *pdwContentType = content_type;
  if (pdwFormatType) *pdwFormatType = CERT_QUERY_FORMAT_BINARY;
  if (ppvContext) *ppvContext = nullptr;
  if (phCertStore) {
    *phCertStore = store;
  } else {
    store->Release();
  }
  if (phMsg) {
    *phMsg = message;
  } else {
    UnregisterHandle(message, HandleKind::kMessage);
    delete message;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// CryptMsgGetParam for a decoded signed message: CMSG_SIGNER_COUNT_PARAM and
// CMSG_SIGNER_INFO_PARAM, with the two-call size protocol of Microsoft's
// CryptMsgGetParam page (a null buffer asks for the size; a short one fails
// with ERROR_MORE_DATA and the size needed). The CMSG_SIGNER_INFO's pointers
// refer into the caller's buffer; its serial number is little-endian, as
// crypt32 keeps integers. An index past the last signer fails with
// CRYPT_E_INVALID_INDEX (Wine's msg tests).
BOOL WINAPI CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                             DWORD* pcbData) {
  const ossl::ApiCall openssl_call;
  Message* message = MessageFromHandle(hCryptMsg);
  if (message == nullptr || pcbData == nullptr) {
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(message->p7.get());
  const int count = sk_PKCS7_SIGNER_INFO_num(signers);
  const auto give = [&](const auto& fill, std::size_t needed) -> BOOL {
    if (needed > 0xFFFFFFFFu) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    if (pvData == nullptr) {
      *pcbData = static_cast<DWORD>(needed);
      return TRUE;
    }
    if (*pcbData < needed) {
      *pcbData = static_cast<DWORD>(needed);
      SetLastError(ERROR_MORE_DATA);
      return FALSE;
    }
    fill();
    *pcbData = static_cast<DWORD>(needed);
    return TRUE;
  };
  switch (dwParamType) {
    case CMSG_SIGNER_COUNT_PARAM: {
      const DWORD value = static_cast<DWORD>(std::max(0, count));
      return give([&] { std::memcpy(pvData, &value, sizeof value); }, sizeof value);
    }
    case CMSG_SIGNER_INFO_PARAM: {
      if (static_cast<int>(dwIndex) < 0 || static_cast<int>(dwIndex) >= count) {
        SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_INDEX));
        return FALSE;
      }
      PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, static_cast<int>(dwIndex));
      Arena measure(nullptr, 0);
      PutSignerInfo(measure, si);
      const std::size_t needed = measure.used();
      return give(
          [&] {
            Arena arena(static_cast<BYTE*>(pvData), needed);
            PutSignerInfo(arena, si);
          },
          needed);
    }
    default:
      SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
      return FALSE;
  }
}

// CryptMsgClose: a null handle succeeds, as on Windows.
BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg) {
  if (hCryptMsg == nullptr) return TRUE;
  Message* message = MessageFromHandle(hCryptMsg);
  if (message == nullptr) {
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  UnregisterHandle(message, HandleKind::kMessage);
  delete message;
  return TRUE;
}

// CertFindCertificateInStore with CERT_FIND_SUBJECT_CERT: the certificate
// whose issuer equals the CERT_INFO's Issuer (encoded bytes, as
// CertCompareCertificateName compares) and whose serial number equals its
// SerialNumber (as CertCompareIntegerBlob compares). A previous context
// passed in is released, and the search continues after it (Microsoft's
// CertFindCertificateInStore page). No match: null, CRYPT_E_NOT_FOUND.
PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD /*dwCertEncodingType*/,
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

// CertGetNameStringW with CERT_NAME_SIMPLE_DISPLAY_TYPE (see
// SimpleDisplayName); CERT_NAME_ISSUER_FLAG reads the issuer instead. The
// count includes the terminating zero; a null or empty buffer asks for it; a
// short buffer receives as much as fits, terminated, and the count written.
// A name that is not found gives the empty string and 1. Other name types
// are not used by the program and give the empty string.
DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                void* /*pvTypePara*/, LPWSTR pszNameString, DWORD cchNameString) {
  const ossl::ApiCall openssl_call;
  std::u16string text;
  if (pCertContext != nullptr && pCertContext->pbCertEncoded != nullptr &&
      dwType == CERT_NAME_SIMPLE_DISPLAY_TYPE) {
    // A context from one of our stores carries its decoded certificate;
    // decoding again costs more than the rest of the call.
    X509* cert = nullptr;
    if (const Store* store = StoreFromHandle(pCertContext->hCertStore)) {
      for (const auto& object : store->certs) {
        if (&object->context == pCertContext) cert = object->x509.get();
      }
    }
    ossl::X509Ptr decoded;
    if (cert == nullptr) {
      const unsigned char* p = pCertContext->pbCertEncoded;
      decoded.reset(d2i_X509(nullptr, &p, static_cast<long>(pCertContext->cbCertEncoded)));
      cert = decoded.get();
    }
    if (cert != nullptr) text = SimpleDisplayName(cert, (dwFlags & CERT_NAME_ISSUER_FLAG) != 0);
  }
  ERR_clear_error();
  const std::size_t needed = text.size() + 1;
  if (pszNameString == nullptr || cchNameString == 0) {
    return static_cast<DWORD>(std::min<std::size_t>(needed, 0xFFFFFFFFu));
  }
  const std::size_t copied = std::min<std::size_t>(text.size(), cchNameString - 1);
  std::copy_n(text.data(), copied, pszNameString);
  pszNameString[copied] = u'\0';
  return static_cast<DWORD>(copied + 1);
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

// crypt32's signed messages: CryptQueryObject on files, CryptMsgGetParam and
// CryptMsgClose, on OpenSSL.
#include <wincrypt.h>

#include <algorithm>
#include <optional>
#include <cstring>
#include <utility>

#include "authenticode/authenticode.h"
#include "files.h"
#include "objects.h"
#include "pe.h"

namespace exelore_posix {
namespace {

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

// Decodes a whole file that may itself be a SignedData, such as a catalog,
// with nothing but zero bytes after it, up to the catalog database's size
// cap. A content that is a SEQUENCE, as a catalog's trust list, is left
// undecoded, and unread where it lies past the first kHead bytes: a
// catalog of tens of MiB costs the reading of its headers, certificates and
// signers. Any other message is read and decoded whole. The bytes are read
// into memory (FileContent), never mapped.
ossl::Pkcs7Ptr DecodeSignedDataFile(const RegularFile& file) {
  constexpr std::uint64_t kHead = 64u << 10;
  const std::uint64_t size = file.size();
  if (size > authenticode::kMaxSignedFileSize) return nullptr;
  FileContent content(file.fd(), size, size <= kHead);
  if (!content.ok()) return nullptr;
  // The head is read, and what follows the content's body when the body
  // starts inside the head; bytes [kHead, hole_end) are read only if the
  // message is not of the shell's shape.
  std::uint64_t hole_end = kHead;
  if (size > kHead) {
    if (!content.ReadRange(0, kHead)) return nullptr;
    // Where the content's body lies, read from the headers before it.
    const auto bytes = content.bytes();
    if (const auto inner = authenticode::SignedDataContent(bytes)) {
      const auto begin = static_cast<std::uint64_t>(inner->contents.data() - bytes.data());
      const std::uint64_t end = begin + inner->contents.size();
      if (begin <= kHead && end > kHead) hole_end = end;
    }
    if (!content.ReadRange(hole_end, size - hole_end)) return nullptr;
  }
  std::size_t used = 0;
  ossl::Pkcs7Ptr p7;
  if (auto shell = authenticode::DecodeSignedDataShell(content.bytes(),
                                                       authenticode::kMaxSignedFileSize, &used)) {
    p7 = std::move(shell->message);
  } else if (hole_end == kHead || content.ReadRange(kHead, hole_end - kHead)) {
    p7 = authenticode::DecodeSignedData(content.bytes(), authenticode::kMaxSignedFileSize, &used);
  }
  const auto bytes = content.bytes();
  if (!p7 || !std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(used), bytes.end(),
                          [](std::uint8_t b) { return b == 0; })) {
    return nullptr;
  }
  return p7;
}

}  // namespace

Message* MessageFromHandle(HCRYPTMSG handle) {
  return FromHandle<Message>(handle, HandleKind::kMessage);
}

}  // namespace exelore_posix

using namespace exelore_posix;

extern "C" {

// CryptQueryObject for files: the embedded Authenticode signature of a PE
// (CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED, the first WIN_CERTIFICATE of the
// certificate table, decoded as CryptMsg decodes BER) or a file that is a
// SignedData, such as a catalog
// (CERT_QUERY_CONTENT_PKCS7_SIGNED). Learned from Microsoft's CryptQueryObject
// page and Wine's crypt32 object.c: an unopenable file fails with the error
// of opening it, a file of none of the expected kinds with CRYPT_E_NO_MATCH;
// the outputs are written only on success.
BOOL WINAPI CryptQueryObject(DWORD dwObjectType, const void* pvObject,
                             DWORD dwExpectedContentTypeFlags, DWORD dwExpectedFormatTypeFlags,
                             DWORD /*dwFlags*/, DWORD* pdwMsgAndCertEncodingType,
                             DWORD* pdwContentType, DWORD* pdwFormatType, HCERTSTORE* phCertStore,
                             HCRYPTMSG* phMsg, const void** ppvContext) {
  // OpenSSL is started only for a file that may hold a message: a report on
  // an unsigned executable pays nothing for it.
  std::optional<ossl::ApiCall> openssl_call;
  if (dwObjectType != CERT_QUERY_OBJECT_FILE || pvObject == nullptr) {
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  DWORD path_error = 0;
  const auto path = PathFromWide(static_cast<LPCWSTR>(pvObject), &path_error);
  if (!path) {
    SetLastError(path_error);
    return FALSE;
  }
  RegularFile file;
  DWORD open_error = 0;
  if (!file.Open(*path, &open_error)) {
    SetLastError(open_error);
    return FALSE;
  }
  const pe::FileSource source(file.fd(), file.size());

  std::shared_ptr<PKCS7> p7;
  DWORD content_type = 0;
  if ((dwExpectedFormatTypeFlags & CERT_QUERY_FORMAT_FLAG_BINARY) != 0) {
    if ((dwExpectedContentTypeFlags & CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED) != 0) {
      if (const auto headers = pe::ReadHeaders(source)) {
        if (const auto der = authenticode::ReadEmbeddedSignature(source, *headers)) {
          // Any SignedData that decodes: whether its padding, its table's
          // place and its encoding are sound is WinVerifyTrust's question.
          openssl_call.emplace();
          p7 = authenticode::DecodeSignedDataShared(*der);
          content_type = CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED;
        }
      }
    }
    if (!p7 && (dwExpectedContentTypeFlags & CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED) != 0) {
      if (!openssl_call) openssl_call.emplace();
      p7 = DecodeSignedDataFile(file);
      content_type = CERT_QUERY_CONTENT_PKCS7_SIGNED;
    }
  }
  if (openssl_call) ERR_clear_error();
  if (!p7) {
    SetLastError(static_cast<DWORD>(CRYPT_E_NO_MATCH));
    return FALSE;
  }

  Store* store = NewStoreOf(p7->d.sign->cert);
  auto owned = std::make_unique<Message>();
  owned->p7 = std::move(p7);
  Message* message = NewHandle(std::move(owned), HandleKind::kMessage);

  if (pdwMsgAndCertEncodingType)
    *pdwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
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
    TakeHandle<Message>(message, HandleKind::kMessage);
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
  switch (dwParamType) {
    case CMSG_SIGNER_COUNT_PARAM: {
      const DWORD value = static_cast<DWORD>(std::max(0, count));
      return GiveSized(pvData, pcbData, sizeof value, [&] {
        std::memcpy(pvData, &value, sizeof value);
        return true;
      });
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
      return GiveSized(pvData, pcbData, needed, [&] {
        Arena arena(static_cast<BYTE*>(pvData), needed);
        PutSignerInfo(arena, si);
        return true;
      });
    }
    default:
      SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
      return FALSE;
  }
}

// CryptMsgClose: a null handle succeeds, as on Windows.
BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg) {
  if (hCryptMsg == nullptr) return TRUE;
  if (TakeHandle<Message>(hCryptMsg, HandleKind::kMessage) == nullptr) {
    SetLastError(static_cast<DWORD>(E_INVALIDARG));
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"

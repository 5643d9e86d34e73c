// The hash functions of CNG (bcrypt.dll on Windows), on OpenSSL's digests.
#include <bcrypt.h>

#include <memory>
#include <string_view>

#include "handles.h"
#include "ossl.h"

namespace exelore_posix {
namespace {

// NTSTATUS values (ntstatus.h) these functions return.
constexpr NTSTATUS kSuccess = 0;
constexpr auto kInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
constexpr auto kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr auto kNoMemory = static_cast<NTSTATUS>(0xC0000017);
constexpr auto kNotFound = static_cast<NTSTATUS>(0xC0000225);
constexpr auto kNotSupported = static_cast<NTSTATUS>(0xC00000BB);

struct Algorithm {
  const EVP_MD* md;
};

struct Hash {
  ossl::MdCtxPtr context;
  int size;
};

}  // namespace
}  // namespace exelore_posix

using namespace exelore_posix;

extern "C" {

// BCryptOpenAlgorithmProvider (Microsoft's page): the hash algorithms "MD5",
// "SHA1" and "SHA256" of the default provider; another name, or a provider
// or flags asked for, gives STATUS_NOT_FOUND (nothing else is used here).
NTSTATUS WINAPI BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm, LPCWSTR pszAlgId,
                                            LPCWSTR pszImplementation, ULONG dwFlags) {
  if (phAlgorithm == nullptr || pszAlgId == nullptr) return kInvalidParameter;
  *phAlgorithm = nullptr;
  const std::u16string_view name(pszAlgId);
  const EVP_MD* md = name == BCRYPT_MD5_ALGORITHM      ? EVP_md5()
                     : name == BCRYPT_SHA1_ALGORITHM   ? EVP_sha1()
                     : name == BCRYPT_SHA256_ALGORITHM ? EVP_sha256()
                                                       : nullptr;
  if (md == nullptr || pszImplementation != nullptr || dwFlags != 0) return kNotFound;
  *phAlgorithm = NewHandle(std::make_unique<Algorithm>(Algorithm{md}), HandleKind::kHashAlgorithm);
  return kSuccess;
}

NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG /*dwFlags*/) {
  return TakeHandle<Algorithm>(hAlgorithm, HandleKind::kHashAlgorithm) ? kSuccess : kInvalidHandle;
}

// BCryptCreateHash (Microsoft's page): since Windows 7 a null hash object
// with size 0 lets the function keep the object itself, the only way used
// here; a caller-provided object or a secret (HMAC) is not supported.
NTSTATUS WINAPI BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE* phHash,
                                 PUCHAR pbHashObject, ULONG cbHashObject, PUCHAR pbSecret,
                                 ULONG cbSecret, ULONG dwFlags) {
  const ossl::ApiCall openssl_call;
  const auto* algorithm = FromHandle<Algorithm>(hAlgorithm, HandleKind::kHashAlgorithm);
  if (algorithm == nullptr) return kInvalidHandle;
  if (phHash == nullptr) return kInvalidParameter;
  if (pbHashObject != nullptr || cbHashObject != 0 || pbSecret != nullptr || cbSecret != 0 ||
      dwFlags != 0)
    return kNotSupported;
  auto hash = std::make_unique<Hash>(Hash{ossl::MdCtxPtr(EVP_MD_CTX_new()), 0});
  if (!hash->context || EVP_DigestInit_ex(hash->context.get(), algorithm->md, nullptr) != 1)
    return kNoMemory;
  hash->size = EVP_MD_get_size(algorithm->md);
  *phHash = NewHandle(std::move(hash), HandleKind::kHash);
  return kSuccess;
}

NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput,
                               ULONG dwFlags) {
  const ossl::ApiCall openssl_call;
  auto* hash = FromHandle<Hash>(hHash, HandleKind::kHash);
  if (hash == nullptr) return kInvalidHandle;
  if ((pbInput == nullptr && cbInput != 0) || dwFlags != 0) return kInvalidParameter;
  return EVP_DigestUpdate(hash->context.get(), pbInput, cbInput) == 1 ? kSuccess
                                                                      : kInvalidParameter;
}

// BCryptFinishHash (Microsoft's page): cbOutput must be the hash's length
// (STATUS_INVALID_PARAMETER otherwise); the hash object cannot be used again.
NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput,
                                 ULONG dwFlags) {
  const ossl::ApiCall openssl_call;
  auto* hash = FromHandle<Hash>(hHash, HandleKind::kHash);
  if (hash == nullptr) return kInvalidHandle;
  if (pbOutput == nullptr || cbOutput != static_cast<ULONG>(hash->size) || dwFlags != 0)
    return kInvalidParameter;
  return EVP_DigestFinal_ex(hash->context.get(), pbOutput, nullptr) == 1 ? kSuccess
                                                                         : kInvalidParameter;
}

NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash) {
  return TakeHandle<Hash>(hHash, HandleKind::kHash) ? kSuccess : kInvalidHandle;
}

}  // extern "C"

#include "scan/file_hashes.h"

#include <bcrypt.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>

#include <array>
#include <optional>
#include <vector>

namespace {

constexpr DWORD kBufferSize = 1 << 20;

WideString Hex(const BYTE* bytes, DWORD size) {
  static constexpr WCHAR kHex[] = TEXT("0123456789abcdef");
  WideString text;
  for (DWORD i = 0; i < size; ++i) {
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0xF]);
  }
  return text;
}

// One CNG hash in progress, closed with its algorithm when destroyed.
class CngHash {
 public:
  CngHash(const WCHAR* algorithm, DWORD size) : size_(size) {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm_, algorithm, nullptr, 0))) {
      algorithm_ = nullptr;
      return;
    }
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0)))
      hash_ = nullptr;
  }
  ~CngHash() {
    if (hash_ != nullptr) BCryptDestroyHash(hash_);
    if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
  }
  CngHash(const CngHash&) = delete;
  CngHash& operator=(const CngHash&) = delete;

  void Add(BYTE* bytes, DWORD size) {
    if (hash_ != nullptr && !BCRYPT_SUCCESS(BCryptHashData(hash_, bytes, size, 0))) failed_ = true;
  }
  // The hex digest; empty when a step failed.
  WideString Finish() {
    std::array<BYTE, 32> digest{};
    if (hash_ == nullptr || failed_ || size_ > digest.size() ||
        !BCRYPT_SUCCESS(BCryptFinishHash(hash_, digest.data(), size_, 0)))
      return {};
    return Hex(digest.data(), size_);
  }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  DWORD size_;
  bool failed_ = false;
};

// The SHA-1 image hash of `file`, as catalogs list it
// (CryptCATAdminCalcHashFromFileHandle), or with `algorithm` (only
// BCRYPT_SHA256_ALGORITHM) by a catalog administrator of that hash
// (CryptCATAdminCalcHashFromFileHandle2, Windows 8 and later).
WideString ImageHash(HANDLE file, const WCHAR* algorithm) {
  std::array<BYTE, 32> hash{};
  DWORD size = static_cast<DWORD>(hash.size());
  if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return {};
  if (algorithm == nullptr) {
    return CryptCATAdminCalcHashFromFileHandle(file, &size, hash.data(), 0) && size <= hash.size()
               ? Hex(hash.data(), size)
               : WideString();
  }
  HCATADMIN admin = nullptr;
  if (!CryptCATAdminAcquireContext2(&admin, nullptr, algorithm, nullptr, 0)) return {};
  WideString text;
  if (CryptCATAdminCalcHashFromFileHandle2(admin, file, &size, hash.data(), 0) &&
      size <= hash.size())
    text = Hex(hash.data(), size);
  CryptCATAdminReleaseContext(admin, 0);
  return text;
}

}  // namespace

FileHashes HashFile(HANDLE file, const HashChoice& choice) {
  FileHashes hashes;
  if (choice.md5 || choice.sha1 || choice.sha256) {
    std::optional<CngHash> md5, sha1, sha256;
    if (choice.md5) md5.emplace(BCRYPT_MD5_ALGORITHM, 16);
    if (choice.sha1) sha1.emplace(BCRYPT_SHA1_ALGORITHM, 20);
    if (choice.sha256) sha256.emplace(BCRYPT_SHA256_ALGORITHM, 32);
    std::vector<BYTE> buffer(kBufferSize);
    DWORD read = 0;
    bool ok = SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
    while (ok && (ok = ReadFile(file, buffer.data(), kBufferSize, &read, nullptr) != FALSE) &&
           read != 0) {
      for (auto* hash : {&md5, &sha1, &sha256})
        if (*hash) (*hash)->Add(buffer.data(), read);
    }
    if (ok) {
      if (md5) hashes.md5 = md5->Finish();
      if (sha1) hashes.sha1 = sha1->Finish();
      if (sha256) hashes.sha256 = sha256->Finish();
    }
  }
  if (choice.authentihash) {
    hashes.authentihash_sha1 = ImageHash(file, nullptr);
    hashes.authentihash_sha256 = ImageHash(file, BCRYPT_SHA256_ALGORITHM);
  }
  return hashes;
}

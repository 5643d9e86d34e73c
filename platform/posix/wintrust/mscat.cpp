// Catalog administration functions of the stand-in (wintrust.dll on Windows):
// a context over the catalog database (catalog_db.h; what the process keeps
// of it between lookups, catalog_index.h), the hash a catalog lists for a
// file, and the catalogs that list a hash.
#include <windows.h>
#include <mscat.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalog_db.h"
#include "catalog_index.h"
#include "files.h"
#include "handles.h"
#include "ossl.h"
#include "text.h"

namespace exelore_posix {
namespace {

struct AdminContext {
  bool listed = false;
  catalog::Database* database = nullptr;             // of the folder found at the first search
  std::shared_ptr<const catalog::Listing> catalogs;  // in lookup order, from the first search
  catalog::Scanner scanner;
  // Read when the context is acquired, as Windows reads its catalog
  // database's location once.
  authenticode::TrustConfig config = authenticode::TrustConfig::FromEnvironment();
  // The image hash CryptCATAdminCalcHashFromFileHandle2 computes: SHA-1
  // unless CryptCATAdminAcquireContext2 named SHA-256.
  const EVP_MD* (*hash)() = EVP_sha1;
};

struct CatalogContext {
  std::size_t index = 0;  // in the admin context's list
  std::string path;
};

}  // namespace
}  // namespace exelore_posix

using namespace exelore_posix;

extern "C" {

// CryptCATAdminAcquireContext (Microsoft's page; Wine's wintrust crypt.c and
// its tests): a null out-pointer or nonzero flags fail with
// ERROR_INVALID_PARAMETER; any subsystem, the default one included, gives a
// context over the one catalog database. The database is read lazily. Where
// there is no catalog folder at all, as on a system without the catalog
// service, no context is given (ERROR_PATH_NOT_FOUND): a caller then learns
// at once that no catalog lists its file, without hashing the file first.
BOOL WINAPI CryptCATAdminAcquireContext(HCATADMIN* phCatAdmin, const GUID* /*pgSubsystem*/,
                                        DWORD dwFlags) {
  if (phCatAdmin == nullptr || dwFlags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto context = std::make_unique<AdminContext>();
  if (!exelore_posix::catalog::DatabaseFolder(context->config)) {
    *phCatAdmin = nullptr;
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  *phCatAdmin = NewHandle(std::move(context), HandleKind::kCatAdmin);
  return TRUE;
}

// CryptCATAdminAcquireContext2 (Microsoft's page): as
// CryptCATAdminAcquireContext, for the hash algorithm named (only "SHA1" and
// "SHA256", BCRYPT_SHA1_ALGORITHM and BCRYPT_SHA256_ALGORITHM, are supported;
// null is SHA-1); any other name fails with ERROR_INVALID_PARAMETER. The
// strong-signature policy is not read. A context is given even where there
// is no catalog folder, for its hash: no catalog then lists any hash.
BOOL WINAPI CryptCATAdminAcquireContext2(HCATADMIN* phCatAdmin, const GUID* /*pgSubsystem*/,
                                         PCWSTR pwszHashAlgorithm,
                                         PCCERT_STRONG_SIGN_PARA /*pStrongHashPolicy*/,
                                         DWORD dwFlags) {
  const std::u16string_view name =
      pwszHashAlgorithm == nullptr ? u"SHA1" : std::u16string_view(pwszHashAlgorithm);
  if (phCatAdmin == nullptr || dwFlags != 0 || (name != u"SHA1" && name != u"SHA256")) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto context = std::make_unique<AdminContext>();
  if (name == u"SHA256") context->hash = EVP_sha256;
  *phCatAdmin = NewHandle(std::move(context), HandleKind::kCatAdmin);
  return TRUE;
}

// CryptCATAdminReleaseContext: frees the context; a handle that is not a live
// context fails with ERROR_INVALID_PARAMETER (Wine's crypt.c).
BOOL WINAPI CryptCATAdminReleaseContext(HCATADMIN hCatAdmin, DWORD /*dwFlags*/) {
  if (TakeHandle<AdminContext>(hCatAdmin, HandleKind::kCatAdmin) == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

namespace {

// The two-call protocol of the CalcHash functions once their arguments are
// checked: `md`'s size asked for, or the file's listed hash written.
BOOL HashFileInto(HANDLE hFile, const EVP_MD* md, DWORD* pcbHash, BYTE* pbHash) {
  const auto size = static_cast<DWORD>(EVP_MD_get_size(md));
  if (*pcbHash < size || pbHash == nullptr) {
    *pcbHash = size;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return TRUE;
  }
  const int fd = FdFromHandle(hFile);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  RegularFile file;
  DWORD error = 0;
  if (!file.Attach(fd, &error)) {
    SetLastError(error);
    return FALSE;
  }
  const auto hash = catalog::ListedHashOf(file, md);
  ERR_clear_error();
  if (!hash || hash->size() != size) {
    SetLastError(ERROR_BAD_FORMAT);
    return FALSE;
  }
  std::memcpy(pbHash, hash->data(), size);
  *pcbHash = size;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

// CryptCATAdminCalcHashFromFileHandle (Microsoft's page; Wine's crypt.c and
// its test_calchash): a null handle or size pointer, or nonzero flags, fail
// with ERROR_INVALID_PARAMETER. A size below 20 (or no buffer) is answered
// with 20, TRUE and ERROR_INSUFFICIENT_BUFFER as the last error; otherwise the
// 20-byte SHA-1 hash is written, the size set to 20 and the last error
// cleared. The hash is the one catalogs list: a PE's Authenticode image hash
// (checksum, security directory and certificate table left out; an image
// without certificates zero-padded to a multiple of 8 bytes), the SHA-1 of
// the whole content for any other file. Only regular files are read.
BOOL WINAPI CryptCATAdminCalcHashFromFileHandle(HANDLE hFile, DWORD* pcbHash, BYTE* pbHash,
                                                DWORD dwFlags) {
  const ossl::ApiCall openssl_call;
  if (hFile == nullptr || pcbHash == nullptr || dwFlags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return HashFileInto(hFile, EVP_sha1(), pcbHash, pbHash);
}

// CryptCATAdminCalcHashFromFileHandle2 (Microsoft's page): as
// CryptCATAdminCalcHashFromFileHandle, with the hash of the context (20 bytes
// for SHA-1, 32 for SHA-256); a handle that is not a live context fails with
// ERROR_INVALID_PARAMETER.
BOOL WINAPI CryptCATAdminCalcHashFromFileHandle2(HCATADMIN hCatAdmin, HANDLE hFile, DWORD* pcbHash,
                                                 BYTE* pbHash, DWORD dwFlags) {
  const ossl::ApiCall openssl_call;
  const auto* admin = FromHandle<AdminContext>(hCatAdmin, HandleKind::kCatAdmin);
  if (admin == nullptr || hFile == nullptr || pcbHash == nullptr || dwFlags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return HashFileInto(hFile, admin->hash(), pcbHash, pbHash);
}

// CryptCATAdminEnumCatalogFromHash (Microsoft's page; Wine's crypt.c): the
// next catalog of the database, in its fixed order, that lists the hash.
// With *phPrevCatInfo a context from an earlier call the search continues
// after that catalog and the earlier context is released. No (further)
// catalog: null with ERROR_NOT_FOUND. A bad context, hash or flags: null with
// ERROR_INVALID_PARAMETER.
HCATINFO WINAPI CryptCATAdminEnumCatalogFromHash(HCATADMIN hCatAdmin, BYTE* pbHash, DWORD cbHash,
                                                 DWORD dwFlags, HCATINFO* phPrevCatInfo) {
  const ossl::ApiCall openssl_call;
  if (!IsLiveHandle(hCatAdmin, HandleKind::kCatAdmin) || pbHash == nullptr || cbHash == 0 ||
      dwFlags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* admin = static_cast<AdminContext*>(hCatAdmin);
  std::size_t start = 0;
  if (phPrevCatInfo != nullptr && *phPrevCatInfo != nullptr) {
    const auto previous = TakeHandle<CatalogContext>(*phPrevCatInfo, HandleKind::kCatInfo);
    if (previous == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    start = previous->index + 1;
  }
  if (!admin->listed) {
    if (const auto folder = catalog::DatabaseFolder(admin->config)) {
      admin->database = &catalog::Database::Of(*folder);
      admin->catalogs = admin->database->List();
    }
    admin->listed = true;
  }
  std::optional<std::size_t> found;
  if (admin->database != nullptr) {
    found = admin->database->FindFirst(
        admin->catalogs, start, std::span<const std::uint8_t>(pbHash, cbHash), admin->scanner);
  }
  ERR_clear_error();
  if (!found) {
    SetLastError(ERROR_NOT_FOUND);
    return nullptr;
  }
  return NewHandle(
      std::make_unique<CatalogContext>(CatalogContext{*found, admin->catalogs->paths()[*found]}),
      HandleKind::kCatInfo);
}

// CryptCATCatalogInfoFromContext (Microsoft's page; Wine's crypt.c): fills
// wszCatalogFile with the catalog's path. A bad context, a null structure or
// a cbStruct other than sizeof(CATALOG_INFO): ERROR_INVALID_PARAMETER. A path
// of MAX_PATH units or more does not fit: ERROR_FILENAME_EXCED_RANGE, and the
// structure is left unchanged.
BOOL WINAPI CryptCATCatalogInfoFromContext(HCATINFO hCatInfo, CATALOG_INFO* psCatInfo,
                                           DWORD /*dwFlags*/) {
  if (!IsLiveHandle(hCatInfo, HandleKind::kCatInfo) || psCatInfo == nullptr ||
      psCatInfo->cbStruct != sizeof(CATALOG_INFO)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::u16string path = BytesToUtf16(static_cast<CatalogContext*>(hCatInfo)->path);
  if (path.size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  std::memcpy(psCatInfo->wszCatalogFile, path.data(), path.size() * sizeof(WCHAR));
  psCatInfo->wszCatalogFile[path.size()] = 0;
  return TRUE;
}

// CryptCATAdminReleaseCatalogContext (Wine's crypt.c): frees a catalog
// context; a handle that is not a live admin or catalog context fails with
// ERROR_INVALID_PARAMETER.
BOOL WINAPI CryptCATAdminReleaseCatalogContext(HCATADMIN hCatAdmin, HCATINFO hCatInfo,
                                               DWORD /*dwFlags*/) {
  if (!IsLiveHandle(hCatAdmin, HandleKind::kCatAdmin) ||
      TakeHandle<CatalogContext>(hCatInfo, HandleKind::kCatInfo) == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"

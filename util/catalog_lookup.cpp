#include "util/catalog_lookup.h"

#include <cstdlib>
#include <cstring>

#include "util/file_certificate_info.h"
#include "util/shared.h"

namespace orvik_util {

HRESULT CatalogAdminContext::Acquire() {
  if (CryptCATAdminAcquireContext(&m_handle, nullptr, 0)) return S_OK;
  m_handle = nullptr;
  return E_FAIL;
}

void CatalogAdminContext::Release() {
  if (m_handle != nullptr) {
    CryptCATAdminReleaseContext(m_handle, 0);
    m_handle = nullptr;
  }
}

HRESULT CatalogAdminContext::FindCatalog(const FileHash& hash, CATALOG_INFO& info) const {
  HCATINFO catalog =
      CryptCATAdminEnumCatalogFromHash(m_handle, hash.data(), hash.size(), 0, nullptr);
  if (catalog == nullptr) return E_FAIL;
  const BOOL found = CryptCATCatalogInfoFromContext(catalog, &info, 0);
  CryptCATAdminReleaseCatalogContext(m_handle, catalog, 0);
  return found ? S_OK : E_FAIL;
}

HRESULT FileHash::Create(const WCHAR* path, FileHash** out) {
  auto* hash = new FileHash();
  HRESULT result = hash->OpenFile(path);
  if (SUCCEEDED(result)) result = hash->ComputeHash();
  if (FAILED(result)) {
    delete hash;
    hash = nullptr;
  }
  *out = hash;
  return result;
}

FileHash::~FileHash() {
  if (m_data != nullptr) {
    std::free(m_data);
    m_data = nullptr;
  }
  if (m_file != INVALID_HANDLE_VALUE) {
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
  }
}

HRESULT FileHash::OpenFile(const WCHAR* path) {
  m_file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
  if (m_file == INVALID_HANDLE_VALUE) return HResultFromWin32(GetLastError());
  return S_OK;
}

HRESULT FileHash::ComputeHash() {
  CryptCATAdminCalcHashFromFileHandle(m_file, &m_size, nullptr, 0);
  if (m_size == 0) return E_FAIL;
  m_data = static_cast<BYTE*>(std::calloc(m_size, 1));
  if (m_data == nullptr) return E_FAIL;
  if (!CryptCATAdminCalcHashFromFileHandle(m_file, &m_size, m_data, 0)) return E_FAIL;
  return S_OK;
}

void FileHash::ToMemberTag(WCHAR** out) const {
  static constexpr WCHAR kHex[] = TEXT("0123456789ABCDEF");
  auto* tag =
      static_cast<WCHAR*>(std::calloc(2 * static_cast<std::size_t>(m_size) + 1, sizeof(WCHAR)));
  *out = tag;
  if (tag == nullptr) return;
  for (DWORD i = 0; i < m_size; ++i) {
    tag[2 * i] = kHex[m_data[i] >> 4];
    tag[2 * i + 1] = kHex[m_data[i] & 0xF];
  }
}

bool FileCertificateInfo::FindInCatalog() {
  CatalogAdminContext admin;
  std::memset(&m_catalogInfo, 0, sizeof m_catalogInfo);
  m_catalogInfo.cbStruct = sizeof(CATALOG_INFO);
  std::memset(&m_catalogTrustInfo, 0, sizeof m_catalogTrustInfo);
  m_catalogTrustInfo.cbStruct = offsetof(WINTRUST_CATALOG_INFO, pcCatalogContext) +
                                sizeof(m_catalogTrustInfo.pcCatalogContext);

  if (FAILED(admin.Acquire())) {
    admin.Release();
    return false;
  }
  FileHash* hash = nullptr;
  if (FAILED(FileHash::Create(m_path.c_str(), &hash))) {
    admin.Release();
    return false;
  }
  if (m_memberTag == nullptr) hash->ToMemberTag(&m_memberTag);
  const bool found = SUCCEEDED(admin.FindCatalog(*hash, m_catalogInfo));
  delete hash;
  admin.Release();
  return found;
}

}  // namespace orvik_util

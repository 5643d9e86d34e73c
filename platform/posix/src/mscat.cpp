// Catalog administration functions of the stand-in (wintrust.dll on Windows).
//
// No catalog database is read yet: acquiring a context fails as it does on a
// system without the catalog service, so no file is found in a catalog.
#include <windows.h>
#include <mscat.h>

extern "C" {

BOOL WINAPI CryptCATAdminAcquireContext(HCATADMIN* phCatAdmin, const GUID*, DWORD) {
  if (phCatAdmin) *phCatAdmin = nullptr;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL WINAPI CryptCATAdminReleaseContext(HCATADMIN, DWORD) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

BOOL WINAPI CryptCATAdminCalcHashFromFileHandle(HANDLE, DWORD* pcbHash, BYTE*, DWORD) {
  if (pcbHash) *pcbHash = 0;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

HCATINFO WINAPI CryptCATAdminEnumCatalogFromHash(HCATADMIN, BYTE*, DWORD, DWORD, HCATINFO*) {
  SetLastError(ERROR_NOT_FOUND);
  return nullptr;
}

BOOL WINAPI CryptCATCatalogInfoFromContext(HCATINFO, CATALOG_INFO*, DWORD) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

BOOL WINAPI CryptCATAdminReleaseCatalogContext(HCATADMIN, HCATINFO, DWORD) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

}  // extern "C"

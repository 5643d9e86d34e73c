// POSIX stand-in for <mscat.h>: the catalog administration functions.
#pragma once

#include <wincrypt.h>
#include <windows.h>
#include <wintrust.h>

using HCATADMIN = HANDLE;
using HCATINFO = HANDLE;

typedef struct CATALOG_INFO_ {
  DWORD cbStruct;
  WCHAR wszCatalogFile[MAX_PATH];
} CATALOG_INFO;

extern "C" {
BOOL WINAPI CryptCATAdminAcquireContext(HCATADMIN* phCatAdmin, const GUID* pgSubsystem,
                                        DWORD dwFlags);
BOOL WINAPI CryptCATAdminAcquireContext2(HCATADMIN* phCatAdmin, const GUID* pgSubsystem,
                                         PCWSTR pwszHashAlgorithm,
                                         PCCERT_STRONG_SIGN_PARA pStrongHashPolicy, DWORD dwFlags);
BOOL WINAPI CryptCATAdminReleaseContext(HCATADMIN hCatAdmin, DWORD dwFlags);
BOOL WINAPI CryptCATAdminCalcHashFromFileHandle(HANDLE hFile, DWORD* pcbHash, BYTE* pbHash,
                                                DWORD dwFlags);
BOOL WINAPI CryptCATAdminCalcHashFromFileHandle2(HCATADMIN hCatAdmin, HANDLE hFile, DWORD* pcbHash,
                                                 BYTE* pbHash, DWORD dwFlags);
HCATINFO WINAPI CryptCATAdminEnumCatalogFromHash(HCATADMIN hCatAdmin, BYTE* pbHash, DWORD cbHash,
                                                 DWORD dwFlags, HCATINFO* phPrevCatInfo);
BOOL WINAPI CryptCATCatalogInfoFromContext(HCATINFO hCatInfo, CATALOG_INFO* psCatInfo,
                                           DWORD dwFlags);
BOOL WINAPI CryptCATAdminReleaseCatalogContext(HCATADMIN hCatAdmin, HCATINFO hCatInfo,
                                               DWORD dwFlags);
}

// POSIX stand-in for <wintrust.h>: WinVerifyTrust and its request structures,
// with the SDK's layouts (WINTRUST_DATA without the signature settings
// member, 80 bytes; WINTRUST_CATALOG_INFO without hCatAdmin, 64 bytes).
#pragma once

#include <wincrypt.h>
#include <windows.h>

#define WTD_UI_NONE 2u
#define WTD_REVOKE_NONE 0x00000000u
#define WTD_CHOICE_FILE 1u
#define WTD_CHOICE_CATALOG 2u
#define WTD_STATEACTION_IGNORE 0x00000000u
#define WTD_STATEACTION_VERIFY 0x00000001u
#define WTD_STATEACTION_CLOSE 0x00000002u
#define WTD_SAFER_FLAG 0x00000100u
#define WTD_UICONTEXT_EXECUTE 0u

typedef struct WINTRUST_FILE_INFO_ {
  DWORD cbStruct;
  LPCWSTR pcwszFilePath;
  HANDLE hFile;
  GUID* pgKnownSubject;
} WINTRUST_FILE_INFO, *PWINTRUST_FILE_INFO;

typedef struct WINTRUST_CATALOG_INFO_ {
  DWORD cbStruct;
  DWORD dwCatalogVersion;
  LPCWSTR pcwszCatalogFilePath;
  LPCWSTR pcwszMemberTag;
  LPCWSTR pcwszMemberFilePath;
  HANDLE hMemberFile;
  BYTE* pbCalculatedFileHash;
  DWORD cbCalculatedFileHash;
  PCCTL_CONTEXT pcCatalogContext;
} WINTRUST_CATALOG_INFO, *PWINTRUST_CATALOG_INFO;

typedef struct _WINTRUST_DATA {
  DWORD cbStruct;
  LPVOID pPolicyCallbackData;
  LPVOID pSIPClientData;
  DWORD dwUIChoice;
  DWORD fdwRevocationChecks;
  DWORD dwUnionChoice;
  union {
    struct WINTRUST_FILE_INFO_* pFile;
    struct WINTRUST_CATALOG_INFO_* pCatalog;
    void* pBlob;
    void* pSgnr;
    void* pCert;
  };
  DWORD dwStateAction;
  HANDLE hWVTStateData;
  WCHAR* pwszURLReference;
  DWORD dwProvFlags;
  DWORD dwUIContext;
} WINTRUST_DATA, *PWINTRUST_DATA;

extern "C" {
LONG WINAPI WinVerifyTrust(HWND hwnd, GUID* pgActionID, LPVOID pWVTData);
}

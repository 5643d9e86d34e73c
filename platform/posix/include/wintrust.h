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

// The trust provider's state after a WTD_STATEACTION_VERIFY call, with the
// SDK's layouts (the members after dwUIStateFlags left out).
typedef struct _CRYPT_PROVIDER_CERT {
  DWORD cbStruct;
  PCCERT_CONTEXT pCert;
  BOOL fCommercial;
  BOOL fTrustedRoot;
  BOOL fSelfSigned;
  BOOL fTestCert;
  DWORD dwRevokedReason;
  DWORD dwConfidence;
  DWORD dwError;
  CTL_CONTEXT* pTrustListContext;
  BOOL fTrustListSignerCert;
  PCCTL_CONTEXT pCtlContext;
  DWORD dwCtlError;
  BOOL fIsCyclic;
  PCERT_CHAIN_ELEMENT pChainElement;
} CRYPT_PROVIDER_CERT, *PCRYPT_PROVIDER_CERT;

typedef struct _CRYPT_PROVIDER_SGNR {
  DWORD cbStruct;
  FILETIME sftVerifyAsOf;
  DWORD csCertChain;
  struct _CRYPT_PROVIDER_CERT* pasCertChain;
  DWORD dwSignerType;
  CMSG_SIGNER_INFO* psSigner;
  DWORD dwError;
  DWORD csCounterSigners;
  struct _CRYPT_PROVIDER_SGNR* pasCounterSigners;
  PCCERT_CHAIN_CONTEXT pChainContext;
} CRYPT_PROVIDER_SGNR, *PCRYPT_PROVIDER_SGNR;

typedef struct _CRYPT_PROVIDER_DATA {
  DWORD cbStruct;
  WINTRUST_DATA* pWintrustData;
  BOOL fOpenedFile;
  HWND hWndParent;
  GUID* pgActionID;
  HCRYPTPROV hProv;
  DWORD dwError;
  DWORD dwRegSecuritySettings;
  DWORD dwRegPolicySettings;
  struct _CRYPT_PROVIDER_FUNCTIONS* psPfns;
  DWORD cdwTrustStepErrors;
  DWORD* padwTrustStepErrors;
  DWORD chStores;
  HCERTSTORE* pahStores;
  DWORD dwEncoding;
  HCRYPTMSG hMsg;
  DWORD csSigners;
  struct _CRYPT_PROVIDER_SGNR* pasSigners;
  DWORD csProvPrivData;
  struct _CRYPT_PROVIDER_PRIVDATA* pasProvPrivData;
  DWORD dwSubjectChoice;
  union {
    struct _PROVDATA_SIP* pPDSip;
  };
  char* pszUsageOID;
  BOOL fRecallWithState;
  FILETIME sftSystemTime;
  char* pszCTLSignerUsageOID;
  DWORD dwProvFlags;
  DWORD dwFinalError;
  PCERT_USAGE_MATCH pRequestUsage;
  DWORD dwTrustPubSettings;
  DWORD dwUIStateFlags;
} CRYPT_PROVIDER_DATA, *PCRYPT_PROVIDER_DATA;

extern "C" {
LONG WINAPI WinVerifyTrust(HWND hwnd, GUID* pgActionID, LPVOID pWVTData);
CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE hStateData);
CRYPT_PROVIDER_SGNR* WINAPI WTHelperGetProvSignerFromChain(CRYPT_PROVIDER_DATA* pProvData,
                                                           DWORD idxSigner, BOOL fCounterSigner,
                                                           DWORD idxCounterSigner);
CRYPT_PROVIDER_CERT* WINAPI WTHelperGetProvCertFromChain(CRYPT_PROVIDER_SGNR* pSgnr, DWORD idxCert);
}

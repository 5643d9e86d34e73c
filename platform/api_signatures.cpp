// Pins the type of every Windows API the program calls, so the POSIX
// stand-in cannot drift from the SDK's declarations. Built on both platforms.
#include <windows.h>
// The real SDK headers need <windows.h> before these.
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <mscat.h>
#include <bcrypt.h>
#include <commdlg.h>

#include <cstddef>

#include <type_traits>

#define EXELORE_PIN(function, ...) \
  static_assert(std::is_same_v<decltype(&function), __VA_ARGS__>, #function)

static_assert(sizeof(BYTE) == 1 && sizeof(WORD) == 2 && sizeof(DWORD) == 4);
static_assert(sizeof(LONG) == 4 && std::is_signed_v<LONG>);
static_assert(sizeof(HRESULT) == 4 && std::is_signed_v<HRESULT>);
static_assert(sizeof(WCHAR) == 2);
static_assert(sizeof(UINT) == 4 && sizeof(BOOL) == 4);

// Kernel.
EXELORE_PIN(GetLastError, DWORD(WINAPI*)());
EXELORE_PIN(CreateFileW,
            HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE));
EXELORE_PIN(CloseHandle, BOOL(WINAPI*)(HANDLE));
EXELORE_PIN(GetFileAttributesW, DWORD(WINAPI*)(LPCWSTR));
EXELORE_PIN(GetFileInformationByHandle, BOOL(WINAPI*)(HANDLE, LPBY_HANDLE_FILE_INFORMATION));
EXELORE_PIN(SetEnvironmentVariableW, BOOL(WINAPI*)(LPCWSTR, LPCWSTR));
EXELORE_PIN(GetEnvironmentVariableW, DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD));
static_assert(FILE_FLAG_BACKUP_SEMANTICS == 0x02000000 &&
              FILE_FLAG_OPEN_REPARSE_POINT == 0x00200000);
static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == 52);
EXELORE_PIN(GetStdHandle, HANDLE(WINAPI*)(DWORD));
EXELORE_PIN(WriteFile, BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED));
EXELORE_PIN(ReadFile, BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED));
EXELORE_PIN(SetFilePointer, DWORD(WINAPI*)(HANDLE, LONG, PLONG, DWORD));
EXELORE_PIN(GetConsoleMode, BOOL(WINAPI*)(HANDLE, LPDWORD));
EXELORE_PIN(FindFirstFileW, HANDLE(WINAPI*)(LPCWSTR, LPWIN32_FIND_DATAW));
EXELORE_PIN(FindNextFileW, BOOL(WINAPI*)(HANDLE, LPWIN32_FIND_DATAW));
EXELORE_PIN(FindClose, BOOL(WINAPI*)(HANDLE));
EXELORE_PIN(LocalAlloc, HLOCAL(WINAPI*)(UINT, SIZE_T));
EXELORE_PIN(LocalFree, HLOCAL(WINAPI*)(HLOCAL));
EXELORE_PIN(LoadLibraryW, HMODULE(WINAPI*)(LPCWSTR));
EXELORE_PIN(GetProcAddress, FARPROC(WINAPI*)(HMODULE, LPCSTR));
EXELORE_PIN(FreeLibrary, BOOL(WINAPI*)(HMODULE));
EXELORE_PIN(GetModuleHandleW, HMODULE(WINAPI*)(LPCWSTR));
EXELORE_PIN(OutputDebugStringW, void(WINAPI*)(LPCWSTR));
EXELORE_PIN(FreeConsole, BOOL(WINAPI*)());
EXELORE_PIN(ExitProcess, void(WINAPI*)(UINT));

// Version resource API.
EXELORE_PIN(GetFileVersionInfoSizeW, DWORD(WINAPI*)(LPCWSTR, LPDWORD));
EXELORE_PIN(GetFileVersionInfoW, BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID));
EXELORE_PIN(GetFileVersionInfoSizeExW, DWORD(WINAPI*)(DWORD, LPCWSTR, LPDWORD));
EXELORE_PIN(GetFileVersionInfoExW, BOOL(WINAPI*)(DWORD, LPCWSTR, DWORD, DWORD, LPVOID));
EXELORE_PIN(VerQueryValueW, BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT));

// Certificates and signed messages (crypt32).
EXELORE_PIN(CryptQueryObject, BOOL(WINAPI*)(DWORD, const void*, DWORD, DWORD, DWORD, DWORD*, DWORD*,
                                            DWORD*, HCERTSTORE*, HCRYPTMSG*, const void**));
EXELORE_PIN(CryptMsgGetParam, BOOL(WINAPI*)(HCRYPTMSG, DWORD, DWORD, void*, DWORD*));
EXELORE_PIN(CryptMsgClose, BOOL(WINAPI*)(HCRYPTMSG));
EXELORE_PIN(CertFindCertificateInStore,
            PCCERT_CONTEXT(WINAPI*)(HCERTSTORE, DWORD, DWORD, DWORD, const void*, PCCERT_CONTEXT));
EXELORE_PIN(CertGetNameStringW, DWORD(WINAPI*)(PCCERT_CONTEXT, DWORD, DWORD, void*, LPWSTR, DWORD));
EXELORE_PIN(CertFreeCertificateContext, BOOL(WINAPI*)(PCCERT_CONTEXT));
EXELORE_PIN(CertCloseStore, BOOL(WINAPI*)(HCERTSTORE, DWORD));

// Trust verification (wintrust).
EXELORE_PIN(WinVerifyTrust, LONG(WINAPI*)(HWND, GUID*, LPVOID));

// Catalogs (wintrust's catalog administrator).
EXELORE_PIN(CryptCATAdminAcquireContext, BOOL(WINAPI*)(HCATADMIN*, const GUID*, DWORD));
EXELORE_PIN(CryptCATAdminReleaseContext, BOOL(WINAPI*)(HCATADMIN, DWORD));
EXELORE_PIN(CryptCATAdminCalcHashFromFileHandle, BOOL(WINAPI*)(HANDLE, DWORD*, BYTE*, DWORD));
EXELORE_PIN(CryptCATAdminAcquireContext2,
            BOOL(WINAPI*)(HCATADMIN*, const GUID*, PCWSTR, PCCERT_STRONG_SIGN_PARA, DWORD));
EXELORE_PIN(CryptCATAdminCalcHashFromFileHandle2,
            BOOL(WINAPI*)(HCATADMIN, HANDLE, DWORD*, BYTE*, DWORD));
EXELORE_PIN(CertGetCertificateContextProperty, BOOL(WINAPI*)(PCCERT_CONTEXT, DWORD, void*, DWORD*));
static_assert(CERT_SHA1_HASH_PROP_ID == 3 && CERT_NAME_ISSUER_FLAG == 1);
EXELORE_PIN(WTHelperProvDataFromStateData, CRYPT_PROVIDER_DATA*(WINAPI*)(HANDLE));
EXELORE_PIN(WTHelperGetProvSignerFromChain,
            CRYPT_PROVIDER_SGNR*(WINAPI*)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD));
EXELORE_PIN(WTHelperGetProvCertFromChain,
            CRYPT_PROVIDER_CERT*(WINAPI*)(CRYPT_PROVIDER_SGNR*, DWORD));
static_assert(offsetof(CRYPT_PROVIDER_DATA, pasSigners) == (sizeof(void*) == 8 ? 128 : 68));
static_assert(offsetof(CRYPT_PROVIDER_SGNR, pasCounterSigners) == (sizeof(void*) == 8 ? 48 : 36));
static_assert(offsetof(CRYPT_PROVIDER_CERT, pCert) == sizeof(void*));

// CNG hashes.
EXELORE_PIN(BCryptOpenAlgorithmProvider,
            NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG));
EXELORE_PIN(BCryptCloseAlgorithmProvider, NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, ULONG));
EXELORE_PIN(BCryptCreateHash, NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR,
                                                ULONG, PUCHAR, ULONG, ULONG));
EXELORE_PIN(BCryptHashData, NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG));
EXELORE_PIN(BCryptFinishHash, NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG));
EXELORE_PIN(BCryptDestroyHash, NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE));
EXELORE_PIN(CryptCATAdminEnumCatalogFromHash,
            HCATINFO(WINAPI*)(HCATADMIN, BYTE*, DWORD, DWORD, HCATINFO*));
EXELORE_PIN(CryptCATCatalogInfoFromContext, BOOL(WINAPI*)(HCATINFO, CATALOG_INFO*, DWORD));
EXELORE_PIN(CryptCATAdminReleaseCatalogContext, BOOL(WINAPI*)(HCATADMIN, HCATINFO, DWORD));
static_assert(sizeof(CATALOG_INFO) == sizeof(DWORD) + MAX_PATH * sizeof(WCHAR));
static_assert(sizeof(WIN32_FIND_DATAW) == 592 && offsetof(WIN32_FIND_DATAW, dwReserved0) == 36);

// Layouts the program reads or fills, identical on both sides (64-bit).
static_assert(sizeof(void*) != 8 || sizeof(CMSG_SIGNER_INFO) == 136);
static_assert(sizeof(void*) != 8 || sizeof(CERT_INFO) == 208);
static_assert(sizeof(void*) != 8 || sizeof(CERT_CONTEXT) == 40);
static_assert(sizeof(void*) != 8 || sizeof(WINTRUST_FILE_INFO) == 32);
static_assert(sizeof(void*) != 8 || offsetof(WINTRUST_DATA, dwUIContext) == 76);
static_assert(offsetof(CMSG_SIGNER_INFO, SerialNumber) == sizeof(void*) + sizeof(CERT_NAME_BLOB));
// MinGW's WINTRUST_CATALOG_INFO adds hCatAdmin at the end; the part both
// declare is the SDK's first layout.
static_assert(sizeof(void*) != 8 ||
              offsetof(WINTRUST_CATALOG_INFO, pcCatalogContext) + sizeof(void*) == 64);
static_assert(CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED == 10 && CERT_QUERY_CONTENT_PKCS7_SIGNED == 8);
static_assert(CERT_FIND_SUBJECT_CERT == 0x000B0000 && CERT_NAME_SIMPLE_DISPLAY_TYPE == 4);
static_assert(TRUST_E_NOSIGNATURE == static_cast<HRESULT>(0x800B0100));

// The dialog: window manager (user32) and the Open dialog (comdlg32).
EXELORE_PIN(CreateDialogParamW, HWND(WINAPI*)(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM));
EXELORE_PIN(DestroyWindow, BOOL(WINAPI*)(HWND));
EXELORE_PIN(SetWindowTextW, BOOL(WINAPI*)(HWND, LPCWSTR));
EXELORE_PIN(GetWindowLongW, LONG(WINAPI*)(HWND, int));
EXELORE_PIN(GetParent, HWND(WINAPI*)(HWND));
EXELORE_PIN(GetWindow, HWND(WINAPI*)(HWND, UINT));
EXELORE_PIN(GetWindowRect, BOOL(WINAPI*)(HWND, LPRECT));
EXELORE_PIN(GetClientRect, BOOL(WINAPI*)(HWND, LPRECT));
EXELORE_PIN(MapWindowPoints, int(WINAPI*)(HWND, HWND, LPPOINT, UINT));
EXELORE_PIN(MonitorFromWindow, HMONITOR(WINAPI*)(HWND, DWORD));
EXELORE_PIN(GetMonitorInfoW, BOOL(WINAPI*)(HMONITOR, LPMONITORINFO));
EXELORE_PIN(SetWindowPos, BOOL(WINAPI*)(HWND, HWND, int, int, int, int, UINT));
EXELORE_PIN(ShowWindow, BOOL(WINAPI*)(HWND, int));
EXELORE_PIN(GetMessageW, BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT));
EXELORE_PIN(IsDialogMessageW, BOOL(WINAPI*)(HWND, LPMSG));
EXELORE_PIN(TranslateMessage, BOOL(WINAPI*)(const MSG*));
EXELORE_PIN(DispatchMessageW, LRESULT(WINAPI*)(const MSG*));
EXELORE_PIN(GetDlgItemTextW, UINT(WINAPI*)(HWND, int, LPWSTR, int));
EXELORE_PIN(SetDlgItemTextW, BOOL(WINAPI*)(HWND, int, LPCWSTR));
EXELORE_PIN(GetOpenFileNameW, BOOL(WINAPI*)(LPOPENFILENAMEW));
static_assert(std::is_same_v<DLGPROC, INT_PTR(CALLBACK*)(HWND, UINT, WPARAM, LPARAM)>);
static_assert(sizeof(RECT) == 16 && sizeof(POINT) == 8);
static_assert(sizeof(MONITORINFO) == 40 && sizeof(MONITORINFOEXW) == 104);
static_assert(EN_CHANGE == 0x0300);
static_assert(ERROR_BAD_PATHNAME == 161 && ERROR_CANNOT_FIND_WND_CLASS == 1407 &&
              ERROR_INVALID_INDEX == 1413 && ERROR_INVALID_MONITOR_HANDLE == 1461);
static_assert(sizeof(void*) != 8 || sizeof(OPENFILENAMEW) == 152);
static_assert(sizeof(void*) != 8 || offsetof(OPENFILENAMEW, lpstrFile) == 48);
static_assert(sizeof(void*) != 8 || offsetof(OPENFILENAMEW, Flags) == 96);
static_assert(OFN_PATHMUSTEXIST == 0x800 && OFN_FILEMUSTEXIST == 0x1000);
static_assert((SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE) == 0x15);
static_assert(WM_CLOSE == 0x10 && WM_INITDIALOG == 0x110 && WM_COMMAND == 0x111);
static_assert(GWL_STYLE == -16 && GW_OWNER == 4 && MONITOR_DEFAULTTONEAREST == 2 && SW_SHOW == 5);

// Pins the type of every Windows API the program calls, so the POSIX
// stand-in cannot drift from the SDK's declarations. Built on both platforms.
#include <windows.h>

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
EXELORE_PIN(CreateFileW, HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                          HANDLE));
EXELORE_PIN(CloseHandle, BOOL(WINAPI*)(HANDLE));
EXELORE_PIN(GetFileAttributesW, DWORD(WINAPI*)(LPCWSTR));
EXELORE_PIN(GetStdHandle, HANDLE(WINAPI*)(DWORD));
EXELORE_PIN(WriteFile, BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED));
EXELORE_PIN(LocalAlloc, HLOCAL(WINAPI*)(UINT, SIZE_T));
EXELORE_PIN(LocalFree, HLOCAL(WINAPI*)(HLOCAL));
EXELORE_PIN(LoadLibraryW, HMODULE(WINAPI*)(LPCWSTR));
EXELORE_PIN(GetProcAddress, FARPROC(WINAPI*)(HMODULE, LPCSTR));
EXELORE_PIN(FreeLibrary, BOOL(WINAPI*)(HMODULE));
EXELORE_PIN(GetModuleHandleW, HMODULE(WINAPI*)(LPCWSTR));
EXELORE_PIN(OutputDebugStringW, void(WINAPI*)(LPCWSTR));
EXELORE_PIN(FreeConsole, BOOL(WINAPI*)());

// Version resource API.
EXELORE_PIN(GetFileVersionInfoSizeW, DWORD(WINAPI*)(LPCWSTR, LPDWORD));
EXELORE_PIN(GetFileVersionInfoW, BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID));
EXELORE_PIN(GetFileVersionInfoSizeExW, DWORD(WINAPI*)(DWORD, LPCWSTR, LPDWORD));
EXELORE_PIN(GetFileVersionInfoExW, BOOL(WINAPI*)(DWORD, LPCWSTR, DWORD, DWORD, LPVOID));
EXELORE_PIN(VerQueryValueW, BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT));

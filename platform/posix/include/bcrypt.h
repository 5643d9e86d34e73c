// POSIX stand-in for <bcrypt.h>: the hash functions of the CNG primitives.
#pragma once

#include <windows.h>

using NTSTATUS = LONG;
using PUCHAR = unsigned char*;
using BCRYPT_HANDLE = PVOID;
using BCRYPT_ALG_HANDLE = PVOID;
using BCRYPT_HASH_HANDLE = PVOID;

#define BCRYPT_MD5_ALGORITHM u"MD5"
#define BCRYPT_SHA1_ALGORITHM u"SHA1"
#define BCRYPT_SHA256_ALGORITHM u"SHA256"

#define BCRYPT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

extern "C" {
NTSTATUS WINAPI BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm, LPCWSTR pszAlgId,
                                            LPCWSTR pszImplementation, ULONG dwFlags);
NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags);
NTSTATUS WINAPI BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE* phHash,
                                 PUCHAR pbHashObject, ULONG cbHashObject, PUCHAR pbSecret,
                                 ULONG cbSecret, ULONG dwFlags);
NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput,
                               ULONG dwFlags);
NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput,
                                 ULONG dwFlags);
NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash);
}

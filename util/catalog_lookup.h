// Holders for the short-lived resources of one catalog lookup.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>

namespace orvik_util {

class FileHash;

// Owns a catalog administrator context.
class CatalogAdminContext {
 public:
  CatalogAdminContext() = default;
  ~CatalogAdminContext() { Release(); }
  CatalogAdminContext(const CatalogAdminContext&) = delete;
  CatalogAdminContext& operator=(const CatalogAdminContext&) = delete;

  // S_OK, or E_FAIL with no context held.
  HRESULT Acquire();
  // Releases the context if one is held; calling it again does nothing.
  void Release();
  // Fills `info` with the path of the first catalog that lists the hash:
  // S_OK, or E_FAIL when no catalog lists it or its path cannot be read.
  HRESULT FindCatalog(const FileHash& hash, CATALOG_INFO& info) const;

 private:
  HCATADMIN m_handle = nullptr;
};

// An open file and its catalog hash.
class FileHash {
 public:
  // Opens `path` and computes its hash. On success stores a new object in
  // *out; on failure stores null and returns the HRESULT of the failed step.
  static HRESULT Create(const WCHAR* path, FileHash** out);
  ~FileHash();
  FileHash(const FileHash&) = delete;
  FileHash& operator=(const FileHash&) = delete;

  // Allocates (C runtime heap, zero-filled) the hash as uppercase hexadecimal
  // text, two digits per byte and a terminating zero, and stores it in *out.
  void ToMemberTag(WCHAR** out) const;

  BYTE* data() const { return m_data; }
  DWORD size() const { return m_size; }

 private:
  FileHash() = default;
  HRESULT OpenFile(const WCHAR* path);
  HRESULT ComputeHash();

  BYTE* m_data = nullptr;
  DWORD m_size = 0;
  HANDLE m_file = INVALID_HANDLE_VALUE;
};

}  // namespace orvik_util

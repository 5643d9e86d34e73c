// WinVerifyTrust on a file, as a test or a tool asks for it.
#pragma once

#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "text.h"

namespace exelore_test {

struct Verdict {
  LONG status;
  DWORD last_error;
  bool operator==(const Verdict&) const = default;
};

inline void PrintTo(const Verdict& v, std::ostream* os) {
  *os << std::hex << "{0x" << static_cast<std::uint32_t>(v.status) << ", 0x" << v.last_error << "}"
      << std::dec;
}

// Verifies `path` with the generic Authenticode action in file mode, no user
// interface and no revocation checks. With WTD_STATEACTION_VERIFY the state
// handle is stored in *state for the caller to close.
inline Verdict VerifyFile(const std::string& path, DWORD state_action = WTD_STATEACTION_IGNORE,
                          HANDLE* state = nullptr) {
  const std::u16string wide = exelore_posix::BytesToUtf16(path);
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = wide.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = state_action;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  SetLastError(0xdeadbeef);
  const LONG status = WinVerifyTrust(nullptr, &action, &data);
  const DWORD error = GetLastError();
  if (state != nullptr) *state = data.hWVTStateData;
  return {status, error};
}

// What one catalog-mode verification did, as the program runs it: VERIFY on
// `member` as `tag` in `catalog`, then CLOSE.
struct CatalogRun {
  Verdict verdict;
  HANDLE state_after_verify;
  LONG close_status;
  HANDLE state_after_close;
};

// `calculated`, when given, is handed in as pbCalculatedFileHash: a hash the
// caller claims for the member, which WinVerifyTrust must not take on trust.
inline CatalogRun VerifyCatalogMember(const std::u16string& catalog, const std::u16string& tag,
                                      const std::u16string& member,
                                      std::vector<std::uint8_t> calculated = {}) {
  WINTRUST_CATALOG_INFO info{};
  info.pbCalculatedFileHash = calculated.empty() ? nullptr : calculated.data();
  info.cbCalculatedFileHash = static_cast<DWORD>(calculated.size());
  info.cbStruct = offsetof(WINTRUST_CATALOG_INFO, pcCatalogContext) + sizeof(info.pcCatalogContext);
  info.pcwszCatalogFilePath = catalog.c_str();
  info.pcwszMemberTag = tag.c_str();
  info.pcwszMemberFilePath = member.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_CATALOG;
  data.pCatalog = &info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  SetLastError(0xdeadbeef);
  CatalogRun run{};
  run.verdict.status = WinVerifyTrust(nullptr, &action, &data);
  run.verdict.last_error = GetLastError();
  run.state_after_verify = data.hWVTStateData;
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  run.close_status = WinVerifyTrust(nullptr, &action, &data);
  run.state_after_close = data.hWVTStateData;
  return run;
}

}  // namespace exelore_test

// WinVerifyTrust on a file, as a test or a tool asks for it.
#pragma once

#include <softpub.h>
#include <wintrust.h>

#include <string>

#include "unicode.h"

namespace exelore_test {

struct Verdict {
  LONG status;
  DWORD last_error;
};

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

}  // namespace exelore_test

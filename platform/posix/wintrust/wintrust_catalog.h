// WinVerifyTrust's catalog mode (WTD_CHOICE_CATALOG), called by wintrust.cpp.
#pragma once

#include <wintrust.h>

#include "authenticode/trust_config.h"
#include "judge.h"

namespace exelore_posix {

// Loads the member of the catalog `info` names for the steps (judge.h): the
// catalog's message step (its verdict, kept by the process while the file
// stays the same settled file), the digest the catalog lists under the
// member's tag, and the member file's hash as the subject's.
Subject LoadCatalogMember(const WINTRUST_CATALOG_INFO* info,
                          const authenticode::TrustConfig& config);

}  // namespace exelore_posix

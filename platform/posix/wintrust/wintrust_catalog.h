// WinVerifyTrust's catalog mode (WTD_CHOICE_CATALOG), called by wintrust.cpp.
#pragma once

#include <wintrust.h>

#include "authenticode/trust_config.h"
#include "ossl.h"

namespace exelore_posix {

// Verifies that the catalog `info` names vouches for its member file:
// returns the status WinVerifyTrust returns, stores the last error it leaves
// in *last_error and, on success, the catalog's signer in *signer.
HRESULT VerifyCatalogMember(const WINTRUST_CATALOG_INFO* info,
                            const authenticode::TrustConfig& config, DWORD* last_error,
                            ossl::X509Ptr* signer);

}  // namespace exelore_posix

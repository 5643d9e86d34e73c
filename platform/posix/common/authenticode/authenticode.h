// The Authenticode engine shared by crypt32 (CryptQueryObject), wintrust
// (WinVerifyTrust) and the catalog functions: signed data, the PE image
// hash and embedded signature, signer and timestamp verification, and the
// trust anchors.
#pragma once

#include "image.h"
#include "signed_data.h"
#include "signer.h"
#include "trust_anchors.h"

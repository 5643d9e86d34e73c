// Authenticode signing of fixtures with osslsigncode.
#pragma once

#include <string>

#include "test_pki.h"

namespace exelore_test {

// Signs `in` into `out` with `identity` (its chain goes into the signature)
// using the digest `hash` ("sha1" or "sha256"). Throws std::runtime_error
// when osslsigncode fails.
void SignFile(const PkiIdentity& identity, const std::string& in, const std::string& out,
              const std::string& hash = "sha256");

// Whether osslsigncode is installed (tests that need it skip otherwise).
bool HaveOsslsigncode();

}  // namespace exelore_test

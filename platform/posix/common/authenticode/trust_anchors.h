// The trust anchors every chain is built to (see TrustStore).
#pragma once

#include "ossl.h"

namespace exelore_posix::authenticode {

// The process-wide trust anchors: Windows' code-signing roots built in,
// OpenSSL's default locations (SSL_CERT_DIR and SSL_CERT_FILE honoured) and
// EXELORE_CODESIGN_ROOTS_DIR, and a Windows volume's stores when SystemRoot
// names one. Built on first use, and again when the process has changed
// SSL_CERT_DIR, SSL_CERT_FILE or SystemRoot since. Directories are searched
// through their hash links; the built-in roots and a bundle file are indexed
// by subject, and only the certificates a chain needs are decoded.
X509_STORE* TrustStore();
// Prepares the store for chaining `leaf` with `intermediates`: decodes from
// the built-in roots and the bundle file the certificates whose subjects the
// chain needs.
void PrepareTrustStore(X509* leaf, STACK_OF(X509) * intermediates);

}  // namespace exelore_posix::authenticode

// OpenSSL's chain check without a second verification of the signatures a
// path search has already verified.
#pragma once

#include <openssl/x509_vfy.h>

#include <span>

namespace exelore_posix::authenticode {

// Makes X509_verify_cert on `ctx` (initialised, not yet run) take every
// link (path[i], path[i + 1]) of `path` as verified: the caller has seen
// X509_verify(path[i], X509_get0_pubkey(path[i + 1])) return 1. Every other
// check of OpenSSL's stays: the key usage of each issuer, the validity
// dates, the verify callback at each depth, and the signature of any link
// of the chain OpenSSL builds that is not one of `path`'s. `path` must stay
// valid until X509_verify_cert returns; an ex_data slot of the context of
// its own holds it (the application data stays the caller's). false, with
// `ctx` unchanged, when OpenSSL has no slot to give.
bool TakeLinksAsVerified(X509_STORE_CTX* ctx, const std::span<X509* const>* path);

}  // namespace exelore_posix::authenticode

// The chain check step of OpenSSL's X509_verify_cert, taking a path search's
// verified links as verified (checked_links.h).
#include "checked_links.h"

#include <openssl/x509v3.h>

#include <ctime>

namespace exelore_posix::authenticode {
namespace {

// OpenSSL 3.0 verifies a chain's signatures and dates in one step that
// X509_STORE_CTX_set_verify replaces: the final chain verification
// function, whose "purpose is to go through the chain of certificates and
// check that all signatures are valid and that the current time is within
// the limits of each certificate's first and last validity time" (OpenSSL
// 3.0's X509_STORE_set_verify_cb_func(3)); verify_chain in
// crypto/x509/x509_vfy.c calls it in place of internal_verify, and the
// checks of extensions, purpose, trust, name constraints and policies run
// before and after it whatever it is. ChainStep is internal_verify's walk,
// in its order and with its reports to the verify callback, through the
// public API, with one difference: a link the path search verified is not
// verified again. It leaves ctx->current_issuer unset, which nothing after
// this step reads (no CRLs are checked).

// Reports `error` for `cert` at `depth` to the verify callback, as
// internal_verify's CB_FAIL_IF does; false when the callback stops the check.
bool Report(X509_STORE_CTX* ctx, X509* cert, int depth, int error) {
  X509_STORE_CTX_set_error_depth(ctx, depth);
  X509_STORE_CTX_set_current_cert(ctx, cert);
  X509_STORE_CTX_set_error(ctx, error);
  return X509_STORE_CTX_get_verify_cb(ctx)(0, ctx) != 0;
}

// ossl_x509_check_cert_time: `cert`'s validity period against the time the
// context's parameters name, or now.
bool CheckTime(X509_STORE_CTX* ctx, X509* cert, int depth) {
  const X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
  const unsigned long flags = X509_VERIFY_PARAM_get_flags(param);
  std::time_t at = X509_VERIFY_PARAM_get_time(param);
  std::time_t* when = nullptr;
  if ((flags & X509_V_FLAG_USE_CHECK_TIME) != 0) {
    when = &at;
  } else if ((flags & X509_V_FLAG_NO_CHECK_TIME) != 0) {
    return true;
  }
  const int before = X509_cmp_time(X509_get0_notBefore(cert), when);
  if (before == 0 && !Report(ctx, cert, depth, X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD)) {
    return false;
  }
  if (before > 0 && !Report(ctx, cert, depth, X509_V_ERR_CERT_NOT_YET_VALID)) return false;
  const int after = X509_cmp_time(X509_get0_notAfter(cert), when);
  if (after == 0 && !Report(ctx, cert, depth, X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD)) {
    return false;
  }
  return after >= 0 || Report(ctx, cert, depth, X509_V_ERR_CERT_HAS_EXPIRED);
}

// The context's slot for the path (OpenSSL's ex_data; the application data
// slot stays the caller's).
int PathIndex() {
  static const int index = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

bool InPath(const std::span<X509* const>& path, X509* subject, X509* issuer) {
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    if (X509_cmp(path[i], subject) == 0 && X509_cmp(path[i + 1], issuer) == 0) return true;
  }
  return false;
}

// `subject`'s signature by `issuer` (at depth n and the one above it), as
// internal_verify checks it: the issuer's key usage must allow signing
// certificates (X509_check_issued, on a link whose names already match,
// gives ossl_x509_signing_allowed's answer; not asked of a self-issued
// certificate that is no CA), its key must decode, and the signature must
// verify unless the path search verified that very link.
bool CheckSignature(X509_STORE_CTX* ctx, X509* subject, X509* issuer, int depth,
                    const std::span<X509* const>& path) {
  const int issuer_depth = depth + (subject == issuer ? 0 : 1);
  const int allowed = subject == issuer && (X509_get_extension_flags(issuer) & EXFLAG_CA) == 0
                          ? X509_V_OK
                          : X509_check_issued(issuer, subject);
  if (allowed != X509_V_OK && !Report(ctx, issuer, issuer_depth, allowed)) return false;
  EVP_PKEY* key = X509_get0_pubkey(issuer);
  if (key == nullptr) {
    return Report(ctx, issuer, issuer_depth, X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY);
  }
  if (InPath(path, subject, issuer) || X509_verify(subject, key) > 0) return true;
  return Report(ctx, subject, depth, X509_V_ERR_CERT_SIGNATURE_FAILURE);
}

int ChainStep(X509_STORE_CTX* ctx) {
  const auto& path =
      *static_cast<const std::span<X509* const>*>(X509_STORE_CTX_get_ex_data(ctx, PathIndex()));
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
  const unsigned long flags = X509_VERIFY_PARAM_get_flags(X509_STORE_CTX_get0_param(ctx));
  int n = sk_X509_num(chain) - 1;
  X509* issuer = sk_X509_value(chain, n);
  X509* subject = issuer;
  // A top that is not self-issued has no signature to check: taken as it is
  // with a partial chain, an error without one.
  bool unsigned_top = false;
  if (X509_STORE_CTX_get_check_issued(ctx)(ctx, issuer, issuer) == 0) {
    if ((flags & X509_V_FLAG_PARTIAL_CHAIN) != 0) {
      unsigned_top = true;
    } else if (n <= 0) {
      if (!Report(ctx, issuer, 0, X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE)) return 0;
      unsigned_top = true;
    } else {
      subject = sk_X509_value(chain, --n);
    }
  }
  for (;;) {
    // A self-signed certificate's own signature only on request.
    const bool check = !unsigned_top &&
                       (subject != issuer || ((flags & X509_V_FLAG_CHECK_SS_SIGNATURE) != 0 &&
                                              (X509_get_extension_flags(issuer) & EXFLAG_SS) != 0));
    unsigned_top = false;
    if (check && !CheckSignature(ctx, subject, issuer, n, path)) return 0;
    if (!CheckTime(ctx, subject, n)) return 0;
    // Success at this depth; an error reported before stays.
    X509_STORE_CTX_set_current_cert(ctx, subject);
    X509_STORE_CTX_set_error_depth(ctx, n);
    if (X509_STORE_CTX_get_verify_cb(ctx)(1, ctx) == 0) return 0;
    if (--n < 0) return 1;
    issuer = subject;
    subject = sk_X509_value(chain, n);
  }
}

}  // namespace

bool TakeLinksAsVerified(X509_STORE_CTX* ctx, const std::span<X509* const>* path) {
  if (PathIndex() < 0 || X509_STORE_CTX_set_ex_data(
                             ctx, PathIndex(), const_cast<std::span<X509* const>*>(path)) != 1) {
    return false;
  }
  X509_STORE_CTX_set_verify(ctx, ChainStep);
  return true;
}

}  // namespace exelore_posix::authenticode

// Chains as Windows builds and judges them for Authenticode: every
// candidate issuer from every source is tried until a path reaches a trust
// anchor and passes; OpenSSL checks each path, and its result is mapped to
// the CERT_E_ and TRUST_E_ codes, with the usage, key, root-program and
// distrust rules Windows adds.
#include <openssl/x509v3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "registry_stores.h"
#include "root_program.h"
#include "signed_data.h"
#include "trust_anchors.h"
#include "verification.h"

namespace exelore_posix::authenticode {
namespace {

constexpr int kMinRsaBits = 1024;

HRESULT ChainError(int error) {
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return CERT_E_EXPIRED;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return CERT_E_UNTRUSTEDROOT;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
      return CERT_E_CHAINING;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return TRUST_E_CERT_SIGNATURE;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
      return TRUST_E_BASIC_CONSTRAINTS;
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
      return CERT_E_CRITICAL;
    case X509_V_ERR_INVALID_PURPOSE:
      return CERT_E_WRONG_USAGE;
    // RFC 5280 section 6.1.5: the policy tree is empty where a
    // policyConstraints of the chain requires an explicit policy. Windows'
    // chain engine sets CERT_TRUST_INVALID_POLICY_CONSTRAINTS, which its
    // Authenticode policy reports as CERT_E_INVALID_POLICY (Microsoft's
    // CERT_TRUST_STATUS page).
    case X509_V_ERR_NO_EXPLICIT_POLICY:
    case X509_V_ERR_INVALID_POLICY_EXTENSION:
      return CERT_E_INVALID_POLICY;
    default:
      return CERT_E_CHAINING;
  }
}

std::uint32_t EkuFlagFor(int nid) {
  switch (nid) {
    case NID_code_sign:
      return XKU_CODE_SIGN;
    case NID_time_stamp:
      return XKU_TIMESTAMP;
    default:
      return 0;
  }
}

// Windows' root store makes a certificate an anchor whatever its extensions
// (Microsoft Root Authority of 1997 has neither basicConstraints nor
// keyUsage), where OpenSSL asks every issuer to be a CA. Forgive that only
// for the anchor itself, the last certificate of the chain and one taken
// from the trust store: an intermediate that is not a CA stays refused.
int ForgiveAnchorExtensions(int ok, X509_STORE_CTX* ctx) {
  if (ok == 1) return ok;
  const int error = X509_STORE_CTX_get_error(ctx);
  if (error != X509_V_ERR_INVALID_CA && error != X509_V_ERR_KEYUSAGE_NO_CERTSIGN) return ok;
  const int depth = X509_STORE_CTX_get_error_depth(ctx);
  const int anchor = sk_X509_num(X509_STORE_CTX_get0_chain(ctx)) - 1;
  return depth == anchor && depth >= X509_STORE_CTX_get_num_untrusted(ctx) ? 1 : ok;
}

}  // namespace

// Windows' chain engine refuses RSA keys shorter than 1024 bits (Microsoft
// Security Advisory 2661254), anchors included. Of elliptic curves it takes
// the NIST curves P-256, P-384 and P-521, named by their object identifiers
// (Microsoft's "CNG Algorithm Identifiers" and the ECC curves CryptoAPI
// decodes in certificates, szOID_ECC_CURVE_P256/P384/P521); a key on any
// other curve, or whose curve is spelled out as explicit parameters (RFC 5480
// section 2.1.1 forbids them in certificates: implicitCurve and
// specifiedCurve MUST NOT be used), is as good as no key: secp112r1's
// discrete logarithm is public knowledge since 2009.
bool WeakKey(X509* cert) {
  EVP_PKEY* key = X509_get0_pubkey(cert);
  if (key == nullptr) return true;
  switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA:
    case EVP_PKEY_RSA_PSS:
      return EVP_PKEY_get_bits(key) < kMinRsaBits;
    case EVP_PKEY_EC:
      break;
    default:
      return false;
  }
  X509_ALGOR* algorithm = nullptr;
  if (X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &algorithm, X509_get_X509_PUBKEY(cert)) !=
      1) {
    return true;
  }
  int parameter_type = V_ASN1_UNDEF;
  const void* parameter = nullptr;
  X509_ALGOR_get0(nullptr, &parameter_type, &parameter, algorithm);
  if (parameter_type != V_ASN1_OBJECT) return true;  // explicit or implicit curve
  switch (OBJ_obj2nid(static_cast<const ASN1_OBJECT*>(parameter))) {
    case NID_X9_62_prime256v1:
    case NID_secp384r1:
    case NID_secp521r1:
      return false;
    default:
      return true;
  }
}

bool ListsUsage(X509* cert, const ASN1_OBJECT* usage) {
  ossl::UsagesPtr usages(static_cast<EXTENDED_KEY_USAGE*>(
      X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr)));
  for (int i = 0; usages && i < sk_ASN1_OBJECT_num(usages.get()); ++i) {
    if (OBJ_cmp(sk_ASN1_OBJECT_value(usages.get(), i), usage) == 0) return true;
  }
  return false;
}

// Microsoft's lifetime-signing usage (szOID_KP_LIFETIME_SIGNING): a
// signature by such a certificate ends with the certificate, timestamp or
// not ("Timestamp Processing with Lifetime Signing Semantics" in Microsoft's
// Authenticode PE format document).
const ASN1_OBJECT* LifetimeSigning() {
  static const ASN1_OBJECT* const oid = OBJ_txt2obj("1.3.6.1.4.1.311.10.3.13", 1);
  return oid;
}

namespace {

constexpr std::size_t kMaxChainDepth = 10;
// Signature checks one chain may cost: a certificate set stuffed with
// same-named certificates cannot make a search run long.
constexpr int kMaxSignatureChecks = 256;

// The search for a path from a leaf to an anchor, as Windows' chain engine
// searches: at each certificate every candidate issuer counts (anchors
// first, then the message's certificates in their order, then a volume's CA
// stores), a candidate counts only if its key verifies the certificate's
// signature, and the first path that reaches an anchor and passes every
// rule wins. So a certificate that anyone can add to the unsigned set with
// the real issuer's name (a decoy, a cross certificate to another root)
// never hides the path to a trusted root.
class PathSearch {
 public:
  PathSearch(const TrustConfig& config, STACK_OF(X509) * certificates,
             std::optional<std::time_t> at, int eku_nid)
      : config_(config),
        certificates_(certificates),
        volume_(registry::Volume(config.system_root)),
        at_(at),
        eku_nid_(eku_nid) {}

  HRESULT Run(X509* leaf) {
    path_.push_back(leaf);
    Distrust(leaf);
    const bool passed = Search();
    // Explicit distrust of any certificate on a path the signatures bear
    // outranks everything else.
    if (distrusted_) return TRUST_E_EXPLICIT_DISTRUST;
    if (passed) return S_OK;
    if (first_failure_) return *first_failure_;
    return untrusted_root_ ? CERT_E_UNTRUSTEDROOT : CERT_E_CHAINING;
  }

 private:
  struct Candidate {
    X509* cert;
    std::optional<Anchor> anchor;
  };

  void Distrust(X509* cert) {
    if (volume_ != nullptr && volume_->Distrusts(cert)) distrusted_ = true;
  }

  // Whether `issuer`'s name and key identifiers fit `child` and its key
  // verifies `child`'s signature.
  bool Issues(X509* issuer, X509* child) {
    if (X509_check_issued(issuer, child) != X509_V_OK) return false;
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    if (key == nullptr || ++signature_checks_ > kMaxSignatureChecks) return false;
    const bool verifies = X509_verify(child, key) == 1;
    ERR_clear_error();
    return verifies;
  }

  std::vector<Candidate> CandidatesFor(X509* cert) {
    const X509_NAME* name = X509_get_issuer_name(cert);
    std::vector<Candidate> candidates;
    for (const Anchor& anchor : AnchorsBySubject(config_, name)) {
      candidates.push_back({anchor.cert, anchor});
    }
    const auto add = [&](X509* c) {
      for (const Candidate& known : candidates) {
        if (X509_cmp(known.cert, c) == 0) return;  // an anchor the message carries too
      }
      candidates.push_back({c, std::nullopt});
    };
    for (int i = 0; i < sk_X509_num(certificates_); ++i) {
      X509* c = sk_X509_value(certificates_, i);
      if (X509_NAME_cmp(X509_get_subject_name(c), name) == 0) add(c);
    }
    if (volume_ != nullptr) {
      for (X509* c : volume_->IntermediatesBySubject(name)) add(c);
    }
    return candidates;
  }

  bool Search() {
    X509* top = path_.back();
    for (const Candidate& c : CandidatesFor(top)) {
      if (std::find(path_.begin(), path_.end(), c.cert) != path_.end()) continue;
      if (!Issues(c.cert, top)) continue;
      Distrust(c.cert);
      path_.push_back(c.cert);
      if (c.anchor ? Evaluate(*c.anchor) : path_.size() < kMaxChainDepth && Search()) return true;
      path_.pop_back();
    }
    // A root no source trusts: the path ends here.
    if (X509_check_issued(top, top) == X509_V_OK) untrusted_root_ = true;
    return false;
  }

  // Judges the path found, which ends at `anchor`.
  bool Evaluate(const Anchor& anchor) {
    const HRESULT hr = Judge(anchor);
    if (hr == S_OK) return true;
    if (!first_failure_) first_failure_ = hr;
    return false;
  }

  HRESULT Judge(const Anchor& anchor) {
    ossl::StorePtr store(X509_STORE_new());
    ossl::X509StackViewPtr intermediates(sk_X509_new_null());
    if (!store || !intermediates || X509_STORE_add_cert(store.get(), anchor.cert) != 1) {
      return TRUST_E_SYSTEM_ERROR;
    }
    for (std::size_t i = 1; i + 1 < path_.size(); ++i) {
      if (sk_X509_push(intermediates.get(), path_[i]) <= 0) return TRUST_E_SYSTEM_ERROR;
    }
    ossl::StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (!ctx ||
        X509_STORE_CTX_init(ctx.get(), store.get(), path_.front(), intermediates.get()) != 1) {
      return TRUST_E_SYSTEM_ERROR;
    }
    X509_STORE_CTX_set_verify_cb(ctx.get(), ForgiveAnchorExtensions);
    if (at_) X509_STORE_CTX_set_time(ctx.get(), 0, *at_);
    // OpenSSL builds the policy tree, and honours policyConstraints, only
    // when asked to; the initial policy set is anyPolicy, as Authenticode
    // asks for no particular policy (RFC 5280 section 6.1.1 (c)).
    ASN1_OBJECT* any_policy = OBJ_dup(OBJ_nid2obj(NID_any_policy));
    if (any_policy == nullptr ||
        X509_VERIFY_PARAM_add0_policy(X509_STORE_CTX_get0_param(ctx.get()), any_policy) != 1) {
      ASN1_OBJECT_free(any_policy);
      return TRUST_E_SYSTEM_ERROR;
    }
    // A root the user adds is an anchor whether or not it signed itself.
    X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_POLICY_CHECK | X509_V_FLAG_PARTIAL_CHAIN);
    const bool built = X509_verify_cert(ctx.get()) == 1;
    const int error = X509_STORE_CTX_get_error(ctx.get());
    ERR_clear_error();
    if (!built) return ChainError(error);
    // Windows checks usage along the whole chain: a certificate that lists
    // extended key usages must list the one asked for.
    const std::uint32_t wanted = EkuFlagFor(eku_nid_);
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
    for (int i = 0; i < sk_X509_num(chain); ++i) {
      X509* cert = sk_X509_value(chain, i);
      const std::uint32_t flags = X509_get_extension_flags(cert);
      if ((flags & EXFLAG_INVALID) != 0) return CERT_E_MALFORMED;
      if ((flags & EXFLAG_XKUSAGE) != 0 && (X509_get_extended_key_usage(cert) & wanted) == 0) {
        return CERT_E_WRONG_USAGE;
      }
      if (WeakKey(cert)) return TRUST_E_CERT_SIGNATURE;
    }
    // The list's entry and the volume copy's properties each restrict the
    // root: both apply.
    for (const RootProgramEntry* rules : {anchor.program, anchor.volume}) {
      if (rules == nullptr) continue;
      if (const HRESULT hr = CheckProgramRules(*rules, chain); hr != S_OK) return hr;
    }
    return volume_ != nullptr ? volume_->CheckUsage(chain, eku_nid_) : S_OK;
  }

  // Whether the signature the chain is judged for was timestamped before
  // `when`: only a valid timestamp proves when something was signed.
  bool TimestampedBefore(std::time_t when) const { return at_ && *at_ < when; }

  // The rules Microsoft's Trusted Root Program list sets for `entry`'s root,
  // as Windows applies them (Microsoft's page "Trusted root program:
  // deprecation"; the attributes as root_program.h reads them), whether the
  // built-in list or a volume's store blob carries them. A root Windows
  // installs in its own ROOT store has no entry and none of these rules:
  // root_program.h (InWindowsRootStore) says why.
  // - a usage list that lacks the usage, or the usage among the disallowed
  //   ones: the root does not anchor it, timestamp or not (EKU removal);
  // - Disable: not trusted, except for signatures timestamped before;
  // - NotBefore (for every usage, or for those it lists): a leaf issued
  //   after it is not trusted, except for signatures timestamped before;
  // - MD5 (and older digests) in a certificate's signature below the root
  //   (Microsoft Security Advisory 2862973): refused for code signing, but
  //   for signatures timestamped before March 2009, and for time stamping.
  HRESULT CheckProgramRules(const RootProgramEntry& entry, STACK_OF(X509) * chain) const {
    char text[80];
    if (OBJ_obj2txt(text, sizeof text, OBJ_nid2obj(eku_nid_), 1) <= 0) return CERT_E_WRONG_USAGE;
    const std::string usage = text;
    const auto lists = [&](const std::vector<std::string>& usages) {
      return std::find(usages.begin(), usages.end(), usage) != usages.end();
    };
    if ((!entry.usages.empty() && !lists(entry.usages)) || lists(entry.disallowed_usages)) {
      return CERT_E_WRONG_USAGE;
    }
    if (entry.disabled_at && !TimestampedBefore(*entry.disabled_at)) return CERT_E_UNTRUSTEDROOT;
    if (entry.not_before && (entry.not_before_usages.empty() || lists(entry.not_before_usages)) &&
        !TimestampedBefore(*entry.not_before)) {
      const auto issued = ToTimeT(X509_get0_notBefore(sk_X509_value(chain, 0)));
      if (!issued || *issued > *entry.not_before) return CERT_E_UNTRUSTEDROOT;
    }
    constexpr std::time_t kMd5CodeSigningCutoff = 1235865600;  // 2009-03-01
    for (int i = 0; i + 1 < sk_X509_num(chain); ++i) {
      int digest = NID_undef;
      if (OBJ_find_sigid_algs(X509_get_signature_nid(sk_X509_value(chain, i)), &digest, nullptr) !=
          1) {
        continue;
      }
      const bool weak = digest == NID_md5 || digest == NID_md4 || digest == NID_md2;
      if (weak && !(eku_nid_ == NID_code_sign && TimestampedBefore(kMd5CodeSigningCutoff))) {
        return TRUST_E_CERT_SIGNATURE;
      }
    }
    return S_OK;
  }

  const TrustConfig& config_;
  STACK_OF(X509) * certificates_;
  const registry::MachineStores* volume_;
  std::optional<std::time_t> at_;
  int eku_nid_;
  std::vector<X509*> path_;  // the leaf first
  int signature_checks_ = 0;
  bool distrusted_ = false;
  bool untrusted_root_ = false;
  std::optional<HRESULT> first_failure_;
};

}  // namespace

HRESULT VerifyChain(const TrustConfig& config, X509* leaf, STACK_OF(X509) * certificates,
                    std::optional<std::time_t> at, int eku_nid) {
  return PathSearch(config, certificates, at, eku_nid).Run(leaf);
}

}  // namespace exelore_posix::authenticode

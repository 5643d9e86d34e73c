// Chains as Windows builds and judges them for Authenticode: every
// candidate issuer from every source is tried until a path reaches a trust
// anchor and passes; OpenSSL checks each path, and its result is mapped to
// the CERT_E_ and TRUST_E_ codes, with the usage, key, root-program and
// distrust rules Windows adds.
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "checked_links.h"
#include "registry_stores.h"
#include "root_program.h"
#include "digest.h"
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

// Windows' rules where OpenSSL's verification differs from them:
// - Windows' root store makes a certificate an anchor whatever its
//   extensions (Microsoft Root Authority of 1997 has neither
//   basicConstraints nor keyUsage), where OpenSSL asks every issuer to be a
//   CA. Forgive that only for the anchor itself, the last certificate of
//   the chain and one taken from the trust store: an intermediate that is
//   not a CA stays refused.
// - A certificate is valid from notBefore to notAfter, both included (RFC
//   5280 section 4.1.2.5: "the period of time from notBefore through
//   notAfter, inclusive"; CertVerifyTimeValidity returns 1 only for a time
//   after notAfter). OpenSSL counts the notAfter second itself as expired;
//   a time there with no fraction of a second after it (the context's app
//   data, an Instant) is forgiven.
int WindowsChainRules(int ok, X509_STORE_CTX* ctx) {
  if (ok == 1) return ok;
  const int error = X509_STORE_CTX_get_error(ctx);
  if (error == X509_V_ERR_CERT_HAS_EXPIRED) {
    const auto* at = static_cast<const Instant*>(X509_STORE_CTX_get_app_data(ctx));
    X509* cert = X509_STORE_CTX_get_current_cert(ctx);
    return at != nullptr && !at->past_second && cert != nullptr &&
                   ASN1_TIME_cmp_time_t(X509_get0_notAfter(cert), at->seconds) == 0
               ? 1
               : ok;
  }
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
// Signature checks one search may cost. A certificate set stuffed with
// certificates named like an issuer cannot make a search run long, and the
// checks are shared out among the candidates of each certificate (see
// Search), so that no flood at one level spends them all before the real
// issuer is tried.
constexpr int kMaxSignatureChecks = 2048;

// The search for a path from a leaf to an anchor, as Windows' chain engine
// searches: at each certificate every candidate issuer counts (anchors,
// the message's certificates and a volume's CA stores), a candidate counts
// only if its key verifies the certificate's signature, and the first path
// that reaches an anchor and passes every rule with no distrusted
// certificate on it wins. So a certificate that anyone can add to the
// unsigned set with the real issuer's name (a decoy, a cross certificate to
// another root, one the volume distrusts) never hides the path to a trusted
// root.
class PathSearch {
 public:
  PathSearch(const TrustConfig& config, STACK_OF(X509) * certificates, std::optional<Instant> at,
             int eku_nid)
      : config_(config),
        certificates_(certificates),
        volume_(registry::Volume(config.system_root)),
        at_(at),
        when_(at.value_or(Instant{std::time(nullptr)})),
        eku_nid_(eku_nid) {
    for (int i = 0; i < sk_X509_num(certificates); ++i) {
      by_subject_.push_back(sk_X509_value(certificates, i));
    }
    std::stable_sort(by_subject_.begin(), by_subject_.end(), SubjectOrder());
  }

  // Windows builds the candidate paths and returns the best of them, the
  // others kept as its "lower quality" chains (CERT_CHAIN_CONTEXT's
  // rgpLowerQualityChainContext; Wine's dlls/crypt32/chain.c,
  // CRYPT_ChooseHighestQualityChain, ranks them by CRYPT_ChainQuality:
  // trusted root, basic constraints, complete, time and signatures valid).
  // A path that passes and carries no distrusted certificate is the best
  // there is. When there is none, a distrusted certificate on any path
  // tried (the leaf's own distrust among them) outranks the other failures.
  HRESULT Run(X509* leaf) {
    path_.push_back(leaf);
    if (Distrusted(leaf)) distrusted_ = true;
    int budget = kMaxSignatureChecks;
    if (Search(&budget)) return S_OK;
    if (distrusted_) return TRUST_E_EXPLICIT_DISTRUST;
    if (first_failure_) return *first_failure_;
    return untrusted_root_ ? CERT_E_UNTRUSTEDROOT : CERT_E_CHAINING;
  }

 private:
  // Orders certificates by subject name (the order X509_NAME_cmp gives,
  // of canonical encodings, which decoding computes), for a lookup in
  // O(log n) per certificate of a path however large the message's set is.
  struct SubjectOrder {
    bool operator()(X509* a, X509* b) const {
      return X509_NAME_cmp(X509_get_subject_name(a), X509_get_subject_name(b)) < 0;
    }
    bool operator()(X509* a, const X509_NAME* b) const {
      return X509_NAME_cmp(X509_get_subject_name(a), b) < 0;
    }
    bool operator()(const X509_NAME* a, X509* b) const {
      return X509_NAME_cmp(a, X509_get_subject_name(b)) < 0;
    }
  };

  struct Candidate {
    X509* cert;
    std::optional<Anchor> anchor;
    int rank = 0;  // the order of trial, lowest first
  };

  bool Distrusted(X509* cert) const { return volume_ != nullptr && volume_->Distrusts(cert); }

  // Whether the key of `issuer` verifies `child`'s signature, at the cost
  // of one check from *budget; candidates with a key already tried for
  // `child` cost nothing (`tried` keeps the keys and their answers).
  bool Verifies(X509* issuer, X509* child, std::vector<std::pair<EVP_PKEY*, bool>>* tried,
                int* budget) {
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    if (key == nullptr) return false;
    for (const auto& [known, verifies] : *tried) {
      if (EVP_PKEY_eq(known, key) == 1) return verifies;
    }
    if (*budget <= 0) return false;
    --*budget;
    const bool verifies = X509_verify(child, key) == 1;
    ERR_clear_error();
    tried->emplace_back(key, verifies);
    return verifies;
  }

  // The candidate issuers of `cert` in the order they are tried. Only
  // certificates whose name and key identifier fit it count
  // (X509_check_issued: their subject is its issuer, a subject key
  // identifier they carry is its authority key identifier, and their key
  // is of its signature's type). Then, before any signature is checked,
  // ranked: one whose subject key identifier is
  // the child's authority key identifier and the hash of its own key first,
  // one whose identifier is the child's but not its key's hash next, one
  // that says nothing either way after, one the volume distrusts last;
  // anchors before the rest at each rank, then the message's certificates
  // in their order, then the volume's CA stores.
  std::vector<Candidate> CandidatesFor(X509* cert) {
    const X509_NAME* name = X509_get_issuer_name(cert);
    const ASN1_OCTET_STRING* authority_key = X509_get0_authority_key_id(cert);
    std::vector<Candidate> candidates;
    // Each certificate once, an anchor the message carries too among them.
    const auto before = [](X509* a, X509* b) { return X509_cmp(a, b) < 0; };
    std::set<X509*, decltype(before)> seen(before);
    const auto add = [&](X509* c, std::optional<Anchor> anchor) {
      if (!seen.insert(c).second) return;
      if (X509_check_issued(c, cert) != X509_V_OK) return;
      const ASN1_OCTET_STRING* key_id = X509_get0_subject_key_id(c);
      const bool named = authority_key != nullptr && key_id != nullptr &&
                         ASN1_OCTET_STRING_cmp(authority_key, key_id) == 0;
      // A key identifier anyone can copy; one that is the SHA-1 of the
      // certificate's own key (RFC 5280 section 4.2.1.2, method 1, what
      // CAs write) a certificate with another key cannot carry.
      unsigned char key_hash[EVP_MAX_MD_SIZE];
      unsigned int key_hash_length = 0;
      const bool own =
          named && X509_pubkey_digest(c, EVP_sha1(), key_hash, &key_hash_length) == 1 &&
          SameDigest(std::span<const std::uint8_t>(key_hash, key_hash_length),
                     std::span<const std::uint8_t>(
                         ASN1_STRING_get0_data(key_id),
                         static_cast<std::size_t>(std::max(0, ASN1_STRING_length(key_id)))));
      candidates.push_back({c, std::move(anchor), Distrusted(c) ? 3 : own ? 0 : named ? 1 : 2});
    };
    for (const Anchor& anchor : AnchorsBySubject(config_, name)) add(anchor.cert, anchor);
    const auto [from, to] =
        std::equal_range(by_subject_.begin(), by_subject_.end(), name, SubjectOrder());
    for (auto it = from; it != to; ++it) add(*it, std::nullopt);
    if (volume_ != nullptr) {
      for (X509* c : volume_->IntermediatesBySubject(name)) add(c, std::nullopt);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.rank < b.rank; });
    return candidates;
  }

  // Searches for a passing path above the top of path_, spending at most
  // *budget signature checks (what it spends is taken off). Each candidate
  // may spend, on its own check and the search above it, no more than an
  // equal share of what is left among the candidates of its rank still to
  // try: a flood of n certificates that verify nothing, or that lead to an
  // attacker's own maze, leaves the last candidate of their rank at least
  // 1/n of the budget, and takes nothing from a candidate ranked before
  // them (the real issuer, whenever its key identifier names it).
  bool Search(int* budget) {
    X509* top = path_.back();
    const std::vector<Candidate> candidates = CandidatesFor(top);
    std::vector<std::pair<EVP_PKEY*, bool>> tried;
    std::size_t rank_end = 0;
    for (std::size_t i = 0; i < candidates.size() && *budget > 0; ++i) {
      const Candidate& c = candidates[i];
      while (rank_end <= i ||
             (rank_end < candidates.size() && candidates[rank_end].rank == c.rank)) {
        ++rank_end;
      }
      if (std::find(path_.begin(), path_.end(), c.cert) != path_.end()) continue;
      int share = std::max(1, *budget / static_cast<int>(rank_end - i));
      const int granted = share;
      const bool verifies = Verifies(c.cert, top, &tried, &share);
      bool passed = false;
      if (verifies) {
        if (Distrusted(c.cert)) distrusted_ = true;
        path_.push_back(c.cert);
        passed = c.anchor ? Evaluate(*c.anchor) : path_.size() < kMaxChainDepth && Search(&share);
        path_.pop_back();
      }
      *budget -= granted - share;
      if (passed) return true;
    }
    // A root no source trusts: the path ends here.
    if (X509_check_issued(top, top) == X509_V_OK) untrusted_root_ = true;
    return false;
  }

  // Judges the path found, which ends at `anchor`: it wins when it passes
  // and no certificate on it is distrusted.
  bool Evaluate(const Anchor& anchor) {
    const bool distrusted =
        std::any_of(path_.begin(), path_.end(), [&](X509* cert) { return Distrusted(cert); });
    if (distrusted) distrusted_ = true;
    const HRESULT hr = Judge(anchor);
    if (hr == S_OK) return !distrusted;
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
    X509_STORE_CTX_set_verify_cb(ctx.get(), WindowsChainRules);
    X509_STORE_CTX_set_app_data(ctx.get(), const_cast<Instant*>(&when_));
    X509_STORE_CTX_set_time(ctx.get(), 0, when_.seconds);
    // Every link of the path is one whose signature Verifies saw verify:
    // OpenSSL does not check it again.
    const std::span<X509* const> verified(path_);
    if (!TakeLinksAsVerified(ctx.get(), &verified)) return TRUST_E_SYSTEM_ERROR;
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
  bool TimestampedBefore(std::time_t when) const { return at_ && at_->seconds < when; }

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
  std::optional<Instant> at_;  // the time stamped, when there is one
  Instant when_;               // the time the chain must hold at: that, or now
  int eku_nid_;
  std::vector<X509*> by_subject_;  // the message's certificates, SubjectOrder
  std::vector<X509*> path_;        // the leaf first
  bool distrusted_ = false;
  bool untrusted_root_ = false;
  std::optional<HRESULT> first_failure_;
};

}  // namespace

HRESULT VerifyChain(const TrustConfig& config, X509* leaf, STACK_OF(X509) * certificates,
                    std::optional<Instant> at, int eku_nid) {
  return PathSearch(config, certificates, at, eku_nid).Run(leaf);
}

}  // namespace exelore_posix::authenticode

#include "trust_anchors.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bundle_index.h"
#include "registry_stores.h"
#include "signed_data.h"

namespace exelore_posix::authenticode {
namespace {

constexpr int kMaxChainDepth = 10;

void FreeObject(X509_OBJECT* p) { X509_OBJECT_free(p); }
using ObjectPtr = std::unique_ptr<X509_OBJECT, ossl::Free<FreeObject>>;

// Windows' code-signing roots, which a TLS store does not carry: the PEM
// files of platform/posix/common/authenticode/roots, compiled in so that the build tree and an
// install trust them alike.
constexpr char kBuiltinRoots[] =
#include "builtin_roots.inc"
    ;

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

// The variables the anchors are read from: SSL_CERT_DIR, SSL_CERT_FILE and
// SystemRoot (whose volume adds anchors to the store).
struct Environment {
  std::string cert_dir = EnvOr(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
  std::string cert_file = EnvOr(X509_get_default_cert_file_env(), X509_get_default_cert_file());
  std::string system_root = EnvOr("SystemRoot", "");
  bool operator==(const Environment&) const = default;
};

struct TrustAnchors {
  Environment environment;  // what the anchors were read under
  ossl::StorePtr store;
  BundleIndex builtin = BundleIndex::FromText(kBuiltinRoots);
  std::optional<BundleIndex> bundle;
  std::mutex bundle_mutex;
};

std::mutex g_trust_mutex;
std::unique_ptr<TrustAnchors> g_trust;

// The anchors for the environment as it is now: read on first use, and read
// again when the process has changed one of the variables since. Anchors read
// before stay alive, since a chain may still be using them.
TrustAnchors& Anchors() {
  const Environment environment;
  std::lock_guard lock(g_trust_mutex);
  if (g_trust && g_trust->environment == environment) return *g_trust;
  static std::vector<std::unique_ptr<TrustAnchors>>* retired =
      new std::vector<std::unique_ptr<TrustAnchors>>;
  if (g_trust) retired->push_back(std::move(g_trust));
  auto anchors = std::make_unique<TrustAnchors>();
  anchors->environment = environment;
  anchors->store.reset(X509_STORE_new());
  X509_LOOKUP* dirs = X509_STORE_add_lookup(anchors->store.get(), X509_LOOKUP_hash_dir());
  if (dirs != nullptr) {
    if (!environment.cert_dir.empty()) {
      X509_LOOKUP_add_dir(dirs, environment.cert_dir.c_str(), X509_FILETYPE_PEM);
    }
    const std::string codesign = EXELORE_CODESIGN_ROOTS_DIR;
    if (!codesign.empty()) X509_LOOKUP_add_dir(dirs, codesign.c_str(), X509_FILETYPE_PEM);
  }
  if (!environment.cert_file.empty()) anchors->bundle.emplace(environment.cert_file);
  ERR_clear_error();
  g_trust = std::move(anchors);
  return *g_trust;
}

bool InStore(X509_STORE* store, const X509_NAME* name) {
  ossl::StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), store, nullptr, nullptr) != 1) return false;
  ObjectPtr object(
      X509_STORE_CTX_get_obj_by_subject(ctx.get(), X509_LU_X509, const_cast<X509_NAME*>(name)));
  return object != nullptr;
}

X509* FindBySubject(STACK_OF(X509) * certs, const X509_NAME* name) {
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    X509* c = sk_X509_value(certs, i);
    if (X509_NAME_cmp(X509_get_subject_name(c), name) == 0) return c;
  }
  return nullptr;
}

}  // namespace

X509_STORE* TrustStore() { return Anchors().store.get(); }

void PrepareTrustStore(X509* leaf, STACK_OF(X509) * intermediates) {
  TrustAnchors& anchors = Anchors();
  // Walk up by issuer name: the store's directories and the message's own
  // certificates are cheap; the built-in roots and then the bundle are
  // consulted for a name neither has.
  X509* current = leaf;
  for (int depth = 0; depth < kMaxChainDepth && current != nullptr; ++depth) {
    const X509_NAME* issuer = X509_get_issuer_name(current);
    if (X509_NAME_cmp(issuer, X509_get_subject_name(current)) == 0) break;
    if (InStore(anchors.store.get(), issuer)) break;
    X509* next = FindBySubject(intermediates, issuer);
    // A root the message carries is no anchor by itself, but the bundle may
    // hold it.
    if (next != nullptr &&
        X509_NAME_cmp(X509_get_issuer_name(next), X509_get_subject_name(next)) != 0) {
      current = next;
      continue;
    }
    std::lock_guard lock(anchors.bundle_mutex);
    current = anchors.builtin.Resolve(anchors.store.get(), issuer);
    if (current == nullptr && anchors.bundle)
      current = anchors.bundle->Resolve(anchors.store.get(), issuer);
    if (current == nullptr && registry::Volume() != nullptr) {
      current = registry::Volume()->AddAnchors(anchors.store.get(), issuer);
    }
  }
  ERR_clear_error();
}

}  // namespace exelore_posix::authenticode

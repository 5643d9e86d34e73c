#include "trust_anchors.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry_stores.h"
#include "signed_data.h"

namespace exelore_posix::authenticode {
namespace {

constexpr int kMaxChainDepth = 10;
// A bundle file larger than this is not indexed (the system bundle is ~200 KB).
constexpr std::uint64_t kMaxBundleSize = 16u << 20;

void FreeObject(X509_OBJECT* p) { X509_OBJECT_free(p); }
using ObjectPtr = std::unique_ptr<X509_OBJECT, ossl::Free<FreeObject>>;

// A PEM bundle read once, indexed by the DER of each certificate's subject.
// Only certificates a chain asks for are decoded as X.509.
class BundleIndex {
 public:
  // A bundle file, read on first use.
  explicit BundleIndex(std::string path) : path_(std::move(path)) {}
  // PEM text held in memory for the process's life.
  static BundleIndex FromText(std::string_view text) {
    BundleIndex index({});
    index.loaded_ = true;
    index.Index(text);
    return index;
  }

  // Adds to `store` every bundle certificate whose subject is `name`;
  // returns the first one added or found.
  X509* Resolve(X509_STORE* store, const X509_NAME* name) {
    Load();
    const std::vector<std::uint8_t> wanted = NameDer(name);
    if (wanted.empty()) return nullptr;
    X509* first = nullptr;
    for (Entry& e : entries_) {
      const auto subject =
          std::span<const std::uint8_t>(e.der).subspan(e.subject_at, e.subject_len);
      if (!std::equal(subject.begin(), subject.end(), wanted.begin(), wanted.end())) continue;
      if (!e.decoded) {
        const unsigned char* p = e.der.data();
        e.decoded.reset(d2i_X509(nullptr, &p, static_cast<long>(e.der.size())));
        if (e.decoded) X509_STORE_add_cert(store, e.decoded.get());
      }
      if (e.decoded && first == nullptr) first = e.decoded.get();
    }
    return first;
  }

 private:
  struct Entry {
    std::vector<std::uint8_t> der;
    std::size_t subject_at = 0;
    std::size_t subject_len = 0;
    ossl::X509Ptr decoded;
  };

  void Load() {
    if (loaded_) return;
    loaded_ = true;
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
    in.seekg(0, std::ios::end);
    const auto size = in.tellg();
    if (size <= 0 || static_cast<std::uint64_t>(size) > kMaxBundleSize) return;
    in.seekg(0);
    std::string text(static_cast<std::size_t>(size), '\0');
    if (!in.read(text.data(), size)) return;
    Index(text);
  }

  void Index(std::string_view text) {
    static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    std::size_t at = 0;
    while ((at = text.find(kBegin, at)) != std::string::npos) {
      const std::size_t body = at + kBegin.size();
      const std::size_t end = text.find(kEnd, body);
      if (end == std::string::npos) break;
      at = end + kEnd.size();
      Entry e;
      if (DecodeBase64(text.substr(body, end - body), &e.der) &&
          LocateSubject(e.der, &e.subject_at, &e.subject_len)) {
        entries_.push_back(std::move(e));
      }
    }
  }

  static bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>* out) {
    std::string compact;
    compact.reserve(text.size());
    for (const char c : text) {
      if (c != '\n' && c != '\r' && c != ' ' && c != '\t') compact.push_back(c);
    }
    if (compact.empty() || compact.size() % 4 != 0) return false;
    out->resize(compact.size() / 4 * 3);
    const int n =
        EVP_DecodeBlock(out->data(), reinterpret_cast<const unsigned char*>(compact.data()),
                        static_cast<int>(compact.size()));
    if (n < 0) return false;
    std::size_t len = static_cast<std::size_t>(n);
    // EVP_DecodeBlock counts the bytes the '=' padding stands for.
    if (compact.ends_with("==")) {
      len -= 2;
    } else if (compact.ends_with("=")) {
      len -= 1;
    }
    out->resize(len);
    return true;
  }

  // Finds the subject Name inside a certificate's DER:
  // Certificate { TBSCertificate { [0] version OPTIONAL, serial, signature,
  // issuer, validity, subject, ... }, ... }.
  static bool LocateSubject(std::span<const std::uint8_t> der, std::size_t* at, std::size_t* len) {
    const auto certificate = DerContents(der);
    if (!certificate) return false;
    const auto tbs = DerContents(*certificate);
    if (!tbs) return false;
    std::size_t offset = static_cast<std::size_t>(tbs->data() - der.data());
    const std::size_t end = offset + tbs->size();
    for (int field = 0; field < 6 && offset < end; ++field) {
      const unsigned char* p = der.data() + offset;
      long length = 0;
      int tag = 0;
      int cls = 0;
      const int r = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(end - offset));
      if ((r & 0x80) != 0 || length < 0) return false;
      const std::size_t header = static_cast<std::size_t>(p - (der.data() + offset));
      if (static_cast<std::size_t>(length) > end - offset - header) return false;
      const std::size_t whole = header + static_cast<std::size_t>(length);
      if (field == 0 && cls != V_ASN1_CONTEXT_SPECIFIC) ++field;  // no version field
      if (field == 5) {
        *at = offset;
        *len = whole;
        return true;
      }
      offset += whole;
    }
    return false;
  }

  std::string path_;
  bool loaded_ = false;
  std::vector<Entry> entries_;
};

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

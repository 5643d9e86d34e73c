#include "trust_anchors.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry_stores.h"
#include "signed_data.h"

namespace exelore_posix::authenticode {
namespace {

// A bundle file larger than this is not indexed (the system bundle is ~200 KB).
constexpr std::uint64_t kMaxBundleSize = 16u << 20;

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

  // Calls `visit` with every bundle certificate whose subject is `name`,
  // decoded on first ask and kept.
  template <typename Visit>
  void ForEach(const X509_NAME* name, Visit visit) {
    Load();
    const std::vector<std::uint8_t> wanted = NameDer(name);
    if (wanted.empty()) return;
    for (Entry& e : entries_) {
      const auto subject =
          std::span<const std::uint8_t>(e.der).subspan(e.subject_at, e.subject_len);
      if (!std::equal(subject.begin(), subject.end(), wanted.begin(), wanted.end())) continue;
      if (!e.decoded) {
        const unsigned char* p = e.der.data();
        e.decoded.reset(d2i_X509(nullptr, &p, static_cast<long>(e.der.size())));
      }
      if (e.decoded) visit(e.decoded.get());
    }
  }

  // Adds to `store` every bundle certificate whose subject is `name`.
  void Resolve(X509_STORE* store, const X509_NAME* name) {
    ForEach(name, [&](X509* cert) { X509_STORE_add_cert(store, cert); });
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

// The roots the user added: the configure-time folder, and the bundle and
// folder the configuration names. Certificates found stay in the store for
// the process's life.
struct UserRoots {
  ossl::StorePtr store;
  std::optional<BundleIndex> bundle;
  std::mutex mutex;
};

UserRoots& UserRootsFor(const TrustConfig& config) {
  static std::mutex mutex;
  static auto* all = new std::map<std::pair<std::optional<std::string>, std::optional<std::string>>,
                                  std::unique_ptr<UserRoots>>;
  std::lock_guard lock(mutex);
  auto& roots = (*all)[{config.cert_file, config.cert_dir}];
  if (roots) return *roots;
  roots = std::make_unique<UserRoots>();
  roots->store.reset(X509_STORE_new());
  X509_LOOKUP* dirs = X509_STORE_add_lookup(roots->store.get(), X509_LOOKUP_hash_dir());
  if (dirs != nullptr) {
    if (config.cert_dir && !config.cert_dir->empty()) {
      X509_LOOKUP_add_dir(dirs, config.cert_dir->c_str(), X509_FILETYPE_PEM);
    }
    const std::string codesign = EXELORE_CODESIGN_ROOTS_DIR;
    if (!codesign.empty()) X509_LOOKUP_add_dir(dirs, codesign.c_str(), X509_FILETYPE_PEM);
  }
  if (config.cert_file && !config.cert_file->empty()) roots->bundle.emplace(*config.cert_file);
  ERR_clear_error();
  return *roots;
}

std::vector<X509*> UserRootsBySubject(const TrustConfig& config, const X509_NAME* name) {
  UserRoots& roots = UserRootsFor(config);
  std::lock_guard lock(roots.mutex);
  if (roots.bundle) roots.bundle->Resolve(roots.store.get(), name);
  std::vector<X509*> found;
  ossl::StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (ctx && X509_STORE_CTX_init(ctx.get(), roots.store.get(), nullptr, nullptr) == 1) {
    // The certificates stay in the store; only the stack's references go.
    ossl::X509StackPtr certs(X509_STORE_CTX_get1_certs(ctx.get(), const_cast<X509_NAME*>(name)));
    for (int i = 0; i < sk_X509_num(certs.get()); ++i)
      found.push_back(sk_X509_value(certs.get(), i));
  }
  ERR_clear_error();
  return found;
}

std::vector<X509*> BuiltinRootsBySubject(const X509_NAME* name) {
  static std::mutex mutex;
  static auto* builtin = new BundleIndex(BundleIndex::FromText(kBuiltinRoots));
  std::lock_guard lock(mutex);
  std::vector<X509*> found;
  builtin->ForEach(name, [&](X509* cert) { found.push_back(cert); });
  return found;
}

}  // namespace

TrustConfig TrustConfig::FromEnvironment() {
  TrustConfig config;
  if (const char* file = std::getenv(X509_get_default_cert_file_env())) config.cert_file = file;
  if (const char* dir = std::getenv(X509_get_default_cert_dir_env())) config.cert_dir = dir;
  if (const char* root = std::getenv("SystemRoot")) config.system_root = root;
  return config;
}

std::vector<Anchor> AnchorsBySubject(const TrustConfig& config, const X509_NAME* name) {
  std::vector<Anchor> anchors;
  const auto add = [&](X509* cert, AnchorSource source) {
    for (const Anchor& a : anchors) {
      if (X509_cmp(a.cert, cert) == 0) return;  // the same root from two sources counts once
    }
    anchors.push_back({cert, source});
  };
  for (X509* cert : BuiltinRootsBySubject(name)) add(cert, AnchorSource::kProgram);
  for (X509* cert : UserRootsBySubject(config, name)) add(cert, AnchorSource::kUser);
  if (const registry::MachineStores* volume = registry::Volume(config.system_root)) {
    for (X509* cert : volume->AnchorsBySubject(name)) add(cert, AnchorSource::kVolume);
  }
  return anchors;
}

}  // namespace exelore_posix::authenticode

#include "trust_anchors.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bundle_index.h"
#include "registry_stores.h"
#include "root_program.h"
#include "signed_data.h"

namespace exelore_posix::authenticode {
namespace {

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
      found.push_back(ossl::Shareable(sk_X509_value(certs.get(), i)));
  }
  ERR_clear_error();
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

const RootProgramList& ProgramListFor(const TrustConfig& config) {
  const RootProgramList& built_in = BuiltInRootProgram();
  const registry::MachineStores* volume = registry::Volume(config.system_root);
  if (volume == nullptr || volume->EncodedRootList().empty()) return built_in;
  // Each volume's list is checked once, against the list it is compared
  // with, and kept for the process as the anchors that name its entries.
  static std::mutex mutex;
  static auto* const lists =
      new std::map<std::pair<const registry::MachineStores*, const RootProgramList*>,
                   std::unique_ptr<std::optional<RootProgramList>>>;
  std::lock_guard lock(mutex);
  auto& list = (*lists)[{volume, &built_in}];
  if (!list) {
    list = std::make_unique<std::optional<RootProgramList>>(
        RootProgramList::Parse(volume->EncodedRootList(), true));
    if (*list && (*list)->this_update() <= built_in.this_update()) list->reset();
  }
  return *list ? **list : built_in;
}

std::vector<Anchor> AnchorsBySubject(const TrustConfig& config, const X509_NAME* name) {
  const registry::MachineStores* volume = registry::Volume(config.system_root);
  const RootProgramList& list = ProgramListFor(config);
  std::vector<Anchor> anchors;
  // The list's entry of `cert` (nullptr for none), unless Windows finds the
  // root in a ROOT store first, whose copy carries none of the list's
  // properties; *windows when that store is Windows' own.
  const auto entry_of = [&](X509* cert, bool* windows) -> const RootProgramEntry* {
    unsigned char sha1[SHA_DIGEST_LENGTH];
    unsigned int length = 0;
    *windows = false;
    if (X509_digest(cert, EVP_sha1(), sha1, &length) != 1) return nullptr;
    *windows = InWindowsRootStore(std::span(sha1, length));
    if (*windows || (volume != nullptr && volume->InRootStore(cert))) return nullptr;
    return list.Find(std::span(sha1, length));
  };
  const auto add = [&](X509* cert, AnchorSource source, const RootProgramEntry* program) {
    for (Anchor& a : anchors) {
      if (X509_cmp(a.cert, cert) == 0) return &a;  // the same root from two sources counts once
    }
    anchors.push_back({cert, source, program, nullptr});
    return &anchors.back();
  };
  // Windows' own roots and the program's first: a root the user also adds
  // is still bound by the list's rules, as Windows keeps an AuthRoot
  // certificate's properties. A program root is one the list names.
  bool windows = false;
  for (X509* cert : ProgramRootsBySubject(name)) {
    const RootProgramEntry* entry = entry_of(cert, &windows);
    if (windows) {
      add(cert, AnchorSource::kWindows, nullptr);
    } else if (entry != nullptr) {
      add(cert, AnchorSource::kProgram, entry);
    }
  }
  for (X509* cert : UserRootsBySubject(config, name)) add(cert, AnchorSource::kUser, nullptr);
  if (volume != nullptr) {
    for (X509* cert : volume->AnchorsBySubject(name)) {
      Anchor* anchor = add(cert, AnchorSource::kVolume, entry_of(cert, &windows));
      anchor->volume = volume->RulesFor(cert);
    }
  }
  ERR_clear_error();
  return anchors;
}

}  // namespace exelore_posix::authenticode

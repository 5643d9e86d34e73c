// The compiled-in root program: Microsoft's signed list, the table decoded
// from it at build time, the roots it names and their index; and the list's
// signature check, which chains to one of those roots.
#include <openssl/err.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "bundle_index.h"
#include "ctl.h"
#include "root_program.h"
#include "digest.h"
#include "signed_data.h"
#include "verification.h"

namespace exelore_posix::authenticode {
namespace {

// The list as Microsoft signed it and the roots it names, compiled in
// (platform/posix/CMakeLists.txt generates both from root_program/), with
// the list's entries decoded at build time (kRootProgramTable, written by
// tabulate_root_program.cpp) and the roots' index (kProgramRootsIndex,
// written by index_roots.cpp).
constexpr std::uint8_t kAuthRootStl[] = {
#include "root_program_stl.inc"
};
constexpr char kProgramRoots[] =
#include "root_program_roots.inc"
    ;
#include "root_program_index.inc"
#include "root_program_table.inc"
constexpr std::array<std::uint8_t, 20> kWindowsRoots[] = {
#include "root_program_windows_roots.inc"
};

// SHA-1 of Microsoft Root Certificate Authority 2010, the root under which
// Microsoft signs the list ("Microsoft Certificate List CA 2024", then
// "Microsoft Certificate Trust List Publisher"); roots.pem names it.
constexpr std::array<std::uint8_t, 20> kListRootSha1 = {0x3b, 0x1e, 0xfd, 0x3a, 0x66, 0xea, 0x28,
                                                        0xb1, 0x66, 0x97, 0x39, 0x47, 0x03, 0xa7,
                                                        0x2c, 0xa3, 0x40, 0xa0, 0x5b, 0xd5};

// The program's certificates, indexed once per source and never freed, so
// that the certificates handed out stay valid for the process.
struct ProgramRoots {
  explicit ProgramRoots(const RootProgramSource& source)
      : index(source.roots_index.empty()
                  ? BundleIndex::FromText(source.roots_pem)
                  : BundleIndex::FromPrebuilt(source.roots_pem, source.roots_index)) {}
  std::mutex mutex;
  BundleIndex index;
};
ProgramRoots& Roots() {
  static std::mutex mutex;
  static auto* const all = new std::map<const char*, std::unique_ptr<ProgramRoots>>;
  const RootProgramSource source = CurrentRootProgramSource();
  std::lock_guard lock(mutex);
  auto& roots = (*all)[source.roots_pem.data()];
  if (!roots) roots = std::make_unique<ProgramRoots>(source);
  return *roots;
}

// The list's signature, as Windows checks the root list it downloads before
// it takes any entry: the signer's signature over the CTL (digested as a
// catalog's content is, SignedContentOctets), and a chain to Microsoft
// Root Certificate Authority 2010 valid at the list's thisUpdate (the
// publisher's certificate lives about a year, and a list stays good for as
// long as it is the newest). Below the root every certificate must list
// szOID_ROOT_LIST_SIGNER ("Signer of a CTL containing trusted roots",
// wincrypt.h): Microsoft's publisher and its CA both do, and a certificate
// Microsoft issued for any other purpose must not sign the root list.
bool SignatureVerifies(PKCS7* p7, std::time_t this_update) {
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) < 1) return false;
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
  const auto content = SignedContentOctets(p7);
  X509* signer = FindSignerCertificate(p7->d.sign->cert, si->issuer_and_serial);
  if (!content || signer == nullptr ||
      VerifySignerSignature(p7, si, signer, *content, TrustListOid()) != S_OK) {
    return false;
  }
  X509* root = ProgramRootBySha1(CurrentRootProgramSource().list_root);
  ossl::StorePtr store(X509_STORE_new());
  if (root == nullptr || !store || X509_STORE_add_cert(store.get(), root) != 1) return false;
  ossl::StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), signer, p7->d.sign->cert) != 1) {
    return false;
  }
  X509_STORE_CTX_set_time(ctx.get(), 0, this_update);
  if (X509_verify_cert(ctx.get()) != 1) return false;
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
  const int n = sk_X509_num(chain);
  if (n < 2 || X509_cmp(sk_X509_value(chain, n - 1), root) != 0) return false;
  for (int i = 0; i + 1 < n; ++i) {
    if (!ListsUsage(sk_X509_value(chain, i), RootListSignerOid())) return false;
  }
  return true;
}

}  // namespace

std::optional<RootProgramList> RootProgramList::Parse(std::span<const std::uint8_t> stl_der,
                                                      bool check_signature) {
  ossl::Pkcs7Ptr p7;
  auto list = Decode(stl_der, check_signature, &p7);
  if (list && check_signature && !SignatureVerifies(p7.get(), list->this_update())) {
    list.reset();
  }
  ERR_clear_error();
  return list;
}

const RootProgramList& BuiltInRootProgram() {
  static std::mutex mutex;
  static auto* const all = new std::map<const std::uint8_t*, std::unique_ptr<RootProgramList>>;
  const RootProgramSource source = CurrentRootProgramSource();
  std::lock_guard lock(mutex);
  auto& list = (*all)[source.list.data()];
  if (!list) {
    const RootProgramTable* table = source.list_table;
    list = std::make_unique<RootProgramList>(
        table != nullptr ? RootProgramList::FromTable(table->this_update, table->entries)
                         : RootProgramList::Parse(source.list, false).value_or(RootProgramList{}));
  }
  return *list;
}

RootProgramSource CompiledInRootProgramSource() {
  return {kAuthRootStl,  kProgramRoots, kProgramRootsIndex,
          kWindowsRoots, kListRootSha1, &kRootProgramTable};
}

std::span<const std::uint8_t> BuiltInRootProgramBytes() { return kAuthRootStl; }

std::vector<X509*> ProgramRootsBySubject(const X509_NAME* name) {
  ProgramRoots& roots = Roots();
  std::lock_guard lock(roots.mutex);
  std::vector<X509*> found = roots.index.FindBySubject(name);
  ERR_clear_error();
  return found;
}

X509* ProgramRootBySha1(std::span<const std::uint8_t> sha1) {
  ProgramRoots& roots = Roots();
  std::lock_guard lock(roots.mutex);
  X509* found = roots.index.FindBySha1(sha1);
  ERR_clear_error();
  return found;
}

bool InWindowsRootStore(std::span<const std::uint8_t> sha1) {
  const auto roots = CurrentRootProgramSource().windows_roots;
  return std::any_of(roots.begin(), roots.end(), [&](const std::array<std::uint8_t, 20>& root) {
    return SameDigest(root, sha1);
  });
}

}  // namespace exelore_posix::authenticode

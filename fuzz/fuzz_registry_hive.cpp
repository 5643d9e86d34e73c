// A whole SOFTWARE hive over arbitrary bytes, read through hivex into the
// machine certificate stores (registry_stores.h) and asked what a chain asks.
// The seeds are hives holding the test PKI's certificates in every store.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.h"
#include "authenticode/registry_stores.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  const exelore_fuzz::MemoryFile file(data, size);
  const auto stores =
      exelore_posix::registry::MachineStores::Open("/proc/self/fd/" + std::to_string(file.fd()));
  if (!stores) return 0;
  // Ask what a chain asks, about every certificate of the CA stores: an
  // anchor found for a name bears that name.
  exelore_posix::ossl::StorePtr store(X509_STORE_new());
  exelore_posix::ossl::X509StackViewPtr all = stores->WithIntermediates(nullptr);
  for (int i = 0; all && i < sk_X509_num(all.get()); ++i) {
    X509* cert = sk_X509_value(all.get(), i);
    const X509* anchor = stores->AddAnchors(store.get(), X509_get_issuer_name(cert));
    if (anchor != nullptr &&
        X509_NAME_cmp(X509_get_subject_name(anchor), X509_get_issuer_name(cert)) != 0) {
      __builtin_trap();
    }
  }
  stores->CheckDistrust(all.get());
  stores->CheckUsage(all.get(), NID_code_sign);
  return 0;
}

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
  // Ask what a chain asks, about every certificate: what is found for a name
  // bears that name.
  exelore_posix::ossl::X509StackViewPtr all(sk_X509_new_null());
  for (X509* cert : stores->Certificates()) {
    sk_X509_push(all.get(), cert);
    const X509_NAME* issuer = X509_get_issuer_name(cert);
    for (const auto& found :
         {stores->AnchorsBySubject(issuer), stores->IntermediatesBySubject(issuer)}) {
      for (X509* c : found) {
        if (X509_NAME_cmp(X509_get_subject_name(c), issuer) != 0) __builtin_trap();
      }
    }
    stores->Distrusts(cert);
    stores->InRootStore(cert);
    stores->RulesFor(cert);
  }
  if (stores->EncodedRootList().size() > size) __builtin_trap();
  stores->CheckUsage(all.get(), NID_code_sign);
  return 0;
}

// The catalog reader over arbitrary bytes as one .cat file: the database's
// scan and decoding (catalog_db.h) and WinVerifyTrust's catalog mode for a
// fixed member file. The seeds are catalogs listing that member.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "wintrust/catalog_db.h"
#include "catalog_builder.h"
#include "fuzz_input.h"
#include "verify_file.h"

namespace {

// The member the seeds list: a text file, hashed whole.
constexpr char kMember[] = "exelore fuzz member\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  static const exelore_fuzz::MemoryFile member(reinterpret_cast<const std::uint8_t*>(kMember),
                                               sizeof kMember - 1);
  static const std::vector<std::uint8_t> member_hash = [] {
    exelore_posix::RegularFile file;
    DWORD error = 0;
    if (!file.Attach(member.fd(), &error)) __builtin_trap();
    return exelore_posix::catalog::ListedHashOf(file, EVP_sha1())
        .value_or(std::vector<std::uint8_t>{});
  }();
  static const std::u16string tag = exelore_test::HexTag(member_hash);

  const std::span<const std::uint8_t> bytes(data, size);
  if (const auto catalog = exelore_posix::catalog::ParseCatalog(bytes)) {
    catalog->ForEachMember([&](const exelore_posix::catalog::Member& m) {
      // A member is found by its own digest, and what is found carries it.
      const auto found = catalog->FindByDigest(m.digest);
      if (m.Lists() && !m.digest.empty() && (!found || found->digest != m.digest)) {
        __builtin_trap();
      }
      return false;
    });
    catalog->FindByTag(tag);
  }

  exelore_fuzz::MemoryFile file(data, size);
  const std::string path = "/proc/self/fd/" + std::to_string(file.fd());
  exelore_posix::catalog::Scanner scanner;
  scanner.FindFirst({path}, 0, member_hash);

  const std::u16string catalog_path = file.WidePath();
  const std::u16string member_path = member.WidePath();
  const LONG status =
      exelore_test::VerifyCatalogMember(catalog_path, tag, member_path).verdict.status;
  // No anchor the fuzzer trusts issued the seeds' signer.
  if (status == 0) __builtin_trap();
  return 0;
}

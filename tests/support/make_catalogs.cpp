// make_catalogs: writes a catalog database for benchmarks.
//
//   make_catalogs OUT_DIR COUNT KIB [LARGE LARGE_KIB]
//
// Creates OUT_DIR/pki (the test PKI; root.pem is the anchor),
// OUT_DIR/windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}/
// with COUNT signed catalogs of about KIB KiB each (entries with made-up
// SHA-1 hashes), the last LARGE of them (default 0) of about LARGE_KIB KiB
// instead, and two unsigned images: OUT_DIR/hit.exe, listed by the catalog
// that comes last in lookup order, and OUT_DIR/miss.exe, listed by none
// (their hashes in OUT_DIR/hit.sha1 and OUT_DIR/miss.sha1).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "catalog_builder.h"
#include "pe_builder.h"
#include "test_pki.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) {
    std::cerr << "usage: make_catalogs OUT_DIR COUNT KIB [LARGE LARGE_KIB]\n";
    return 2;
  }
  try {
    const std::string out = argv[1];
    const long count = std::atol(argv[2]);
    const long kib = std::atol(argv[3]);
    const long large = argc == 6 ? std::atol(argv[4]) : 0;
    const long large_kib = argc == 6 ? std::atol(argv[5]) : kib;
    const std::string folder =
        out + "/windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
    std::filesystem::create_directories(folder);
    const auto pki = exelore_test::TestPki::Create(out + "/pki");

    exelore_test::PeLayout hit_layout;
    const auto hit = exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(u"Hit"),
                                                      true, 0x0409, &hit_layout);
    exelore_test::PeLayout miss_layout;
    const auto miss = exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(u"Miss"),
                                                       true, 0x0409, &miss_layout);
    exelore_test::WriteFile(out + "/hit.exe", hit);
    exelore_test::WriteFile(out + "/miss.exe", miss);
    const auto hit_hash = exelore_test::UnsignedImageHash(hit, hit_layout);
    exelore_test::WriteFile(out + "/hit.sha1", hit_hash);
    exelore_test::WriteFile(out + "/miss.sha1", exelore_test::UnsignedImageHash(miss, miss_layout));

    constexpr long kEntryBytes = 230;  // roughly, with its attributes
    for (long i = 0; i < count; ++i) {
      const long entries =
          std::max(1L, (i >= count - large ? large_kib : kib) * 1024 / kEntryBytes);
      exelore_test::CatalogOptions options;
      options.entries.reserve(static_cast<std::size_t>(entries) + 1);
      for (long e = 0; e < entries; ++e) {
        const std::string seed = std::to_string(i) + "/" + std::to_string(e);
        options.entries.push_back(exelore_test::EntryFor(
            exelore_test::Digest(std::vector<std::uint8_t>(seed.begin(), seed.end()))));
      }
      if (i == count - 1) options.entries.push_back(exelore_test::EntryFor(hit_hash));
      char name[64];
      std::snprintf(name, sizeof name, "/Package_%06ld.cat", i);
      exelore_test::WriteFile(folder + name, exelore_test::BuildCatalog(options, pki.signer));
    }
  } catch (const std::exception& e) {
    std::cerr << "make_catalogs: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

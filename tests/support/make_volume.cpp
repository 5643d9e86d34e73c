// make_volume: writes a synthetic Windows volume for bench/volume_bench.sh.
//
//   make_volume OUT_DIR [SCALE]
//
// OUT_DIR/Windows/System32 holds round(3500 * SCALE) PE images (and a few
// data files that are not PE images) in the top folder, drivers, wbem, en-US
// and WindowsPowerShell\v1.0, of System32-like sizes: half of them 10-64 KiB,
// most of the rest up to 1 MiB, 2 % up to 4 MiB and 0.2 % of 10-32 MiB.
// Of the images, 85 % are listed by a catalog (a few by two), 8 % carry an
// embedded signature of the test signer, 0.5 % one of a signer under an
// untrusted root, 5 % are signed neither way, and 1 % are listed by a catalog
// but changed afterwards (one byte flipped), so no catalog lists them.
// OUT_DIR/Windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}
// holds round(3000 * SCALE) signed catalogs of about 100 KiB and four of about
// 49 MiB * SCALE, spread through the folder's order; a fifth of the listed
// images are in the four large ones. The filler entries have made-up hashes.
//
// OUT_DIR/pki is the test PKI (root.pem and ca/ are the anchors), and
// OUT_DIR/expected.tsv names each PE image (path relative to OUT_DIR) with
// the answer expected for it: verdict (verified, unverified or empty),
// source (embedded, catalog or empty), the catalogs that list it ("|"
// between two), and "version" when it has a version resource. Everything
// but the keys and signatures, which OpenSSL makes afresh, is the same from
// run to run.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "catalog_builder.h"
#include "pe_builder.h"
#include "signing.h"
#include "test_pki.h"

namespace {

using exelore_test::PkiIdentity;
using Bytes = std::vector<std::uint8_t>;

constexpr long kImages = 3500;
constexpr long kSmallCatalogs = 3000;
constexpr long kLargeCatalogs = 4;
constexpr long kSmallCatalogKib = 103;    // ~100 KiB each with the signature
constexpr long kLargeCatalogKib = 51200;  // ~49 MiB each
constexpr long kCatalogEntryBytes = 230;  // one filler entry with its attributes, roughly
constexpr char kCatRoot[] = "Windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
// The embedded signatures' signing time, inside the test PKI's validity.
constexpr std::time_t kSigningTime = exelore_test::TestPki::kNotBefore + 30 * 86400;

// A fixed pseudo-random sequence (splitmix64), the same on every platform.
class Sequence {
 public:
  explicit Sequence(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  // In [0, bound).
  std::size_t Below(std::size_t bound) { return static_cast<std::size_t>(Next() % bound); }
  template <typename T>
  void Shuffle(std::vector<T>& items) {
    for (std::size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[Below(i)]);
  }

 private:
  std::uint64_t state_;
};

// The size at quantile `u` in [0, 1): log-uniform inside each band.
std::size_t SizeAt(double u) {
  struct Band {
    double share;
    double low_kib, high_kib;
  };
  static constexpr std::array<Band, 5> kBands = {{
      {0.55, 10, 64},
      {0.33, 64, 256},
      {0.098, 256, 1024},
      {0.02, 1024, 4096},
      {0.002, 10240, 32768},
  }};
  for (const Band& band : kBands) {
    if (u < band.share || &band == &kBands.back()) {
      const double t = std::min(u / band.share, 1.0);
      return static_cast<std::size_t>(band.low_kib * std::pow(band.high_kib / band.low_kib, t) *
                                      1024);
    }
    u -= band.share;
  }
  return 0;
}

enum class Kind { kCatalog, kTwoCatalogs, kEmbedded, kUntrusted, kUnsigned, kChanged, kNotPe };

// Kinds by share of the images, in thousandths; the rest are plain members.
constexpr std::array<std::pair<Kind, long>, 5> kKindShares = {{
    {Kind::kTwoCatalogs, 10},
    {Kind::kEmbedded, 80},
    {Kind::kUntrusted, 5},
    {Kind::kUnsigned, 50},
    {Kind::kChanged, 10},
}};

struct Folder {
  const char* path;  // below Windows/System32, "" for the top
  const char* extension;
  long share;  // thousandths of the files
};
constexpr std::array<Folder, 6> kFolders = {{
    {"", ".dll", 600},
    {"", ".exe", 120},
    {"/drivers", ".sys", 130},
    {"/wbem", ".dll", 50},
    {"/en-US", ".dll.mui", 80},
    {"/WindowsPowerShell/v1.0", ".exe", 20},
}};

struct Image {
  std::string path;  // relative to OUT_DIR
  std::size_t size = 0;
  Kind kind = Kind::kCatalog;
  bool pe32plus = true;
  bool version = true;
  std::vector<long> catalogs;  // indices of the catalogs that list it
};

long Scaled(long count, double scale) {
  return std::max(1L, std::lround(static_cast<double>(count) * scale));
}

std::u16string Widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

Bytes BuildImage(const Image& image, exelore_test::PeLayout& layout) {
  exelore_test::PeOptions options;
  options.pe32plus = image.pe32plus;
  if (image.version) {
    const std::string name = std::filesystem::path(image.path).filename().string();
    auto info =
        exelore_test::DefaultVersionInfo(u"ExeLore Volume Corp", u"Synthetic Windows", Widen(name));
    exelore_test::ResourceEntry entry;
    entry.data = exelore_test::BuildVersionResource(info);
    options.resources.push_back(std::move(entry));
  }
  options.compute_checksum = true;
  const std::size_t base = exelore_test::BuildPe(options).size();
  if (image.size > base) options.extra_section_bytes = image.size - base;
  return exelore_test::BuildPe(options, &layout);
}

std::string CatalogName(long index) {
  char name[32];
  std::snprintf(name, sizeof name, "Package_%06ld.cat", index);
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::cerr << "usage: make_volume OUT_DIR [SCALE]\n";
    return 2;
  }
  const double scale = argc == 3 ? std::atof(argv[2]) : 1.0;
  if (!(scale > 0 && scale <= 10)) {
    std::cerr << "make_volume: SCALE must be in (0, 10]\n";
    return 2;
  }
  try {
    const std::string out = argv[1];
    const std::string catroot = out + "/" + kCatRoot;
    std::filesystem::create_directories(catroot);
    for (const Folder& folder : kFolders) {
      std::filesystem::create_directories(out + "/Windows/System32" + folder.path);
    }
    const auto pki = exelore_test::TestPki::Create(out + "/pki");
    Sequence random(21);

    // The images: sizes at evenly spaced quantiles, kinds by share, both
    // dealt out in a shuffled order.
    const long count = Scaled(kImages, scale);
    const long small_catalogs = Scaled(kSmallCatalogs, scale);
    const long catalogs = small_catalogs + kLargeCatalogs;
    std::vector<Image> images(static_cast<std::size_t>(count));
    std::vector<std::size_t> order(images.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    random.Shuffle(order);
    for (std::size_t i = 0; i < images.size(); ++i) {
      images[order[i]].size = SizeAt((static_cast<double>(i) + 0.5) / static_cast<double>(count));
    }
    random.Shuffle(order);
    std::size_t next = 0;
    for (const auto& [kind, share] : kKindShares) {
      const long n = std::lround(static_cast<double>(count * share) / 1000.0);
      for (long k = 0; k < n && next < order.size(); ++k) images[order[next++]].kind = kind;
    }
    // The large catalogs sit at a fifth, two fifths, ... of the folder.
    std::vector<long> large;
    for (long k = 1; k <= kLargeCatalogs; ++k) large.push_back(catalogs * k / (kLargeCatalogs + 1));
    auto is_large = [&](long index) {
      return std::find(large.begin(), large.end(), index) != large.end();
    };
    auto some_catalog = [&]() {
      if (random.Below(5) == 0) return large[random.Below(large.size())];
      long index = 0;
      do index = static_cast<long>(random.Below(static_cast<std::size_t>(catalogs)));
      while (is_large(index));
      return index;
    };
    std::map<std::string, long> names_used;
    for (Image& image : images) {
      std::size_t folder = 0;
      for (long pick = static_cast<long>(random.Below(1000)); pick >= kFolders[folder].share;
           ++folder) {
        pick -= kFolders[folder].share;
      }
      const std::string stem = std::string(kFolders[folder].path) + "/" +
                               (kFolders[folder].extension[1] == 's' ? "drv" : "sys");
      char name[32];
      std::snprintf(name, sizeof name, "%04ld%s", names_used[stem]++, kFolders[folder].extension);
      image.path = "Windows/System32" + stem + name;
      image.pe32plus = random.Below(100) >= 15;
      image.version = random.Below(100) >= 2;
      if (image.kind == Kind::kCatalog || image.kind == Kind::kTwoCatalogs ||
          image.kind == Kind::kChanged) {
        image.catalogs.push_back(some_catalog());
      }
      if (image.kind == Kind::kTwoCatalogs) {
        long second = image.catalogs[0];
        while (second == image.catalogs[0]) second = some_catalog();
        image.catalogs.push_back(second);
      }
    }

    // Write the images, collecting each catalog's members.
    std::vector<std::vector<Bytes>> members(static_cast<std::size_t>(catalogs));
    std::ofstream expected(out + "/expected.tsv", std::ios::binary);
    const std::string scratch = out + "/unsigned.tmp";
    for (const Image& image : images) {
      exelore_test::PeLayout layout;
      Bytes bytes = BuildImage(image, layout);
      const std::string path = out + "/" + image.path;
      const auto hash = exelore_test::UnsignedImageHash(bytes, layout);
      for (const long index : image.catalogs) {
        members[static_cast<std::size_t>(index)].push_back(hash);
      }
      if (image.kind == Kind::kChanged) bytes[bytes.size() / 2] ^= 0x01;
      if (image.kind == Kind::kEmbedded || image.kind == Kind::kUntrusted) {
        exelore_test::WriteFile(scratch, bytes);
        const PkiIdentity& signer =
            image.kind == Kind::kEmbedded ? pki.signer : pki.untrusted_signer;
        exelore_test::SignFile(signer, scratch, path, "sha256",
                               {"-time", std::to_string(kSigningTime)});
      } else {
        exelore_test::WriteFile(path, bytes);
      }
      std::string verdict, source, listed;
      switch (image.kind) {
        case Kind::kCatalog:
        case Kind::kTwoCatalogs:
          verdict = "verified";
          source = "catalog";
          for (const long index : image.catalogs) {
            listed += (listed.empty() ? "" : "|") + CatalogName(index);
          }
          break;
        case Kind::kEmbedded:
          verdict = "verified";
          source = "embedded";
          break;
        case Kind::kUntrusted:
          verdict = "unverified";
          source = "embedded";
          break;
        default:
          break;
      }
      expected << image.path << '\t' << verdict << '\t' << source << '\t' << listed << '\t'
               << (image.version ? "version" : "") << '\n';
    }
    std::filesystem::remove(scratch);

    // Data files that are not PE images, as System32 holds many.
    for (long k = 0; k < Scaled(kImages / 25, scale); ++k) {
      char name[48];
      std::snprintf(name, sizeof name, "/Windows/System32/data%04ld.dat", k);
      Bytes bytes(SizeAt(static_cast<double>(random.Below(500)) / 1000.0));
      for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random.Next());
      if (k % 2 == 0) bytes[0] = 'M', bytes[1] = 'Z';  // a DOS header leading nowhere
      exelore_test::WriteFile(out + name, bytes);
    }

    for (long index = 0; index < catalogs; ++index) {
      const long kib = is_large(index)
                           ? std::max(kSmallCatalogKib, std::lround(kLargeCatalogKib * scale))
                           : kSmallCatalogKib;
      exelore_test::CatalogOptions options;
      const long fillers = std::max(1L, kib * 1024 / kCatalogEntryBytes) -
                           static_cast<long>(members[static_cast<std::size_t>(index)].size());
      options.entries.reserve(static_cast<std::size_t>(std::max(fillers, 0L)) +
                              members[static_cast<std::size_t>(index)].size());
      for (long e = 0; e < fillers; ++e) {
        const std::string seed = "filler " + std::to_string(index) + "/" + std::to_string(e);
        options.entries.push_back(
            exelore_test::EntryFor(exelore_test::Digest(Bytes(seed.begin(), seed.end()))));
      }
      // The members scattered among the fillers.
      for (const Bytes& hash : members[static_cast<std::size_t>(index)]) {
        options.entries.push_back(exelore_test::EntryFor(hash));
      }
      random.Shuffle(options.entries);
      exelore_test::WriteFile(catroot + "/" + CatalogName(index),
                              exelore_test::BuildCatalog(options, pki.signer));
    }
  } catch (const std::exception& e) {
    std::cerr << "make_volume: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

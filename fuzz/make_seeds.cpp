// Writes seed corpora for the fuzz targets from the fixture writer:
//   make_seeds OUT_DIR
// creates OUT_DIR/<target>/ with PE32 and PE32+ images and version blocks.
#include <filesystem>
#include <string>

#include "catalog_builder.h"
#include "hive_builder.h"
#include "pe_builder.h"
#include "signing.h"
#include "test_pki.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  namespace fs = std::filesystem;
  const fs::path out = argv[1];
  for (const char* target : {"pe_reader", "version_block", "report", "signature", "catalog",
                             "registry_blob", "registry_hive"}) {
    fs::create_directories(out / target);
  }
  auto info = exelore_test::DefaultVersionInfo(u"Seed Company", u"Seed Product", u"Seed");
  auto two = info;
  two.string_tables.push_back({u"040704e4", {{u"CompanyName", u"Zweite", false}}});
  two.translations = {{{0x0407, 0x04e4}, {0x0409, 0x04b0}}};
  auto bare = info;
  bare.translations.reset();
  int n = 0;
  for (const auto& layout : {info, two, bare}) {
    exelore_test::WriteFile((out / "version_block" / ("block" + std::to_string(n))).string(),
                            exelore_test::BuildVersionResource(layout));
    for (const bool pe32plus : {false, true}) {
      const auto image = exelore_test::BuildPeWithVersion(layout, pe32plus);
      const std::string name = "pe" + std::to_string(n) + (pe32plus ? "-64" : "-32");
      exelore_test::WriteFile((out / "pe_reader" / name).string(), image);
      exelore_test::WriteFile((out / "report" / name).string(), image);
    }
    ++n;
  }

  // Signed images (for the report) and their PKCS #7 (for the signature code),
  // when osslsigncode is there to sign them.
  if (exelore_test::HaveOsslsigncode()) {
    const auto pki = exelore_test::TestPki::Create((out / "pki").string());
    const std::string unsigned_path = (out / "unsigned.exe").string();
    exelore_test::WriteFile(unsigned_path, exelore_test::BuildPeWithVersion(info));
    int k = 0;
    for (const auto* identity : {&pki.signer, &pki.signer_no_cn, &pki.untrusted_signer}) {
      for (const char* hash : {"sha1", "sha256"}) {
        const std::string name = "signed" + std::to_string(k++);
        const std::string signed_path = (out / "report" / name).string();
        exelore_test::SignFile(*identity, unsigned_path, signed_path, hash);
        const auto image = exelore_test::ReadFile(signed_path);
        // The certificate table follows the image: its first WIN_CERTIFICATE
        // holds the PKCS #7 after an 8-byte header.
        const std::size_t start = exelore_test::ReadFile(unsigned_path).size() + 8;
        if (start < image.size()) {
          exelore_test::WriteFile(
              (out / "signature" / name).string(),
              std::vector<uint8_t>(image.begin() + static_cast<long>(start), image.end()));
        }
      }
    }
    std::filesystem::remove_all(out / "pki");
    std::filesystem::remove(unsigned_path);
  }

  // Catalogs listing the catalog target's member file (SHA-1 of its text).
  {
    const auto pki = exelore_test::TestPki::Create((out / "catalog-pki").string());
    const std::string member = "exelore fuzz member\n";
    const auto hash = exelore_test::Digest(std::vector<std::uint8_t>(member.begin(), member.end()));
    exelore_test::CatalogOptions one;
    one.entries = {exelore_test::EntryFor(hash)};
    exelore_test::CatalogOptions several = one;
    several.entries.push_back(exelore_test::EntryFor(exelore_test::Digest({'x'})));
    several.entries.push_back(
        exelore_test::EntryFor(exelore_test::Digest({'y'}, "sha256"), "sha256"));
    several.entries.back().pe_image = false;
    exelore_test::CatalogOptions raw = one;
    raw.entries[0].raw_tag = raw.entries[0].digest;
    const auto write = [&](const char* name, const std::vector<std::uint8_t>& bytes) {
      exelore_test::WriteFile((out / "catalog" / name).string(), bytes);
    };
    write("one.cat", exelore_test::BuildCatalog(one, pki.signer));
    write("several.cat", exelore_test::BuildCatalog(several, pki.untrusted_signer));
    write("raw-tag.cat", exelore_test::BuildCatalog(raw, pki.signer));
    write("unsigned.cat", exelore_test::BuildUnsignedCatalog(several));
    exelore_test::CatalogOptions member2 = one;
    member2.subject_algorithm = exelore_test::kCatalogListMember2;
    member2.entries = exelore_test::Member2Entries(
        exelore_test::Digest(one.entries[0].digest, "sha256"), one.entries[0].digest);
    write("member2.cat", exelore_test::BuildCatalog(member2, pki.signer));
    write("list.der", exelore_test::BuildTrustList(several));
    std::filesystem::remove_all(out / "catalog-pki");
  }

  // Serialized certificates and hives holding them in each store.
  {
    const auto pki = exelore_test::TestPki::Create((out / "registry-pki").string());
    const std::vector<std::string> usages = {"1.3.6.1.5.5.7.3.3", "1.3.6.1.5.5.7.3.8"};
    const auto root =
        exelore_test::SerializedCertificate(exelore_test::CertificateDer(pki.root.cert));
    const auto restricted = exelore_test::SerializedCertificate(
        exelore_test::CertificateDer(pki.untrusted_root.cert), &usages,
        {{104, exelore_test::FiletimeProperty(exelore_test::TestPki::kNotAfter)},
         {122, exelore_test::UsagesProperty({"1.3.6.1.5.5.7.3.1"})},
         {126, exelore_test::FiletimeProperty(exelore_test::TestPki::kNotBefore)},
         {127, exelore_test::UsagesProperty(usages)}});
    const auto intermediate =
        exelore_test::SerializedCertificate(exelore_test::CertificateDer(pki.intermediate.cert));
    const auto signer =
        exelore_test::SerializedCertificate(exelore_test::CertificateDer(pki.signer.cert));
    exelore_test::WriteFile((out / "registry_blob" / "root").string(), root);
    exelore_test::WriteFile((out / "registry_blob" / "restricted").string(), restricted);
    const std::string machine = "Microsoft\\SystemCertificates\\";
    exelore_test::WriteHive(
        (out / "registry_hive" / "stores").string(),
        {{machine + "ROOT\\Certificates\\A", "Blob", root},
         {machine + "AuthRoot\\Certificates\\B", "Blob", restricted},
         {machine + "CA\\Certificates\\C", "Blob", intermediate},
         {"Policies\\" + machine + "Disallowed\\Certificates\\D", "Blob", signer},
         {machine + "AuthRoot\\AutoUpdate", "EncodedCtl", root}});
    exelore_test::WriteHive((out / "registry_hive" / "empty").string(), {});
    std::filesystem::remove_all(out / "registry-pki");
  }
  return 0;
}

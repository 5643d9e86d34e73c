// Our verdict against osslsigncode's on signed files damaged one byte at a
// time: wherever osslsigncode calls the signature invalid, the report must
// never say "(verified)". Disagreements the other way (osslsigncode accepts,
// we refuse) are listed, each with the region it falls in.
#include <windows.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pe_builder.h"
#include "process.h"
#include "publisher_line.h"
#include "signing.h"
#include "test_pki.h"
#include "text.h"

namespace {

using exelore_test::TempDir;

bool OurVerdict(const std::string& path) {
  return exelore_test::PublisherLine(path).ends_with(" (verified)");
}

bool OsslsigncodeVerdict(const std::string& ca, const std::string& path) {
  const auto result =
      exelore_test::RunProcess({"/usr/bin/osslsigncode", "verify", "-CAfile", ca, "-in", path});
  return result.exit_status == 0;
}

using exelore_test::Get32;

TEST(Differential, NeverVerifiedWhereOsslsigncodeRefuses) {
  if (!exelore_test::HaveOsslsigncode()) GTEST_SKIP() << "osslsigncode is not installed";
  TempDir dir;
  const exelore_test::TestPki& pki = exelore_test::SharedTestPki();
  setenv("SSL_CERT_FILE", pki.root.cert.c_str(), 1);

  struct Fixture {
    const char* name;
    bool pe32plus;
    const char* hash;
  };
  for (const Fixture& f :
       {Fixture{"PE32+ SHA-256", true, "sha256"}, Fixture{"PE32 SHA-1", false, "sha1"}}) {
    SCOPED_TRACE(f.name);
    exelore_test::PeLayout layout;
    exelore_test::WriteFile(dir.File("u.exe"),
                            exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(),
                                                             f.pe32plus, 0x0409, &layout));
    exelore_test::SignFile(pki.signer, dir.File("u.exe"), dir.File("s.exe"), f.hash);
    const auto image = exelore_test::ReadFile(dir.File("s.exe"));
    ASSERT_TRUE(OurVerdict(dir.File("s.exe")));
    ASSERT_TRUE(OsslsigncodeVerdict(pki.root.cert, dir.File("s.exe")));

    const std::size_t table = Get32(image, layout.data_directories + 4 * 8);
    // The PKCS #7 is one DER SEQUENCE with a two-byte length: 30 82 hh ll.
    ASSERT_EQ(image[table + 8], 0x30);
    ASSERT_EQ(image[table + 9], 0x82);
    const std::size_t der_length = 4 + (image[table + 10] << 8 | image[table + 11]);
    const auto region = [&](std::size_t at) -> std::string {
      if (at == layout.checksum_field ||
          (at > layout.checksum_field && at < layout.checksum_field + 4))
        return "checksum";
      if (at >= layout.data_directories + 32 && at < layout.data_directories + 40)
        return "certificate table entry";
      if (at >= table && at < table + 8) return "WIN_CERTIFICATE header";
      if (at >= table + 8 + der_length) return "padding after the PKCS #7";
      if (at >= table) return "signature";
      if (at < layout.section_table + 3 * 40) return "headers";
      return "sections";
    };
    // Every other byte of the headers, every seventh byte elsewhere, and
    // every byte of the certificate table's framing and padding.
    std::vector<std::size_t> positions;
    for (std::size_t at = 0; at < image.size();
         at += (at < layout.section_table + 120 || at >= table + 8 + der_length ||
                (at >= table && at < table + 16))
                   ? 1
                   : (at < layout.section_table + 120 ? 2 : 7)) {
      positions.push_back(at);
    }
    std::map<std::string, int> refused_by_us_only;
    int compared = 0;
    for (const std::size_t at : positions) {
      auto damaged = image;
      damaged[at] ^= 0x5A;
      exelore_test::WriteFile(dir.File("d.exe"), damaged);
      const bool ours = OurVerdict(dir.File("d.exe"));
      const bool theirs = OsslsigncodeVerdict(pki.root.cert, dir.File("d.exe"));
      ++compared;
      EXPECT_FALSE(ours && !theirs)
          << "verified at offset " << at << " (" << region(at) << ") where osslsigncode refuses";
      if (!ours && theirs) {
        ++refused_by_us_only[region(at)];
        std::printf("  refused by us only: offset %zu (%s, DER offset %ld)\n", at,
                    region(at).c_str(), static_cast<long>(at) - static_cast<long>(table + 8));
      }
    }
    std::string summary;
    for (const auto& [name, count] : refused_by_us_only) {
      summary += name + ": " + std::to_string(count) + "; ";
    }
    std::printf("%s: %d damaged copies compared; refused by us only: %s\n", f.name, compared,
                summary.empty() ? "none" : summary.c_str());
  }
}

}  // namespace

// The publisher line of the program over a catalog folder laid out like a
// Windows volume's CatRoot, and the program's own class over a catalogued
// file.
#include <gtest/gtest.h>
#include <mscat.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "catalog_builder.h"
#include "catalog_fixture.h"
#include "wintrust/catalog_db.h"
#include "pe_builder.h"
#include "process.h"
#include "signing.h"
#include "test_pki.h"
#include "text.h"
#include "util/file_certificate_info.h"

namespace {

namespace fs = std::filesystem;
using exelore_test::BuildCatalog;
using exelore_test::CatalogOptions;
using exelore_test::CatalogTest;
using exelore_test::EntryFor;
using exelore_test::Wide;
using Bytes = std::vector<std::uint8_t>;

std::string PublisherLine(const std::string& out) {
  const auto at = out.rfind("PublisherName:");
  if (at == std::string::npos) return "<no publisher line>";
  const auto end = out.find("\r\n", at);
  return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

TEST_F(CatalogTest, ProgramNamesTheCatalogSigner) {
  if (!exelore_test::HaveOsslsigncode()) GTEST_SKIP() << "osslsigncode is not installed";
  exelore_test::PeLayout layout;
  const Bytes image = Image(0, &layout);
  const auto put = [&](const std::string& name, const Bytes& bytes) {
    exelore_test::WriteFile(File(name), bytes);
    return File(name);
  };
  const std::string listed = put("listed.exe", image);
  const Bytes hash = ImageHash(image, layout);
  Bytes checksum_image = image;
  checksum_image[layout.checksum_field + 1] ^= 0x33;
  const std::string checksum = put("checksum.exe", checksum_image);
  Bytes changed_image = image;
  changed_image[layout.version_data_offset + 60] ^= 0x01;
  const std::string changed = put("changed.exe", changed_image);

  exelore_test::PeLayout odd_layout;
  const Bytes odd_image = Image(5, &odd_layout);
  const std::string odd = put("odd-length.exe", odd_image);
  // Only in the untrusted catalog.
  exelore_test::PeLayout other_layout;
  const Bytes other_image = Image(16, &other_layout);
  const std::string other = put("other.exe", other_image);
  // Listed by both: the untrusted catalog comes first by name.
  exelore_test::PeLayout both_layout;
  const Bytes both_image = Image(24, &both_layout);
  const std::string both = put("both.exe", both_image);
  const std::string uncatalogued = put("uncatalogued.exe", Image(32));
  // Listed only by a member-v2 catalog, as Windows 10/11 list system files.
  exelore_test::PeLayout v2_layout;
  const Bytes v2_image = Image(40, &v2_layout);
  const std::string v2 = put("member2.exe", v2_image);
  const std::string content = "plain text, listed by the SHA-1 of its content\n";
  const std::string text = put("listed.txt", Bytes(content.begin(), content.end()));
  // Signed by an untrusted signer and listed by the trusted catalog: only the
  // embedded signature counts.
  const std::string embedded = File("embedded.exe");
  ASSERT_EQ(exelore_test::OsslsigncodeSign(listed, embedded, pki_->untrusted_signer), "");

  CatalogOptions trusted;
  trusted.entries = {EntryFor(hash), EntryFor(ImageHash(odd_image, odd_layout)),
                     EntryFor(ImageHash(both_image, both_layout)),
                     EntryFor(exelore_test::Digest(Bytes(content.begin(), content.end())))};
  trusted.entries.back().pe_image = false;
  CatalogOptions untrusted;
  untrusted.entries = {EntryFor(ImageHash(other_image, other_layout)),
                       EntryFor(ImageHash(both_image, both_layout))};
  const Bytes trusted_bytes = BuildCatalog(trusted, pki_->signer);
  // 'B' sorts before 'a' bytewise, after it without case.
  PutCatalog("B-trusted.cat", trusted_bytes);
  PutCatalog("a-untrusted.CAT", BuildCatalog(untrusted, pki_->untrusted_signer));
  CatalogOptions member2;
  member2.subject_algorithm = exelore_test::kCatalogListMember2;
  member2.entries = exelore_test::Member2Entries(ImageHash(v2_image, v2_layout, "sha256"),
                                                 ImageHash(v2_image, v2_layout));
  PutCatalog("member2.cat", BuildCatalog(member2, pki_->signer));
  PutCatalog("0-empty.cat", {});
  PutCatalog("0-garbage.cat", Bytes(1000, 0x42));
  PutCatalog("0-truncated.cat",
             Bytes(trusted_bytes.begin(), trusted_bytes.begin() + trusted_bytes.size() / 2));
  PutCatalog("0-unsigned.cat", exelore_test::BuildUnsignedCatalog(untrusted));
  CatalogOptions foreign = untrusted;
  foreign.content_type = "1.3.6.1.4.1.311.2.1.4";  // signed, but not a trust list
  PutCatalog("0-not-a-catalog.cat", BuildCatalog(foreign, pki_->untrusted_signer));

  const std::string kVerified = "PublisherName: ExeLore Test Signer (verified)";
  const std::string kUntrusted = "PublisherName: ExeLore Untrusted Signer (UNVERIFIED)";
  const std::string kNone = "PublisherName: ";
  struct Case {
    std::string file;
    std::string expected;
  };
  const Case cases[] = {
      {listed, kVerified},   {checksum, kVerified},  {odd, kVerified},
      {other, kUntrusted},   {both, kUntrusted},     {changed, kNone},
      {uncatalogued, kNone}, {embedded, kUntrusted}, {v2, kVerified},
  };
  const std::vector<std::string> env = {"SystemRoot=" + system_root_,
                                        "SSL_CERT_FILE=" + pki_->root.cert,
                                        "SSL_CERT_DIR=" + pki_->ca_dir};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const auto result = exelore_test::RunProcess({EXELORE_BINARY, "/c", c.file}, env);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(PublisherLine(result.out), c.expected);
  }

  // A file without version resource has no report; the program's own class
  // answers for it.
  {
    orvik_util::FileCertificateInfo info(Wide(text));
    EXPECT_EQ(info.Initialize(), S_OK);
    WideString name;
    EXPECT_EQ(info.GetPublisherName(name), S_OK);
    EXPECT_EQ(name, u"ExeLore Test Signer");
    bool verified = false;
    EXPECT_EQ(info.VerifyTrust(verified), S_OK);
    EXPECT_TRUE(verified);
  }

  // Without SystemRoot the configured folder is used, and the temporary
  // tree is not.
  const auto result = exelore_test::RunProcess(
      {"/usr/bin/env", "-u", "SystemRoot", EXELORE_BINARY, "/c", listed},
      {"SSL_CERT_FILE=" + pki_->root.cert, "SSL_CERT_DIR=" + pki_->ca_dir});
  EXPECT_NE(PublisherLine(result.out), kVerified);

  // osslsigncode reaches the same verdicts over the same catalogs and images.
  const std::string trusted_cat = catroot_ + "/B-trusted.cat";
  const auto osslsigncode = [&](const std::string& file, const std::string& catalog) {
    return exelore_test::RunProcess({"/usr/bin/osslsigncode", "verify", "-CAfile", pki_->root.cert,
                                     "-catalog", catalog, "-in", file})
               .exit_status == 0;
  };
  EXPECT_TRUE(osslsigncode(listed, trusted_cat));
  EXPECT_TRUE(osslsigncode(checksum, trusted_cat));
  EXPECT_FALSE(osslsigncode(changed, trusted_cat));
  EXPECT_FALSE(osslsigncode(uncatalogued, trusted_cat));
  EXPECT_TRUE(osslsigncode(v2, catroot_ + "/member2.cat"));
}

// Catalogs of cumulative updates are tens of MiB, larger than any
// signature: a member listed only in one beyond 8 MiB gets its publisher
// line. And a hash whose bytes straddle two pieces of the scan's reads is
// found in a catalog larger than one piece (read again whole).
TEST_F(CatalogTest, LargeCatalogsAreReadWhereverTheHashLies) {
  exelore_test::PeLayout layout;
  const Bytes member = Image(0, &layout);
  const std::string path = File("large-member.exe");
  exelore_test::WriteFile(path, member);
  const Bytes hash = ImageHash(member, layout);
  // `fillers` entries before the member's, the first with a tag of
  // `tag_units` letters.
  const auto build = [&](std::size_t fillers, std::size_t tag_units) {
    CatalogOptions options;
    for (std::size_t e = 0; e < fillers; ++e) {
      const std::string seed = "filler " + std::to_string(e);
      options.entries.push_back(
          exelore_test::EntryFor(exelore_test::Digest(Bytes(seed.begin(), seed.end()))));
    }
    options.entries.front().tag = std::u16string(tag_units, u'T');
    options.entries.push_back(exelore_test::EntryFor(hash));
    return exelore_test::BuildCatalog(options, pki_->signer);
  };
  const auto hash_at = [&](const Bytes& catalog) {
    return static_cast<std::size_t>(
        std::search(catalog.begin(), catalog.end(), hash.begin(), hash.end()) - catalog.begin());
  };
  const std::string kVerified = "PublisherName: ExeLore Test Signer (verified)";

  const Bytes large = build(48000, 1);
  ASSERT_GT(large.size(), std::size_t{8} << 20);
  PutCatalog("large.cat", large);
  EXPECT_EQ(PublisherLine(exelore_test::RunProcess({EXELORE_BINARY, "/c", path}).out), kVerified);
  fs::remove(catroot_ + "/large.cat");

  // The hash across the offset kScanChunk, where reads of kScanChunk bytes
  // without overlap would split it.
  const std::size_t piece_end = exelore_posix::catalog::Scanner::kScanChunk;
  const std::size_t fillers = piece_end / 240;
  const std::size_t first = hash_at(build(fillers, 1));
  ASSERT_LT(first, piece_end - hash.size());
  std::size_t units = 1 + (piece_end - hash.size() / 2 - first) / 2;
  Bytes straddling = build(fillers, units);
  for (int tries = 0; tries < 8 && !(hash_at(straddling) < piece_end &&
                                     hash_at(straddling) + hash.size() > piece_end);
       ++tries) {
    units += hash_at(straddling) < piece_end - hash.size() / 2 ? 1 : -1;
    straddling = build(fillers, units);
  }
  ASSERT_LT(hash_at(straddling), piece_end);
  ASSERT_GT(hash_at(straddling) + hash.size(), piece_end);
  PutCatalog("straddling.cat", straddling);
  EXPECT_EQ(PublisherLine(exelore_test::RunProcess({EXELORE_BINARY, "/c", path}).out), kVerified);
}

}  // namespace

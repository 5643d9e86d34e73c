// Trust as a mounted Windows installation decides it: the machine
// certificate stores of its SOFTWARE hive, and the reader of the
// certificate blobs kept there.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "authenticode/registry_stores.h"
#include "catalog_builder.h"
#include "hive_builder.h"
#include "pe_builder.h"
#include "testing.h"
#include "process.h"
#include "publisher_line.h"
#include "signing.h"
#include "test_pki.h"
#include "text.h"
#include "trust_rules_fixture.h"
#include "verify_file.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using exelore_test::HiveValue;
using exelore_test::PkiIdentity;
using exelore_test::TestPki;
using exelore_test::TrustRules;

constexpr char kMachine[] = "Microsoft\\SystemCertificates\\";
constexpr char kPolicy[] = "Policies\\Microsoft\\SystemCertificates\\";
constexpr char kEnterprise[] = "Microsoft\\EnterpriseCertificates\\";
constexpr char kCodeSigning[] = "1.3.6.1.5.5.7.3.3";
constexpr char kServerAuth[] = "1.3.6.1.5.5.7.3.1";
constexpr char kCatRoot[] = "SYSTEM32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";

std::string Thumbprint(const Bytes& der) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha1(), nullptr);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

// One certificate in a store: `base` (kMachine, kPolicy, kEnterprise) and a
// store name, its blob as Windows writes it unless `blob` replaces it.
struct StoreEntry {
  std::string base;
  std::string store;
  std::string cert_pem;
  std::optional<std::vector<std::string>> usages = std::nullopt;
  std::function<Bytes(Bytes)> damage = nullptr;
  std::vector<exelore_test::StoreProperty> properties = {};
};

HiveValue ValueFor(const StoreEntry& e) {
  const Bytes der = exelore_test::CertificateDer(e.cert_pem);
  Bytes blob =
      exelore_test::SerializedCertificate(der, e.usages ? &*e.usages : nullptr, e.properties);
  if (e.damage) blob = e.damage(blob);
  return {e.base + e.store + "\\Certificates\\" + Thumbprint(der), "Blob", blob};
}

// The publisher line of a report.
std::string ReportedPublisher(const std::string& report) {
  const std::size_t at = report.find("PublisherName: ");
  if (at == std::string::npos) return report;
  return report.substr(at, report.find("\r\n", at) - at);
}

// Trust as a mounted Windows installation decides it: its SOFTWARE hive's
// machine certificate stores (ROOT and AuthRoot anchors, CA intermediates,
// Disallowed distrust), in hives written by test code, each case judged by
// WinVerifyTrust and by the publisher line of `exelore /c` with SystemRoot
// naming the installation.
TEST_F(TrustRules, WindowsVolumeStoresDecide) {
  const TestPki& pki = *pki_;
  const auto save = [](const std::string& name, const Bytes& image) {
    exelore_test::WriteFile(File(name), image);
    return File(name);
  };
  const std::string signed_file = save("signed.exe", Signed(pki.signer));
  const std::string untrusted = save("untrusted.exe", Signed(pki.untrusted_signer));
  // The issuer's name and key, issued by another root, first in the set.
  const std::string crossed =
      save("crossed.exe", WithCertificate(Signed(pki.signer), pki.cross_intermediate, true));
  const std::string stamped =
      save("stamped.exe", Signed(pki.signer, true, &pki.tsa, TestPki::kInsideExpiredValidity));
  // Signed with the leaf alone: the intermediate must come from elsewhere.
  const PkiIdentity leaf_alone{pki.signer.cert, pki.signer.key, pki.signer.cert};
  const std::string orphan = save("orphan.exe", Signed(leaf_alone));
  // An unsigned image that a catalog signed by the test signer lists.
  exelore_test::PeLayout layout;
  const Bytes member =
      exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(), true, 0x0409, &layout);
  const std::string catalogued = File("catalogued.exe");
  exelore_test::WriteFile(catalogued, member);
  exelore_test::CatalogOptions listing;
  listing.entries = {exelore_test::EntryFor(exelore_test::UnsignedImageHash(member, layout))};
  const Bytes catalog = exelore_test::BuildCatalog(listing, pki.signer);

  const auto truncate = [](std::size_t keep) {
    return [keep](Bytes b) { return Bytes(b.begin(), b.begin() + static_cast<long>(keep)); };
  };
  const auto length_ff = [](Bytes b) {  // the first record claims 4 GiB
    exelore_test::Put32(b, 8, 0xFFFFFFFF);
    return b;
  };
  const auto twice = [](Bytes b) {  // the certificate's record repeated
    Bytes again = b;
    b.insert(b.end(), again.begin(), again.end());
    return b;
  };
  const auto trailing = [](Bytes b) {  // bytes after the certificate inside its record
    exelore_test::Put32(b, 8, exelore_test::Get32(b, 8) + 2);
    b.push_back(0);
    b.push_back(0);
    return b;
  };
  const auto bad_usage = [](Bytes b) {  // a usage property that is no OID list
    Bytes prefix = {9, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0x04, 0x01, 0x00};
    prefix.insert(prefix.end(), b.begin(), b.end());
    return prefix;
  };

  const auto filetime = exelore_test::FiletimeProperty;
  const auto oids = exelore_test::UsagesProperty;
  const Bytes code_signing = oids({kCodeSigning});
  const auto authroot = [](const std::string& cert,
                           std::vector<exelore_test::StoreProperty> properties) {
    return std::vector<StoreEntry>{{kMachine, "AuthRoot", cert, {}, {}, std::move(properties)}};
  };
  constexpr std::time_t kBeforeLeaves = 1559347200;  // 2019-06-01
  constexpr std::time_t kBeforeNow = 1609459200;     // 2021-01-01
  constexpr LONG kOk = S_OK;
  const std::string kVerified = "PublisherName: ExeLore Test Signer (verified)";
  const std::string kUnverified = "PublisherName: ExeLore Test Signer (UNVERIFIED)";
  const std::string kUntrustedVerified = "PublisherName: ExeLore Untrusted Signer (verified)";
  const std::string kUntrustedUnverified = "PublisherName: ExeLore Untrusted Signer (UNVERIFIED)";
  struct Case {
    std::string name;
    std::vector<StoreEntry> entries;
    std::string file;
    LONG status;
    std::string line;
    std::function<Bytes(Bytes)> damage_hive = nullptr;
    bool no_hive = false;
  };
  const std::vector<Case> cases = {
      // Without a hive, trust is the machine's own.
      {"no hive, trusted", {}, signed_file, kOk, kVerified, nullptr, true},
      {"no hive, foreign root",
       {},
       untrusted,
       CERT_E_UNTRUSTEDROOT,
       kUntrustedUnverified,
       nullptr,
       true},
      {"no hive, no intermediate", {}, orphan, CERT_E_CHAINING, kUnverified, nullptr, true},
      {"empty hive", {}, untrusted, CERT_E_UNTRUSTEDROOT, kUntrustedUnverified},
      // Anchors from each place Windows keeps them.
      {"ROOT", {{kMachine, "ROOT", pki.untrusted_root.cert}}, untrusted, kOk, kUntrustedVerified},
      {"AuthRoot",
       {{kMachine, "AuthRoot", pki.untrusted_root.cert}},
       untrusted,
       kOk,
       kUntrustedVerified},
      {"policy ROOT",
       {{kPolicy, "ROOT", pki.untrusted_root.cert}},
       untrusted,
       kOk,
       kUntrustedVerified},
      {"enterprise ROOT",
       {{kEnterprise, "Root", pki.untrusted_root.cert}},
       untrusted,
       kOk,
       kUntrustedVerified},
      {"CA store is no anchor",
       {{kMachine, "CA", pki.untrusted_root.cert}},
       untrusted,
       CERT_E_UNTRUSTEDROOT,
       kUntrustedUnverified},
      // A usage property on the root.
      {"root for code signing",
       {{kMachine, "ROOT", pki.untrusted_root.cert, {{kCodeSigning}}}},
       untrusted,
       kOk,
       kUntrustedVerified},
      {"root for servers only",
       {{kMachine, "ROOT", pki.untrusted_root.cert, {{kServerAuth}}}},
       untrusted,
       CERT_E_WRONG_USAGE,
       kUntrustedUnverified},
      {"root for nothing",
       {{kMachine, "ROOT", pki.untrusted_root.cert, {{}}}},
       untrusted,
       CERT_E_WRONG_USAGE,
       kUntrustedUnverified},
      {"root not for time stamping",
       {{kMachine, "ROOT", pki.root.cert, {{kCodeSigning}}}},
       stamped,
       TRUST_E_TIME_STAMP,
       kUnverified},
      // The root program properties of a root's blob (Disable 104, usages
      // removed 122, NotBefore 126 for the usages 127) restrict it by the
      // list's rules; the ROOT copy, found before the AuthRoot one, carries
      // its own. Test leaves are issued 2020-01-01.
      {"AuthRoot disabled", authroot(pki.untrusted_root.cert, {{104, filetime(kBeforeNow)}}),
       untrusted, CERT_E_UNTRUSTEDROOT, kUntrustedUnverified},
      {"AuthRoot without code signing", authroot(pki.untrusted_root.cert, {{122, code_signing}}),
       untrusted, CERT_E_WRONG_USAGE, kUntrustedUnverified},
      {"AuthRoot NotBefore for code signing",
       authroot(pki.untrusted_root.cert, {{126, filetime(kBeforeLeaves)}, {127, code_signing}}),
       untrusted, CERT_E_UNTRUSTEDROOT, kUntrustedUnverified},
      {"AuthRoot NotBefore for servers only",
       authroot(pki.untrusted_root.cert,
                {{126, filetime(kBeforeLeaves)}, {127, oids({kServerAuth})}}),
       untrusted, kOk, kUntrustedVerified},
      {"ROOT copy found before the disabled AuthRoot copy",
       {{kMachine, "ROOT", pki.untrusted_root.cert},
        authroot(pki.untrusted_root.cert, {{104, filetime(kBeforeNow)}})[0]},
       untrusted,
       kOk,
       kUntrustedVerified},
      // A root trusted anyway (the user's) is held to the volume's
      // restriction too, as a program root is to both.
      {"trusted root disabled on the volume",
       authroot(pki.root.cert, {{104, filetime(kBeforeNow)}}), signed_file, CERT_E_UNTRUSTEDROOT,
       kUnverified},
      {"undecodable NotBefore", authroot(pki.untrusted_root.cert, {{126, {1, 2, 3}}}), untrusted,
       CERT_E_UNTRUSTEDROOT, kUntrustedUnverified},
      {"disallowed despite an undecodable NotBefore",
       {{kMachine, "Disallowed", pki.signer.cert, {}, {}, {{126, {1, 2, 3}}, {126, {}}}}},
       signed_file,
       TRUST_E_EXPLICIT_DISTRUST,
       kUnverified},
      // Intermediates.
      {"intermediate from CA", {{kMachine, "CA", pki.intermediate.cert}}, orphan, kOk, kVerified},
      // Distrust, wherever it is kept and wherever it strikes.
      {"signer disallowed",
       {{kMachine, "Disallowed", pki.signer.cert}},
       signed_file,
       TRUST_E_EXPLICIT_DISTRUST,
       kUnverified},
      {"intermediate disallowed",
       {{kPolicy, "Disallowed", pki.intermediate.cert}},
       signed_file,
       TRUST_E_EXPLICIT_DISTRUST,
       kUnverified},
      {"root disallowed",
       {{kEnterprise, "Disallowed", pki.root.cert}},
       signed_file,
       TRUST_E_EXPLICIT_DISTRUST,
       kUnverified},
      {"TSA disallowed",
       {{kMachine, "Disallowed", pki.tsa.cert}},
       stamped,
       TRUST_E_EXPLICIT_DISTRUST,
       kUnverified},
      {"distrusted cross certificate beside a clean path",
       {{kMachine, "Disallowed", pki.cross_intermediate}},
       crossed,
       kOk,
       kVerified},
      {"disallowed beats an untrusted root",
       {{kMachine, "Disallowed", pki.untrusted_signer.cert}},
       untrusted,
       TRUST_E_EXPLICIT_DISTRUST,
       kUntrustedUnverified},
      {"disallowed beats the volume's anchor",
       {{kMachine, "ROOT", pki.untrusted_root.cert},
        {kMachine, "Disallowed", pki.untrusted_root.cert}},
       untrusted,
       TRUST_E_EXPLICIT_DISTRUST,
       kUntrustedUnverified},
      {"catalog signer disallowed",
       {{kMachine, "Disallowed", pki.signer.cert}},
       catalogued,
       TRUST_E_EXPLICIT_DISTRUST,
       kUnverified},
      // Damaged blobs count as absent: the distrust they carry is lost.
      {"blob cut in its header",
       {{kMachine, "Disallowed", pki.signer.cert, {}, truncate(10)}},
       signed_file,
       kOk,
       kVerified},
      {"blob cut in its certificate",
       {{kMachine, "Disallowed", pki.signer.cert, {}, truncate(200)}},
       signed_file,
       kOk,
       kVerified},
      {"blob length past its end",
       {{kMachine, "Disallowed", pki.signer.cert, {}, length_ff}},
       signed_file,
       kOk,
       kVerified},
      {"blob with two certificates",
       {{kMachine, "Disallowed", pki.signer.cert, {}, twice}},
       signed_file,
       kOk,
       kVerified},
      {"certificate with trailing bytes",
       {{kMachine, "Disallowed", pki.signer.cert, {}, trailing}},
       signed_file,
       kOk,
       kVerified},
      {"undecodable usage",
       {{kMachine, "ROOT", pki.untrusted_root.cert, {}, bad_usage}},
       untrusted,
       CERT_E_UNTRUSTEDROOT,
       kUntrustedUnverified},
      // A damaged hive counts as absent.
      {"hive cut in half",
       {{kMachine, "Disallowed", pki.signer.cert}},
       signed_file,
       kOk,
       kVerified,
       [](Bytes b) { return Bytes(b.begin(), b.begin() + static_cast<long>(b.size() / 2)); }},
      {"hive checksum broken",
       {{kMachine, "Disallowed", pki.signer.cert}},
       signed_file,
       kOk,
       kVerified,
       [](Bytes b) {
         b[0x30] ^= 1;
         return b;
       }},
      {"not a hive",
       {},
       untrusted,
       CERT_E_UNTRUSTEDROOT,
       kUntrustedUnverified,
       [](Bytes b) { return Bytes(b.size(), 0x42); }},
  };

  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each case is its own installation, its folder names in other letter
    // cases than Windows writes them.
    const std::string root = File("volume" + std::to_string(n++));
    std::filesystem::create_directories(root + "/SYSTEM32/Config");
    std::filesystem::create_directories(root + "/" + kCatRoot);
    exelore_test::WriteFile(root + "/" + kCatRoot + "/listing.cat", catalog);
    if (!c.no_hive) {
      std::vector<HiveValue> values;
      for (const StoreEntry& e : c.entries) values.push_back(ValueFor(e));
      const std::string hive = root + "/SYSTEM32/Config/software";
      exelore_test::WriteHive(hive, values);
      if (c.damage_hive) exelore_test::WriteFile(hive, c.damage_hive(exelore_test::ReadFile(hive)));
    }

    setenv("SystemRoot", root.c_str(), 1);
    if (c.file != catalogued) {
      EXPECT_EQ(exelore_test::VerifyFile(c.file).status, c.status);
    } else {
      const auto run = exelore_test::VerifyCatalogMember(
          exelore_posix::BytesToUtf16(root + "/" + kCatRoot + "/listing.cat"),
          exelore_test::HexTag(exelore_test::UnsignedImageHash(member, layout)),
          exelore_posix::BytesToUtf16(c.file));
      EXPECT_EQ(run.verdict.status, c.status);
    }
    const auto result =
        exelore_test::RunProcess({EXELORE_BINARY, "/c", c.file}, {"SystemRoot=" + root});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(ReportedPublisher(result.out), c.line);
  }
  setenv("SystemRoot", File("windows").c_str(), 1);
}

// The installation's own signed root list (AuthRoot\AutoUpdate's
// EncodedCtl) replaces the built-in one where it is newer and verifies as
// that one does, up to the list root through publishers of usage
// szOID_ROOT_LIST_SIGNER; the test root stands in for Microsoft's list root
// and as a program root through the test seam.
TEST_F(TrustRules, VolumeRootListDecidesWhereNewerAndGenuine) {
  const TestPki& pki = *pki_;
  const std::string signed_file = File("list-signed.exe");
  exelore_test::WriteFile(signed_file, Signed(pki.signer));
  const std::string roots = [&] {
    std::ifstream in(pki.root.cert, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  const Bytes root_der = exelore_test::CertificateDer(pki.root.cert);
  Bytes sha1(20);
  EVP_Digest(root_der.data(), root_der.size(), sha1.data(), nullptr, EVP_sha1(), nullptr);
  std::array<std::uint8_t, 20> list_root{};
  std::copy(sha1.begin(), sha1.end(), list_root.begin());
  using Entry = exelore_test::ProgramListEntry;
  constexpr std::time_t kBuiltIn = TestPki::kNotBefore + 86400;  // the seam list's thisUpdate
  constexpr std::time_t kDisabled = 1609459200;                  // 2021-01-01
  const Bytes disabling = exelore_test::BuildRootProgramList(
      {Entry{.sha1 = sha1, .disabled_at = kDisabled}}, pki.root_list_signer, kBuiltIn + 86400);
  struct Case {
    std::string name;
    Bytes list;
    std::string line;
  };
  const std::string kSigner = "PublisherName: ExeLore Test Signer";
  const Case cases[] = {
      {"newer, genuine", disabling, kSigner + " (UNVERIFIED)"},
      {"no newer than the built-in one",
       exelore_test::BuildRootProgramList({Entry{.sha1 = sha1, .disabled_at = kDisabled}},
                                          pki.root_list_signer, kBuiltIn),
       kSigner + " (verified)"},
      {"signed by a publisher without the list usage",
       exelore_test::BuildRootProgramList({Entry{.sha1 = sha1, .disabled_at = kDisabled}},
                                          pki.signer, kBuiltIn + 86400),
       kSigner + " (verified)"},
  };
  exelore_posix::testing::SetRootProgram(
      exelore_test::BuildRootProgramList({Entry{.sha1 = sha1}}, pki.signer), roots, {}, list_root);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = File("list-volume" + std::to_string(n++));
    std::filesystem::create_directories(root + "/System32/config");
    exelore_test::WriteHive(
        root + "/System32/config/SOFTWARE",
        {{std::string(kMachine) + "AuthRoot\\AutoUpdate", "EncodedCtl", c.list}});
    setenv("SystemRoot", root.c_str(), 1);
    EXPECT_EQ(exelore_test::PublisherLine(signed_file), c.line);
  }
  exelore_posix::testing::UseMicrosoftRootProgram();
  setenv("SystemRoot", File("windows").c_str(), 1);
}

// Every prefix of a blob and every length patched to 0xFFFFFFFF reads as
// nothing or as what the whole blob holds, never past its end.
TEST_F(TrustRules, StoreBlobReaderStaysInsideItsBytes) {
  const std::vector<std::string> usages = {kCodeSigning};
  const Bytes der = exelore_test::CertificateDer(pki_->root.cert);
  const Bytes blob = exelore_test::SerializedCertificate(
      der, &usages,
      {{104, exelore_test::FiletimeProperty(TestPki::kNotAfter)},
       {127, exelore_test::UsagesProperty(usages)}});
  for (std::size_t keep = 0; keep < blob.size(); ++keep) {
    SCOPED_TRACE(keep);
    const Bytes prefix(blob.begin(), blob.begin() + static_cast<long>(keep));
    EXPECT_FALSE(exelore_posix::registry::ReadSerializedCertificate(prefix));
  }
  for (std::size_t at = 0; at + 4 <= blob.size(); at += 4) {
    Bytes patched = blob;
    exelore_test::Put32(patched, at, 0xFFFFFFFF);
    const auto read = exelore_posix::registry::ReadSerializedCertificate(patched);
    if (read) {
      EXPECT_LE(read->certificate.data() + read->certificate.size(),
                patched.data() + patched.size());
    }
  }
  const auto whole = exelore_posix::registry::ReadSerializedCertificate(blob);
  ASSERT_TRUE(whole);
  EXPECT_EQ(Bytes(whole->certificate.begin(), whole->certificate.end()), der);
  ASSERT_TRUE(whole->enhanced_key_usage);
  EXPECT_EQ(whole->rule_properties.size(), 2u);
}

}  // namespace

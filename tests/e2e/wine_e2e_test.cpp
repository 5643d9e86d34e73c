// The Windows build run under Wine against this build, on the fixtures and
// command lines of the end-to-end tests: standard output bytes and exit
// status must match. Only a publisher line may differ, and only as listed in
// kWineDifferences, where Wine's own crypt32 and wintrust answer otherwise
// than Windows does. Run by scripts/wine-e2e.sh, which names the Windows
// executable (EXELORE_WINDOWS_EXE), the Wine loader (EXELORE_WINE) and a
// throwaway WINEPREFIX.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalog_builder.h"
#include "pe_builder.h"
#include "process.h"
#include "report_cases.h"
#include "signing.h"
#include "test_pki.h"

namespace {

namespace fs = std::filesystem;
using exelore_test::TempDir;
using exelore_test::WriteFile;

struct KnownDifference {
  const char* case_name;
  const char* ours;  // this build's publisher line (no line end)
  const char* wine;  // the Windows build's under Wine
  const char* reason;
};

// Every entry must occur, and nothing else may differ.
constexpr char kWineEcdsa[] =
    "Wine's crypt32 cannot decode an EC public key to check the signer's ECDSA signature, so "
    "WinVerifyTrust fails with TRUST_E_CERT_SIGNATURE";
constexpr KnownDifference kWineDifferences[] = {
    {"signed by a trusted signer", "PublisherName: ExeLore Test Signer (verified)",
     "PublisherName: ExeLore Test Signer (UNVERIFIED)", kWineEcdsa},
    {"signed by a signer without a common name", "PublisherName: ExeLore Org Only (verified)",
     "PublisherName: ExeLore Org Only (UNVERIFIED)", kWineEcdsa},
    {"listed in a signed catalog", "PublisherName: ExeLore Test Signer (verified)",
     "PublisherName: ",
     "Wine's CryptCATAdminCalcHashFromFileHandle hashes the whole file, not the Authenticode "
     "image hash catalogs list, so Wine finds no catalog for the file"},
};

// Record columns whose calls Wine answers otherwise than Windows: left out
// of the comparison of the scans. Each must differ, and no other column.
struct ColumnDifference {
  const char* column;
  const char* reason;
};
constexpr ColumnDifference kWineColumnDifferences[] = {
    {"authentihash_sha1",
     "Wine's CryptCATAdminCalcHashFromFileHandle hashes the whole file, not the image"},
    {"authentihash_sha256",
     "Wine's CryptCATAdminAcquireContext2 and CryptCATAdminCalcHashFromFileHandle2 give no "
     "SHA-256 image hash: the column is empty"},
};

struct Case {
  std::string name;
  std::vector<std::string> args;
};

// Makes `root_pem` a trusted root of the Wine prefix as Windows keeps one:
// HKLM\...\SystemCertificates\Root\Certificates\<SHA-1 thumbprint> with
// the certificate serialized as a CERT_CERT_PROP_ID element in "Blob".
void TrustRootInPrefix(const std::string& wine, const std::string& root_pem, const TempDir& dir) {
  const auto der = exelore_test::RunProcess({"/usr/bin/openssl", "x509", "-in", root_pem,
                                             "-outform", "DER", "-out", dir.File("root.der")});
  ASSERT_EQ(der.exit_status, 0) << der.err;
  const auto bytes = exelore_test::ReadFile(dir.File("root.der"));
  const auto length = static_cast<std::uint32_t>(bytes.size());
  std::vector<std::uint8_t> blob = {32, 0, 0, 0, 1, 0, 0, 0};
  for (int shift = 0; shift < 32; shift += 8)
    blob.push_back(static_cast<std::uint8_t>(length >> shift));
  blob.insert(blob.end(), bytes.begin(), bytes.end());
  std::string thumbprint;
  for (const char16_t unit : exelore_test::HexTag(exelore_test::Digest(bytes, "sha1"))) {
    thumbprint += static_cast<char>(unit);
  }
  std::string reg =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" +
      thumbprint + "]\r\n\"Blob\"=hex:";
  char hex[4];
  for (std::size_t i = 0; i < blob.size(); ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : ",%02x", blob[i]);
    reg += hex;
  }
  reg += "\r\n";
  WriteFile(dir.File("root.reg"), std::vector<std::uint8_t>(reg.begin(), reg.end()));
  const auto result = exelore_test::RunProcess({wine, "reg", "import", dir.File("root.reg")}, {},
                                               std::chrono::seconds(60));
  ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The version section (every byte before the publisher line) and the rest.
std::pair<std::string, std::string> SplitAtPublisher(const std::string& out) {
  const auto at = out.find("PublisherName: ");
  if (at == std::string::npos) return {out, ""};
  return {out.substr(0, at), out.substr(at)};
}

TEST(WindowsBuildUnderWine, PrintsWhatThisBuildPrints) {
  const std::string wine = Env("EXELORE_WINE");
  const std::string exe = Env("EXELORE_WINDOWS_EXE");
  const std::string prefix = Env("WINEPREFIX");
  if (wine.empty() || exe.empty() || prefix.empty()) {
    GTEST_SKIP() << "set EXELORE_WINE, EXELORE_WINDOWS_EXE and WINEPREFIX (scripts/wine-e2e.sh)";
  }
  TempDir dir;
  const std::string blanks = dir.File("with blanks");
  fs::create_directories(blanks);
  std::vector<Case> cases;

  const std::string plain_exe = dir.File("plain.exe");
  WriteFile(plain_exe, exelore_test::BuildPe({}));
  WriteFile(dir.File("text.txt"), {'M', 'Z'});
  for (const auto& args : exelore_test::UsageCommandLines(plain_exe)) {
    cases.push_back({"usage line", args});
  }
  cases.push_back({"no arguments: the dialog, which cannot open without a display", {}});
  for (const std::string& path :
       {std::string(), dir.File("absent.exe"), plain_exe, dir.File("text.txt"), dir.path()}) {
    cases.push_back({"empty report", {"/c", path}});
  }

  int index = 0;
  for (const auto& shape : exelore_test::ReportCases()) {
    for (const bool pe32plus : {false, true}) {
      const std::string file = blanks + "/shape " + std::to_string(index++) + ".exe";
      WriteFile(file, exelore_test::BuildPeWithVersion(shape.info, pe32plus));
      cases.push_back(
          {std::string(shape.name) + (pe32plus ? " (PE32+)" : " (PE32)"), {"/c", file}});
    }
  }

  // Signed files, and a file listed in a catalog of the prefix's own
  // catalog database, which this build reads through SystemRoot.
  const exelore_test::TestPki& pki = exelore_test::SharedTestPki();
  TrustRootInPrefix(wine, pki.root.cert, dir);
  exelore_test::PeLayout layout;
  const auto image =
      exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(), true, 0x0409, &layout);
  WriteFile(dir.File("unsigned.exe"), image);
  struct Signed {
    const char* name;
    const exelore_test::PkiIdentity& signer;
  };
  for (const Signed& s : {Signed{"signed by a trusted signer", pki.signer},
                          Signed{"signed by a trusted RSA signer", pki.signer_rsa},
                          Signed{"signed by a signer without a common name", pki.signer_no_cn},
                          Signed{"signed under a root nobody trusts", pki.untrusted_signer}}) {
    const std::string file = blanks + "/" + s.name + ".exe";
    exelore_test::SignFile(s.signer, dir.File("unsigned.exe"), file);
    cases.push_back({s.name, {"/c", file}});
  }
  const std::string windows = prefix + "/drive_c/windows";
  const std::string catroot = windows + "/system32/catroot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
  fs::create_directories(catroot);
  exelore_test::CatalogOptions catalog;
  catalog.entries.push_back(exelore_test::EntryFor(exelore_test::UnsignedImageHash(image, layout)));
  WriteFile(catroot + "/exelore-test.cat", exelore_test::BuildCatalog(catalog, pki.signer));
  cases.push_back({"listed in a signed catalog", {"/c", dir.File("unsigned.exe")}});

  const std::vector<std::string> env = {"SSL_CERT_FILE=" + pki.root.cert,
                                        "SSL_CERT_DIR=" + pki.ca_dir, "SystemRoot=" + windows};
  std::set<std::string> differences_seen;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + ": " + testing::PrintToString(c.args));
    std::vector<std::string> ours_argv = {EXELORE_BINARY};
    std::vector<std::string> wine_argv = {wine, exe};
    ours_argv.insert(ours_argv.end(), c.args.begin(), c.args.end());
    wine_argv.insert(wine_argv.end(), c.args.begin(), c.args.end());
    const auto ours = exelore_test::RunProcess(ours_argv, env);
    const auto theirs = exelore_test::RunProcess(wine_argv, env, std::chrono::seconds(60));
    ASSERT_EQ(ours.exit_status, 0);
    ASSERT_FALSE(theirs.timed_out);
    EXPECT_EQ(theirs.exit_status, 0);
    EXPECT_EQ(theirs.err, "");
    const auto [our_version, our_publisher] = SplitAtPublisher(ours.out);
    const auto [wine_version, wine_publisher] = SplitAtPublisher(theirs.out);
    EXPECT_EQ(wine_version, our_version);
    if (wine_publisher == our_publisher) continue;
    bool known = false;
    for (const auto& d : kWineDifferences) {
      known = known || (c.name == d.case_name && our_publisher == std::string(d.ours) + "\r\n" &&
                        wine_publisher == std::string(d.wine) + "\r\n");
    }
    EXPECT_TRUE(known) << "publisher lines differ: this build "
                       << testing::PrintToString(our_publisher) << ", under Wine "
                       << testing::PrintToString(wine_publisher);
    if (known) differences_seen.insert(c.name);
  }
  for (const auto& d : kWineDifferences) {
    EXPECT_EQ(differences_seen.count(d.case_name), 1u)
        << "listed as a Wine difference but not seen: " << d.case_name << " (" << d.reason << ")";
  }

  // exelore-scan of the folder of shapes and signed files: the same records,
  // but for the verdicts on ECDSA signatures (kWineEcdsa).
  const std::string scan_exe = Env("EXELORE_WINDOWS_SCAN_EXE");
  ASSERT_FALSE(scan_exe.empty()) << "set EXELORE_WINDOWS_SCAN_EXE (scripts/wine-e2e.sh)";
  const auto our_scan =
      exelore_test::RunProcess({EXELORE_SCAN_BINARY, "--format", "jsonl", blanks}, env);
  const auto wine_scan = exelore_test::RunProcess(
      {wine, scan_exe, "--format", "jsonl", "--jobs", "2", blanks}, env, std::chrono::seconds(120));
  ASSERT_EQ(our_scan.exit_status, 0);
  ASSERT_EQ(wine_scan.exit_status, 0) << wine_scan.err;
  // The summary line last on standard error; before it at most warnings
  // (a prefix's Windows folder may hold no catalogs).
  const std::string last =
      wine_scan.err.substr(wine_scan.err.rfind('\n', wine_scan.err.size() - 2) == std::string::npos
                               ? 0
                               : wine_scan.err.rfind('\n', wine_scan.err.size() - 2) + 1);
  EXPECT_TRUE(last.starts_with("exelore-scan: ") && last.find(" errors; ") != std::string::npos)
      << wine_scan.err;
  for (std::size_t line = 0; line < wine_scan.err.size() - last.size();
       line = wine_scan.err.find('\n', line) + 1) {
    EXPECT_EQ(wine_scan.err.compare(line, 23, "exelore-scan: warning: "), 0) << wine_scan.err;
  }
  std::string expected = our_scan.out;
  for (const char* ecdsa :
       {"signed by a trusted signer.exe", "signed by a signer without a common name.exe"}) {
    const auto line = expected.find(ecdsa);
    ASSERT_NE(line, std::string::npos) << ecdsa;
    const auto verdict = expected.find("\"verdict\":\"verified\"", line);
    ASSERT_NE(verdict, std::string::npos) << ecdsa;
    expected.replace(verdict, 20, "\"verdict\":\"unverified\"");
  }
  // Why a signature is refused is each WinVerifyTrust's own answer (Wine's
  // for the ECDSA ones is TRUST_E_CERT_SIGNATURE): the status of an
  // unverified record is left out; every other status must match.
  const auto without_refusal_status = [](std::string records) {
    for (std::size_t line = 0; line < records.size(); line = records.find('\n', line) + 1) {
      const std::size_t end = records.find('\n', line);
      const auto at = records.find("\"verdict\":\"unverified\",\"status\":\"", line);
      if (at == std::string::npos || at > end) continue;
      const std::size_t value = at + 33;
      records.erase(value, records.find('"', value) - value);
    }
    return records;
  };
  expected = without_refusal_status(expected);
  std::string got = without_refusal_status(wine_scan.out);
  for (const ColumnDifference& d : kWineColumnDifferences) {
    // The column's values, in order; `records` with them emptied.
    const auto take_column = [&](std::string& records) {
      const std::string key = std::string("\"") + d.column + "\":\"";
      std::vector<std::string> values;
      for (auto at = records.find(key); at != std::string::npos; at = records.find(key, at + 1)) {
        const std::size_t value = at + key.size();
        values.push_back(records.substr(value, records.find('"', value) - value));
        records.erase(value, values.back().size());
      }
      return values;
    };
    EXPECT_NE(take_column(expected), take_column(got))
        << "listed as a Wine difference but not seen: " << d.column << " (" << d.reason << ")";
  }
  EXPECT_EQ(got, expected);

  // The options behave the same: each file once, CSV without a header,
  // exit status 1 for a missing PATH and for --fail-on.
  const std::vector<std::string> options = {
      "--no-header", "--fail-on", "unsigned", "--format",
      "csv",         blanks,      blanks,     blanks + "/missing.exe"};
  std::vector<std::string> ours_argv = {EXELORE_SCAN_BINARY};
  ours_argv.insert(ours_argv.end(), options.begin(), options.end());
  std::vector<std::string> wine_argv = {wine, scan_exe};
  wine_argv.insert(wine_argv.end(), options.begin(), options.end());
  const auto our_options = exelore_test::RunProcess(ours_argv, env);
  const auto wine_options = exelore_test::RunProcess(wine_argv, env, std::chrono::seconds(120));
  EXPECT_EQ(our_options.exit_status, 1);
  EXPECT_EQ(wine_options.exit_status, 1) << wine_options.err;
  EXPECT_EQ(std::count(wine_options.out.begin(), wine_options.out.end(), '\n'),
            std::count(our_options.out.begin(), our_options.out.end(), '\n'));
  const auto usage = exelore_test::RunProcess({wine, scan_exe, "--jobs", "999", blanks}, env,
                                              std::chrono::seconds(120));
  EXPECT_EQ(usage.exit_status, 2);
  EXPECT_NE(usage.err.find("--jobs takes a number from 1 to 256, not '999'"), std::string::npos)
      << usage.err;
}

}  // namespace

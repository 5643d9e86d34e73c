// Real executables signed by others (tests/real_files/manifest.tsv, fetched
// by scripts/fetch-real-files.sh): the whole report of each in the default
// environment, our verdict beside osslsigncode's, and byte flips in what the
// signatures cover. Skipped when the files have not been fetched, unless
// EXELORE_REQUIRE_REAL_FILES is set (CI sets it).
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "authenticode/root_program.h"
#include "authenticode/signed_data.h"
#include "hive_builder.h"
#include "independent_facts.h"
#include "pe_builder.h"
#include "process.h"
#include "publisher_line.h"
#include "ossl.h"
#include "signing.h"
#include "text.h"

namespace {

using exelore_test::PublisherLine;

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const std::string kSource = EXELORE_SOURCE_DIR;

struct RealFile {
  std::string name;
  bool signed_file;
};

// The manifest's default rows (the optional large file is for benchmarks).
std::vector<RealFile> Manifest() {
  std::ifstream in(kSource + "/tests/real_files/manifest.tsv");
  std::vector<RealFile> files;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> columns;
    std::stringstream row(line);
    for (std::string column; std::getline(row, column, '\t');) columns.push_back(column);
    if (columns.size() < 7 || columns[5] == "yes") continue;
    files.push_back({columns[4], columns[4].rfind("unsigned-", 0) != 0});
  }
  return files;
}

std::string Cache() {
  const char* dir = std::getenv("EXELORE_REAL_FILES");
  return dir != nullptr ? dir : kSource + "/build/real-files";
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class RealFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unsetenv("SSL_CERT_FILE");
    unsetenv("SSL_CERT_DIR");
    unsetenv("SystemRoot");
  }
  void SetUp() override {
    for (const RealFile& f : Manifest()) {
      if (fs::exists(Cache() + "/" + f.name)) continue;
      if (std::getenv("EXELORE_REQUIRE_REAL_FILES") != nullptr) {
        FAIL() << f.name << " is missing: run scripts/fetch-real-files.sh";
      }
      GTEST_SKIP() << "real files not fetched (scripts/fetch-real-files.sh)";
    }
  }
};

TEST_F(RealFiles, WholeReportInTheDefaultEnvironment) {
  for (const RealFile& f : Manifest()) {
    SCOPED_TRACE(f.name);
    const auto result =
        exelore_test::RunProcess({"/usr/bin/env", "-u", "SSL_CERT_FILE", "-u", "SSL_CERT_DIR", "-u",
                                  "SystemRoot", EXELORE_BINARY, "/c", Cache() + "/" + f.name});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, ReadText(kSource + "/tests/real_files/expected/" + f.name + ".txt"));
  }
}

// exelore-scan over the same files, in parallel, gives each the verdict of
// its publisher line (which the report leaves out for a file without a
// version resource).
TEST_F(RealFiles, ScanGivesTheReportsVerdicts) {
  const auto scan = exelore_test::RunProcess(
      {"/usr/bin/env", "-u", "SSL_CERT_FILE", "-u", "SSL_CERT_DIR", "-u", "SystemRoot",
       EXELORE_SCAN_BINARY, "--format", "jsonl", "--jobs", "4", Cache()},
      {}, std::chrono::seconds(120));
  ASSERT_EQ(scan.exit_status, 0) << scan.err;
  for (const RealFile& f : Manifest()) {
    SCOPED_TRACE(f.name);
    const std::string line_of_report = PublisherLine(Cache() + "/" + f.name);
    const auto line = scan.out.find("{\"path\":\"" + Cache() + "/" + f.name + "\"");
    ASSERT_NE(line, std::string::npos);
    const std::string record = scan.out.substr(line, scan.out.find('\n', line) - line);
    const std::string verdict = line_of_report.ends_with(" (verified)")     ? "verified"
                                : line_of_report.ends_with(" (UNVERIFIED)") ? "unverified"
                                                                            : "unsigned";
    // An unsigned file says so, and why: WinVerifyTrust found no signature.
    const std::string status = verdict == "verified"   ? ""
                               : verdict == "unsigned" ? "TRUST_E_NOSIGNATURE 0x800B0100"
                                                       : "";
    const std::string tail = "\"verdict\":\"" + verdict + "\",\"status\":\"";
    EXPECT_NE(record.find(verdict == "unverified" ? tail : tail + status + "\""), std::string::npos)
        << record;
    EXPECT_NE(record.find(std::string("\"source\":\"") + (verdict == "unsigned" ? "" : "embedded") +
                          "\",\"catalog\":\"\","),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("\"error\":\"\",\"raw_path\":\"\"}"), std::string::npos) << record;
  }
}

// Every record's facts as other tools read them: coreutils' hashes,
// osslsigncode's reading of the first signature (its calculated digest, the
// signer's issuer, serial and validity, how many signatures) and openssl's
// thumbprint of the signer.
TEST_F(RealFiles, ScanFactsEqualOtherToolsReadings) {
  if (!exelore_test::HaveOsslsigncode()) GTEST_SKIP() << "osslsigncode is not installed";
  const auto scan = exelore_test::RunProcess(
      {EXELORE_SCAN_BINARY, "--format", "jsonl", "--hash", "md5,sha1", Cache()}, {},
      std::chrono::seconds(120));
  ASSERT_EQ(scan.exit_status, 0) << scan.err;
  // Read from the headers by hand (Machine, Characteristics, Subsystem, the
  // CLR directory); the arm64 folder's vcruntime140.dll is an x86 image.
  const std::map<std::string, std::string> shapes = {
      {"ms-vcruntime140-arm64-2024.dll", "x86 dll"},
      {"sectigo-r46-windivert64-2022.sys", "x64 driver"},
      {"unsigned-mono-system-core.dll", "x86 dll+.net"},
      {"ms-signtool-2026.exe", "x64 exe"},
  };
  for (const RealFile& f : Manifest()) {
    SCOPED_TRACE(f.name);
    const std::string path = Cache() + "/" + f.name;
    const auto line = scan.out.find("{\"path\":\"" + path + "\"");
    ASSERT_NE(line, std::string::npos);
    const std::string record = scan.out.substr(line, scan.out.find('\n', line) - line);
    const auto facts = exelore_test::IndependentFacts(path);
    // Every signed file of the set is timestamped, legacy or RFC 3161.
    for (const char* key : {"thumbprint", "signed_at", "timestamp", "timestamp_signer"})
      EXPECT_EQ(facts.count(key), f.signed_file ? 1u : 0u) << key;
    EXPECT_EQ(exelore_test::Mismatches(record, facts), std::vector<std::string>());
    if (const auto shape = shapes.find(f.name); shape != shapes.end()) {
      EXPECT_EQ(exelore_test::Field(record, "machine") + " " + exelore_test::Field(record, "kind"),
                shape->second);
    }
  }
}

// osslsigncode, given Windows' roots and the system's, judges the first
// signature as Windows does on each of these files. Its exit status also
// counts nested signatures, so its verdict on the first one is read from
// the lines under "Signature Index: 0".
TEST_F(RealFiles, VerdictEqualsOsslsigncodes) {
  if (!exelore_test::HaveOsslsigncode()) GTEST_SKIP() << "osslsigncode is not installed";
  // Microsoft's program roots alone, as Windows has them; osslsigncode
  // applies none of the list's rules.
  const std::string anchors =
      kSource + "/platform/posix/common/authenticode/root_program/roots.pem";
  // Where osslsigncode is known to judge otherwise than Windows.
  const std::map<std::string, std::string> disagreements = {
      {"symantec-g4-sectigo-sumatrapdf-3.0.exe",
       "osslsigncode refuses a legacy countersignature whose RSA block holds the bare digest"},
  };
  for (const RealFile& f : Manifest()) {
    if (!f.signed_file) continue;
    SCOPED_TRACE(f.name);
    const std::string path = Cache() + "/" + f.name;
    const auto result =
        exelore_test::RunProcess({"/usr/bin/osslsigncode", "verify", "-ignore-cdp", "-ignore-crl",
                                  "-CAfile", anchors, "-TSA-CAfile", anchors, "-in", path},
                                 {}, std::chrono::seconds(120));
    const std::string first = result.out.substr(0, result.out.find("Signature Index: 1"));
    const bool theirs = first.find("Signature verification: ok") != std::string::npos;
    const std::string ours = PublisherLine(path);
    const auto known = disagreements.find(f.name);
    EXPECT_EQ(ours.ends_with(" (verified)"), known == disagreements.end() ? theirs : !theirs)
        << ours << "\n"
        << first << (known != disagreements.end() ? known->second : "");
  }
}

// The bytes of `needle` inside `haystack`, as offsets; none when absent.
std::vector<std::size_t> Where(const Bytes& haystack, const unsigned char* needle, int length) {
  const auto at = std::search(haystack.begin(), haystack.end(), needle, needle + length);
  std::vector<std::size_t> offsets;
  for (int i = 0; at != haystack.end() && i < length; ++i) {
    offsets.push_back(static_cast<std::size_t>(at - haystack.begin()) +
                      static_cast<std::size_t>(i));
  }
  return offsets;
}

// A real program root that a Windows installation restricts more strictly
// than the built-in list: the properties of its AuthRoot copy (usages
// removed 122, Disable 104, NotBefore 126 for the usages 127) apply beside
// the list's entry. DigiCert Assured ID Root CA anchors the leaf of
// node.exe 7.10.1 (issued 2015-11-11, timestamped 2017-07-11 by GlobalSign).
TEST_F(RealFiles, AVolumeRestrictsARealProgramRoot) {
  const std::string file = Cache() + "/digicert-node-7.10.1.exe";
  const std::uint8_t kDigiCertAssuredId[20] = {0x05, 0x63, 0xb8, 0x63, 0x0d, 0x62, 0xd7,
                                               0x5a, 0xbb, 0xc8, 0xab, 0x1e, 0x4b, 0xdf,
                                               0xb5, 0xa8, 0x99, 0xb2, 0x4d, 0x43};
  X509* root = exelore_posix::authenticode::ProgramRootBySha1(kDigiCertAssuredId);
  ASSERT_NE(root, nullptr);
  const Bytes der = exelore_posix::authenticode::Encoded(root, i2d_X509);
  const auto filetime = exelore_test::FiletimeProperty;
  const Bytes code_signing = exelore_test::UsagesProperty({"1.3.6.1.5.5.7.3.3"});
  struct Case {
    const char* what;
    std::vector<exelore_test::StoreProperty> properties;
    const char* verdict;
  };
  const Case cases[] = {
      {"as the list has it", {}, " (verified)"},
      {"code signing removed", {{122, code_signing}}, " (UNVERIFIED)"},
      {"disabled before the timestamp", {{104, filetime(1483228800)}}, " (UNVERIFIED)"},
      {"NotBefore for code signing before the leaf",
       {{126, filetime(1420070400)}, {127, code_signing}},
       " (UNVERIFIED)"},
  };
  exelore_test::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string windows = dir.File("windows" + std::to_string(n++));
    fs::create_directories(windows + "/System32/config");
    exelore_test::WriteHive(
        windows + "/System32/config/SOFTWARE",
        {{"Microsoft\\SystemCertificates\\AuthRoot\\Certificates\\0563B8630D62D75ABBC8AB1E4BDFB5A89"
          "9B24D43",
          "Blob", exelore_test::SerializedCertificate(der, nullptr, c.properties)}});
    const auto result = exelore_test::RunProcess(
        {"/usr/bin/env", "SystemRoot=" + windows, EXELORE_BINARY, "/c", file});
    EXPECT_NE(result.out.find("PublisherName: Node.js Foundation" + std::string(c.verdict)),
              std::string::npos)
        << result.out;
  }
}

// Flips in the hashed ranges, the signer's signature and messageDigest, and
// the timestamp's signed parts (a legacy countersignature's signature and
// messageDigest, or an RFC 3161 token's TSTInfo and signature) never verify.
TEST_F(RealFiles, ByteFlipsInWhatIsSignedNeverVerify) {
  exelore_test::TempDir dir;
  for (const std::string name : {"ms-signtool-2010.exe", "ms-conpty-x64-2025.dll"}) {
    SCOPED_TRACE(name);
    const Bytes image = exelore_test::ReadFile(Cache() + "/" + name);
    ASSERT_TRUE(PublisherLine(Cache() + "/" + name).ends_with(" (verified)"));
    const std::size_t entry = exelore_test::SecurityDirectoryEntry(image);
    const std::size_t table = exelore_test::Get32(image, entry);
    const unsigned char* p = image.data() + table + 8;
    const exelore_posix::ossl::Pkcs7Ptr p7(
        d2i_PKCS7(nullptr, &p, static_cast<long>(image.size() - table - 8)));
    ASSERT_NE(p7, nullptr);
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);

    std::vector<std::size_t> positions;
    const std::size_t checksum = exelore_test::Get32(image, 0x3c) + 24 + 64;
    for (std::size_t at = 0; at < table; at += table / 200) {
      if (at < checksum || at >= checksum + 4) positions.push_back(at);
    }
    const auto add = [&](const ASN1_STRING* s) {
      const auto found = Where(image, s->data, s->length);
      EXPECT_FALSE(found.empty());
      positions.insert(positions.end(), found.begin(), found.end());
    };
    add(si->enc_digest);
    add(PKCS7_digest_from_attributes(si->auth_attr));
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i) {
      const ASN1_TYPE* value =
          X509_ATTRIBUTE_get0_type(sk_X509_ATTRIBUTE_value(si->unauth_attr, i), 0);
      if (value == nullptr || value->type != V_ASN1_SEQUENCE) continue;
      const unsigned char* q = value->value.sequence->data;
      const long length = value->value.sequence->length;
      if (OBJ_obj2nid(X509_ATTRIBUTE_get0_object(sk_X509_ATTRIBUTE_value(si->unauth_attr, i))) ==
          NID_pkcs9_countersignature) {
        const exelore_posix::ossl::SignerInfoPtr counter(
            d2i_PKCS7_SIGNER_INFO(nullptr, &q, length));
        add(counter->enc_digest);
        add(PKCS7_digest_from_attributes(counter->auth_attr));
        continue;
      }
      const exelore_posix::ossl::CmsPtr token(d2i_CMS_ContentInfo(nullptr, &q, length));
      if (!token) continue;  // a nested signature
      add(*CMS_get0_content(token.get()));
      CMS_SignerInfo* tsi = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(token.get()), 0);
      add(CMS_SignerInfo_get0_signature(tsi));
    }
    for (const std::size_t at : positions) {
      Bytes copy = image;
      copy[at] ^= 0x01;
      exelore_test::WriteFile(dir.File(name), copy);
      EXPECT_FALSE(PublisherLine(dir.File(name)).ends_with(" (verified)")) << "flip at " << at;
    }
  }
}

// A real signature whose unsigned certificate set gets 255 certificates
// named like the signer's issuer before the real one: with its key
// identifier and keys of their own, or with its key and an attacker's
// authority as issuer. Anyone can add them without a key, and the verdict
// stays what it was.
TEST_F(RealFiles, CrowdBeforeTheIssuerChangesNoVerdict) {
  const std::string name = "digicert-snoretoast-x64-2019.exe";
  const Bytes image = exelore_test::ReadFile(Cache() + "/" + name);
  for (const auto kind : {exelore_test::Crowd::kOtherKeys, exelore_test::Crowd::kCrosses}) {
    const std::string file = fs::path(testing::TempDir()) / name;
    exelore_test::WriteFile(file, exelore_test::CrowdBeforeIssuer(image, 255, kind));
    EXPECT_EQ(PublisherLine(file), PublisherLine(Cache() + "/" + name));
    EXPECT_TRUE(PublisherLine(file).ends_with(" (verified)"));
  }
}

}  // namespace

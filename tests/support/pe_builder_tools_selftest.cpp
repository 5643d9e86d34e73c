// Images of the fixture writer accepted by external tools: objdump reads
// them, and osslsigncode signs and verifies them and agrees on the checksum.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pe_builder.h"
#include "pe_selftest_helpers.h"

namespace exelore_test::pe_selftest {
namespace {

TEST(PeBuilderTools, ObjdumpRecognisesImages) {
  std::string objdump;
  for (const char* tool : {"x86_64-w64-mingw32-objdump", "objdump"})
    if (HaveTool(tool)) {
      objdump = tool;
      break;
    }
  if (objdump.empty()) GTEST_SKIP() << "no objdump available";

  Temp tmp;
  for (const bool plus : {true, false}) {
    SCOPED_TRACE(plus ? "pe64" : "pe32");
    const std::string path = tmp.Path(plus ? "o64.exe" : "o32.exe");
    WriteFile(path, BuildPeWithVersion(DefaultVersionInfo(), plus));
    const auto r = RunShell(tmp, objdump + " -p '" + path + "'");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find(plus ? "file format pei-x86-64" : "file format pei-i386"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(plus ? "(PE32+)" : "(PE32)"), std::string::npos);
    EXPECT_NE(r.output.find("Resource Directory [.rsrc]"), std::string::npos);
    EXPECT_NE(r.output.find("ID: 0x000010"), std::string::npos) << "RT_VERSION type entry";
    EXPECT_NE(r.output.find("ID: 0x000409"), std::string::npos) << "language entry";
    EXPECT_EQ(r.output.find("warning"), std::string::npos) << r.output;
  }
}

class SigningTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!HaveTool("osslsigncode") || !HaveTool("openssl")) return;
    tmp_ = new Temp;
    const auto r = RunShell(*tmp_,
                            "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "
                            "'/CN=ExeLore Fixture Signer' -keyout '" +
                                tmp_->Path("key.pem") + "' -out '" + tmp_->Path("cert.pem") + "'");
    if (r.status != 0) {
      delete tmp_;
      tmp_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete tmp_;
    tmp_ = nullptr;
  }
  void SetUp() override {
    if (!tmp_) GTEST_SKIP() << "osslsigncode/openssl unavailable";
  }

  // Signs `img`; returns the path of the signed file.
  static std::string Sign(const std::vector<uint8_t>& img, const std::string& leaf) {
    const std::string in = tmp_->Path(leaf + ".exe"), out = tmp_->Path(leaf + ".signed.exe");
    WriteFile(in, img);
    const auto r = RunShell(*tmp_, "osslsigncode sign -certs '" + tmp_->Path("cert.pem") +
                                       "' -key '" + tmp_->Path("key.pem") + "' -h sha256 -in '" +
                                       in + "' -out '" + out + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    return out;
  }

  static RunResult Verify(const std::string& path) {
    return RunShell(
        *tmp_, "osslsigncode verify -CAfile '" + tmp_->Path("cert.pem") + "' -in '" + path + "'");
  }

  static Temp* tmp_;
};

Temp* SigningTest::tmp_ = nullptr;

TEST_F(SigningTest, SignedImagesVerifyWithMatchingDigest) {
  for (const auto& c : ImageCases()) {
    SCOPED_TRACE(c.name);
    const std::string signed_path = Sign(BuildPe(c.options), c.name);
    const auto r = Verify(signed_path);
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string current = LineValue(r.output, "Current message digest");
    EXPECT_FALSE(current.empty()) << r.output;
    EXPECT_EQ(current, LineValue(r.output, "Calculated message digest")) << r.output;
    EXPECT_EQ(r.output.find("MISMATCH"), std::string::npos) << r.output;

    // The signature must cover the resource bytes: tampering with the
    // version data after signing has to break the digest.
    if (c.options.resources.empty()) continue;
    auto tampered = ReadFile(signed_path);
    PeLayout layout;
    BuildPe(c.options, &layout);
    tampered.at(layout.version_data_offset + layout.version_data_size / 2) ^= 0x20;
    const std::string bad = tmp_->Path(c.name + ".tampered.exe");
    WriteFile(bad, tampered);
    const auto rb = Verify(bad);
    EXPECT_NE(rb.status, 0) << rb.output;
    EXPECT_NE(rb.output.find("MISMATCH"), std::string::npos) << rb.output;
  }
}

TEST_F(SigningTest, ChecksumAgreesWithSigningTool) {
  struct Case {
    std::string name;
    bool pe32plus;
    size_t extra;
  };
  const Case cases[] = {{"ck64", true, 0}, {"ck32", false, 0}, {"ck64_big", true, 300001}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PeOptions options;
    options.pe32plus = c.pe32plus;
    options.extra_section_bytes = c.extra;
    options.resources = {ResourceEntry{kRtVersion, 1, std::nullopt, 0x0409,
                                       BuildVersionResource(DefaultVersionInfo()), std::nullopt}};

    // A deliberately wrong stored checksum makes the tool print its own.
    options.checksum = 0x1234;
    const auto wrong = BuildPe(options);
    const std::string wrong_path = tmp_->Path(c.name + ".exe");
    WriteFile(wrong_path, wrong);
    const auto r = Verify(wrong_path);
    EXPECT_EQ(LineValue(r.output, "Calculated PE checksum"), Hex8(ComputePeChecksum(wrong)))
        << r.output;

    options.compute_checksum = true;
    const auto right = BuildPe(options);
    EXPECT_EQ(ComputePeChecksum(right), ComputePeChecksum(wrong))
        << "the stored field must not affect the sum";
    WriteFile(wrong_path, right);
    const auto r2 = Verify(wrong_path);
    EXPECT_EQ(r2.output.find("Calculated PE checksum"), std::string::npos) << r2.output;
    EXPECT_EQ(LineValue(r2.output, "PE checksum"), Hex8(ComputePeChecksum(right)));

    // After signing, the tool rewrites the field; our sum must agree.
    const auto signed_img = ReadFile(Sign(right, c.name + "_s"));
    EXPECT_EQ(U32(signed_img, U32(signed_img, 0x3C) + 24 + 64), ComputePeChecksum(signed_img));
  }
}

}  // namespace
}  // namespace exelore_test::pe_selftest

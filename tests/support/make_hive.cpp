// make_hive: writes a SOFTWARE hive of real size for benchmarks.
//
//   make_hive OUT_DIR KEYS
//
// Creates OUT_DIR/pki (the test PKI) and OUT_DIR/windows/System32/config/SOFTWARE
// holding the test PKI's root in the machine ROOT store, its intermediate in
// CA, and KEYS filler keys (a 3-level tree, one 200-byte value each) beside
// them, as the rest of a real hive would be; plus OUT_DIR/signed.exe (signed
// by the test signer) and OUT_DIR/unsigned.exe.
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "hive_builder.h"
#include "pe_builder.h"
#include "signing.h"
#include "test_pki.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: make_hive OUT_DIR KEYS\n";
    return 2;
  }
  try {
    const std::string out = argv[1];
    const long keys = std::atol(argv[2]);
    const auto pki = exelore_test::TestPki::Create(out + "/pki");
    const std::string config = out + "/windows/System32/config";
    std::filesystem::create_directories(config);
    std::vector<exelore_test::HiveValue> values = {
        {"Microsoft\\SystemCertificates\\ROOT\\Certificates\\A", "Blob",
         exelore_test::SerializedCertificate(exelore_test::CertificateDer(pki.root.cert))},
        {"Microsoft\\SystemCertificates\\CA\\Certificates\\B", "Blob",
         exelore_test::SerializedCertificate(exelore_test::CertificateDer(pki.intermediate.cert))},
    };
    const std::vector<std::uint8_t> filler(200, 0x5A);
    for (long k = 0; k < keys; ++k) {
      values.push_back({"Classes\\K" + std::to_string(k / 10000) + "\\K" + std::to_string(k / 100) +
                            "\\K" + std::to_string(k),
                        "Data", filler});
    }
    exelore_test::WriteHive(config + "/SOFTWARE", values);
    exelore_test::WriteFile(out + "/unsigned.exe",
                            exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo()));
    const std::string error =
        exelore_test::OsslsigncodeSign(out + "/unsigned.exe", out + "/signed.exe", pki.signer);
    if (!error.empty()) throw std::runtime_error(error);
  } catch (const std::exception& e) {
    std::cerr << "make_hive: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

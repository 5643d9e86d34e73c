// Signing fixtures from the command line, for benchmarks and by-hand checks:
//   sigtool pki <dir>     writes the test PKI (test_pki.h) into <dir>
//   sigtool verify <file> runs WinVerifyTrust on <file> through the stand-in
//                         and prints the status, the last error and the
//                         signer's simple display name
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pe_builder.h"
#include "signing.h"
#include "test_pki.h"
#include "text.h"
#include "verify_file.h"

namespace {

std::string SignerName(const std::u16string& path) {
  HCERTSTORE store = nullptr;
  HCRYPTMSG msg = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                        CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                        0, nullptr, nullptr, nullptr, &store, &msg, nullptr)) {
    return "";
  }
  std::string name;
  DWORD size = 0;
  if (CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
    std::string buffer(size, '\0');
    if (CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) {
      const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
      CERT_INFO wanted{};
      wanted.Issuer = info->Issuer;
      wanted.SerialNumber = info->SerialNumber;
      if (PCCERT_CONTEXT cert =
              CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                         CERT_FIND_SUBJECT_CERT, &wanted, nullptr)) {
        WCHAR text[256];
        CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text, 256);
        name = exelore_posix::Utf16ToUtf8(text);
        CertFreeCertificateContext(cert);
      }
    }
  }
  CertCloseStore(store, 0);
  CryptMsgClose(msg);
  return name;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "pki") == 0) {
    exelore_test::TestPki::Create(argv[2]);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "verify") == 0) {
    const std::u16string path = exelore_posix::BytesToUtf16(argv[2]);
    const auto [status, error] = exelore_test::VerifyFile(argv[2]);
    std::printf("status 0x%08x last-error 0x%08x signer \"%s\"\n", static_cast<unsigned>(status),
                static_cast<unsigned>(error), status == 0 ? SignerName(path).c_str() : "");
    return status == 0 ? 0 : 1;
  }
  if (argc == 6 && std::strcmp(argv[1], "crowd") == 0) {
    const auto kind = std::strcmp(argv[5], "crosses") == 0 ? exelore_test::Crowd::kCrosses
                                                           : exelore_test::Crowd::kOtherKeys;
    exelore_test::WriteFile(
        argv[3],
        exelore_test::CrowdBeforeIssuer(exelore_test::ReadFile(argv[2]), std::atoi(argv[4]), kind));
    return 0;
  }
  std::fprintf(stderr,
               "usage: sigtool pki <dir> | sigtool verify <file> |\n"
               "       sigtool crowd <in> <out> <count> others|crosses\n");
  return 2;
}

#include "signing.h"

#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "authenticode/signed_data.h"
#include "pe_builder.h"
#include "process.h"

namespace exelore_test {

namespace {

constexpr char kOsslsigncode[] = "/usr/bin/osslsigncode";

}  // namespace

bool HaveOsslsigncode() { return ::access(kOsslsigncode, X_OK) == 0; }

void SignFile(const PkiIdentity& identity, const std::string& in, const std::string& out,
              const std::string& hash, const std::vector<std::string>& extra) {
  ::unlink(out.c_str());  // osslsigncode does not overwrite
  std::vector<std::string> argv = {kOsslsigncode, "sign",       "-certs", identity.chain,
                                   "-key",        identity.key, "-h",     hash};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.insert(argv.end(), {"-in", in, "-out", out});
  const auto result = RunProcess(argv);
  if (result.exit_status != 0) {
    throw std::runtime_error("osslsigncode sign failed: " + result.out + result.err);
  }
}

std::size_t SecurityDirectoryEntry(const std::vector<std::uint8_t>& image) {
  const std::size_t nt = Get32(image, 0x3c);
  const std::size_t optional = nt + 24;
  if (optional + 2 > image.size()) throw std::runtime_error("image too short");
  const bool pe32plus = (image[optional] | (image[optional + 1] << 8)) == 0x20b;
  return optional + (pe32plus ? 112 : 96) + 4 * 8;
}

std::vector<std::uint8_t> ReplaceCertificateTable(std::vector<std::uint8_t> image,
                                                  const std::vector<std::uint8_t>& table,
                                                  std::uint32_t directory_size) {
  const std::size_t entry = SecurityDirectoryEntry(image);
  std::uint32_t offset = Get32(image, entry);
  if (offset == 0 || offset > image.size()) offset = static_cast<std::uint32_t>(image.size());
  image.resize(offset);
  image.insert(image.end(), table.begin(), table.end());
  Put32(image, entry, offset);
  Put32(image, entry + 4,
        directory_size ? directory_size : static_cast<std::uint32_t>(table.size()));
  return image;
}

std::vector<std::uint8_t> RewriteSignature(std::vector<std::uint8_t> image,
                                           const std::function<void(PKCS7*)>& edit) {
  const std::size_t entry = SecurityDirectoryEntry(image);
  const std::uint32_t table = Get32(image, entry);
  const std::uint32_t length = Get32(image, table);
  if (length < 8 || table + length > image.size()) throw std::runtime_error("bad table");
  const unsigned char* p = image.data() + table + 8;
  const exelore_posix::ossl::Pkcs7Ptr pkcs7(d2i_PKCS7(nullptr, &p, length - 8));
  if (!pkcs7) throw std::runtime_error("no PKCS #7 in the image");
  edit(pkcs7.get());
  const std::vector<std::uint8_t> der =
      exelore_posix::authenticode::Encoded(pkcs7.get(), i2d_PKCS7);
  if (der.empty()) throw std::runtime_error("cannot encode the PKCS #7");
  // WIN_CERTIFICATE header, the DER, zero padding to 8 bytes.
  std::vector<std::uint8_t> certificate((8 + der.size() + 7) & ~std::size_t{7});
  std::copy(der.begin(), der.end(), certificate.begin() + 8);
  Put32(certificate, 0, static_cast<std::uint32_t>(certificate.size()));
  certificate[5] = 0x02;  // WIN_CERT_REVISION_2_0
  certificate[6] = 0x02;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
  return ReplaceCertificateTable(std::move(image), certificate);
}

}  // namespace exelore_test

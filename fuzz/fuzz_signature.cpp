// The signature code over arbitrary PKCS #7 bytes: embedded as the
// certificate table of a valid PE (CryptQueryObject, the signer lookup,
// CertGetNameStringW and WinVerifyTrust through FileCertificateInfo), and as
// a file of its own (CryptQueryObject for a PKCS #7 signed message).
#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "fuzz_input.h"
#include "pe_builder.h"
#include "util/file_certificate_info.h"

namespace {

struct Template {
  std::vector<std::uint8_t> image;
  std::size_t security_entry = 0;
};

const Template& PeTemplate() {
  static const Template t = [] {
    Template made;
    exelore_test::PeLayout layout;
    made.image =
        exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(), true, 0x0409, &layout);
    made.security_entry = layout.data_directories + 4 * 8;
    return made;
  }();
  return t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20)) return 0;
  std::vector<std::uint8_t> image = PeTemplate().image;
  const auto table = static_cast<std::uint32_t>(image.size());
  const auto length = static_cast<std::uint32_t>((size + 8 + 7) & ~std::size_t{7});
  image.resize(table + length, 0);
  exelore_test::Put32(image, table, length);
  image[table + 5] = 0x02;  // WIN_CERT_REVISION_2_0
  image[table + 6] = 0x02;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
  std::copy(data, data + size, image.begin() + table + 8);
  exelore_test::Put32(image, PeTemplate().security_entry, table);
  exelore_test::Put32(image, PeTemplate().security_entry + 4, length);

  {
    exelore_fuzz::MemoryFile file(image.data(), image.size());
    orvik_util::FileCertificateInfo info(file.WidePath());
    info.Initialize();
    WideString name;
    if (SUCCEEDED(info.GetPublisherName(name))) {
      bool verified = false;
      info.VerifyTrust(verified);
      // Arbitrary bytes never carry a signature that holds.
      if (verified) __builtin_trap();
    }
  }
  {
    exelore_fuzz::MemoryFile file(data, size);
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    const std::u16string path = file.WidePath();
    if (CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                         CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store,
                         &message, nullptr)) {
      DWORD needed = 0;
      if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &needed)) {
        std::vector<std::uint8_t> buffer(needed);
        CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &needed);
      }
      CertCloseStore(store, 0);
      CryptMsgClose(message);
    }
  }
  return 0;
}

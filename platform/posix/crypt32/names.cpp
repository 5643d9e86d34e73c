// crypt32's names: CertGetNameStringW, with the directory strings of a
// certificate decoded to UTF-16 as Windows decodes them.
#include <wincrypt.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string>

#include "objects.h"
#include "text.h"

namespace exelore_posix {
namespace {

// The text of a directory string as Windows decodes it to UTF-16: BMPString
// is UTF-16BE, UniversalString UCS-4BE (pairs above U+FFFF), UTF8String UTF-8,
// and the 8-bit types (Printable, IA5, T61, Visible, ...) one unit per byte.
std::u16string StringToUtf16(const ASN1_STRING* s) {
  const std::span<const std::uint8_t> bytes(ASN1_STRING_get0_data(s),
                                            static_cast<std::size_t>(ASN1_STRING_length(s)));
  std::u16string out;
  switch (ASN1_STRING_type(s)) {
    case V_ASN1_BMPSTRING:
      for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        out.push_back(static_cast<char16_t>((bytes[i] << 8) | bytes[i + 1]));
      }
      return out;
    case V_ASN1_UNIVERSALSTRING:
      for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
        AppendUtf16(out, (static_cast<std::uint32_t>(bytes[i]) << 24) |
                             (static_cast<std::uint32_t>(bytes[i + 1]) << 16) |
                             (static_cast<std::uint32_t>(bytes[i + 2]) << 8) | bytes[i + 3]);
      }
      return out;
    case V_ASN1_UTF8STRING:
      // Each byte that does not start a valid sequence becomes U+FFFD, as
      // MultiByteToWideChar(CP_UTF8) replaces it.
      return DecodeUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                        [](std::uint8_t) { return u'\uFFFD'; });
    default:
      for (const std::uint8_t b : bytes) out.push_back(static_cast<char16_t>(b));
      return out;
  }
}

std::optional<std::u16string> FirstAttribute(const X509_NAME* name, int nid) {
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    if (OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)) == nid) {
      return StringToUtf16(X509_NAME_ENTRY_get_data(entry));
    }
  }
  return std::nullopt;
}

// CERT_NAME_SIMPLE_DISPLAY_TYPE as Microsoft's CertGetNameString page lists
// it: the first common name, organizational unit, organization or e-mail
// attribute of the name; else the alternative name's first rfc822Name; else
// the name's first attribute; else nothing.
std::u16string SimpleDisplayName(X509* cert, bool issuer) {
  const X509_NAME* name = issuer ? X509_get_issuer_name(cert) : X509_get_subject_name(cert);
  for (const int nid :
       {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
    if (auto found = FirstAttribute(name, nid)) return *found;
  }
  ossl::GeneralNamesPtr alt_names(static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(
      cert, issuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr)));
  for (int i = 0; i < sk_GENERAL_NAME_num(alt_names.get()); ++i) {
    const GENERAL_NAME* gn = sk_GENERAL_NAME_value(alt_names.get(), i);
    if (gn->type == GEN_EMAIL) return StringToUtf16(gn->d.rfc822Name);
  }
  if (X509_NAME_entry_count(name) > 0) {
    return StringToUtf16(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, 0)));
  }
  return {};
}

}  // namespace
}  // namespace exelore_posix

using namespace exelore_posix;

extern "C" {

// CertGetNameStringW with CERT_NAME_SIMPLE_DISPLAY_TYPE (see
// SimpleDisplayName); CERT_NAME_ISSUER_FLAG reads the issuer instead. The
// count includes the terminating zero; a null or empty buffer asks for it; a
// short buffer receives as much as fits, terminated, and the count written.
// A name that is not found gives the empty string and 1. Other name types
// are not used by the program and give the empty string.
DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                void* /*pvTypePara*/, LPWSTR pszNameString, DWORD cchNameString) {
  const ossl::ApiCall openssl_call;
  std::u16string text;
  if (pCertContext != nullptr && pCertContext->pbCertEncoded != nullptr &&
      dwType == CERT_NAME_SIMPLE_DISPLAY_TYPE) {
    // A context from one of our stores carries its decoded certificate;
    // decoding again costs more than the rest of the call.
    X509* cert = nullptr;
    if (const Store* store = StoreFromHandle(pCertContext->hCertStore)) {
      for (const auto& object : store->certs) {
        if (&object->context == pCertContext) cert = object->x509.get();
      }
    }
    ossl::X509Ptr decoded;
    if (cert == nullptr) {
      const unsigned char* p = pCertContext->pbCertEncoded;
      decoded.reset(d2i_X509(nullptr, &p, static_cast<long>(pCertContext->cbCertEncoded)));
      cert = decoded.get();
    }
    if (cert != nullptr) text = SimpleDisplayName(cert, (dwFlags & CERT_NAME_ISSUER_FLAG) != 0);
  }
  ERR_clear_error();
  const std::size_t needed = text.size() + 1;
  if (pszNameString == nullptr || cchNameString == 0) {
    return static_cast<DWORD>(std::min<std::size_t>(needed, 0xFFFFFFFFu));
  }
  const std::size_t copied = std::min<std::size_t>(text.size(), cchNameString - 1);
  std::copy_n(text.data(), copied, pszNameString);
  pszNameString[copied] = u'\0';
  return static_cast<DWORD>(copied + 1);
}

}  // extern "C"

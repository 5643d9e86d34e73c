#include "report/application_report.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "report/version_info.h"
#include "util/file_certificate_info.h"

namespace {

// "\StringFileInfo\" + language and code page as eight lower-case hex digits
// + "\": always 25 characters.
WideString StringTablePrefix(WORD language, WORD code_page) {
  static constexpr WCHAR kHex[] = TEXT("0123456789abcdef");
  WideString prefix = TEXT("\\StringFileInfo\\");
  for (const WORD word : {language, code_page}) {
    for (int shift = 12; shift >= 0; shift -= 4) prefix.push_back(kHex[(word >> shift) & 0xF]);
  }
  prefix.push_back(TEXT('\\'));
  return prefix;
}

constexpr WCHAR kUpperHex[] = TEXT("0123456789ABCDEF");

void AppendHexByte(WideString& text, BYTE byte) {
  text.push_back(kUpperHex[byte >> 4]);
  text.push_back(kUpperHex[byte & 0xF]);
}

// The nested signatures Authenticode keeps as an unauthenticated attribute
// of the first signer (szOID_NESTED_SIGNATURE, 1.3.6.1.4.1.311.2.4.1), one
// signed message per value.
DWORD NestedSignatures(const CMSG_SIGNER_INFO& signer) {
  DWORD count = 0;
  for (DWORD i = 0; i < signer.UnauthAttrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = signer.UnauthAttrs.rgAttr[i];
    if (attribute.pszObjId != nullptr &&
        std::strcmp(attribute.pszObjId, "1.3.6.1.4.1.311.2.4.1") == 0)
      count += attribute.cValue;
  }
  return count;
}

// Which timestamp the signer carries, by its unauthenticated attribute:
// szOID_RFC3161_counterSign (1.3.6.1.4.1.311.3.3.1) or the PKCS #9
// countersignature (1.2.840.113549.1.9.6), the first that is there.
WideString TimestampKind(PCMSG_SIGNER_INFO signer) {
  for (DWORD i = 0; signer != nullptr && i < signer->UnauthAttrs.cAttr; ++i) {
    const char* oid = signer->UnauthAttrs.rgAttr[i].pszObjId;
    if (oid == nullptr) continue;
    if (std::strcmp(oid, "1.3.6.1.4.1.311.3.3.1") == 0) return TEXT("rfc3161");
    if (std::strcmp(oid, "1.2.840.113549.1.9.6") == 0) return TEXT("legacy");
  }
  return {};
}

// The record's view of the signer certificate: its issuer's name
// (CertGetNameStringW with CERT_NAME_ISSUER_FLAG), serial (CERT_INFO keeps
// it least significant byte first), SHA-1 thumbprint (CERT_SHA1_HASH_PROP_ID)
// and validity.
void ReadSignerFacts(PCCERT_CONTEXT cert, PCMSG_SIGNER_INFO signer_info, SignerFacts& facts) {
  if (signer_info != nullptr) facts.signatures = 1 + NestedSignatures(*signer_info);
  if (cert == nullptr || cert->pCertInfo == nullptr) return;
  const DWORD length = CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE,
                                          CERT_NAME_ISSUER_FLAG, nullptr, nullptr, 0);
  std::vector<WCHAR> name(length == 0 ? 1 : length);
  if (CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr,
                         name.data(), static_cast<DWORD>(name.size())) != 0) {
    name.back() = 0;
    facts.issuer = name.data();
  }
  const CRYPT_INTEGER_BLOB& serial = cert->pCertInfo->SerialNumber;
  for (DWORD i = serial.cbData; i > 0; --i) AppendHexByte(facts.serial, serial.pbData[i - 1]);
  BYTE thumbprint[20];
  DWORD size = sizeof thumbprint;
  if (CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, thumbprint, &size)) {
    for (DWORD i = 0; i < size && i < sizeof thumbprint; ++i)
      AppendHexByte(facts.thumbprint, thumbprint[i]);
  }
  facts.not_before = IsoTime(cert->pCertInfo->NotBefore);
  facts.not_after = IsoTime(cert->pCertInfo->NotAfter);
}

// The signer's name and whether the signature holds, when a signer can be
// named (the trust provider is asked about an unnamed one too when
// `verify_unnamed`), and the catalog it came from.
void ReadPublisher(const WCHAR* path, bool verify_unnamed, ApplicationFacts& facts) {
  orvik_util::FileCertificateInfo certificate_info{WideString(path)};
  certificate_info.Initialize();
  WideString name;
  const bool named = SUCCEEDED(certificate_info.GetPublisherName(name));
  if (!named && !verify_unnamed) return;
  bool verified = false;
  if (verify_unnamed) certificate_info.KeepProviderFacts();
  certificate_info.VerifyTrust(verified);
  facts.trust_asked = certificate_info.LastTrustStatus(facts.trust_status, facts.trust_last_error);
  if (verify_unnamed) {
    ReadSignerFacts(certificate_info.SignerCertificate(), certificate_info.SignerInfo(),
                    facts.signer);
    FILETIME as_of{};
    if (certificate_info.Timestamp(as_of, facts.signer.timestamp_signer)) {
      facts.signer.signed_at = IsoTime(as_of);
      facts.signer.timestamp = TimestampKind(certificate_info.SignerInfo());
    }
  }
  if (!named) return;
  facts.has_publisher = true;
  facts.publisher = std::move(name);
  facts.verified = verified;
  if (const WideString* catalog = certificate_info.CatalogFilePath()) facts.catalog_path = *catalog;
}

void ReadVersionValues(const void* block, ApplicationFacts& facts) {
  void* translation = nullptr;
  UINT translation_length = 0;
  // A Translation value shorter than one entry counts as absent.
  if (!VerQueryValueW(block, TEXT("\\VarFileInfo\\Translation"), &translation,
                      &translation_length) ||
      translation == nullptr || translation_length < 4) {
    return;
  }
  const auto* entry = static_cast<const BYTE*>(translation);
  const WORD language = static_cast<WORD>(entry[0] | (entry[1] << 8));
  const WORD code_page = static_cast<WORD>(entry[2] | (entry[3] << 8));
  const WideString prefix = StringTablePrefix(language, code_page);

  facts.has_version_lines = true;
  WideString sub_block;
  for (std::size_t i = 0; i < VersionStringKeys.size(); ++i) {
    sub_block = prefix;
    sub_block += VersionStringKeys[i];
    void* value = nullptr;
    UINT value_length = 0;
    // The value as a NUL-terminated string: its stated length is not used.
    if (VerQueryValueW(block, sub_block.c_str(), &value, &value_length) && value != nullptr) {
      facts.values[i] = static_cast<const WCHAR*>(value);
    }
  }
}

}  // namespace

WideString IsoTime(const FILETIME& time) {
  // Days from civil (H. Hinnant's algorithm), inverted: 1601-01-01 is day
  // 134774 before 1970-01-01.
  const unsigned long long ticks =
      (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  const long long seconds = static_cast<long long>(ticks / 10000000ull);
  const long long days = seconds / 86400 - 134774;
  const long long in_day = seconds % 86400;
  const long long z = days + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  WideString text;
  const auto put = [&](long long value, int digits, WCHAR after) {
    WCHAR buffer[8];
    for (int i = digits - 1; i >= 0; --i, value /= 10)
      buffer[i] = static_cast<WCHAR>(TEXT('0') + value % 10);
    text.append(buffer, static_cast<std::size_t>(digits));
    if (after != 0) text.push_back(after);
  };
  put(year, year > 9999 ? 5 : 4, TEXT('-'));  // FILETIME ends in 30828
  put(month, 2, TEXT('-'));
  put(day, 2, TEXT('T'));
  put(in_day / 3600, 2, TEXT(':'));
  put(in_day / 60 % 60, 2, TEXT(':'));
  put(in_day % 60, 2, TEXT('Z'));
  return text;
}

void ReadApplicationFacts(const WCHAR* path, bool whole_record, ApplicationFacts& facts) {
  facts = ApplicationFacts{};
  if (path == nullptr || *path == 0) return;

  DWORD handle = 0;
  const DWORD size = QueryVersionInfoSize(path, &handle);
  facts.has_version_resource = size != 0;
  if (facts.has_version_resource) {
    auto block = std::make_unique<BYTE[]>(size);
    if (LoadVersionInfo(path, 0, size, block.get())) ReadVersionValues(block.get(), facts);
  }
  // Whether or not the version block could be read.
  if (facts.has_version_resource || whole_record) ReadPublisher(path, whole_record, facts);
}

void ComposeApplicationReport(const WCHAR* path, WideString& report) {
  report.clear();
  ApplicationFacts facts;
  ReadApplicationFacts(path, false, facts);
  if (!facts.has_version_resource) return;
  if (facts.has_version_lines) {
    for (std::size_t i = 0; i < VersionStringKeys.size(); ++i) {
      report += VersionStringKeys[i];
      report += TEXT(": ");
      report += facts.values[i];
      report += TEXT("\r\n");
    }
  }
  report += TEXT("PublisherName: ");
  if (!facts.has_publisher) return;
  report += facts.publisher;
  report += facts.verified ? TEXT(" (verified)") : TEXT(" (UNVERIFIED)");
}

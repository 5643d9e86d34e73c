#include "report/application_report.h"

#include <memory>
#include <utility>

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
  certificate_info.VerifyTrust(verified);
  facts.trust_asked = certificate_info.LastTrustStatus(facts.trust_status, facts.trust_last_error);
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

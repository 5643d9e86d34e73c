#include "report/application_report.h"

#include <memory>

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

// "PublisherName: ", then the signer's name and whether the signature holds,
// when a signer can be named.
void AppendPublisherLine(const WCHAR* path, WideString& report) {
  report += TEXT("PublisherName: ");
  orvik_util::FileCertificateInfo certificate_info{WideString(path)};
  certificate_info.Initialize();
  WideString name;
  if (FAILED(certificate_info.GetPublisherName(name))) return;
  bool verified = false;
  certificate_info.VerifyTrust(verified);
  report += name;
  report += verified ? TEXT(" (verified)") : TEXT(" (UNVERIFIED)");
}

void AppendVersionLines(const void* block, WideString& report) {
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

  WideString sub_block;
  bool first = true;
  for (const WCHAR* key : VersionStringKeys) {
    if (!first) report += TEXT("\r\n");
    first = false;
    report += key;
    report += TEXT(": ");
    sub_block = prefix;
    sub_block += key;
    void* value = nullptr;
    UINT value_length = 0;
    if (VerQueryValueW(block, sub_block.c_str(), &value, &value_length) && value != nullptr) {
      report += static_cast<const WCHAR*>(value);
    }
  }
  report += TEXT("\r\n");
}

}  // namespace

void ComposeApplicationReport(const WCHAR* path, WideString& report) {
  report.clear();
  if (path == nullptr || *path == 0) return;

  DWORD handle = 0;
  const DWORD size = QueryVersionInfoSize(path, &handle);
  if (size == 0) return;

  auto block = std::make_unique<BYTE[]>(size);
  if (LoadVersionInfo(path, 0, size, block.get())) AppendVersionLines(block.get(), report);
  // Whether or not the version block could be read.
  AppendPublisherLine(path, report);
}

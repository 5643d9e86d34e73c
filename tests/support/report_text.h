// Expected report text for tests.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace exelore_test {

// The publisher line of a file that is signed neither way.
inline constexpr char16_t kUnsignedPublisherLine[] = u"PublisherName: ";

// The twelve version lines, in report order, with the given values (keys not
// given have nothing after ": "), each ended by CR LF.
inline std::u16string ExpectedVersionLines(
    const std::vector<std::pair<std::u16string, std::u16string>>& values) {
  static const char16_t* const kKeys[] = {
      u"Comments",       u"InternalName",   u"ProductName",      u"CompanyName",
      u"LegalCopyright", u"ProductVersion", u"FileDescription",  u"LegalTrademarks",
      u"PrivateBuild",   u"FileVersion",    u"OriginalFilename", u"SpecialBuild"};
  std::map<std::u16string, std::u16string> by_key(values.begin(), values.end());
  std::u16string text;
  for (const char16_t* key : kKeys) {
    text += key;
    text += u": ";
    text += by_key[key];
    text += u"\r\n";
  }
  return text;
}

}  // namespace exelore_test

// The shared fixture cases of report_cases.h.
#include "report_cases.h"

#include <utility>

#include "report_text.h"

namespace exelore_test {

namespace {

// The values DefaultVersionInfo(company) writes, by key.
std::vector<std::pair<std::u16string, std::u16string>> DefaultLines(const std::u16string& company) {
  return {{u"CompanyName", company},
          {u"FileDescription", u"Fixture executable"},
          {u"FileVersion", u"1.0.0.0"},
          {u"InternalName", u"fixture"},
          {u"LegalCopyright", u"Copyright (C) " + company},
          {u"OriginalFilename", u"fixture.exe"},
          {u"ProductName", u"ExeLore Fixture"},
          {u"ProductVersion", u"1.0.0.0"}};
}

}  // namespace

std::vector<ReportCase> ReportCases() {
  std::vector<ReportCase> cases;

  VersionInfoLayout full = DefaultVersionInfo(u"Contoso Ltd", u"Widget", u"Does things");
  full.string_tables[0].strings = {{u"Comments", u"A comment", false},
                                   {u"InternalName", u"widget", false},
                                   {u"ProductName", u"Widget", false},
                                   {u"CompanyName", u"Contoso Ltd", false},
                                   {u"LegalCopyright", u"(c) Contoso", false},
                                   {u"ProductVersion", u"2.0", false},
                                   {u"FileDescription", u"Does things", false},
                                   {u"LegalTrademarks", u"TM", false},
                                   {u"PrivateBuild", u"pb", false},
                                   {u"FileVersion", u"2.0.1.3", false},
                                   {u"OriginalFilename", u"widget.exe", false},
                                   {u"SpecialBuild", u"sb", false}};
  cases.push_back({"all twelve keys", full,
                   ExpectedVersionLines({{u"Comments", u"A comment"},
                                         {u"InternalName", u"widget"},
                                         {u"ProductName", u"Widget"},
                                         {u"CompanyName", u"Contoso Ltd"},
                                         {u"LegalCopyright", u"(c) Contoso"},
                                         {u"ProductVersion", u"2.0"},
                                         {u"FileDescription", u"Does things"},
                                         {u"LegalTrademarks", u"TM"},
                                         {u"PrivateBuild", u"pb"},
                                         {u"FileVersion", u"2.0.1.3"},
                                         {u"OriginalFilename", u"widget.exe"},
                                         {u"SpecialBuild", u"sb"}}) +
                       kUnsignedPublisherLine});

  VersionInfoLayout some = DefaultVersionInfo();
  some.string_tables[0].strings = {{u"CompanyName", u"Only Company", false},
                                   {u"FileVersion", u"", false},
                                   {u"Unrelated", u"ignored", false}};
  cases.push_back(
      {"missing and empty keys", some,
       ExpectedVersionLines({{u"CompanyName", u"Only Company"}}) + kUnsignedPublisherLine});

  VersionInfoLayout other_table = DefaultVersionInfo(u"German Company");
  other_table.string_tables[0].block_name = u"040704e4";
  cases.push_back({"string table under another language", other_table,
                   ExpectedVersionLines({}) + kUnsignedPublisherLine});

  VersionInfoLayout two = DefaultVersionInfo(u"English Company");
  two.string_tables.push_back({u"040704e4", {{u"CompanyName", u"German Company", false}}});
  two.translations = {{{0x0407, 0x04e4}, {0x0409, 0x04b0}}};
  cases.push_back(
      {"two translations, the first counts", two,
       ExpectedVersionLines({{u"CompanyName", u"German Company"}}) + kUnsignedPublisherLine});

  VersionInfoLayout upper = DefaultVersionInfo(u"Upper Case Block");
  upper.string_tables[0].block_name = u"040904B0";
  cases.push_back(
      {"block name stored in upper case", upper,
       ExpectedVersionLines(DefaultLines(u"Upper Case Block")) + kUnsignedPublisherLine});

  VersionInfoLayout wide = DefaultVersionInfo(u"\u0141\u00f3d\u017a \U0001F600 GmbH");
  cases.push_back({"characters above U+00FF kept as they are", wide,
                   ExpectedVersionLines(DefaultLines(u"\u0141\u00f3d\u017a \U0001F600 GmbH")) +
                       kUnsignedPublisherLine});

  VersionInfoLayout no_translation = DefaultVersionInfo();
  no_translation.translations.reset();
  cases.push_back({"no Translation value: publisher line alone", no_translation,
                   std::u16string(kUnsignedPublisherLine)});

  VersionInfoLayout empty_translation = DefaultVersionInfo();
  empty_translation.translations = std::vector<std::pair<uint16_t, uint16_t>>{};
  cases.push_back({"Translation shorter than one entry", empty_translation,
                   std::u16string(kUnsignedPublisherLine)});
  return cases;
}

std::vector<std::vector<std::string>> UsageCommandLines(const std::string& file) {
  return {
      {"/c"}, {"/c", file, "extra"}, {"/C", file},  {"-c", file}, {"/c ", file}, {"c", file},
      {file}, {"/c", file, ""},      {"/cc", file}, {"", file},
  };
}

}  // namespace exelore_test

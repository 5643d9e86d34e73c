// Writes seed corpora for the fuzz targets from the fixture writer:
//   make_seeds OUT_DIR
// creates OUT_DIR/<target>/ with PE32 and PE32+ images and version blocks.
#include <filesystem>
#include <string>

#include "pe_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  namespace fs = std::filesystem;
  const fs::path out = argv[1];
  for (const char* target : {"pe_reader", "version_block", "report"}) {
    fs::create_directories(out / target);
  }
  auto info = exelore_test::DefaultVersionInfo(u"Seed Company", u"Seed Product", u"Seed");
  auto two = info;
  two.string_tables.push_back({u"040704e4", {{u"CompanyName", u"Zweite", false}}});
  two.translations = {{{0x0407, 0x04e4}, {0x0409, 0x04b0}}};
  auto bare = info;
  bare.translations.reset();
  int n = 0;
  for (const auto& layout : {info, two, bare}) {
    exelore_test::WriteFile((out / "version_block" / ("block" + std::to_string(n))).string(),
                            exelore_test::BuildVersionResource(layout));
    for (const bool pe32plus : {false, true}) {
      const auto image = exelore_test::BuildPeWithVersion(layout, pe32plus);
      const std::string name = "pe" + std::to_string(n) + (pe32plus ? "-64" : "-32");
      exelore_test::WriteFile((out / "pe_reader" / name).string(), image);
      exelore_test::WriteFile((out / "report" / name).string(), image);
    }
    ++n;
  }
  return 0;
}

// Helpers of the main dialog's tests: the report the dialog must show for a
// file, and fixtures with a version resource.
#pragma once

#include <string>

#include "pe_builder.h"
#include "process.h"

namespace exelore_test {

inline std::u16string Ascii(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

// What the report box must hold for `path`: the console report without its
// final CR LF (the console writes the same text, one byte per unit).
inline std::u16string ConsoleReport(const std::string& path) {
  const auto result = RunProcess({EXELORE_BINARY, "/c", path});
  std::string out = result.out;
  if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0) out.resize(out.size() - 2);
  return Ascii(out);
}

inline std::string MakeFixture(const TempDir& dir, const std::string& name,
                               const std::u16string& company) {
  const std::string path = dir.File(name);
  WriteFile(path, BuildPeWithVersion(DefaultVersionInfo(company)));
  return path;
}

}  // namespace exelore_test

// Fixture cases shared by the tests that run the report on files: the
// version resources of every shape with the report each gives, and the
// command lines that print the usage line.
#pragma once

#include <string>
#include <vector>

#include "pe_builder.h"

namespace exelore_test {

struct ReportCase {
  const char* name;
  VersionInfoLayout info;
  std::u16string expected;  // the whole report of an unsigned file with `info`
};

std::vector<ReportCase> ReportCases();

// Command lines (arguments after the program's path) that select neither
// mode; `file` names an existing executable.
std::vector<std::vector<std::string>> UsageCommandLines(const std::string& file);

}  // namespace exelore_test

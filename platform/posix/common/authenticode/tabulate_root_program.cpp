// A build tool: decodes the root program's authroot.stl as a run would
// (RootProgramList::Parse without the signature check, which a test makes)
// and writes its entries as C++ for root_program_builtin.cpp to compile in
// (RootProgramList::FromTable), so that no run decodes the list.
//
//   tabulate_root_program AUTHROOT.STL OUT.inc
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "root_program.h"

namespace {

using exelore_posix::authenticode::RootProgramEntry;
using exelore_posix::authenticode::RootProgramList;

// `text` as a C++ string literal: every byte but letters, digits and a few
// marks as a three-digit octal escape, which cannot run into what follows.
std::string Literal(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
        std::string_view(" .,-()").find(c) != std::string_view::npos) {
      out += c;
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\%03o", b);
      out += escape;
    }
  }
  return out + "\"";
}

std::string Date(const std::optional<std::time_t>& date) {
  return date ? "std::time_t{" + std::to_string(*date) + "}" : "std::nullopt";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tabulate_root_program AUTHROOT.STL OUT.inc\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string read = text.str();
  const std::vector<std::uint8_t> bytes(read.begin(), read.end());
  const auto list = RootProgramList::Decode(bytes, false, nullptr);
  if (!in || !list || list->size() == 0) {
    std::fprintf(stderr, "tabulate_root_program: %s is not a root program list\n", argv[1]);
    return 1;
  }
  std::ostringstream usages;
  std::ostringstream entries;
  std::size_t used = 0;
  // The usages as a span into kRootProgramUsages, appended to it.
  const auto span = [&](const std::vector<std::string>& oids) {
    std::string out =
        "{kRootProgramUsages + " + std::to_string(used) + ", " + std::to_string(oids.size()) + "}";
    for (const auto& oid : oids) usages << "\n    " << Literal(oid) << ",";
    used += oids.size();
    return out;
  };
  for (std::size_t i = 0; i < list->size(); ++i) {
    entries << "    {{";
    for (const std::uint8_t b : list->sha1(i)) entries << static_cast<unsigned>(b) << ",";
    entries << "}, ";
    const RootProgramEntry* e = list->Find(list->sha1(i));
    if (e == nullptr) {
      entries << "false},\n";
      continue;
    }
    entries << "true, " << span(e->usages) << ", " << Date(e->disabled_at) << ", "
            << span(e->disallowed_usages) << ", " << Date(e->not_before) << ", "
            << span(e->not_before_usages) << ", {" << Literal(e->friendly_name) << ", "
            << e->friendly_name.size() << "}},\n";
  }
  std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
  file << "// Written by tabulate_root_program from authroot.stl: each entry's usages,\n"
          "// then the entries in SHA-1 order.\n"
          "constexpr std::string_view kRootProgramUsages[] = {"
       << usages.str() << "\n};\nconstexpr RootProgramList::Prebuilt kRootProgramEntries[] = {\n"
       << entries.str() << "};\nconstexpr RootProgramTable kRootProgramTable{"
       << list->this_update() << ", kRootProgramEntries};\n";
  if (!file.flush()) {
    std::fprintf(stderr, "tabulate_root_program: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}

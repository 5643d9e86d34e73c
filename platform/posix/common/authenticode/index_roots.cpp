// A build tool: indexes the root program's roots.pem with BundleIndex, as a
// run would, and writes the entries as C++ for root_program.cpp to compile
// in (BundleIndex::FromPrebuilt), so that no run decodes every root to find
// a subject.
//
//   index_roots ROOTS.PEM OUT.inc
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "bundle_index.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: index_roots ROOTS.PEM OUT.inc\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) {
    std::fprintf(stderr, "index_roots: cannot read %s\n", argv[1]);
    return 1;
  }
  auto index = exelore_posix::authenticode::BundleIndex::FromText(text.str());
  const auto entries = index.Entries();
  std::ostringstream out;
  out << "// Written by index_roots from roots.pem: each certificate's base64 text\n"
         "// and its subject's DER.\n"
         "constexpr std::uint8_t kProgramRootSubjects[] = {";
  std::size_t at = 0;
  for (const auto& e : entries) {
    for (const std::uint8_t b : e.subject) {
      out << (at++ % 16 == 0 ? "\n" : " ") << static_cast<unsigned>(b) << ",";
    }
  }
  out << "\n};\nconstexpr BundleIndex::Prebuilt kProgramRootsIndex[] = {\n";
  at = 0;
  for (const auto& e : entries) {
    out << "    {" << e.pem_at << ", " << e.pem_length << ", {kProgramRootSubjects + " << at << ", "
        << e.subject.size() << "}},\n";
    at += e.subject.size();
  }
  out << "};\n";
  std::ofstream file(argv[2], std::ios::binary | std::ios::trunc);
  file << out.str();
  if (!file.flush()) {
    std::fprintf(stderr, "index_roots: cannot write %s\n", argv[2]);
    return 1;
  }
  return entries.empty() ? 1 : 0;
}

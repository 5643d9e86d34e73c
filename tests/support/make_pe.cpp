// make_pe: writes a fixture executable.
//
//   make_pe [--pe32|--pe64] [--company X] [--product Y] [--description Z]
//           [--size-mib N] [--no-version] OUT.exe
//
// The image carries an English (0409, code page 04b0) version resource with
// the given values and defaults for the other standard keys, unless
// --no-version is given. --size-mib pads the file with a data section so the
// whole file is N MiB (or the minimal size, if that is already larger).
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "pe_builder.h"

namespace {

// Decodes UTF-8 to UTF-16; malformed sequences become U+FFFD.
std::u16string Utf8ToUtf16(const std::string& in) {
  std::u16string out;
  size_t i = 0;
  while (i < in.size()) {
    const auto b0 = static_cast<unsigned char>(in[i]);
    char32_t cp = 0xFFFD;
    size_t len = 1;
    if (b0 < 0x80) {
      cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      len = 2;
      cp = b0 & 0x1Fu;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3;
      cp = b0 & 0x0Fu;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4;
      cp = b0 & 0x07u;
    } else {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    bool ok = i + len <= in.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const auto b = static_cast<unsigned char>(in[i + k]);
      if ((b & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

int Usage() {
  std::cerr << "usage: make_pe [--pe32|--pe64] [--company X] [--product Y] [--description Z]\n"
               "               [--size-mib N] [--no-version] OUT.exe\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool pe32plus = true;
  bool with_version = true;
  std::string company = "ExeLore Test Corp";
  std::string product = "ExeLore Fixture";
  std::string description = "Fixture executable";
  unsigned long size_mib = 0;
  std::string out;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& dst) {
      if (i + 1 >= argc) return false;
      dst = argv[++i];
      return true;
    };
    if (arg == "--pe32") {
      pe32plus = false;
    } else if (arg == "--pe64") {
      pe32plus = true;
    } else if (arg == "--no-version") {
      with_version = false;
    } else if (arg == "--company") {
      if (!value(company)) return Usage();
    } else if (arg == "--product") {
      if (!value(product)) return Usage();
    } else if (arg == "--description") {
      if (!value(description)) return Usage();
    } else if (arg == "--size-mib") {
      std::string n;
      if (!value(n)) return Usage();
      char* end = nullptr;
      size_mib = std::strtoul(n.c_str(), &end, 10);
      if (n.empty() || *end != '\0' || size_mib > 3072) return Usage();
    } else if (arg == "-h" || arg == "--help") {
      Usage();
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      std::cerr << "make_pe: unknown option " << arg << "\n";
      return Usage();
    } else if (out.empty()) {
      out = arg;
    } else {
      return Usage();
    }
  }
  if (out.empty()) return Usage();

  try {
    exelore_test::PeOptions options;
    options.pe32plus = pe32plus;
    if (with_version) {
      exelore_test::ResourceEntry e;
      e.type = exelore_test::kRtVersion;
      e.name_id = 1;
      e.lang = 0x0409;
      e.data = exelore_test::BuildVersionResource(exelore_test::DefaultVersionInfo(
          Utf8ToUtf16(company), Utf8ToUtf16(product), Utf8ToUtf16(description)));
      options.resources.push_back(std::move(e));
    }
    options.compute_checksum = true;
    if (size_mib > 0) {
      const size_t target = static_cast<size_t>(size_mib) << 20;
      const size_t base = exelore_test::BuildPe(options).size();
      if (target > base) options.extra_section_bytes = target - base;
    }
    exelore_test::WriteFile(out, exelore_test::BuildPe(options));
  } catch (const std::exception& ex) {
    std::cerr << "make_pe: " << ex.what() << "\n";
    return 1;
  }
  return 0;
}

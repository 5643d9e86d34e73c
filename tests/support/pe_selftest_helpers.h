// Helpers of the PE writer's self-tests: readers of images and version
// resources written independently of pe_builder.cpp and pe_resources.cpp,
// runners of external tools, and the images under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "pe_builder.h"

namespace exelore_test::pe_selftest {

// ----- independent readers -----------------------------------------------------

uint16_t U16(const std::vector<uint8_t>& b, size_t off);
uint32_t U32(const std::vector<uint8_t>& b, size_t off);

struct SectionHdr {
  std::string name;
  uint32_t vsize, rva, raw_size, raw_ptr, characteristics;
};

struct Headers {
  uint16_t machine, magic, nsections, opt_size;
  uint32_t entry, sa, fa, size_of_image, size_of_headers, checksum, ndirs;
  uint32_t rsrc_rva, rsrc_size;
  size_t headers_end;
  std::vector<SectionHdr> sections;
};

Headers ParseHeaders(const std::vector<uint8_t>& img);

size_t RvaToOffset(const Headers& h, uint32_t rva, size_t len);

using ResKey = std::tuple<std::string, std::string, uint32_t>;

// Walks a three-level resource tree; checks ordering (named before IDs,
// ascending) on every level and returns leaf data by (type, name, lang).
std::map<ResKey, std::vector<uint8_t>> WalkResources(const std::vector<uint8_t>& img);

// A parsed version node.
struct VNode {
  std::u16string key;
  uint16_t value_length = 0, type = 0;
  std::vector<uint8_t> value;  // raw bytes, length derived from wValueLength
  std::vector<VNode> children;
};

// Parses one node at `off`; enforces that it lies within [off, limit) and
// that children start DWORD aligned and stay inside the parent.
VNode ParseVersionNode(const std::vector<uint8_t>& b, size_t off, size_t limit,
                       bool value_in_bytes_hint);

std::u16string Utf16FromBytes(const std::vector<uint8_t>& v);

// ----- helpers for external tools ----------------------------------------------

// A temporary folder, removed with everything in it.
struct Temp {
  std::filesystem::path dir;
  Temp();
  ~Temp();
  std::string Path(const std::string& leaf) const { return (dir / leaf).string(); }
};

struct RunResult {
  int status;
  std::string output;
};

// Runs `cmd` through the shell; its output and errors together.
RunResult RunShell(const Temp& tmp, const std::string& cmd);

bool HaveTool(const std::string& name);

// The word after "`label`:" in `text`.
std::string LineValue(const std::string& text, const std::string& label);

std::string Hex8(uint32_t v);

// ----- fixtures under test -------------------------------------------------------

struct ImageCase {
  std::string name;
  PeOptions options;
};

std::vector<ImageCase> ImageCases();

// A resource key as WalkResources renders it.
std::string KeyText(uint16_t id, const std::optional<std::u16string>& s);

}  // namespace exelore_test::pe_selftest

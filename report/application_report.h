// The application report: what a file says about itself and who signed it.
#pragma once

#include <array>

#include "util/shared.h"

// The version resource keys reported, in report order.
inline constexpr std::array<const WCHAR*, 12> VersionStringKeys = {
    TEXT("Comments"),        TEXT("InternalName"),     TEXT("ProductName"),
    TEXT("CompanyName"),     TEXT("LegalCopyright"),   TEXT("ProductVersion"),
    TEXT("FileDescription"), TEXT("LegalTrademarks"),  TEXT("PrivateBuild"),
    TEXT("FileVersion"),     TEXT("OriginalFilename"), TEXT("SpecialBuild"),
};

// What a file says about itself and who signed it, field by field: what the
// report prints, for callers that lay it out themselves.
struct ApplicationFacts {
  // The file has a version resource (the report is not empty).
  bool has_version_resource = false;
  // Its version block loaded and named a string table (the report has the
  // twelve key lines); `values` holds them, a missing key as an empty value.
  bool has_version_lines = false;
  std::array<WideString, VersionStringKeys.size()> values;
  // A signer was named: `publisher` is its name and `verified` the verdict.
  bool has_publisher = false;
  WideString publisher;
  bool verified = false;
  // The catalog that vouches for the file, when the signer came from one;
  // empty for an embedded signature.
  WideString catalog_path;
};

// Replaces `facts` with what the report for `path` says. The publisher is
// looked up only for a file with a version resource, as the report shows it,
// unless `publisher_without_version` asks for it in any case.
void ReadApplicationFacts(const WCHAR* path, bool publisher_without_version,
                          ApplicationFacts& facts);

// Replaces `report` with the report for `path`: one line per key of
// VersionStringKeys ("Key: value", CR LF after each), then the publisher
// line. A missing file or one without a version resource gives an empty
// report. Failures never produce text of their own.
void ComposeApplicationReport(const WCHAR* path, WideString& report);

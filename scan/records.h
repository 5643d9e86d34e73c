// One exelore-scan record per file, and its CSV and JSON Lines forms.
#pragma once

#include <optional>
#include <string>

#include "report/application_report.h"
#include "scan/tree_walk.h"

enum class OutputFormat { kCsv, kJsonLines };

struct ScanRecord {
  WideString path;
  ApplicationFacts facts;
  WideString error;  // empty, or what went wrong with this file
};

// The record for `entry`: the facts of a PE image (its publisher too when it
// has no version resource), or the error that kept it from being read.
// nullopt for a file found by the walk that is not a PE image. Whether a
// file is one is decided by its content: "MZ", and "PE\0\0" where e_lfanew
// points.
std::optional<ScanRecord> ScanEntry(const WalkEntry& entry);

// The CSV header line (RFC 4180, CR LF); empty for JSON Lines.
std::string FormatHeader(OutputFormat format);

// `record` as one line in UTF-8: a CSV row, each field quoted when it holds a
// comma, a quote or a line end; or a JSON object. Text that is not valid
// UTF-16 (a lone surrogate, as a file name that is not valid UTF-8 arrives)
// is kept recoverable: JSON escapes each lone surrogate as \uXXXX, CSV writes
// it as the three bytes of its generalised UTF-8 (WTF-8) form.
std::string FormatRecord(OutputFormat format, const ScanRecord& record);

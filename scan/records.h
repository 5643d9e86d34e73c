// One exelore-scan record per file, and its CSV and JSON Lines forms.
#pragma once

#include <string>
#include <string_view>

#include <vector>

#include "report/application_report.h"
#include "scan/file_hashes.h"
#include "scan/tree_walk.h"

enum class OutputFormat { kCsv, kJsonLines };

// What a record says of its file, one value per meaning.
enum class Verdict {
  kVerified,    // a signer is named and the trust provider accepts it
  kUnverified,  // signed (embedded or by a catalog), refused: `status` says why
  kUnsigned,    // no signature and no catalog lists the file
  kUnreadable,  // a certificate table is there but no signature could be read
  kNotPe,       // not a PE image (reported only when asked for)
  kSkipped,     // a link, mount point or device, not followed (only when asked)
  kError,       // the file could not be examined: `error` says why
};

struct ScanRecord {
  WideString path;
  ApplicationFacts facts;
  Verdict verdict = Verdict::kError;
  WideString error;  // empty, or what went wrong with this file
  FileHashes hashes;
  // From the image's own headers: "x86", "x64", "arm64", ... and "exe",
  // "dll", "driver" or "efi", with "+.net" for a .NET assembly.
  WideString machine;
  WideString kind;
};

// The record's columns (keys in JSON Lines), in order.
std::vector<std::string> ColumnNames();

struct FormatOptions {
  OutputFormat format = OutputFormat::kCsv;
  // CSV: a field that a spreadsheet would take for a formula gets a leading
  // apostrophe (see FormatRecord).
  bool formula_prefix = true;
};

// The record for `entry`: the facts of a PE image (its publisher and the
// trust provider's answer too when it has no version resource), or the
// error that kept it from being read, or the walk's reason for passing it
// over. Whether a file is a PE image is decided by its content: "MZ", and
// "PE\0\0" where e_lfanew points. A PE image whose hash would read more
// than `max_bytes` (its size, or the sum of its sections' raw sizes when
// they name the same bytes many times) is neither read further nor hashed:
// its record says so in `error`.
// The hashes of `hashes` are computed of a PE image that is examined.
ScanRecord ScanEntry(const WalkEntry& entry, unsigned long long max_bytes = ~0ull,
                     const HashChoice& hashes = {});

// The verdict's name as the records write it ("verified", "not-pe", ...).
const char* VerdictName(Verdict verdict);

// `text` as a CSV field's UTF-8 text (controls escaped, lone surrogates as
// U+FFFD, no apostrophe): what the scan writes in its messages.
std::string DisplayText(std::basic_string_view<WCHAR> text);

// The CSV header line (RFC 4180, CR LF); empty for JSON Lines.
std::string FormatHeader(const FormatOptions& options);

// `record` as exactly one line of valid UTF-8: a CSV row or a JSON object.
// JSON Lines hold the exact text: a lone surrogate (as a file name that is
// not valid UTF-8 arrives) is escaped as \uXXXX, as are the C0 and C1
// controls and DEL. A CSV row is safe to open and to read with line tools:
// - a field whose text starts with = + - @ TAB CR or ' gets one more ' in
//   front (unless `formula_prefix` is off), so a spreadsheet shows it as
//   text; drop the first ' of a field that starts with one to undo it;
// - each C0 or C1 control and DEL is written \xHH (two lower-case hex
//   digits), and a backslash that comes before a backslash, an x or a
//   control is doubled, so no field holds a line end and \\ and \xHH are
//   the only escapes; a field holding a comma or a quote is quoted
//   (RFC 4180);
// - a lone surrogate is written U+FFFD; the record's `raw_path` then holds
//   the path losslessly: its generalised UTF-8 (WTF-8) bytes, each byte
//   other than an RFC 3986 unreserved character or / percent-encoded.
std::string FormatRecord(const FormatOptions& options, const ScanRecord& record);

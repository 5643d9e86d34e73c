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

// The certificate that signed, and the signature, as a whole record shows
// them; each empty when no signer certificate was found.
struct SignerFacts {
  WideString issuer;      // the issuer's simple display name
  WideString serial;      // upper-case hex, most significant byte first
  WideString thumbprint;  // the certificate's SHA-1, upper-case hex
  WideString not_before;  // ISO 8601 UTC: 2024-05-01T12:00:00Z
  WideString not_after;
  // The signature that decides and those nested in it (as unauthenticated
  // attributes of its signer): 0 when none was read.
  DWORD signatures = 0;
  // The time the trust provider judged the chain at when a timestamp holds
  // (the signer's sftVerifyAsOf, ISO 8601 UTC), the timestamp's kind
  // ("rfc3161" or "legacy") and its signer's simple display name; all empty
  // when the chain was judged at the present time.
  WideString signed_at;
  WideString timestamp;
  WideString timestamp_signer;
};

// `time` (a FILETIME's 100 ns since 1601) as ISO 8601 UTC to the second.
WideString IsoTime(const FILETIME& time);

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
  // WinVerifyTrust was asked about the file (or its catalog membership):
  // what it returned and the last error it left.
  bool trust_asked = false;
  LONG trust_status = 0;
  DWORD trust_last_error = 0;
  // Filled only for a whole record: of the catalog's signature when the
  // signer came from one.
  SignerFacts signer;
};

// Replaces `facts` with what the report for `path` says. The publisher is
// looked up only for a file with a version resource, as the report shows it,
// and the trust provider asked only when a signer is named; `whole_record`
// asks for both in any case (a file without a version resource, or whose
// signature names no signer, still gets WinVerifyTrust's answer).
void ReadApplicationFacts(const WCHAR* path, bool whole_record, ApplicationFacts& facts);

// Replaces `report` with the report for `path`: one line per key of
// VersionStringKeys ("Key: value", CR LF after each), then the publisher
// line. A missing file or one without a version resource gives an empty
// report. Failures never produce text of their own.
void ComposeApplicationReport(const WCHAR* path, WideString& report);

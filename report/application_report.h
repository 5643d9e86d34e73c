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

// Replaces `report` with the report for `path`: one line per key of
// VersionStringKeys ("Key: value", CR LF after each), then the publisher
// line. A missing file or one without a version resource gives an empty
// report. Failures never produce text of their own.
void ComposeApplicationReport(const WCHAR* path, WideString& report);

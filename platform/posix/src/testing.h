// Seams through which tests observe or vary the stand-in. Not part of the
// Windows API; the program never includes this file.
#pragma once

#include <functional>
#include <string>

namespace exelore_posix::testing {

// Receives every OutputDebugStringW text instead of the system log while set.
void SetDebugOutputSink(std::function<void(const std::u16string&)> sink);

// Makes the in-process "version.dll" hide its language-neutral exports
// (GetFileVersionInfoSizeExW, GetFileVersionInfoExW), or makes them fail with
// 0, as on older systems. Both off by default.
void SetVersionDllNeutralExportsHidden(bool hidden);
void SetVersionDllNeutralExportsFail(bool fail);
// Makes LoadLibraryW("version.dll") fail.
void SetVersionDllMissing(bool missing);

// Forgets the trust anchors WinVerifyTrust loaded, so the next verification
// reads SSL_CERT_FILE, SSL_CERT_DIR and the code-signing roots folder again.
void ResetTrustStore();

}  // namespace exelore_posix::testing

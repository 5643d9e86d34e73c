// The publisher line of the report for a file, composed in process by the
// program's own code: "PublisherName: " alone, or with the signer's name and
// " (verified)" or " (UNVERIFIED)". Names are ASCII in the tests.
#pragma once

#include <string>

#include "text.h"
#include "util/file_certificate_info.h"

namespace exelore_test {

inline std::string PublisherLine(const std::string& path) {
  orvik_util::FileCertificateInfo info(exelore_posix::BytesToUtf16(path));
  info.Initialize();
  WideString name;
  if (FAILED(info.GetPublisherName(name))) return "PublisherName: ";
  bool verified = false;
  info.VerifyTrust(verified);
  return "PublisherName: " + std::string(name.begin(), name.end()) +
         (verified ? " (verified)" : " (UNVERIFIED)");
}

}  // namespace exelore_test

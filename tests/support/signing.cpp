#include "signing.h"

#include <unistd.h>

#include <stdexcept>

#include "process.h"

namespace exelore_test {

namespace {
constexpr char kOsslsigncode[] = "/usr/bin/osslsigncode";
}

bool HaveOsslsigncode() { return ::access(kOsslsigncode, X_OK) == 0; }

void SignFile(const PkiIdentity& identity, const std::string& in, const std::string& out,
              const std::string& hash) {
  ::unlink(out.c_str());  // osslsigncode does not overwrite
  const auto result = RunProcess({kOsslsigncode, "sign", "-certs", identity.chain, "-key",
                                  identity.key, "-h", hash, "-in", in, "-out", out});
  if (result.exit_status != 0) {
    throw std::runtime_error("osslsigncode sign failed: " + result.out + result.err);
  }
}

}  // namespace exelore_test

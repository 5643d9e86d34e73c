// What a trust decision reads from outside the file: read once when a
// verification starts and handed to every step, as Wine's WINTRUST_ExecuteSteps
// hands its provider data to each provider function.
#pragma once

#include <optional>
#include <string>

namespace exelore_posix::authenticode {

struct TrustConfig {
  // The roots the user adds deliberately (anchors for every usage, as
  // Windows' ROOT store): a PEM bundle and a hashed folder, honoured only
  // when SSL_CERT_FILE and SSL_CERT_DIR are set. OpenSSL's compiled-in TLS
  // store is never consulted on its own: a Linux TLS store is not Windows'
  // trust.
  std::optional<std::string> cert_file;
  std::optional<std::string> cert_dir;
  // The Windows installation SystemRoot names, whose stores then decide;
  // empty without one.
  std::string system_root;

  // The three variables as the process has them now.
  static TrustConfig FromEnvironment();
  bool operator==(const TrustConfig&) const = default;
};

}  // namespace exelore_posix::authenticode

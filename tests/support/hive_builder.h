// Registry hives for tests: a minimal hive written whole by this code (one
// empty root key), filled through hivex's write API, and the serialized
// certificates Windows keeps in a certificate store's `Blob` values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace exelore_test {

// A hive of one empty root key: the base block, then one 4 KiB hbin holding
// the root key's nk cell, the security (sk) cell that every key added below
// it shares, and a free cell for the rest.
std::vector<std::uint8_t> MinimalHive();

struct HiveValue {
  std::string key;  // backslash-separated path below the root, created as needed
  std::string name;
  std::vector<std::uint8_t> data;  // stored as REG_BINARY
};

// Writes to `path` a hive holding `values`. Throws std::runtime_error when
// hivex refuses.
void WriteHive(const std::string& path, const std::vector<HiveValue>& values);

// A serialized certificate as CertSerializeCertificateStoreElement writes it:
// property records { id, 1, length, value }, the enhanced-key-usage property
// (9) when `usage_oids` is given (dotted OIDs, possibly none), then the
// certificate's own record (32).
std::vector<std::uint8_t> SerializedCertificate(
    const std::vector<std::uint8_t>& der, const std::vector<std::string>* usage_oids = nullptr);

}  // namespace exelore_test

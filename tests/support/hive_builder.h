// Registry hives for tests: a minimal hive written whole by this code (one
// empty root key), filled through hivex's write API, and the serialized
// certificates Windows keeps in a certificate store's `Blob` values.
#pragma once

#include <cstdint>
#include <ctime>
#include <utility>
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
// (9) when `usage_oids` is given (dotted OIDs, possibly none), then each of
// `properties` as it is, then the certificate's own record (32).
using StoreProperty = std::pair<std::uint32_t, std::vector<std::uint8_t>>;
std::vector<std::uint8_t> SerializedCertificate(
    const std::vector<std::uint8_t>& der, const std::vector<std::string>* usage_oids = nullptr,
    const std::vector<StoreProperty>& properties = {});
// The value of a FILETIME property (104, 126): 100-ns ticks since 1601,
// little-endian.
std::vector<std::uint8_t> FiletimeProperty(std::time_t when);
// The value of a usage-list property (9, 122, 127): DER SEQUENCE OF OID.
std::vector<std::uint8_t> UsagesProperty(const std::vector<std::string>& oids);

}  // namespace exelore_test

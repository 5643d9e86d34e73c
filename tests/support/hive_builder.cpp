#include "hive_builder.h"

#include <hivex.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "authenticode/signed_data.h"
#include "ossl.h"
#include "pe_builder.h"
#include "process.h"

namespace exelore_test {
namespace {

constexpr std::size_t kBaseBlock = 0x1000;
constexpr std::size_t kHbinSize = 0x1000;
// Cell offsets are relative to the first hbin.
constexpr std::uint32_t kRootCell = 0x20;
constexpr std::uint32_t kRootCellSize = 0x58;  // nk header 0x50 + "ROOT", 8-aligned
constexpr std::uint32_t kSkCell = kRootCell + kRootCellSize;
constexpr std::uint32_t kSkCellSize = 0x30;
constexpr std::uint32_t kFreeCell = kSkCell + kSkCellSize;

struct HiveClose {
  void operator()(hive_h* h) const { hivex_close(h); }
};

}  // namespace

std::vector<std::uint8_t> MinimalHive() {
  std::vector<std::uint8_t> hive(kBaseBlock + kHbinSize, 0);
  // Base block ("regf"): sequence numbers, version 1.3, primary file of
  // direct memory load, root cell, length of the hbins, clustering 1.
  std::memcpy(hive.data(), "regf", 4);
  Put32(hive, 0x04, 1);
  Put32(hive, 0x08, 1);
  Put32(hive, 0x14, 1);
  Put32(hive, 0x18, 3);
  Put32(hive, 0x20, 1);
  Put32(hive, 0x24, kRootCell);
  Put32(hive, 0x28, kHbinSize);
  Put32(hive, 0x2C, 1);
  std::uint32_t checksum = 0;
  for (std::size_t at = 0; at < 0x1FC; at += 4) checksum ^= Get32(hive, at);
  Put32(hive, 0x1FC, checksum);

  const std::size_t hbin = kBaseBlock;
  std::memcpy(hive.data() + hbin, "hbin", 4);
  Put32(hive, hbin + 0x04, 0);  // its offset from the first hbin
  Put32(hive, hbin + 0x08, kHbinSize);

  // The root key: a used cell (negative size) holding an nk record.
  const std::size_t nk = hbin + kRootCell;
  Put32(hive, nk, static_cast<std::uint32_t>(-static_cast<std::int32_t>(kRootCellSize)));
  std::memcpy(hive.data() + nk + 0x04, "nk", 2);
  Put16(hive, nk + 0x06, 0x2C);        // hive entry, not deletable, ASCII name
  Put32(hive, nk + 0x20, 0xFFFFFFFF);  // no subkey list
  Put32(hive, nk + 0x24, 0xFFFFFFFF);  // no volatile subkey list
  Put32(hive, nk + 0x2C, 0xFFFFFFFF);  // no value list
  Put32(hive, nk + 0x30, kSkCell);
  Put32(hive, nk + 0x34, 0xFFFFFFFF);  // no class name
  Put16(hive, nk + 0x4C, 4);
  std::memcpy(hive.data() + nk + 0x50, "ROOT", 4);

  // Its security cell: a list of one (next and previous are itself), one
  // user, and an empty self-relative security descriptor.
  const std::size_t sk = hbin + kSkCell;
  Put32(hive, sk, static_cast<std::uint32_t>(-static_cast<std::int32_t>(kSkCellSize)));
  std::memcpy(hive.data() + sk + 0x04, "sk", 2);
  Put32(hive, sk + 0x08, kSkCell);
  Put32(hive, sk + 0x0C, kSkCell);
  Put32(hive, sk + 0x10, 1);
  Put32(hive, sk + 0x14, 20);
  hive[sk + 0x18] = 1;             // revision
  Put16(hive, sk + 0x1A, 0x8000);  // SE_SELF_RELATIVE

  Put32(hive, hbin + kFreeCell, kHbinSize - kFreeCell);
  return hive;
}

void WriteHive(const std::string& path, const std::vector<HiveValue>& values) {
  const std::string seed = path + ".minimal";
  WriteFile(seed, MinimalHive());
  std::unique_ptr<hive_h, HiveClose> hive(hivex_open(seed.c_str(), HIVEX_OPEN_WRITE));
  std::filesystem::remove(seed);
  if (!hive) throw std::runtime_error("hivex_open of the minimal hive failed");
  for (const HiveValue& v : values) {
    hive_node_h node = hivex_root(hive.get());
    std::size_t from = 0;
    while (from <= v.key.size()) {
      const std::size_t end = std::min(v.key.find('\\', from), v.key.size());
      const std::string name = v.key.substr(from, end - from);
      from = end + 1;
      if (name.empty()) continue;
      hive_node_h child = hivex_node_get_child(hive.get(), node, name.c_str());
      if (child == 0) child = hivex_node_add_child(hive.get(), node, name.c_str());
      if (child == 0) throw std::runtime_error("hivex could not add key " + name);
      node = child;
    }
    hive_set_value value{};
    value.key = const_cast<char*>(v.name.c_str());
    value.t = hive_t_REG_BINARY;
    value.len = v.data.size();
    value.value = reinterpret_cast<char*>(const_cast<std::uint8_t*>(v.data.data()));
    if (hivex_node_set_value(hive.get(), node, &value, 0) != 0) {
      throw std::runtime_error("hivex could not set value " + v.name);
    }
  }
  if (hivex_commit(hive.get(), path.c_str(), 0) != 0)
    throw std::runtime_error("hivex_commit failed");
}

std::vector<std::uint8_t> FiletimeProperty(std::time_t when) {
  auto ticks = static_cast<std::uint64_t>(when + 11644473600LL) * 10000000u;
  std::vector<std::uint8_t> out;
  for (int i = 0; i < 8; ++i, ticks >>= 8) out.push_back(static_cast<std::uint8_t>(ticks & 0xFF));
  return out;
}

std::vector<std::uint8_t> UsagesProperty(const std::vector<std::string>& oids) {
  const exelore_posix::ossl::UsagesPtr usages(sk_ASN1_OBJECT_new_null());
  for (const std::string& oid : oids)
    sk_ASN1_OBJECT_push(usages.get(), OBJ_txt2obj(oid.c_str(), 1));
  auto usage = exelore_posix::authenticode::Encoded(usages.get(), i2d_EXTENDED_KEY_USAGE);
  if (usage.empty()) throw std::runtime_error("cannot encode a usage property");
  return usage;
}

std::vector<std::uint8_t> SerializedCertificate(const std::vector<std::uint8_t>& der,
                                                const std::vector<std::string>* usage_oids,
                                                const std::vector<StoreProperty>& properties) {
  std::vector<std::uint8_t> blob;
  const auto record = [&](std::uint32_t id, const std::vector<std::uint8_t>& value) {
    const std::size_t at = blob.size();
    blob.resize(at + 12);
    Put32(blob, at, id);
    Put32(blob, at + 4, 1);
    Put32(blob, at + 8, static_cast<std::uint32_t>(value.size()));
    blob.insert(blob.end(), value.begin(), value.end());
  };
  if (usage_oids != nullptr) record(9, UsagesProperty(*usage_oids));
  for (const auto& [id, value] : properties) record(id, value);
  record(32, der);
  return blob;
}

}  // namespace exelore_test

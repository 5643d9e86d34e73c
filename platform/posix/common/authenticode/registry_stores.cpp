#include "registry_stores.h"

#include <hivex.h>

#include <algorithm>
#include <map>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "byte_reader.h"
#include "files.h"

namespace exelore_posix::registry {
namespace {

// Property identifiers of wincrypt.h: CERT_ENHKEY_USAGE_PROP_ID, and
// CERT_CERT_PROP_ID, the record that carries the certificate itself
// (Wine's crypt32 names it; Microsoft's SDK reserves the number).
constexpr std::uint32_t kEnhancedKeyUsageProperty = 9;
constexpr std::uint32_t kCertificateProperty = 32;
// The root program properties of a root (CertGetCertificateContextProperty:
// CERT_DISALLOWED_FILETIME_PROP_ID, CERT_DISALLOWED_ENHKEY_USAGE_PROP_ID,
// CERT_NOT_BEFORE_FILETIME_PROP_ID, CERT_NOT_BEFORE_ENHKEY_USAGE_PROP_ID).
constexpr std::uint32_t kRuleProperties[] = {104, 122, 126, 127};
// A property record: { DWORD id; DWORD reserved; DWORD length; BYTE value[length]; }.
// Windows writes 1 as `reserved` (Wine's WINE_CERT_PROP_HEADER); it is not checked.
constexpr Field<std::uint32_t> kRecordId{0};
constexpr Field<std::uint32_t> kRecordLength{8};
constexpr std::size_t kRecordHeader = 12;

// Bounds on what a hostile hive can make this code hold: the largest blob
// read, and the most certificates taken from one store.
constexpr std::size_t kMaxBlobSize = 1u << 20;
constexpr std::size_t kMaxCertificatesPerStore = 4096;

using HivePtr = std::unique_ptr<hive_h, ossl::Free<hivex_close>>;
// What hivex hands back with malloc.
using MallocFree = ossl::Free<::free>;

// hivex's handles are offsets into the file; 0 is "none".
hive_node_h Descend(hive_h* hive, hive_node_h node, std::span<const char* const> path) {
  for (const char* name : path) {
    if (node == 0) return 0;
    node = hivex_node_get_child(hive, node, name);
  }
  return node;
}

// The binary value `name` of `key`, when it is binary and of sensible size.
std::optional<std::vector<std::uint8_t>> ReadBlob(hive_h* hive, hive_node_h key,
                                                  const char* name = "Blob") {
  if (key == 0) return std::nullopt;
  const hive_value_h value = hivex_node_get_value(hive, key, name);
  if (value == 0) return std::nullopt;
  // hivex stores the value's type field as it is in the file, which may be
  // any 32-bit number: it is read back as one, never as the enum.
  std::uint32_t type = 0;
  std::size_t length = 0;
  if (hivex_value_type(hive, value, reinterpret_cast<hive_type*>(&type), &length) != 0 ||
      type != hive_t_REG_BINARY || length == 0 || length > kMaxBlobSize) {
    return std::nullopt;
  }
  std::unique_ptr<char, MallocFree> data(
      hivex_value_value(hive, value, reinterpret_cast<hive_type*>(&type), &length));
  if (!data || length > kMaxBlobSize) return std::nullopt;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.get());
  return std::vector<std::uint8_t>(bytes, bytes + length);
}

// The NIDs an encoded extendedKeyUsage value lists; nullopt when it does not
// decode as exactly that.
std::optional<std::vector<int>> DecodeUsages(std::span<const std::uint8_t> der) {
  const unsigned char* p = der.data();
  const ossl::UsagesPtr usages(d2i_EXTENDED_KEY_USAGE(nullptr, &p, static_cast<long>(der.size())));
  if (!usages || p != der.data() + der.size()) return std::nullopt;
  std::vector<int> nids;
  for (int i = 0; i < sk_ASN1_OBJECT_num(usages.get()); ++i) {
    nids.push_back(OBJ_obj2nid(sk_ASN1_OBJECT_value(usages.get(), i)));
  }
  return nids;
}

std::mutex g_volume_mutex;

}  // namespace

std::optional<SerializedCertificate> ReadSerializedCertificate(std::span<const std::uint8_t> blob) {
  SerializedCertificate out;
  bool have_certificate = false;
  // Each record's value is taken only when that much is left, and every
  // pass moves the cursor forward by at least a header.
  ByteCursor cursor(blob);
  while (!cursor.AtEnd()) {
    const auto header = cursor.Take(kRecordHeader);
    if (!header) return std::nullopt;
    const auto id = header->Read(kRecordId);
    const auto length = header->Read(kRecordLength);
    if (!id || !length) return std::nullopt;
    const auto taken = cursor.Take(*length);
    if (!taken) return std::nullopt;
    const std::span<const std::uint8_t> value = taken->bytes();
    if (*id == kCertificateProperty) {
      if (have_certificate || value.empty()) return std::nullopt;
      out.certificate = value;
      have_certificate = true;
    } else if (*id == kEnhancedKeyUsageProperty) {
      if (out.enhanced_key_usage) return std::nullopt;
      out.enhanced_key_usage = value;
    } else if (std::find(std::begin(kRuleProperties), std::end(kRuleProperties), *id) !=
               std::end(kRuleProperties)) {
      out.rule_properties.emplace_back(*id, value);
    }
  }
  if (!have_certificate) return std::nullopt;
  return out;
}

namespace {

// The rules an anchor's own properties set. One that does not decode, or
// comes twice, drops the anchor, as an undecodable usage does: never a
// restriction lost.
std::optional<authenticode::RootProgramEntry> ReadRules(
    const std::vector<std::pair<std::uint32_t, std::span<const std::uint8_t>>>& properties) {
  authenticode::RootProgramEntry rules;
  std::vector<std::uint32_t> seen;
  for (const auto& [id, value] : properties) {
    if (std::find(seen.begin(), seen.end(), id) != seen.end() ||
        !authenticode::ReadRootProperty(static_cast<int>(id), value, &rules)) {
      return std::nullopt;
    }
    seen.push_back(id);
  }
  return rules;
}

}  // namespace

std::optional<MachineStores::Entry> MachineStores::EntryOf(const SerializedCertificate& serialized,
                                                           Kind kind, bool root_store) {
  Entry entry{kind, nullptr, false, {}, root_store, std::nullopt};
  const unsigned char* p = serialized.certificate.data();
  entry.cert.reset(
      ossl::Shareable(d2i_X509(nullptr, &p, static_cast<long>(serialized.certificate.size()))));
  if (!entry.cert || p != serialized.certificate.data() + serialized.certificate.size()) {
    return std::nullopt;
  }
  if (serialized.enhanced_key_usage) {
    auto usages = DecodeUsages(*serialized.enhanced_key_usage);
    if (!usages) return std::nullopt;
    entry.restricts_usage = true;
    entry.usages = std::move(*usages);
  }
  // Only an anchor's rules are read (a Disallowed entry is never dropped
  // for them).
  if (kind == Kind::kAnchor && !serialized.rule_properties.empty()) {
    entry.rules = ReadRules(serialized.rule_properties);
    if (!entry.rules) return std::nullopt;
  }
  return entry;
}

std::unique_ptr<MachineStores> MachineStores::Open(const std::string& path) {
  HivePtr hive(hivex_open(path.c_str(), 0));
  if (!hive) return nullptr;
  const hive_node_h root = hivex_root(hive.get());
  if (root == 0) return nullptr;
  auto stores = std::make_unique<MachineStores>();
  // The machine's own stores, those group policy sets and those of the
  // enterprise (Active Directory), which Windows' LOCAL_MACHINE system
  // stores all merge; only these subtrees of the hive are read.
  static constexpr const char* kMachine[] = {"Microsoft", "SystemCertificates"};
  static constexpr const char* kPolicy[] = {"Policies", "Microsoft", "SystemCertificates"};
  static constexpr const char* kEnterprise[] = {"Microsoft", "EnterpriseCertificates"};
  static constexpr std::pair<const char*, Kind> kStores[] = {
      {"ROOT", Kind::kAnchor},
      {"AuthRoot", Kind::kAnchor},
      {"CA", Kind::kIntermediate},
      {"Disallowed", Kind::kDisallowed},
  };
  for (const auto base :
       {std::span<const char* const>(kMachine), std::span<const char* const>(kPolicy),
        std::span<const char* const>(kEnterprise)}) {
    const hive_node_h stores_key = Descend(hive.get(), root, base);
    for (const auto& [name, kind] : kStores) {
      const char* const below[] = {name, "Certificates"};
      const hive_node_h certificates = Descend(hive.get(), stores_key, below);
      if (certificates == 0) continue;
      std::unique_ptr<hive_node_h, MallocFree> children(
          hivex_node_children(hive.get(), certificates));
      if (!children) continue;
      std::size_t taken = 0;
      for (const hive_node_h* child = children.get();
           *child != 0 && taken < kMaxCertificatesPerStore; ++child, ++taken) {
        const auto blob = ReadBlob(hive.get(), *child);
        const auto serialized = blob ? ReadSerializedCertificate(*blob) : std::nullopt;
        auto entry = serialized ? EntryOf(*serialized, kind, std::string_view(name) == "ROOT")
                                : std::nullopt;
        if (entry) stores->entries_.push_back(std::move(*entry));
      }
    }
  }
  static constexpr const char* kAutoUpdate[] = {"Microsoft", "SystemCertificates", "AuthRoot",
                                                "AutoUpdate"};
  if (auto list = ReadBlob(hive.get(), Descend(hive.get(), root, kAutoUpdate), "EncodedCtl")) {
    stores->encoded_root_list_ = std::move(*list);
  }
  ERR_clear_error();
  return stores;
}

std::vector<X509*> MachineStores::BySubject(const X509_NAME* name, Kind kind) const {
  std::vector<X509*> found;
  for (const Entry& e : entries_) {
    if (e.kind == kind && X509_NAME_cmp(X509_get_subject_name(e.cert.get()), name) == 0) {
      found.push_back(e.cert.get());
    }
  }
  return found;
}

std::vector<X509*> MachineStores::AnchorsBySubject(const X509_NAME* name) const {
  return BySubject(name, Kind::kAnchor);
}

std::vector<X509*> MachineStores::IntermediatesBySubject(const X509_NAME* name) const {
  return BySubject(name, Kind::kIntermediate);
}

std::vector<X509*> MachineStores::Certificates() const {
  std::vector<X509*> all;
  for (const Entry& e : entries_) all.push_back(e.cert.get());
  return all;
}

bool MachineStores::InRootStore(X509* cert) const {
  const Entry* e = Find(cert, Kind::kAnchor);
  return e != nullptr && e->root_store;
}

const authenticode::RootProgramEntry* MachineStores::RulesFor(X509* cert) const {
  const Entry* e = Find(cert, Kind::kAnchor);
  return e != nullptr && e->rules ? &*e->rules : nullptr;
}

bool MachineStores::Distrusts(X509* cert) const { return Find(cert, Kind::kDisallowed) != nullptr; }

const MachineStores::Entry* MachineStores::Find(X509* cert, Kind kind) const {
  for (const Entry& e : entries_) {
    if (e.kind == kind && X509_cmp(e.cert.get(), cert) == 0) return &e;
  }
  return nullptr;
}

HRESULT MachineStores::CheckUsage(STACK_OF(X509) * chain, int usage_nid) const {
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    X509* cert = sk_X509_value(chain, i);
    for (const Kind kind : {Kind::kAnchor, Kind::kIntermediate}) {
      const Entry* e = Find(cert, kind);
      if (e != nullptr && e->restricts_usage &&
          std::find(e->usages.begin(), e->usages.end(), usage_nid) == e->usages.end()) {
        return CERT_E_WRONG_USAGE;
      }
    }
  }
  return S_OK;
}

std::optional<std::string> SoftwareHivePath(const std::string& system_root) {
  static constexpr std::string_view kHive[] = {"System32", "config", "SOFTWARE"};
  return BelowSystemRoot(system_root, kHive, false);
}

const MachineStores* Volume(const std::string& system_root) {
  if (system_root.empty()) return nullptr;
  std::lock_guard lock(g_volume_mutex);
  // Every volume opened stays for the process: a verification under another
  // SystemRoot may still hold its certificates.
  static auto* volumes = new std::map<std::string, std::unique_ptr<MachineStores>>;
  auto [at, inserted] = volumes->try_emplace(system_root);
  if (inserted) {
    if (const auto path = SoftwareHivePath(system_root)) at->second = MachineStores::Open(*path);
  }
  return at->second.get();
}

}  // namespace exelore_posix::registry

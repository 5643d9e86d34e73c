// The machine certificate stores of a mounted Windows installation, read from
// its SOFTWARE registry hive (System32/config/SOFTWARE below SystemRoot) with
// hivex: the ROOT and AuthRoot stores (trust anchors), CA (intermediates) and
// Disallowed (explicit distrust), each under Microsoft\SystemCertificates,
// Policies\Microsoft\SystemCertificates and Microsoft\EnterpriseCertificates,
// as the registry store provider of CertOpenStore (CERT_STORE_PROV_SYSTEM,
// CERT_SYSTEM_STORE_LOCAL_MACHINE and its group-policy and enterprise
// siblings) keeps them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ossl.h"
#include "root_program.h"

namespace exelore_posix::registry {

// The parts of one serialized certificate (a store's `Blob` value) that trust
// depends on, as views into the blob.
struct SerializedCertificate {
  std::span<const std::uint8_t> certificate;  // CERT_CERT_PROP_ID: the encoded certificate
  // CERT_ENHKEY_USAGE_PROP_ID: the usages the store restricts it to, encoded
  // as the extendedKeyUsage extension is; absent when the store sets none.
  std::optional<std::span<const std::uint8_t>> enhanced_key_usage;
  // The root program properties the chain engine reads from a root's
  // context, as the root program list sets them on AuthRoot copies:
  // CERT_DISALLOWED_FILETIME_PROP_ID (104), CERT_DISALLOWED_ENHKEY_USAGE_PROP_ID
  // (122), CERT_NOT_BEFORE_FILETIME_PROP_ID (126) and
  // CERT_NOT_BEFORE_ENHKEY_USAGE_PROP_ID (127), by id, in the blob's order.
  std::vector<std::pair<std::uint32_t, std::span<const std::uint8_t>>> rule_properties;
};

// Reads a serialized certificate: a run of property records, each
// { DWORD id; DWORD reserved; DWORD length; BYTE value[length]; } little-endian
// (CertSerializeCertificateStoreElement writes them, CertAddSerializedElementToStore
// reads them; Wine's dlls/crypt32/serialize.c, WINE_CERT_PROP_HEADER), ending
// with the certificate's own record. nullopt when a record runs past the end,
// the certificate record is missing or repeated, or the usage property
// appears twice. Never reads outside `blob`.
std::optional<SerializedCertificate> ReadSerializedCertificate(std::span<const std::uint8_t> blob);

// The certificates of one installation's machine stores, decoded when the
// hive is opened; immutable afterwards.
class MachineStores {
 public:
  // Reads the stores from the hive file at `path`. nullptr when hivex cannot
  // open it; a store, key or blob that is missing or damaged counts as absent.
  static std::unique_ptr<MachineStores> Open(const std::string& path);

  // The ROOT and AuthRoot certificates whose subject is `name` (anchors),
  // owned by this object.
  std::vector<X509*> AnchorsBySubject(const X509_NAME* name) const;
  // The CA-store certificates whose subject is `name` (intermediates).
  std::vector<X509*> IntermediatesBySubject(const X509_NAME* name) const;
  // Every certificate the stores hold, in the hive's order.
  std::vector<X509*> Certificates() const;
  // Whether `cert` is in a Disallowed store.
  bool Distrusts(X509* cert) const;
  // Whether the copy of `cert` the chain engine finds first is a ROOT-store
  // one: LocalMachine's Root collection holds .Default (ROOT) before
  // .AuthRoot, .GroupPolicy and .Enterprise (Microsoft's "System Store
  // Locations" page), and this reads the stores in that order. Such a copy
  // carries none of the root program list's AuthRoot properties.
  bool InRootStore(X509* cert) const;
  // The root program properties (104, 122, 126, 127) the copy of `cert` the
  // chain engine finds first carries, as a list entry holds them; nullptr
  // when it carries none or the volume holds no anchor copy of `cert`.
  const authenticode::RootProgramEntry* RulesFor(X509* cert) const;
  // The installation's own signed root program list: the value EncodedCtl
  // of Microsoft\SystemCertificates\AuthRoot\AutoUpdate
  // (CERT_AUTH_ROOT_AUTO_UPDATE_LOCAL_MACHINE_REGPATH and
  // CERT_AUTH_ROOT_AUTO_UPDATE_ENCODED_CTL_VALUE_NAME, wincrypt.h), where
  // automatic root update keeps the authroot.stl it last took; empty when
  // the hive has none. Not checked here.
  std::span<const std::uint8_t> EncodedRootList() const { return encoded_root_list_; }

  // CERT_E_WRONG_USAGE when a certificate of `chain` is held in a ROOT,
  // AuthRoot or CA store with an enhanced-key-usage property that does not
  // list `usage_nid`: Windows' chain engine takes a certificate's usages as
  // its extension and its property allow them together
  // (CertGetEnhancedKeyUsage). S_OK otherwise.
  HRESULT CheckUsage(STACK_OF(X509) * chain, int usage_nid) const;

  std::size_t size() const { return entries_.size(); }

 private:
  enum class Kind { kAnchor, kIntermediate, kDisallowed };
  struct Entry {
    Kind kind;
    ossl::X509Ptr cert;
    bool restricts_usage = false;
    std::vector<int> usages;  // NIDs of the property's usages, when it restricts
    bool root_store = false;  // an anchor from a ROOT store, not AuthRoot
    std::optional<authenticode::RootProgramEntry> rules;  // when it carries any
  };
  // The entry of a certificate read from a store of `kind`; nullopt when its
  // certificate, usages or rules do not decode.
  static std::optional<Entry> EntryOf(const SerializedCertificate& serialized, Kind kind,
                                      bool root_store);
  const Entry* Find(X509* cert, Kind kind) const;
  std::vector<X509*> BySubject(const X509_NAME* name, Kind kind) const;

  std::vector<Entry> entries_;
  std::vector<std::uint8_t> encoded_root_list_;
};

// The SOFTWARE hive of the installation `system_root` names
// (System32/config/SOFTWARE below it, components matched without regard to
// ASCII case), or nullopt when it is empty or has no such file.
std::optional<std::string> SoftwareHivePath(const std::string& system_root);

// The stores of the installation `system_root` names (the value SystemRoot
// was read as), opened on first use and kept for the process; null when it
// is empty or has no readable hive.
const MachineStores* Volume(const std::string& system_root);

}  // namespace exelore_posix::registry

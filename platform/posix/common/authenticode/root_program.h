// Microsoft's Trusted Root Program list (authroot.stl), built in: its
// entries, read as Windows reads them into the properties of its AuthRoot
// store, and the root certificates it names, looked up lazily.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bundle_index.h"
#include "ossl.h"

namespace exelore_posix::authenticode {

// One root of the program: the properties its list entry sets
// (Microsoft's CERT_*_PROP_ID constants; the entry's attribute
// 1.3.6.1.4.1.311.10.11.N carries property N).
struct RootProgramEntry {
  std::array<std::uint8_t, 20> sha1{};  // the root certificate's SHA-1
  // CERT_ENHKEY_USAGE_PROP_ID (9): the usages the root anchors, as dotted
  // OIDs; empty when the entry lists none, which grants every usage.
  std::vector<std::string> usages;
  // CERT_DISALLOWED_FILETIME_PROP_ID (104): the root's disable date.
  std::optional<std::time_t> disabled_at;
  // CERT_DISALLOWED_ENHKEY_USAGE_PROP_ID (122): usages removed.
  std::vector<std::string> disallowed_usages;
  // CERT_NOT_BEFORE_FILETIME_PROP_ID (126): certificates issued after it
  // are not trusted.
  std::optional<std::time_t> not_before;
  // CERT_NOT_BEFORE_ENHKEY_USAGE_PROP_ID (127): the usages not_before
  // applies to; empty when it applies to every usage.
  std::vector<std::string> not_before_usages;
  // CERT_FRIENDLY_NAME_PROP_ID (11), as UTF-8.
  std::string friendly_name;

  bool operator==(const RootProgramEntry&) const = default;
};

// Reads the value of property `id` (a CERT_*_PROP_ID) into `entry` as a
// list entry's attribute 1.3.6.1.4.1.311.10.11.`id` or a certificate store
// blob's property record carries it: 9, 122 and 127 a DER SEQUENCE OF OBJECT
// IDENTIFIER (never empty), 104 and 126 a FILETIME (8 bytes little-endian;
// an empty value sets no date), 11 UTF-16LE text. false, with `entry`
// perhaps half set, when the value does not decode; true and nothing read
// for any other `id`.
bool ReadRootProperty(int id, std::span<const std::uint8_t> value, RootProgramEntry* entry);

// A decoded root program list.
class RootProgramList {
 public:
  // Decodes `stl_der`, a PKCS #7 SignedData filling the span whose content
  // is a CTL (1.3.6.1.4.1.311.10.1) of subject usage szOID_ROOT_LIST_SIGNER
  // (1.3.6.1.4.1.311.10.3.9), subject algorithm SHA-1 and 20-byte subject
  // identifiers, each listed once. An entry is decoded when Find first asks
  // for it, and one whose properties do not all decode (one value, of its
  // form) is absent rather than a restriction dropped. With
  // `check_signature` every entry is decoded at once and one that does not
  // decode refuses the whole list; also, the first
  // signer's signature over the content verifies (the contents octets of the
  // CTL, as for a catalog), and its certificate chains, with the message's
  // certificates, to the program's Microsoft Root Certificate Authority 2010
  // at the list's thisUpdate, every certificate below that root listing
  // szOID_ROOT_LIST_SIGNER. nullopt for anything else.
  static std::optional<RootProgramList> Parse(std::span<const std::uint8_t> stl_der,
                                              bool check_signature);
  // Parse without the signature check (Parse checks it over this beside
  // the roots it chains to, root_program_builtin.cpp), handing the decoded
  // message to *message when that is not null; with `decode_every_entry`
  // an entry that does not decode refuses the list, as with Parse's
  // `check_signature`.
  static std::optional<RootProgramList> Decode(std::span<const std::uint8_t> stl_der,
                                               bool decode_every_entry, ossl::Pkcs7Ptr* message);

  // One entry of a list decoded at build time (tabulate_root_program.cpp
  // writes them, in SHA-1 order): the fields of its RootProgramEntry, or
  // `decodes` false for one that is absent because it does not decode.
  struct Prebuilt {
    std::array<std::uint8_t, 20> sha1{};
    bool decodes = false;
    std::span<const std::string_view> usages;
    std::optional<std::time_t> disabled_at;
    std::span<const std::string_view> disallowed_usages;
    std::optional<std::time_t> not_before;
    std::span<const std::string_view> not_before_usages;
    std::string_view friendly_name;
  };
  // The list whose thisUpdate is `this_update` and whose entries are
  // `entries` (ordered by sha1, each once; they must outlive the list), as
  // Parse(..., false) reads it; no byte is decoded.
  static RootProgramList FromTable(std::time_t this_update, std::span<const Prebuilt> entries);

  // The list's thisUpdate, seconds since 1970.
  std::time_t this_update() const { return this_update_; }
  // The entry of the root whose SHA-1 is `sha1`, or nullptr; valid for the
  // list's life. Thread-safe.
  const RootProgramEntry* Find(std::span<const std::uint8_t> sha1) const;
  // How many roots the list names.
  std::size_t size() const { return slots_.size(); }
  // The SHA-1 of the `i`th root (i < size()), in ascending order.
  const std::array<std::uint8_t, 20>& sha1(std::size_t i) const { return slots_[i].sha1; }

 private:
  // One TrustedSubject, kept encoded (or as its build-time entry) until
  // asked for.
  struct Slot {
    std::array<std::uint8_t, 20> sha1{};
    std::size_t at = 0;  // its encoding in subjects_
    std::size_t length = 0;
    const Prebuilt* prebuilt = nullptr;  // set instead of at and length
    mutable bool decoded = false;
    mutable std::unique_ptr<RootProgramEntry> entry;  // null when it does not decode
  };
  const RootProgramEntry* EntryOf(const Slot& slot) const;
  // Keeps the encoded trustedSubjects SEQUENCE `subjects` and a slot for each
  // entry, ordered by SHA-1; false when an entry is not a TrustedSubject
  // with a 20-byte identifier, or a root is listed twice.
  bool ReadSubjects(std::span<const std::uint8_t> subjects);

  std::time_t this_update_ = 0;
  std::vector<std::uint8_t> subjects_;  // the trustedSubjects' contents
  std::vector<Slot> slots_;             // ordered by sha1
  std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();
};

// A root program list decoded at build time.
struct RootProgramTable {
  std::time_t this_update = 0;
  std::span<const RootProgramList::Prebuilt> entries;
};

// The list and roots the anchors read: the product's are the compiled-in
// ones (root_program_source.cpp); the test build links its own source
// (testing/), so a test can stand a list of its own in for Microsoft's.
struct RootProgramSource {
  std::span<const std::uint8_t> list;  // a signed authroot.stl
  std::string_view roots_pem;          // the roots it names, PEM
  // roots_pem's index made at build time; empty: indexed at first use.
  std::span<const BundleIndex::Prebuilt> roots_index;
  // The SHA-1 of each root of roots_pem that Windows itself installs in its
  // ROOT store (root_program/windows-root-store.txt).
  std::span<const std::array<std::uint8_t, 20>> windows_roots;
  // The SHA-1 of the root (in roots_pem) a root list's signature must chain
  // to: Microsoft Root Certificate Authority 2010.
  std::array<std::uint8_t, 20> list_root{};
  // `list` decoded at build time; null: decoded at first use.
  const RootProgramTable* list_table = nullptr;
};
RootProgramSource CurrentRootProgramSource();
// The compiled-in list and roots.
RootProgramSource CompiledInRootProgramSource();

// The list of CurrentRootProgramSource (normally root_program/authroot.stl),
// made on the first call from any thread and kept for the process: from its
// list_table when it has one, else decoded. Its signature is not checked
// again at run time: a test checks it. An empty list (size() 0) if the
// bytes do not decode.
const RootProgramList& BuiltInRootProgram();
// The compiled-in list's bytes, as Microsoft signed them (for a test of its
// signature, and to compare a newer list with).
std::span<const std::uint8_t> BuiltInRootProgramBytes();

// Every compiled-in program root (root_program/roots.pem) whose subject DER
// equals `name`'s, in file order; empty when none. The certificates are
// decoded on first ask and kept for the process; the first call indexes
// the subjects without decoding the others. Thread-safe.
std::vector<X509*> ProgramRootsBySubject(const X509_NAME* name);
// The compiled-in program root whose SHA-1 is `sha1`, or nullptr; as
// ProgramRootsBySubject.
X509* ProgramRootBySha1(std::span<const std::uint8_t> sha1);

// Whether the root whose SHA-1 is `sha1` is one of Microsoft's own that
// Windows installs in its ROOT store (CurrentRootProgramSource's
// windows_roots). Windows' LocalMachine Root store is a collection whose
// first physical store is .Default, the registry's ROOT, before .AuthRoot
// (Microsoft's "System Store Locations" page), so for such a root the chain
// engine finds the ROOT copy, which carries none of the properties the root
// program list sets on AuthRoot copies: it anchors every usage at every
// date, as Windows reports files under Microsoft Root Certificate Authority
// (2001) signed after its list NotBefore date valid.
bool InWindowsRootStore(std::span<const std::uint8_t> sha1);

}  // namespace exelore_posix::authenticode

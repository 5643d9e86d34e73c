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
};

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

  // The list's thisUpdate, seconds since 1970.
  std::time_t this_update() const { return this_update_; }
  // The entry of the root whose SHA-1 is `sha1`, or nullptr; valid for the
  // list's life. Thread-safe.
  const RootProgramEntry* Find(std::span<const std::uint8_t> sha1) const;
  // How many roots the list names.
  std::size_t size() const { return slots_.size(); }

 private:
  // One TrustedSubject, kept encoded until asked for.
  struct Slot {
    std::array<std::uint8_t, 20> sha1{};
    std::size_t at = 0;  // its encoding in subjects_
    std::size_t length = 0;
    mutable bool decoded = false;
    mutable std::unique_ptr<RootProgramEntry> entry;  // null when it does not decode
  };
  const RootProgramEntry* Decode(const Slot& slot) const;

  std::time_t this_update_ = 0;
  std::vector<std::uint8_t> subjects_;  // the trustedSubjects' contents
  std::vector<Slot> slots_;             // ordered by sha1
  std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();
};

// The list and roots the anchors read: the product's are the compiled-in
// ones (root_program_source.cpp); the test build links its own source
// (testing/), so a test can stand a list of its own in for Microsoft's.
struct RootProgramSource {
  std::span<const std::uint8_t> list;  // a signed authroot.stl
  std::string_view roots_pem;          // the roots it names, PEM
  // roots_pem's index made at build time; empty: indexed at first use.
  std::span<const BundleIndex::Prebuilt> roots_index;
};
RootProgramSource CurrentRootProgramSource();
// The compiled-in list and roots.
RootProgramSource CompiledInRootProgramSource();

// The list of CurrentRootProgramSource (normally root_program/authroot.stl),
// decoded on the first call from any thread and kept for the process. Its signature is not
// checked again at run time: a test checks it. An empty list (size() 0)
// if the compiled-in bytes do not decode.
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

}  // namespace exelore_posix::authenticode

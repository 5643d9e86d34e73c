// The trust anchors chains are built to: the roots Windows installs in its
// own ROOT store, Microsoft's root program, the roots the user adds, and a
// Windows volume's ROOT and AuthRoot stores.
#pragma once

#include <vector>

#include "ossl.h"
#include "trust_config.h"

namespace exelore_posix::authenticode {

enum class AnchorSource {
  kWindows,  // one of Microsoft's own roots that Windows installs in its ROOT
             // store: an anchor for every usage, without the list's rules
  kProgram,  // a root of Microsoft's Trusted Root Program, with the list's rules
  kUser,     // a root the user added (EXELORE_CODESIGN_ROOTS_DIR, SSL_CERT_FILE,
             // SSL_CERT_DIR): an anchor for every usage, as Windows' ROOT store
  kVolume,   // a ROOT or AuthRoot certificate of the volume SystemRoot names
};

struct RootProgramEntry;
class RootProgramList;

struct Anchor {
  X509* cert = nullptr;  // kept by its source for the process's life
  AnchorSource source = AnchorSource::kUser;
  // For a program root, its entry in the list, whose rules apply: the
  // built-in list's, or the volume's own list where it is newer. nullptr for
  // a root anchoring from a ROOT store (Windows' own, or the volume's).
  const RootProgramEntry* program = nullptr;
  // The root program properties the volume's copy of the root carries;
  // their rules apply too.
  const RootProgramEntry* volume = nullptr;
};

// The root program list in force under `config`: the volume's own signed
// list (registry::MachineStores::EncodedRootList) when it verifies as the
// built-in one does and its thisUpdate is later, else the built-in list.
const RootProgramList& ProgramListFor(const TrustConfig& config);

// Every anchor whose subject is `name`, each certificate once (the first
// source that holds it names it, and the rules of every source that
// restricts it apply). Sources are read on first ask and only
// for the names asked: the folders through their hash links, bundles
// indexed by subject, certificates decoded when a chain names them.
std::vector<Anchor> AnchorsBySubject(const TrustConfig& config, const X509_NAME* name);

}  // namespace exelore_posix::authenticode

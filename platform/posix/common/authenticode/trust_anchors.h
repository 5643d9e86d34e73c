// The trust anchors chains are built to: Microsoft's root program, the roots
// the user adds, and a Windows volume's ROOT and AuthRoot stores.
#pragma once

#include <vector>

#include "ossl.h"
#include "trust_config.h"

namespace exelore_posix::authenticode {

enum class AnchorSource {
  kProgram,  // a root of Microsoft's Trusted Root Program, with the list's rules
  kUser,     // a root the user added (EXELORE_CODESIGN_ROOTS_DIR, SSL_CERT_FILE,
             // SSL_CERT_DIR): an anchor for every usage, as Windows' ROOT store
  kVolume,   // a ROOT or AuthRoot certificate of the volume SystemRoot names
};

struct RootProgramEntry;

struct Anchor {
  X509* cert = nullptr;  // kept by its source for the process's life
  AnchorSource source = AnchorSource::kUser;
  // For a program root, its entry in the list, whose rules apply.
  const RootProgramEntry* program = nullptr;
};

// Every anchor whose subject is `name`, each certificate once (the first
// source that holds it names it). Sources are read on first ask and only
// for the names asked: the folders through their hash links, bundles
// indexed by subject, certificates decoded when a chain names them.
std::vector<Anchor> AnchorsBySubject(const TrustConfig& config, const X509_NAME* name);

}  // namespace exelore_posix::authenticode

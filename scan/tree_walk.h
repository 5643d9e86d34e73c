// The files of a tree, in path order, as exelore-scan reports them.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>

#include "util/shared.h"

// One path the walk found: a file to look at, or an entry it did not read
// (`problem` says why, and the file is reported with that error alone).
struct WalkEntry {
  WideString path;
  // The path was named (on the command line or in a list of files): it is
  // reported whatever it holds.
  bool named = false;
  // A link, mount point or device that the walk does not enter or read:
  // reported only when asked for, with `problem` saying what it is.
  bool skipped = false;
  WideString problem;
  // The volume the walk is on (GetFileInformationByHandle's serial number),
  // when known: a file found on another one has been swapped for a mount.
  bool on_volume = false;
  DWORD volume = 0;
};

// What an open handle is: its volume, file index and attributes (which
// identify it), and its size.
struct FileIdentity {
  DWORD volume = 0;
  DWORD index_high = 0;
  DWORD index_low = 0;
  DWORD attributes = 0;
  unsigned long long size = 0;
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index_high == other.index_high &&
           index_low == other.index_low && attributes == other.attributes;
  }
};

// Opens `path` for reading (a folder too) without following a link in its
// last component unless `follow`, and says what it is; *error is set and
// nothing is returned when it cannot be opened. The handle is closed unless
// `handle` takes it.
std::optional<FileIdentity> OpenIdentity(const WideString& path, bool follow, DWORD* error,
                                         HANDLE* handle = nullptr);

// The problem with an entry that is no longer what the walk listed: a link,
// a folder, or a file on another volume; empty when it is a plain file or
// folder (as `folder` says) on `volume`.
WideString ChangedProblem(const FileIdentity& identity, bool folder, const WalkEntry& entry);

// Receives each entry of a walk in order; returning false stops the walk.
using WalkVisitor = std::function<bool(WalkEntry&&)>;

// Hands `visit` the files of `root`: `root` itself when it is not a folder;
// otherwise every file below it, each folder's entries in the ordinal order
// of their names, a subfolder's files at the subfolder's place, each folder
// handed out as soon as it is listed (memory grows with the folders being
// listed, not with the tree). Symbolic links, junctions and mount points
// (every reparse point: a volume mounted in a folder is one) are handed out
// as skipped, never followed, so the walk stays on the file system of
// `root` and cannot loop; so are entries that are not regular files (FIFOs,
// devices); a folder that cannot be listed is handed out with its error.
// `root` itself is followed when it is a link. False when `visit` stopped
// the walk.
bool WalkTree(const WideString& root, const WalkVisitor& visit);

// "what: reason (error N)" for a failed platform call, as the scan reports it.
WideString DescribeError(const WCHAR* what, DWORD error);

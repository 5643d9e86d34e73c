// The files of a tree, in path order, as exelore-scan reports them.
#pragma once

#include <windows.h>

#include <vector>

#include "util/shared.h"

// One path the walk found: a file to look at, or an entry it did not read
// (`problem` says why, and the file is reported with that error alone).
struct WalkEntry {
  WideString path;
  // The path was named on the command line: a file that is not a PE image
  // is reported as such instead of being passed over.
  bool named = false;
  WideString problem;
};

// Appends the files of `root` to `entries`: `root` itself when it is not a
// folder; otherwise every file below it, each folder's entries in the
// ordinal order of their names, a subfolder's files at the subfolder's
// place. Symbolic links, junctions and mount points (every reparse point:
// a volume mounted in a folder is one) are reported, never followed, so the
// walk stays on the file system of `root` and cannot loop; so are entries
// that are not regular files (FIFOs, devices) and folders that cannot be
// listed. `root` itself is followed when it is a link.
void WalkTree(const WideString& root, std::vector<WalkEntry>& entries);

// "what: reason (error N)" for a failed platform call, as the scan reports it.
WideString DescribeError(const WCHAR* what, DWORD error);

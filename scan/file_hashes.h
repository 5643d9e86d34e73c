// The hashes a record gives of its file: of the whole content, and the
// Authenticode image hashes.
#pragma once

#include <windows.h>

#include "util/shared.h"

// The hashes asked for: the whole file's with CNG (BCrypt), the image hashes
// with the catalog administrator (CryptCATAdminCalcHashFromFileHandle2).
struct HashChoice {
  bool md5 = false;
  bool sha1 = false;
  bool sha256 = true;
  bool authentihash = true;  // both the SHA-1 and the SHA-256 image hash
};

// Each hash in lower-case hex; empty when not asked for or not computed.
struct FileHashes {
  WideString md5, sha1, sha256;
  WideString authentihash_sha1, authentihash_sha256;
};

// The hashes of the open regular file `file`. The whole-file hashes are
// computed together in one pass through one buffer, the file never read
// whole into memory; each image hash is one more pass by the platform. A
// read error leaves the whole-file hashes empty, and a file the platform
// cannot hash leaves its image hashes empty. Moves the file pointer.
FileHashes HashFile(HANDLE file, const HashChoice& choice);

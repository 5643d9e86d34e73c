// The one loop that digests a file's bytes: the Authenticode image hash and
// the flat-file hash a catalog lists both read through it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ossl.h"
#include "pe.h"

namespace exelore_posix {

// `length` bytes of a file from `offset`.
struct FileRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// The `md` digest of `ranges` of `file`, in order, followed by `trailer`.
// Reads through one buffer of at most 1 MiB (no bigger than the file);
// nullopt when a range is not wholly inside the file or a read fails.
std::optional<std::vector<std::uint8_t>> DigestFileRanges(
    const pe::FileSource& file, std::span<const FileRange> ranges, const EVP_MD* md,
    std::span<const std::uint8_t> trailer = {});

// Whether `computed` is the digest `expected` names: the same length and the
// same bytes, compared in constant time (CRYPTO_memcmp), so the time a
// comparison takes tells nothing of how many leading bytes matched. An empty
// digest is no digest and matches nothing. Every comparison of a digest
// (an image hash, a listed member hash, a messageDigest, a timestamp's
// imprint, a key identifier, a thumbprint) goes through here.
bool SameDigest(std::span<const std::uint8_t> computed, std::span<const std::uint8_t> expected);

}  // namespace exelore_posix

#include "digest.h"

#include <fcntl.h>

#include <algorithm>

namespace exelore_posix {

std::optional<std::vector<std::uint8_t>> DigestFileRanges(const pe::FileSource& file,
                                                          std::span<const FileRange> ranges,
                                                          const EVP_MD* md,
                                                          std::span<const std::uint8_t> trailer) {
  constexpr std::uint64_t kBuffer = 1u << 20;
  ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return std::nullopt;
  // Reading ahead helps the mostly sequential pass; the advice is only a hint.
  ::posix_fadvise(file.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // No bigger than the file: zeroing a buffer the file cannot fill costs a
  // small file more than hashing it.
  std::vector<std::uint8_t> buffer(
      static_cast<std::size_t>(std::clamp<std::uint64_t>(file.size(), 1, kBuffer)));
  for (const FileRange& r : ranges) {
    for (std::uint64_t from = r.offset, to = r.offset + r.length; from < to;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), to - from));
      const std::span<std::uint8_t> chunk(buffer.data(), n);
      if (!file.ReadAt(from, chunk) || EVP_DigestUpdate(ctx.get(), chunk.data(), n) != 1) {
        return std::nullopt;
      }
      from += n;
    }
  }
  if (!trailer.empty() && EVP_DigestUpdate(ctx.get(), trailer.data(), trailer.size()) != 1) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> digest(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1) return std::nullopt;
  digest.resize(length);
  return digest;
}

bool SameDigest(std::span<const std::uint8_t> computed, std::span<const std::uint8_t> expected) {
  return !computed.empty() && computed.size() == expected.size() &&
         CRYPTO_memcmp(computed.data(), expected.data(), computed.size()) == 0;
}

}  // namespace exelore_posix

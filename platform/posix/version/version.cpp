// The version resource API of the stand-in: GetFileVersionInfoSize(Ex)W,
// GetFileVersionInfo(Ex)W and VerQueryValueW, on the PE reader.
//
// Behaviour copied from Windows as Microsoft documents it and Wine's
// version.dll and its tests show it:
// - the resource is RT_VERSION (16) with the numeric name VS_VERSION_INFO (1);
// - the size reported is twice the resource plus 4 bytes ("FE2X" room);
// - a file without one fails with ERROR_RESOURCE_DATA_NOT_FOUND, a file that
//   cannot be opened with the error of opening it;
// - VerQueryValueW walks the path's components, skipping empty ones, and
//   matches each against a child's whole key, ignoring case.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "byte_reader.h"
#include "files.h"
#include "pe.h"
#include "text.h"

namespace exelore_posix {
namespace {

constexpr std::uint16_t kLangNeutral = 0x0000;
constexpr std::uint16_t kLangEnglishNeutral = 0x0009;
constexpr std::uint16_t kLangEnglishUs = 0x0409;
// wLength is 16 bits, so no version block is longer; a larger resource size
// only describes bytes no lookup can reach.
constexpr std::uint32_t kMaxVersionResource = 0x10000;
constexpr int kMaxDepth = 16;

// A node of a version block (VS_VERSIONINFO, StringFileInfo, String and the
// rest): this header, then szKey, then the value and the children, each on a
// 4-byte boundary.
namespace version_node {
inline constexpr Field<std::uint16_t> kLength{0};
inline constexpr Field<std::uint16_t> kValueLength{2};
inline constexpr Field<std::uint16_t> kType{4};  // 1 for text, 0 for binary
}  // namespace version_node
constexpr std::size_t kNodeHeader = 6;

// Which language of the version resource is taken, on an English (United
// States) system:
// - the language-neutral call (FILE_VER_GET_NEUTRAL, no FILE_VER_GET_LOCALISED)
//   asks the loader for English (United States) first, which tries 0x0409,
//   then its primary language 0x0009, then LANG_NEUTRAL;
// - the classic call asks the loader for LANG_NEUTRAL, which tries the neutral
//   language, then the thread's and user's language (0x0409), then 0x0009;
// - when none of them is present, the loader takes the first language listed.
std::span<const std::uint16_t> LanguageOrder(DWORD flags) {
  static constexpr std::array<std::uint16_t, 3> kNeutralCall = {kLangEnglishUs, kLangEnglishNeutral,
                                                                kLangNeutral};
  static constexpr std::array<std::uint16_t, 3> kLocalisedCall = {kLangNeutral, kLangEnglishUs,
                                                                  kLangEnglishNeutral};
  if ((flags & FILE_VER_GET_LOCALISED) == 0) return kNeutralCall;
  return kLocalisedCall;
}

struct LocatedResource {
  RegularFile file;
  pe::ResourceData data;
};

// Opens `path` and finds its version resource; on failure sets the last error.
std::optional<LocatedResource> LocateVersionResource(DWORD flags, LPCWSTR path) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  if (*path == 0) {
    SetLastError(ERROR_BAD_PATHNAME);
    return std::nullopt;
  }
  DWORD path_error = 0;
  const auto bytes = PathFromWide(path, &path_error);
  if (!bytes) {
    SetLastError(path_error);
    return std::nullopt;
  }
  LocatedResource located;
  DWORD error = 0;
  if (!located.file.Open(*bytes, &error)) {
    SetLastError(error);
    return std::nullopt;
  }
  const pe::FileSource source(located.file.fd(), located.file.size());
  const auto headers = pe::ReadHeaders(source);
  if (!headers) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return std::nullopt;
  }
  const auto data =
      pe::FindResource(source, *headers, VS_FILE_INFO, VS_VERSION_INFO, LanguageOrder(flags));
  if (!data) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return std::nullopt;
  }
  located.data = *data;
  located.data.size = std::min(located.data.size, kMaxVersionResource);
  return located;
}

constexpr std::size_t Align4(std::size_t n) { return (n + 3) & ~static_cast<std::size_t>(3); }

// One node of a version block, with every offset checked against the node's
// end (which is itself inside its parent, and the parent inside the block).
struct Node {
  std::size_t begin = 0;
  std::size_t end = 0;      // begin + wLength, clipped to the parent
  std::size_t key = 0;      // first key unit
  std::size_t key_end = 0;  // the key's terminating zero, or end when absent
  std::size_t value = 0;    // the value, or end when the node has none
  std::size_t value_bytes = 0;
  std::size_t children = 0;
  std::uint16_t type = 0;
};

// The offset of the first zero UTF-16 unit in [from, to).
std::optional<std::size_t> FindTerminator(const ByteReader& block, std::size_t from,
                                          std::size_t to) {
  for (std::size_t at = from; at + 2 <= to; at += 2) {
    const auto unit = block.U16(at);
    if (!unit) return std::nullopt;
    if (*unit == 0) return at;
  }
  return std::nullopt;
}

std::optional<Node> ReadNode(std::span<const std::uint8_t> block, std::size_t begin,
                             std::size_t limit) {
  limit = std::min(limit, block.size());
  if (begin > limit || kNodeHeader > limit - begin) return std::nullopt;
  const ByteReader r(block);
  const auto length = r.Read(version_node::kLength, begin);
  const auto value_length = r.Read(version_node::kValueLength, begin);
  const auto type = r.Read(version_node::kType, begin);
  if (!length || !value_length || !type || *length < kNodeHeader) return std::nullopt;
  Node node;
  node.begin = begin;
  // Nodes hold UTF-16 text: an odd end would let a returned pointer land
  // between two units.
  node.end = begin + ((std::min(limit, begin + *length) - begin) & ~static_cast<std::size_t>(1));
  node.type = *type;
  node.key = begin + kNodeHeader;
  node.key_end = FindTerminator(r, node.key, node.end).value_or(node.end);
  node.value = std::min(node.end, Align4(node.key_end + 2));
  node.value_bytes =
      std::min<std::size_t>(node.end - node.value, node.type ? *value_length * 2u : *value_length);
  node.children = std::min(node.end, Align4(node.value + node.value_bytes));
  return node;
}

bool KeyEquals(std::span<const std::uint8_t> block, const Node& node, std::u16string_view key) {
  if (node.key_end == node.end) return false;  // no terminated key
  if ((node.key_end - node.key) / 2 != key.size()) return false;
  const ByteReader r(block);
  for (std::size_t i = 0; i < key.size(); ++i) {
    const auto unit = r.U16(node.key + 2 * i);
    if (!unit || AsciiLower(static_cast<char16_t>(*unit)) != AsciiLower(key[i])) return false;
  }
  return true;
}

std::optional<Node> FindChild(std::span<const std::uint8_t> block, const Node& parent,
                              std::u16string_view key) {
  std::size_t at = parent.children;
  while (at < parent.end) {
    const auto child = ReadNode(block, at, parent.end);
    if (!child) return std::nullopt;
    if (KeyEquals(block, *child, key)) return child;
    at = Align4(child->end);  // wLength >= 6, so the walk always advances
  }
  return std::nullopt;
}

// Makes the block safe to read as Windows callers read it: the root never
// claims more than the `copied` bytes of the resource, and every text value is
// terminated inside its own node, so reading a returned string never leaves
// the block.
void SanitizeBlock(std::span<std::uint8_t> block, std::size_t copied) {
  const ByteReader r(block);
  const auto claimed = r.Read(version_node::kLength);
  if (!claimed) return;
  const std::size_t root_length = std::min<std::size_t>(*claimed, copied);
  Store(block, version_node::kLength, 0, static_cast<std::uint16_t>(root_length));
  if (root_length < kNodeHeader) return;
  struct Frame {
    std::size_t at;
    std::size_t end;
    int depth;
  };
  std::vector<Frame> stack;
  const auto root = ReadNode(block, 0, root_length);
  if (!root) return;
  std::vector<Node> nodes = {*root};
  stack.push_back({root->children, root->end, 1});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.at >= frame.end) {
      stack.pop_back();
      continue;
    }
    const auto node = ReadNode(block, frame.at, frame.end);
    if (!node) {
      stack.pop_back();
      continue;
    }
    frame.at = Align4(node->end);
    nodes.push_back(*node);
    if (frame.depth < kMaxDepth) stack.push_back({node->children, node->end, frame.depth + 1});
  }
  for (const Node& node : nodes) {
    if (node.type == 0 || node.value + 2 > node.end) continue;
    if (!FindTerminator(r, node.value, node.end)) {
      Store<std::uint16_t>(block, node.value + ((node.end - node.value) / 2 - 1) * 2, 0);
    }
  }
}

}  // namespace
}  // namespace exelore_posix

using namespace exelore_posix;

extern "C" {

DWORD WINAPI GetFileVersionInfoSizeExW(DWORD dwFlags, LPCWSTR lpwstrFilename, LPDWORD lpdwHandle) {
  if (lpdwHandle) *lpdwHandle = 0;
  const auto located = LocateVersionResource(dwFlags, lpwstrFilename);
  if (!located) return 0;
  SetLastError(ERROR_SUCCESS);
  return located->data.size * 2 + 4;
}

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
  return GetFileVersionInfoSizeExW(FILE_VER_GET_LOCALISED, lptstrFilename, lpdwHandle);
}

BOOL WINAPI GetFileVersionInfoExW(DWORD dwFlags, LPCWSTR lpwstrFilename, DWORD /*dwHandle*/,
                                  DWORD dwLen, LPVOID lpData) {
  if (lpData == nullptr) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  auto located = LocateVersionResource(dwFlags, lpwstrFilename);
  if (!located) return FALSE;
  const std::span<std::uint8_t> block(static_cast<std::uint8_t*>(lpData), dwLen);
  // Two bytes at the end stay zero whatever the resource holds.
  if (dwLen < kNodeHeader + 2) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  const std::size_t copy = std::min<std::size_t>(located->data.size, dwLen - 2);
  const pe::FileSource source(located->file.fd(), located->file.size());
  if (!source.ReadAt(located->data.offset, block.first(copy))) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return FALSE;
  }
  std::memset(block.data() + copy, 0, dwLen - copy);
  SanitizeBlock(block, copy);
  // Windows marks the end of a 32-bit block with "FE2X" when there is room.
  const std::size_t root =
      copy >= kNodeHeader ? ByteReader(block).Read(version_node::kLength).value_or(0) : 0;
  if (root >= kNodeHeader && root + 4 + 2 <= dwLen) std::memcpy(block.data() + root, "FE2X", 4);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen,
                                LPVOID lpData) {
  return GetFileVersionInfoExW(FILE_VER_GET_LOCALISED, lptstrFilename, dwHandle, dwLen, lpData);
}

// VerQueryValueW over a block from GetFileVersionInfo(Ex)W. "\" (or an empty
// path) is the root's value, VS_FIXEDFILEINFO; a node without a value gives
// an empty string (the end of its key), as Windows does. The length is the
// node's wValueLength: characters for text, bytes for binary values.
BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
  if (pBlock == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);  // as for the other arguments it cannot use
    return FALSE;
  }
  std::u16string_view path =
      (lpSubBlock == nullptr || *lpSubBlock == 0) ? std::u16string_view(u"\\") : lpSubBlock;
  // The block is as long as its root says: GetFileVersionInfo(Ex)W clips the
  // root's wLength to the bytes it copied, and gives no block shorter than a
  // node header.
  const auto* bytes = static_cast<const std::uint8_t*>(pBlock);
  const auto root_length = ByteReader(std::span(bytes, kNodeHeader)).Read(version_node::kLength);
  const std::span<const std::uint8_t> block(bytes, root_length.value_or(0));
  auto node = ReadNode(block, 0, block.size());
  const auto not_found = [&]() {
    if (puLen) *puLen = 0;
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  };
  if (!node) return not_found();
  while (!path.empty()) {
    const std::size_t slash = path.find(u'\\');
    const std::u16string_view component = path.substr(0, slash);
    path = slash == std::u16string_view::npos ? std::u16string_view() : path.substr(slash + 1);
    if (component.empty()) continue;
    node = FindChild(block, *node, component);
    if (!node) return not_found();
  }
  const std::size_t value = node->value < node->end ? node->value : node->key_end;
  if (lplpBuffer) *lplpBuffer = const_cast<std::uint8_t*>(block.data() + value);
  // The node's wValueLength, but never more than the node holds: a caller that
  // trusts the length stays inside the block.
  if (puLen) {
    *puLen = static_cast<UINT>(
        node->value < node->end ? (node->type ? node->value_bytes / 2 : node->value_bytes) : 0);
  }
  return TRUE;
}

}  // extern "C"

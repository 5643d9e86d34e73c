#include "image.h"

#include <algorithm>

#include "byte_reader.h"
#include "digest.h"

namespace exelore_posix::authenticode {
namespace {

constexpr std::uint16_t kWinCertRevision2 = 0x0200;
constexpr std::uint16_t kWinCertTypePkcsSignedData = 0x0002;
constexpr std::size_t kWinCertHeader = 8;

namespace win_certificate {  // WIN_CERTIFICATE's header; bCertificate follows it
inline constexpr Field<std::uint32_t> kLength{0};
inline constexpr Field<std::uint16_t> kRevision{4};
inline constexpr Field<std::uint16_t> kCertificateType{6};
}  // namespace win_certificate

// Where the sections' raw data ends: the headers' end at least.
std::uint64_t EndOfSections(const pe::Headers& headers) {
  std::uint64_t end = headers.size_of_headers;
  for (const pe::Section& s : headers.sections) {
    if (s.raw_size != 0)
      end = std::max<std::uint64_t>(end, std::uint64_t{s.raw_offset} + s.raw_size);
  }
  return end;
}

// Whether the sections' raw data cover every byte of [from, to).
bool CoveredBySections(const pe::Headers& headers, std::uint64_t from, std::uint64_t to) {
  for (bool grew = true; from < to && grew;) {
    grew = false;
    for (const pe::Section& s : headers.sections) {
      const std::uint64_t end = std::uint64_t{s.raw_offset} + s.raw_size;
      if (s.raw_size != 0 && s.raw_offset <= from && end > from) {
        from = end;
        grew = true;
      }
    }
  }
  return from >= to;
}

std::uint64_t AlignUp8(std::uint64_t n) { return (n + 7) & ~std::uint64_t{7}; }

// Whether the bytes of [from, to) are all zero.
bool AllZero(const pe::FileSource& file, std::uint64_t from, std::uint64_t to) {
  std::uint8_t chunk[4096];
  while (from < to) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, to - from));
    if (!file.ReadAt(from, std::span(chunk, n))) return false;
    if (std::any_of(chunk, chunk + n, [](std::uint8_t b) { return b != 0; })) return false;
    from += n;
  }
  return true;
}

// The certificate table after its first WIN_CERTIFICATE (of `first_length`
// bytes): further WIN_CERTIFICATEs, each on an 8-byte boundary, and zero
// bytes between and after them. Windows reads only the first certificate,
// so a later one is skipped whole; any other byte is one no signature
// covers, and is refused, as Windows refuses it with EnableCertPaddingCheck
// (Microsoft Security Advisory 2915720, CVE-2013-3900).
bool RestOfTableIsClean(const pe::FileSource& file, const CertificateTable& table,
                        std::uint32_t first_length) {
  constexpr int kMaxCertificates = 64;
  const std::uint64_t end = table.offset + table.size;
  std::uint64_t at = table.offset + first_length;
  for (int count = 1;; ++count) {
    const std::uint64_t next = std::min(table.offset + AlignUp8(at - table.offset), end);
    if (!AllZero(file, at, next)) return false;
    at = next;
    std::uint8_t header[kWinCertHeader];
    if (end - at < kWinCertHeader || !file.ReadAt(at, header)) return AllZero(file, at, end);
    const auto length = ByteReader(header).Read(win_certificate::kLength);
    if (!length) return false;
    if (*length == 0) return AllZero(file, at, end);
    if (count == kMaxCertificates || *length < kWinCertHeader || *length > end - at) return false;
    at += *length;
  }
}

// The length of the table's first WIN_CERTIFICATE when it holds a PKCS #7
// SignedData (revision 0x0200, type 2) of sensible size; nullopt otherwise.
std::optional<std::uint32_t> FirstCertificateLength(const pe::FileSource& file,
                                                    const CertificateTable& table) {
  if (table.size < kWinCertHeader) return std::nullopt;
  std::uint8_t header[kWinCertHeader];
  if (!file.ReadAt(table.offset, header)) return std::nullopt;
  const ByteReader r(header);
  const auto length = r.Read(win_certificate::kLength);
  const auto revision = r.Read(win_certificate::kRevision);
  const auto type = r.Read(win_certificate::kCertificateType);
  if (!length || !revision || !type) return std::nullopt;
  if (*revision != kWinCertRevision2 || *type != kWinCertTypePkcsSignedData) return std::nullopt;
  if (*length <= kWinCertHeader || *length > table.size) return std::nullopt;
  if (*length - kWinCertHeader > kMaxSignatureSize) return std::nullopt;
  return length;
}

}  // namespace

TableState FindCertificateTable(const pe::FileSource& file, const pe::Headers& headers,
                                CertificateTable* table) {
  if (headers.number_of_directories <= pe::kDirectorySecurity) return TableState::kAbsent;
  const pe::DataDirectory& dir = headers.directories[pe::kDirectorySecurity];
  if (dir.address == 0 || dir.size == 0) return TableState::kAbsent;
  const std::uint64_t size = file.size();
  if (dir.address > size || dir.size > size - dir.address) return TableState::kInvalid;
  table->offset = dir.address;
  table->size = dir.size;
  // The table follows the sections: the image hash takes the headers and
  // each section's raw data where the loader finds them, and a table over
  // them would leave bytes the loader maps out of the signed image.
  table->follows_sections = dir.address >= EndOfSections(headers);
  return TableState::kPresent;
}

std::optional<std::vector<std::uint8_t>> ReadEmbeddedSignature(const pe::FileSource& file,
                                                               const pe::Headers& headers) {
  CertificateTable table;
  if (FindCertificateTable(file, headers, &table) != TableState::kPresent) return std::nullopt;
  const auto length = FirstCertificateLength(file, table);
  if (!length) return std::nullopt;
  std::vector<std::uint8_t> der(*length - kWinCertHeader);
  if (!file.ReadAt(table.offset + kWinCertHeader, der)) return std::nullopt;
  return der;
}

bool CertificateTableIsClean(const pe::FileSource& file, const pe::Headers& headers) {
  CertificateTable table;
  if (FindCertificateTable(file, headers, &table) != TableState::kPresent) return false;
  const auto length = FirstCertificateLength(file, table);
  return length && table.follows_sections && RestOfTableIsClean(file, table, *length);
}

namespace {

// Where the hashed headers end: SizeOfHeaders, or where the first section's
// raw data begins when SizeOfHeaders reaches past it (a packer's layout:
// SizeOfHeaders 0x1000, the first section at 0x400). Windows hashes those
// bytes once, with the section, as osslsigncode and signify do, which hash
// the file from its start to the certificate table: signtool's digest of
// such a file matches only so. Microsoft's Authenticode PE document
// ("Calculating the PE Image Hash") hashes SizeOfHeaders bytes and then the
// sections without considering an overlap. nullopt when the headers so cut
// do not hold the section table and the fields left out of the hash (the
// hash would not cover what says where the sections are: a section starting
// inside them makes no valid signed image).
std::optional<std::uint64_t> HashedHeadersEnd(const pe::Headers& headers, std::uint64_t size) {
  std::uint64_t header_end = headers.size_of_headers;
  for (const pe::Section& s : headers.sections) {
    if (s.raw_size != 0) header_end = std::min<std::uint64_t>(header_end, s.raw_offset);
  }
  // The loader maps all SizeOfHeaders bytes; when sections' raw data do not
  // cover the part cut from the headers, bytes the loader maps would be
  // hashed nowhere. No linker or packer lays a file out so, and how Windows
  // hashes it is not documented: such a file is not a valid signed image.
  if (!CoveredBySections(headers, header_end, headers.size_of_headers)) return std::nullopt;
  if (header_end > size || headers.section_table_end > header_end ||
      headers.checksum_offset + 4 > header_end) {
    return std::nullopt;
  }
  return header_end;
}

// The headers up to `header_end` without the CheckSum and the security
// directory entry.
void AddHeaderRanges(const pe::Headers& headers, std::uint64_t header_end,
                     std::vector<FileRange>* ranges) {
  std::vector<FileRange> skip{{headers.checksum_offset, 4}};
  if (headers.number_of_directories > pe::kDirectorySecurity) {
    skip.push_back({headers.DirectoryEntryOffset(pe::kDirectorySecurity), 8});
  }
  std::sort(skip.begin(), skip.end(),
            [](const FileRange& a, const FileRange& b) { return a.offset < b.offset; });
  std::uint64_t at = 0;
  for (const FileRange& r : skip) {
    if (r.offset < at) continue;  // overlapping exclusions hash nothing twice
    ranges->push_back({at, r.offset - at});
    at = r.offset + r.length;
  }
  ranges->push_back({at, header_end - at});
}

// Each section's raw data, in the order of their file offsets; false when
// one lies past the file's end.
bool AddSectionRanges(const pe::Headers& headers, std::uint64_t size,
                      std::vector<FileRange>* ranges) {
  std::vector<pe::Section> sections;
  for (const pe::Section& s : headers.sections) {
    if (s.raw_size == 0) continue;
    if (s.raw_offset > size || s.raw_size > size - s.raw_offset) return false;
    sections.push_back(s);
  }
  std::stable_sort(
      sections.begin(), sections.end(),
      [](const pe::Section& a, const pe::Section& b) { return a.raw_offset < b.raw_offset; });
  for (const pe::Section& s : sections) ranges->push_back({s.raw_offset, s.raw_size});
  return true;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ComputeImageHash(const pe::FileSource& file,
                                                          const pe::Headers& headers,
                                                          const EVP_MD* md,
                                                          ImageHashOptions options) {
  CertificateTable table;
  const TableState state = FindCertificateTable(file, headers, &table);
  if (state == TableState::kInvalid) return std::nullopt;
  if (state == TableState::kPresent && !table.follows_sections) return std::nullopt;
  const std::uint64_t size = file.size();
  const auto header_end = HashedHeadersEnd(headers, size);
  if (!header_end) return std::nullopt;
  // In the order Microsoft's Authenticode PE format document gives: the
  // headers, the sections, then what follows the last section, without the
  // certificate table.
  std::vector<FileRange> ranges;
  AddHeaderRanges(headers, *header_end, &ranges);
  if (!AddSectionRanges(headers, size, &ranges)) return std::nullopt;
  const std::uint64_t tail = EndOfSections(headers);
  if (state == TableState::kPresent) {
    ranges.push_back({tail, table.offset - tail});
    ranges.push_back({table.offset + table.size, size - (table.offset + table.size)});
  } else {
    ranges.push_back({tail, size - std::min(tail, size)});
  }
  static constexpr std::uint8_t kZeros[8] = {};
  std::span<const std::uint8_t> padding;
  if (options.pad_unsigned_to_8 && state == TableState::kAbsent && size % 8 != 0) {
    padding = std::span(kZeros, 8 - size % 8);
  }
  return DigestFileRanges(file, ranges, md, padding);
}

}  // namespace exelore_posix::authenticode

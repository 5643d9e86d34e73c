#include "scan/records.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace {

using WideView = std::basic_string_view<WCHAR>;

// The codes WinVerifyTrust returns, by their winerror.h names (values as in
// the SDK's winerror.h; Microsoft's WinVerifyTrust page lists the TRUST_E_
// ones, the CERT_E_ ones come from the chain), and the Win32 errors it
// passes on when the file cannot be opened.
struct NamedStatus {
  std::uint32_t code;
  const char* name;
};
constexpr NamedStatus kStatusNames[] = {
    {0x00000002, "ERROR_FILE_NOT_FOUND"},
    {0x00000003, "ERROR_PATH_NOT_FOUND"},
    {0x00000005, "ERROR_ACCESS_DENIED"},
    {0x00000020, "ERROR_SHARING_VIOLATION"},
    {0x80004005, "E_FAIL"},
    {0x80070057, "E_INVALIDARG"},
    {0x80090006, "NTE_BAD_SIGNATURE"},
    {0x80090008, "NTE_BAD_ALGID"},
    {0x80091007, "CRYPT_E_HASH_VALUE"},
    {0x80092003, "CRYPT_E_FILE_ERROR"},
    {0x80092009, "CRYPT_E_NO_MATCH"},
    {0x80092026, "CRYPT_E_SECURITY_SETTINGS"},
    {0x80096001, "TRUST_E_SYSTEM_ERROR"},
    {0x80096002, "TRUST_E_NO_SIGNER_CERT"},
    {0x80096003, "TRUST_E_COUNTER_SIGNER"},
    {0x80096004, "TRUST_E_CERT_SIGNATURE"},
    {0x80096005, "TRUST_E_TIME_STAMP"},
    {0x80096010, "TRUST_E_BAD_DIGEST"},
    {0x80096019, "TRUST_E_BASIC_CONSTRAINTS"},
    {0x8009601E, "TRUST_E_FINANCIAL_CRITERIA"},
    {0x800B0001, "TRUST_E_PROVIDER_UNKNOWN"},
    {0x800B0002, "TRUST_E_ACTION_UNKNOWN"},
    {0x800B0003, "TRUST_E_SUBJECT_FORM_UNKNOWN"},
    {0x800B0004, "TRUST_E_SUBJECT_NOT_TRUSTED"},
    {0x800B0100, "TRUST_E_NOSIGNATURE"},
    {0x800B0101, "CERT_E_EXPIRED"},
    {0x800B0102, "CERT_E_VALIDITYPERIODNESTING"},
    {0x800B0103, "CERT_E_ROLE"},
    {0x800B0104, "CERT_E_PATHLENCONST"},
    {0x800B0105, "CERT_E_CRITICAL"},
    {0x800B0106, "CERT_E_PURPOSE"},
    {0x800B0107, "CERT_E_ISSUERCHAINING"},
    {0x800B0108, "CERT_E_MALFORMED"},
    {0x800B0109, "CERT_E_UNTRUSTEDROOT"},
    {0x800B010A, "CERT_E_CHAINING"},
    {0x800B010C, "CERT_E_REVOKED"},
    {0x800B010D, "CERT_E_UNTRUSTEDTESTROOT"},
    {0x800B010E, "CERT_E_REVOCATION_FAILURE"},
    {0x800B010F, "CERT_E_CN_NO_MATCH"},
    {0x800B0110, "CERT_E_WRONG_USAGE"},
    {0x800B0111, "TRUST_E_EXPLICIT_DISTRUST"},
    {0x800B0112, "CERT_E_UNTRUSTEDCA"},
    {0x800B0113, "CERT_E_INVALID_POLICY"},
    {0x800B0114, "CERT_E_INVALID_NAME"},
};

// "NAME 0xXXXXXXXX", or the hex code alone for a code without a name here.
WideString StatusText(std::uint32_t code) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  WideString text;
  for (const NamedStatus& named : kStatusNames) {
    if (named.code != code) continue;
    for (const char* c = named.name; *c != 0; ++c) text.push_back(static_cast<WCHAR>(*c));
    text.push_back(TEXT(' '));
  }
  text += TEXT("0x");
  for (int shift = 28; shift >= 0; shift -= 4) text.push_back(kHex[(code >> shift) & 0xF]);
  return text;
}

void AppendCodePoint(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void AppendHex(std::string& out, unsigned value, int digits) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    out.push_back(kHex[(value >> shift) & 0xF]);
}

// C0 and C1 controls and DEL: what a terminal may act on.
bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

enum class TextForm {
  kJson,  // the exact text, escaped for a JSON string
  kCsv,   // controls as \xHH, lone surrogates as U+FFFD
  kWtf8,  // the exact text, lone surrogates in generalised UTF-8
};

// Appends `text` as UTF-8 in `form`; returns false when a lone surrogate
// was met (replaced in the CSV form).
bool AppendText(std::string& out, WideView text, TextForm form) {
  bool whole = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    const bool last = i + 1 == text.size();
    const auto next = last ? 0u : static_cast<char32_t>(text[i + 1]);
    if (c >= 0xD800 && c < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      whole = false;
      if (form == TextForm::kJson) {
        out += "\\u";
        AppendHex(out, c, 4);
        continue;
      }
      if (form == TextForm::kCsv) c = 0xFFFD;
    }
    if (form == TextForm::kJson && (c == '"' || c == '\\')) {
      out.push_back('\\');
    } else if (form == TextForm::kJson && IsControl(c)) {
      if (c == '\n' || c == '\r' || c == '\t') {
        out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
      } else {
        out += "\\u";
        AppendHex(out, c, 4);
      }
      continue;
    } else if (form == TextForm::kCsv && IsControl(c)) {
      out += "\\x";
      AppendHex(out, c, 2);
      continue;
    } else if (form == TextForm::kCsv && c == '\\' && !last &&
               (next == '\\' || next == 'x' || IsControl(next))) {
      out.push_back('\\');  // so that what follows cannot read as an escape
    }
    AppendCodePoint(out, c);
  }
  return whole;
}

// What a spreadsheet takes for the start of a formula (OWASP "CSV
// Injection"), and the apostrophe that marks a field as text.
bool StartsLikeFormula(WideView text) {
  return !text.empty() && WideView(TEXT("=+-@\t\r'")).find(text[0]) != WideView::npos;
}

void AppendCsvField(std::string& out, WideView text, const FormatOptions& options) {
  std::string field;
  if (options.formula_prefix && StartsLikeFormula(text)) field.push_back('\'');
  AppendText(field, text, TextForm::kCsv);
  if (field.find_first_of(",\"") == std::string::npos) {
    out += field;
    return;
  }
  out.push_back('"');
  for (const char c : field) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

// `path` percent-encoded from its generalised UTF-8 form, when it holds a
// lone surrogate (a file name that is not valid UTF-8 or UTF-16); empty
// otherwise.
WideString RawPath(WideView path) {
  std::string bytes;
  if (AppendText(bytes, path, TextForm::kWtf8)) return {};
  WideString raw;
  for (const char byte : bytes) {
    const auto b = static_cast<unsigned char>(byte);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
        std::string_view("-._~/").find(static_cast<char>(b)) != std::string_view::npos) {
      raw.push_back(static_cast<WCHAR>(b));
    } else {
      static constexpr WCHAR kUpperHex[] = TEXT("0123456789ABCDEF");
      raw.push_back(TEXT('%'));
      raw.push_back(kUpperHex[b >> 4]);
      raw.push_back(kUpperHex[b & 0xF]);
    }
  }
  return raw;
}

WideView FileName(WideView path) {
  const auto slash = path.find_last_of(TEXT("/\\"));
  return slash == WideView::npos ? path : path.substr(slash + 1);
}

WideString Widen(const char* ascii) {
  WideString text;
  while (*ascii != 0) text.push_back(static_cast<WCHAR>(*ascii++));
  return text;
}

struct Column {
  WideString name;
  std::function<WideString(const ScanRecord&)> value;
};

WideString Decimal(DWORD value) {
  WideString text;
  AppendDecimal(text, value);
  return text;
}

// The one list of the record's columns, in order: the man page lists the
// same (a test compares them).
const std::vector<Column>& Columns() {
  static const std::vector<Column> columns = [] {
    using R = const ScanRecord&;
    std::vector<Column> list;
    list.push_back({TEXT("path"), [](R r) { return r.path; }});
    for (std::size_t i = 0; i < VersionStringKeys.size(); ++i)
      list.push_back({VersionStringKeys[i], [i](R r) { return r.facts.values[i]; }});
    const auto add = [&list](const char* name, std::function<WideString(R)> value) {
      list.push_back({Widen(name), std::move(value)});
    };
    add("PublisherName", [](R r) { return r.facts.publisher; });
    add("verdict", [](R r) { return Widen(VerdictName(r.verdict)); });
    add("status", [](R r) {
      const bool judged = r.verdict == Verdict::kUnverified || r.verdict == Verdict::kUnsigned ||
                          r.verdict == Verdict::kUnreadable;
      return judged && r.facts.trust_asked
                 ? StatusText(static_cast<std::uint32_t>(r.facts.trust_status))
                 : WideString();
    });
    add("source", [](R r) {
      return WideString(!r.facts.has_publisher         ? TEXT("")
                        : r.facts.catalog_path.empty() ? TEXT("embedded")
                                                       : TEXT("catalog"));
    });
    add("catalog", [](R r) { return WideString(FileName(r.facts.catalog_path)); });
    add("signed_at", [](R r) { return r.facts.signer.signed_at; });
    add("timestamp", [](R r) { return r.facts.signer.timestamp; });
    add("timestamp_signer", [](R r) { return r.facts.signer.timestamp_signer; });
    add("issuer", [](R r) { return r.facts.signer.issuer; });
    add("serial", [](R r) { return r.facts.signer.serial; });
    add("thumbprint", [](R r) { return r.facts.signer.thumbprint; });
    add("not_before", [](R r) { return r.facts.signer.not_before; });
    add("not_after", [](R r) { return r.facts.signer.not_after; });
    add("signatures", [](R r) {
      return r.facts.signer.signatures == 0 ? WideString() : Decimal(r.facts.signer.signatures);
    });
    add("sha256", [](R r) { return r.hashes.sha256; });
    add("authentihash_sha1", [](R r) { return r.hashes.authentihash_sha1; });
    add("authentihash_sha256", [](R r) { return r.hashes.authentihash_sha256; });
    add("md5", [](R r) { return r.hashes.md5; });
    add("sha1", [](R r) { return r.hashes.sha1; });
    add("machine", [](R r) { return r.machine; });
    add("kind", [](R r) { return r.kind; });
    add("error", [](R r) { return r.error; });
    add("raw_path", [](R r) { return RawPath(r.path); });
    return list;
  }();
  return columns;
}

// Reads exactly `size` bytes at `offset`; false when the file is shorter or
// a read fails (the error in *error, 0 for a short file).
bool ReadAt(HANDLE file, DWORD offset, void* buffer, DWORD size, DWORD* error) {
  DWORD read = 0;
  if (SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) ==
          INVALID_SET_FILE_POINTER ||
      !ReadFile(file, buffer, size, &read, nullptr)) {
    *error = GetLastError();
    return false;
  }
  *error = 0;
  return read == size;
}

DWORD Le32(const BYTE* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}

// Offsets of the PE format (Microsoft's "PE Format" page): from the "PE\0\0"
// signature to the optional header, and within it the magic and the
// security directory entry (IMAGE_DIRECTORY_ENTRY_SECURITY, the fifth data
// directory) of PE32 and PE32+.
constexpr DWORD kNewHeaderOffset = 0x3C;  // IMAGE_DOS_HEADER.e_lfanew
constexpr DWORD kSizeOfOptionalHeaderOffset = 4 + 16;
constexpr DWORD kOptionalHeaderOffset = 4 + 20;
constexpr DWORD kPe32SecurityEntry = 96 + 4 * 8;
constexpr DWORD kPe32PlusSecurityEntry = 112 + 4 * 8;
constexpr DWORD kNumberOfSectionsOffset = 4 + 2;
constexpr DWORD kSectionHeaderSize = 40;  // IMAGE_SECTION_HEADER
constexpr DWORD kSizeOfRawDataOffset = 16;
constexpr DWORD kPe32NumberOfRvaAndSizes = 92;
constexpr DWORD kPe32PlusNumberOfRvaAndSizes = 108;
constexpr DWORD kMachineOffset = 4;               // IMAGE_FILE_HEADER.Machine
constexpr DWORD kCharacteristicsOffset = 4 + 18;  // IMAGE_FILE_HEADER.Characteristics
constexpr DWORD kSubsystemOffset = 68;            // in the optional header
constexpr DWORD kDllCharacteristicsOffset = 70;   // in the optional header
constexpr DWORD kPe32ComEntry = 96 + 14 * 8;      // IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR
constexpr DWORD kPe32PlusComEntry = 112 + 14 * 8;
constexpr unsigned kImageFileDll = 0x2000;  // IMAGE_FILE_DLL
constexpr unsigned kDllCharacteristicsWdmDriver = 0x2000;
constexpr unsigned kSubsystemNative = 1;
constexpr unsigned kSubsystemEfiFirst = 10;  // EFI application ... EFI ROM
constexpr unsigned kSubsystemEfiLast = 13;

// IMAGE_FILE_MACHINE_* names (winnt.h; Microsoft's "PE Format" page); any
// other value as 0x and four hex digits.
WideString MachineName(unsigned machine) {
  struct Named {
    unsigned value;
    const char* name;
  };
  static constexpr Named kMachines[] = {
      {0x014C, "x86"}, {0x8664, "x64"},     {0xAA64, "arm64"},   {0x01C0, "arm"},
      {0x01C2, "arm"}, {0x01C4, "arm"},     {0xA641, "arm64ec"}, {0x0200, "ia64"},
      {0x0EBC, "ebc"}, {0x5032, "riscv32"}, {0x5064, "riscv64"}, {0x6264, "loongarch64"},
  };
  for (const Named& named : kMachines)
    if (named.value == machine) return Widen(named.name);
  WideString text = TEXT("0x");
  for (int shift = 12; shift >= 0; shift -= 4)
    text.push_back(TEXT("0123456789abcdef")[(machine >> shift) & 0xF]);
  return text;
}

// What the image is made to be, by its headers: an EFI image by its
// subsystem; a kernel-mode driver: a native image marked a WDM driver or
// named .sys (the native subsystem alone also holds smss.exe and the like);
// then a DLL by IMAGE_FILE_DLL, an exe otherwise. "+.net" when a CLR header
// is named (a .NET assembly).
WideString KindName(WideView path, unsigned characteristics, unsigned subsystem,
                    unsigned dll_characteristics, bool clr) {
  const WideView name = FileName(path);
  const bool sys_name = name.size() > 4 && name[name.size() - 4] == TEXT('.') &&
                        (name[name.size() - 3] | 0x20) == TEXT('s') &&
                        (name[name.size() - 2] | 0x20) == TEXT('y') &&
                        (name[name.size() - 1] | 0x20) == TEXT('s');
  WideString kind = subsystem >= kSubsystemEfiFirst && subsystem <= kSubsystemEfiLast ? TEXT("efi")
                    : subsystem == kSubsystemNative &&
                            ((dll_characteristics & kDllCharacteristicsWdmDriver) != 0 || sys_name)
                        ? TEXT("driver")
                    : (characteristics & kImageFileDll) != 0 ? TEXT("dll")
                                                             : TEXT("exe");
  if (clr) kind += TEXT("+.net");
  return kind;
}

struct ImageShape {
  bool pe = false;
  // The security directory entry names a certificate table (non-zero
  // address and size): the file claims a signature.
  bool claims_signature = false;
  // What was opened: the file the record is about.
  FileIdentity identity;
  // The bytes an image hash reads, at most: the file's size, or the sum of
  // its sections' raw sizes where sections name the same bytes many times.
  unsigned long long hashed_bytes = 0;
  WideString machine;
  WideString kind;
};

// What the file of `entry` is; *problem set when it cannot be opened or
// read, or is no longer what the walk listed (a file too short to be a PE
// image is simply not one). A link in the last component is not followed,
// but for a path named as such.
ImageShape ReadImageShape(const WalkEntry& entry, bool count_hashed, WideString* problem) {
  ImageShape shape;
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  const auto identity = OpenIdentity(entry.path, entry.named, &error, &file);
  if (!identity) {
    *problem = DescribeError(TEXT("cannot read"), error);
    return shape;
  }
  shape.identity = *identity;
  shape.hashed_bytes = identity->size;
  *problem = ChangedProblem(*identity, false, entry);
  BYTE dos[kNewHeaderOffset + 4] = {};
  BYTE nt[kOptionalHeaderOffset + kPe32PlusSecurityEntry + 8] = {};
  if (problem->empty() && ReadAt(file, 0, dos, sizeof dos, &error) && dos[0] == 'M' &&
      dos[1] == 'Z') {
    const DWORD offset = Le32(dos + kNewHeaderOffset);
    shape.pe = offset <= 0x7FFFFFFF && ReadAt(file, offset, nt, 4, &error) && nt[0] == 'P' &&
               nt[1] == 'E' && nt[2] == 0 && nt[3] == 0;
    DWORD ignored = 0;
    if (shape.pe && ReadAt(file, offset, nt, sizeof nt, &ignored)) {
      const DWORD optional_size =
          nt[kSizeOfOptionalHeaderOffset] | (nt[kSizeOfOptionalHeaderOffset + 1] << 8);
      const BYTE* optional = nt + kOptionalHeaderOffset;
      const unsigned magic = optional[0] | (optional[1] << 8);
      const bool plus = magic == 0x20B;
      const DWORD entry_offset = plus ? kPe32PlusSecurityEntry : kPe32SecurityEntry;
      const DWORD count =
          Le32(optional + (plus ? kPe32PlusNumberOfRvaAndSizes : kPe32NumberOfRvaAndSizes));
      shape.claims_signature =
          (magic == 0x10B || plus) && count > 4 && optional_size >= entry_offset + 8 &&
          Le32(optional + entry_offset) != 0 && Le32(optional + entry_offset + 4) != 0;
      const auto le16 = [](const BYTE* p) { return static_cast<unsigned>(p[0] | (p[1] << 8)); };
      const bool has_subsystem = optional_size >= kDllCharacteristicsOffset + 2;
      const DWORD com_offset = plus ? kPe32PlusComEntry : kPe32ComEntry;
      BYTE com[8] = {};
      const bool clr =
          (magic == 0x10B || plus) && count > 14 && optional_size >= com_offset + 8 &&
          ReadAt(file, offset + kOptionalHeaderOffset + com_offset, com, sizeof com, &ignored) &&
          Le32(com) != 0 && Le32(com + 4) != 0;
      shape.machine = MachineName(le16(nt + kMachineOffset));
      shape.kind = KindName(entry.path, le16(nt + kCharacteristicsOffset),
                            has_subsystem ? le16(optional + kSubsystemOffset) : 0,
                            has_subsystem ? le16(optional + kDllCharacteristicsOffset) : 0, clr);
      const DWORD sections = nt[kNumberOfSectionsOffset] | (nt[kNumberOfSectionsOffset + 1] << 8);
      std::vector<BYTE> table(std::size_t{sections} * kSectionHeaderSize);
      if (count_hashed && sections != 0 &&
          ReadAt(file, offset + kOptionalHeaderOffset + optional_size, table.data(),
                 static_cast<DWORD>(table.size()), &ignored)) {
        unsigned long long raw = 0;
        for (std::size_t i = 0; i < sections; ++i)
          raw += std::min<unsigned long long>(
              Le32(&table[i * kSectionHeaderSize + kSizeOfRawDataOffset]), shape.identity.size);
        shape.hashed_bytes = std::max(shape.hashed_bytes, raw);
      }
    }
  }
  if (problem->empty() && error != 0) *problem = DescribeError(TEXT("cannot read"), error);
  CloseHandle(file);
  return shape;
}

// Whether WinVerifyTrust's last error says the file is simply not signed:
// Microsoft's "Example C Program: Verifying the Signature of a PE File"
// takes TRUST_E_NOSIGNATURE with one of these three as "not signed", and
// any other last error as a signature that is not valid.
bool LastErrorMeansNotSigned(DWORD last_error) {
  const auto code = static_cast<HRESULT>(last_error);
  return code == TRUST_E_NOSIGNATURE || code == TRUST_E_SUBJECT_FORM_UNKNOWN ||
         code == TRUST_E_PROVIDER_UNKNOWN;
}

// The verdict on a PE image whose facts were read; *error says why a
// signature that is present could not be read.
Verdict Judge(const ApplicationFacts& facts, bool claims_signature, WideString* error) {
  if (facts.has_publisher) return facts.verified ? Verdict::kVerified : Verdict::kUnverified;
  if (!facts.trust_asked) {
    *error = TEXT("cannot check the signature");
    return Verdict::kError;
  }
  if (facts.trust_status != TRUST_E_NOSIGNATURE) return Verdict::kUnverified;
  const bool not_signed = LastErrorMeansNotSigned(facts.trust_last_error);
  if (not_signed && !claims_signature) return Verdict::kUnsigned;
  *error = TEXT("a certificate table is present but holds no readable signature");
  if (!not_signed) {
    *error += TEXT(" (");
    *error += StatusText(facts.trust_last_error);
    *error += TEXT(")");
  }
  return Verdict::kUnreadable;
}

}  // namespace

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kVerified:
      return "verified";
    case Verdict::kUnverified:
      return "unverified";
    case Verdict::kUnsigned:
      return "unsigned";
    case Verdict::kUnreadable:
      return "unreadable";
    case Verdict::kNotPe:
      return "not-pe";
    case Verdict::kSkipped:
      return "skipped";
    case Verdict::kError:
      break;
  }
  return "error";
}

namespace {

// The hashes of the file of `entry`, when it is still the file `identity`
// describes; false when it cannot be opened or was replaced.
bool HashEntry(const WalkEntry& entry, const FileIdentity& identity, const HashChoice& choice,
               FileHashes& hashes) {
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  if (OpenIdentity(entry.path, entry.named, &error, &file) != identity) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return false;
  }
  hashes = HashFile(file, choice);
  CloseHandle(file);
  return true;
}

}  // namespace

ScanRecord ScanEntry(const WalkEntry& entry, unsigned long long max_bytes,
                     const HashChoice& hashes) {
  ScanRecord record;
  record.path = entry.path;
  if (!entry.problem.empty()) {
    record.error = entry.problem;
    record.verdict = entry.skipped ? Verdict::kSkipped : Verdict::kError;
    return record;
  }
  const ImageShape shape = ReadImageShape(entry, max_bytes != ~0ull, &record.error);
  if (!record.error.empty()) return record;
  if (!shape.pe) {
    record.verdict = Verdict::kNotPe;
    return record;
  }
  if (shape.hashed_bytes > max_bytes) {
    const std::string size = std::to_string(shape.hashed_bytes);
    record.error = TEXT("not examined: ");
    record.error.append(size.begin(), size.end());
    record.error += TEXT(" bytes to hash, more than --max-bytes");
    return record;
  }
  record.machine = shape.machine;
  record.kind = shape.kind;
  ReadApplicationFacts(entry.path.c_str(), true, record.facts);
  // The reads above open the file by its path again: it must still be the
  // file that was checked, or what they read may come from elsewhere.
  DWORD error = 0;
  if (!HashEntry(entry, shape.identity, hashes, record.hashes) ||
      OpenIdentity(entry.path, entry.named, &error) != shape.identity) {
    record.facts = ApplicationFacts{};
    record.hashes = FileHashes{};
    record.error = TEXT("changed during the scan: replaced while read");
    return record;
  }
  record.verdict = Judge(record.facts, shape.claims_signature, &record.error);
  return record;
}

std::vector<std::string> ColumnNames() {
  std::vector<std::string> names;
  for (const Column& column : Columns()) names.push_back(DisplayText(column.name));
  return names;
}

std::string DisplayText(WideView text) {
  std::string out;
  AppendText(out, text, TextForm::kCsv);
  return out;
}

std::string FormatHeader(const FormatOptions& options) {
  if (options.format != OutputFormat::kCsv) return {};
  std::string line;
  for (const Column& column : Columns()) {
    if (&column != &Columns().front()) line.push_back(',');
    AppendCsvField(line, column.name, options);
  }
  return line + "\r\n";
}

std::string FormatRecord(const FormatOptions& options, const ScanRecord& record) {
  std::string line;
  if (options.format == OutputFormat::kCsv) {
    for (const Column& column : Columns()) {
      if (&column != &Columns().front()) line.push_back(',');
      AppendCsvField(line, column.value(record), options);
    }
    return line + "\r\n";
  }
  for (const Column& column : Columns()) {
    line.push_back(line.empty() ? '{' : ',');
    line.push_back('"');
    AppendText(line, column.name, TextForm::kJson);
    line += "\":\"";
    AppendText(line, column.value(record), TextForm::kJson);
    line.push_back('"');
  }
  return line + "}\n";
}

#include "root_program.h"

#include <openssl/objects.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "bundle_index.h"
#include "ctl.h"
#include "signed_data.h"
#include "text.h"
#include "verification.h"

namespace exelore_posix::authenticode {
namespace {

// The list as Microsoft signed it and the roots it names, compiled in
// (platform/posix/CMakeLists.txt generates both from root_program/).
constexpr std::uint8_t kAuthRootStl[] = {
#include "root_program_stl.inc"
};
constexpr char kProgramRoots[] =
#include "root_program_roots.inc"
    ;
#include "root_program_index.inc"
constexpr std::array<std::uint8_t, 20> kWindowsRoots[] = {
#include "root_program_windows_roots.inc"
};

// SHA-1 of Microsoft Root Certificate Authority 2010, the root under which
// Microsoft signs the list ("Microsoft Certificate List CA 2024", then
// "Microsoft Certificate Trust List Publisher"); roots.pem names it.
constexpr std::array<std::uint8_t, 20> kListRootSha1 = {0x3b, 0x1e, 0xfd, 0x3a, 0x66, 0xea, 0x28,
                                                        0xb1, 0x66, 0x97, 0x39, 0x47, 0x03, 0xa7,
                                                        0x2c, 0xa3, 0x40, 0xa0, 0x5b, 0xd5};

// Seconds from 1601-01-01 (FILETIME's epoch) to 1970-01-01.
constexpr std::int64_t kFiletimeEpochOffset = 11644473600;
constexpr std::uint64_t kFiletimeTicksPerSecond = 10000000;

// The CERT_*_PROP_ID values read here (Microsoft's
// CertGetCertificateContextProperty page; the attribute of a CTL entry that
// sets property N is szOID_CERT_PROP_ID_PREFIX "1.3.6.1.4.1.311.10.11." N,
// wincrypt.h).
constexpr std::string_view kPropIdPrefix = "1.3.6.1.4.1.311.10.11.";
enum PropId : int {
  kEnhkeyUsage = 9,
  kFriendlyName = 11,
  kDisallowedFiletime = 104,
  kDisallowedEnhkeyUsage = 122,
  kNotBeforeFiletime = 126,
  kNotBeforeEnhkeyUsage = 127,
};

const ASN1_OBJECT* CtlOid() {
  static const ASN1_OBJECT* const oid = OBJ_txt2obj("1.3.6.1.4.1.311.10.1", 1);
  return oid;
}
// szOID_ROOT_LIST_SIGNER: the subject usage of a root list, and the usage
// its signer's certificates name.
const ASN1_OBJECT* RootListSigner() {
  static const ASN1_OBJECT* const oid = OBJ_txt2obj("1.3.6.1.4.1.311.10.3.9", 1);
  return oid;
}

std::string Dotted(const ASN1_OBJECT* oid) {
  // A list names a few dozen identifiers thousands of times, and
  // OBJ_obj2txt is slow: each spelling is kept, by the identifier's bytes.
  thread_local std::map<std::string, std::string> spelled;
  const std::string key(reinterpret_cast<const char*>(OBJ_get0_data(oid)), OBJ_length(oid));
  if (const auto it = spelled.find(key); it != spelled.end()) return it->second;
  char text[128];
  const int n = OBJ_obj2txt(text, sizeof text, oid, 1);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof text) return {};
  return spelled.emplace(key, std::string(text, static_cast<std::size_t>(n))).first->second;
}

// The property number N of an attribute 1.3.6.1.4.1.311.10.11.N; -1 for
// any other attribute.
int PropertyOf(const ASN1_OBJECT* oid) {
  const std::string dotted = Dotted(oid);
  if (!dotted.starts_with(kPropIdPrefix)) return -1;
  const std::string_view digits = std::string_view(dotted).substr(kPropIdPrefix.size());
  int n = -1;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  return error == std::errc() && end == digits.data() + digits.size() ? n : -1;
}

// A CERT_ENHKEY_USAGE property: the DER of a SEQUENCE OF OBJECT IDENTIFIER
// (X509_ENHANCED_KEY_USAGE), filling the value. The real list never holds an
// empty one, and an empty one cannot be told from "no list" here: refused.
bool ReadUsages(std::span<const std::uint8_t> value, std::vector<std::string>* out) {
  const unsigned char* p = value.data();
  ossl::UsagesPtr usages(d2i_EXTENDED_KEY_USAGE(nullptr, &p, static_cast<long>(value.size())));
  if (!usages || p != value.data() + value.size() || sk_ASN1_OBJECT_num(usages.get()) == 0) {
    return false;
  }
  for (int i = 0; i < sk_ASN1_OBJECT_num(usages.get()); ++i) {
    std::string dotted = Dotted(sk_ASN1_OBJECT_value(usages.get(), i));
    if (dotted.empty()) return false;
    out->push_back(std::move(dotted));
  }
  return true;
}

// A FILETIME property: 8 bytes, little-endian 100-ns ticks since 1601, into
// *out. An empty value sets no date: the list of 2026-04-22 holds eight
// (the disable date of the VeriSign and thawte roots 4eb6d578... and
// 91c6d6ee..., the NotBefore date of A-Trust-Root-07 and five others),
// which the roots.pem comments and ralphje/signify's
// CertificateTrustSubject (_filetime_to_datetime) read as no date, and a
// FILETIME shorter than its 8 bytes is no time at all.
bool ReadFiletime(std::span<const std::uint8_t> value, std::optional<std::time_t>* out) {
  if (value.empty()) return true;
  if (value.size() != 8) return false;
  std::uint64_t ticks = 0;
  for (std::size_t i = 0; i < 8; ++i) ticks |= std::uint64_t{value[i]} << (8 * i);
  *out = static_cast<std::time_t>(static_cast<std::int64_t>(ticks / kFiletimeTicksPerSecond) -
                                  kFiletimeEpochOffset);
  return true;
}

// CERT_FRIENDLY_NAME_PROP_ID: UTF-16LE ending in a zero unit.
bool ReadFriendlyName(std::span<const std::uint8_t> value, std::string* out) {
  if (value.size() % 2 != 0) return false;
  std::u16string text;
  for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
    text.push_back(static_cast<char16_t>(value[i] | (value[i + 1] << 8)));
  }
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  *out = Utf16ToUtf8(text);
  return true;
}

// The entry of one TrustedSubject; nullopt when its identifier is not a
// SHA-1 or a property read here is repeated, has other than one value, or
// does not decode.
std::optional<RootProgramEntry> ReadEntry(const CatTrustedSubject* subject) {
  RootProgramEntry entry;
  const ASN1_OCTET_STRING* id = subject->identifier;
  if (id->length != static_cast<int>(entry.sha1.size())) return std::nullopt;
  std::memcpy(entry.sha1.data(), id->data, entry.sha1.size());
  std::vector<int> seen;
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(subject->attributes); ++i) {
    X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(subject->attributes, i);
    const int property = PropertyOf(X509_ATTRIBUTE_get0_object(attribute));
    switch (property) {
      case kEnhkeyUsage:
      case kFriendlyName:
      case kDisallowedFiletime:
      case kDisallowedEnhkeyUsage:
      case kNotBeforeFiletime:
      case kNotBeforeEnhkeyUsage:
        break;
      default:
        continue;  // properties the chain does not consult (key identifier, hashes, policies)
    }
    if (std::find(seen.begin(), seen.end(), property) != seen.end()) return std::nullopt;
    seen.push_back(property);
    const ASN1_TYPE* type = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (X509_ATTRIBUTE_count(attribute) != 1 || type == nullptr ||
        type->type != V_ASN1_OCTET_STRING) {
      return std::nullopt;
    }
    const std::span<const std::uint8_t> value(
        type->value.octet_string->data, static_cast<std::size_t>(type->value.octet_string->length));
    if (!ReadRootProperty(property, value, &entry)) return std::nullopt;
  }
  return entry;
}

// The list's signature, as Windows checks the root list it downloads before
// it takes any entry: the signer's signature over the CTL (digested as a
// catalog's content is, SignedContentOctets), and a chain to Microsoft
// Root Certificate Authority 2010 valid at the list's thisUpdate (the
// publisher's certificate lives about a year, and a list stays good for as
// long as it is the newest). Below the root every certificate must list
// szOID_ROOT_LIST_SIGNER ("Signer of a CTL containing trusted roots",
// wincrypt.h): Microsoft's publisher and its CA both do, and a certificate
// Microsoft issued for any other purpose must not sign the root list.
bool SignatureVerifies(PKCS7* p7, std::time_t this_update) {
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) < 1) return false;
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
  const auto content = SignedContentOctets(p7);
  X509* signer = FindSignerCertificate(p7->d.sign->cert, si->issuer_and_serial);
  if (!content || signer == nullptr ||
      VerifySignerSignature(p7, si, signer, *content, CtlOid()) != S_OK) {
    return false;
  }
  X509* root = ProgramRootBySha1(CurrentRootProgramSource().list_root);
  ossl::StorePtr store(X509_STORE_new());
  if (root == nullptr || !store || X509_STORE_add_cert(store.get(), root) != 1) return false;
  ossl::StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), signer, p7->d.sign->cert) != 1) {
    return false;
  }
  X509_STORE_CTX_set_time(ctx.get(), 0, this_update);
  if (X509_verify_cert(ctx.get()) != 1) return false;
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
  const int n = sk_X509_num(chain);
  if (n < 2 || X509_cmp(sk_X509_value(chain, n - 1), root) != 0) return false;
  for (int i = 0; i + 1 < n; ++i) {
    if (!ListsUsage(sk_X509_value(chain, i), RootListSigner())) return false;
  }
  return true;
}

// The program's certificates, indexed once per source and never freed, so
// that the certificates handed out stay valid for the process.
struct ProgramRoots {
  explicit ProgramRoots(const RootProgramSource& source)
      : index(source.roots_index.empty()
                  ? BundleIndex::FromText(source.roots_pem)
                  : BundleIndex::FromPrebuilt(source.roots_pem, source.roots_index)) {}
  std::mutex mutex;
  BundleIndex index;
};
ProgramRoots& Roots() {
  static std::mutex mutex;
  static auto* const all = new std::map<const char*, std::unique_ptr<ProgramRoots>>;
  const RootProgramSource source = CurrentRootProgramSource();
  std::lock_guard lock(mutex);
  auto& roots = (*all)[source.roots_pem.data()];
  if (!roots) roots = std::make_unique<ProgramRoots>(source);
  return *roots;
}

}  // namespace

bool ReadRootProperty(int id, std::span<const std::uint8_t> value, RootProgramEntry* entry) {
  switch (id) {
    case kEnhkeyUsage:
      return entry->usages.empty() && ReadUsages(value, &entry->usages);
    case kDisallowedEnhkeyUsage:
      return entry->disallowed_usages.empty() && ReadUsages(value, &entry->disallowed_usages);
    case kNotBeforeEnhkeyUsage:
      return entry->not_before_usages.empty() && ReadUsages(value, &entry->not_before_usages);
    case kDisallowedFiletime:
      return ReadFiletime(value, &entry->disabled_at);
    case kNotBeforeFiletime:
      return ReadFiletime(value, &entry->not_before);
    case kFriendlyName:
      return ReadFriendlyName(value, &entry->friendly_name);
    default:
      return true;
  }
}

std::optional<RootProgramList> RootProgramList::Parse(std::span<const std::uint8_t> stl_der,
                                                      bool check_signature) {
  if (stl_der.empty() || stl_der.size() > kMaxSignedFileSize) return std::nullopt;
  std::size_t used = 0;
  const ossl::Pkcs7Ptr p7 = DecodeSignedData(stl_der, kMaxSignedFileSize, &used);
  if (!p7 || used != stl_der.size()) return std::nullopt;
  PKCS7* content = p7->d.sign->contents;
  if (content == nullptr || OBJ_cmp(content->type, CtlOid()) != 0 ||
      !PKCS7_type_is_other(content) || content->d.other == nullptr ||
      content->d.other->type != V_ASN1_SEQUENCE) {
    return std::nullopt;
  }
  const ASN1_STRING* ctl_der = content->d.other->value.sequence;
  const unsigned char* p = ctl_der->data;
  const TrustListPtr ctl(reinterpret_cast<CatTrustList*>(
      ASN1_item_d2i(nullptr, &p, ctl_der->length, ASN1_ITEM_rptr(CatTrustList))));
  if (!ctl || p != ctl_der->data + ctl_der->length) return std::nullopt;

  bool root_list = false;
  for (int i = 0; i < sk_ASN1_OBJECT_num(ctl->usage); ++i) {
    if (OBJ_cmp(sk_ASN1_OBJECT_value(ctl->usage, i), RootListSigner()) == 0) root_list = true;
  }
  const auto this_update = ToTimeT(ctl->this_update);
  if (!root_list || OBJ_obj2nid(ctl->algorithm->algorithm) != NID_sha1 || !this_update) {
    return std::nullopt;
  }
  RootProgramList list;
  list.this_update_ = *this_update;
  if (ctl->subjects != nullptr) {
    const std::span<const std::uint8_t> whole(ctl->subjects->data,
                                              static_cast<std::size_t>(ctl->subjects->length));
    const auto contents = DerContents(whole);
    const auto subjects = DerChildren(whole);
    if (!contents || !subjects) return std::nullopt;
    list.subjects_.assign(contents->begin(), contents->end());
    list.slots_.reserve(subjects->size());
    for (const auto der : *subjects) {
      // TrustedSubject ::= SEQUENCE { subjectIdentifier OCTET STRING, ... }
      constexpr std::uint8_t kOctetString = 0x04;
      const auto fields = DerChildren(der);
      if (!fields || fields->empty() || fields->front()[0] != kOctetString) return std::nullopt;
      const auto id = DerContents(fields->front());
      Slot slot;
      if (!id || id->size() != slot.sha1.size()) return std::nullopt;
      std::copy(id->begin(), id->end(), slot.sha1.begin());
      slot.at = static_cast<std::size_t>(der.data() - contents->data());
      slot.length = der.size();
      list.slots_.push_back(std::move(slot));
    }
  }
  std::sort(list.slots_.begin(), list.slots_.end(),
            [](const Slot& a, const Slot& b) { return a.sha1 < b.sha1; });
  // A root listed twice has no one set of properties.
  if (std::adjacent_find(list.slots_.begin(), list.slots_.end(), [](const Slot& a, const Slot& b) {
        return a.sha1 == b.sha1;
      }) != list.slots_.end()) {
    return std::nullopt;
  }
  if (check_signature) {
    for (const Slot& slot : list.slots_) {
      if (list.Decode(slot) == nullptr) return std::nullopt;
    }
    if (!SignatureVerifies(p7.get(), list.this_update_)) return std::nullopt;
  }
  ERR_clear_error();
  return list;
}

const RootProgramEntry* RootProgramList::Decode(const Slot& slot) const {
  std::lock_guard lock(*mutex_);
  if (!slot.decoded) {
    slot.decoded = true;
    const unsigned char* p = subjects_.data() + slot.at;
    const TrustedSubjectPtr subject(reinterpret_cast<CatTrustedSubject*>(ASN1_item_d2i(
        nullptr, &p, static_cast<long>(slot.length), ASN1_ITEM_rptr(CatTrustedSubject))));
    if (subject && p == subjects_.data() + slot.at + slot.length) {
      if (auto entry = ReadEntry(subject.get())) {
        slot.entry = std::make_unique<RootProgramEntry>(std::move(*entry));
      }
    }
    ERR_clear_error();
  }
  return slot.entry.get();
}

const RootProgramEntry* RootProgramList::Find(std::span<const std::uint8_t> sha1) const {
  if (sha1.size() != 20) return nullptr;
  std::array<std::uint8_t, 20> key{};
  std::copy(sha1.begin(), sha1.end(), key.begin());
  const auto it = std::lower_bound(slots_.begin(), slots_.end(), key,
                                   [](const Slot& a, const auto& k) { return a.sha1 < k; });
  return it != slots_.end() && it->sha1 == key ? Decode(*it) : nullptr;
}

const RootProgramList& BuiltInRootProgram() {
  static std::mutex mutex;
  static auto* const all = new std::map<const std::uint8_t*, std::unique_ptr<RootProgramList>>;
  const std::span<const std::uint8_t> bytes = CurrentRootProgramSource().list;
  std::lock_guard lock(mutex);
  auto& list = (*all)[bytes.data()];
  if (!list) {
    list = std::make_unique<RootProgramList>(
        RootProgramList::Parse(bytes, false).value_or(RootProgramList{}));
  }
  return *list;
}

RootProgramSource CompiledInRootProgramSource() {
  return {kAuthRootStl, kProgramRoots, kProgramRootsIndex, kWindowsRoots, kListRootSha1};
}

std::span<const std::uint8_t> BuiltInRootProgramBytes() { return kAuthRootStl; }

std::vector<X509*> ProgramRootsBySubject(const X509_NAME* name) {
  ProgramRoots& roots = Roots();
  std::lock_guard lock(roots.mutex);
  std::vector<X509*> found = roots.index.FindBySubject(name);
  ERR_clear_error();
  return found;
}

X509* ProgramRootBySha1(std::span<const std::uint8_t> sha1) {
  ProgramRoots& roots = Roots();
  std::lock_guard lock(roots.mutex);
  X509* found = roots.index.FindBySha1(sha1);
  ERR_clear_error();
  return found;
}

bool InWindowsRootStore(std::span<const std::uint8_t> sha1) {
  const auto roots = CurrentRootProgramSource().windows_roots;
  return std::any_of(roots.begin(), roots.end(), [&](const std::array<std::uint8_t, 20>& root) {
    return std::equal(root.begin(), root.end(), sha1.begin(), sha1.end());
  });
}

}  // namespace exelore_posix::authenticode

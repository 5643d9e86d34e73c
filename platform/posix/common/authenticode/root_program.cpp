// Decoding a root program list (authroot.stl) into its entries, at run time
// for a list a volume holds and at build time for the compiled-in one
// (tabulate_root_program.cpp); the compiled-in list, its roots and the
// list signature check are in root_program_builtin.cpp.
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

namespace {

// The CTL of a root program list's message: content of type szOID_CTL, for
// szOID_ROOT_LIST_SIGNER, of SHA-1 subjects, with a thisUpdate. Null
// otherwise.
TrustListPtr DecodeRootTrustList(PKCS7* p7) {
  PKCS7* content = p7->d.sign->contents;
  if (content == nullptr || OBJ_cmp(content->type, TrustListOid()) != 0 ||
      !PKCS7_type_is_other(content) || content->d.other == nullptr ||
      content->d.other->type != V_ASN1_SEQUENCE) {
    return nullptr;
  }
  const ASN1_STRING* ctl_der = content->d.other->value.sequence;
  const unsigned char* p = ctl_der->data;
  TrustListPtr ctl(reinterpret_cast<CatTrustList*>(
      ASN1_item_d2i(nullptr, &p, ctl_der->length, ASN1_ITEM_rptr(CatTrustList))));
  if (!ctl || p != ctl_der->data + ctl_der->length) return nullptr;
  bool root_list = false;
  for (int i = 0; i < sk_ASN1_OBJECT_num(ctl->usage); ++i) {
    if (OBJ_cmp(sk_ASN1_OBJECT_value(ctl->usage, i), RootListSignerOid()) == 0) root_list = true;
  }
  if (!root_list || OBJ_obj2nid(ctl->algorithm->algorithm) != NID_sha1 ||
      !ToTimeT(ctl->this_update)) {
    return nullptr;
  }
  return ctl;
}

}  // namespace

bool RootProgramList::ReadSubjects(std::span<const std::uint8_t> subjects) {
  const auto whole = der::ElementAt(subjects);
  const auto entries = whole ? der::ElementsOf(whole->contents) : std::nullopt;
  if (!entries) return false;
  subjects_.assign(whole->contents.begin(), whole->contents.end());
  slots_.reserve(entries->size());
  for (const der::Element& entry : *entries) {
    // TrustedSubject ::= SEQUENCE { subjectIdentifier OCTET STRING, ... }
    const auto fields = der::ElementsOf(entry.contents);
    if (!fields || fields->empty() || !fields->front().Is(der::kOctetString)) return false;
    const auto id = fields->front().contents;
    Slot slot;
    if (id.size() != slot.sha1.size()) return false;
    std::copy(id.begin(), id.end(), slot.sha1.begin());
    slot.at = static_cast<std::size_t>(entry.whole.data() - whole->contents.data());
    slot.length = entry.whole.size();
    slots_.push_back(std::move(slot));
  }
  std::sort(slots_.begin(), slots_.end(),
            [](const Slot& a, const Slot& b) { return a.sha1 < b.sha1; });
  // A root listed twice has no one set of properties.
  return std::adjacent_find(slots_.begin(), slots_.end(), [](const Slot& a, const Slot& b) {
           return a.sha1 == b.sha1;
         }) == slots_.end();
}

std::optional<RootProgramList> RootProgramList::Decode(std::span<const std::uint8_t> stl_der,
                                                       bool decode_every_entry,
                                                       ossl::Pkcs7Ptr* message) {
  if (stl_der.empty() || stl_der.size() > kMaxSignedFileSize) return std::nullopt;
  std::size_t used = 0;
  ossl::Pkcs7Ptr p7 = DecodeSignedData(stl_der, kMaxSignedFileSize, &used);
  if (!p7 || used != stl_der.size()) return std::nullopt;
  const TrustListPtr ctl = DecodeRootTrustList(p7.get());
  if (!ctl) return std::nullopt;
  RootProgramList list;
  list.this_update_ = *ToTimeT(ctl->this_update);
  if (ctl->subjects != nullptr &&
      !list.ReadSubjects(std::span<const std::uint8_t>(
          ctl->subjects->data, static_cast<std::size_t>(ctl->subjects->length)))) {
    return std::nullopt;
  }
  if (decode_every_entry) {
    for (const Slot& slot : list.slots_) {
      if (list.EntryOf(slot) == nullptr) return std::nullopt;
    }
  }
  ERR_clear_error();
  if (message != nullptr) *message = std::move(p7);
  return list;
}

RootProgramList RootProgramList::FromTable(std::time_t this_update,
                                           std::span<const Prebuilt> entries) {
  RootProgramList list;
  list.this_update_ = this_update;
  list.slots_.resize(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    list.slots_[i].sha1 = entries[i].sha1;
    list.slots_[i].prebuilt = &entries[i];
  }
  return list;
}

const RootProgramEntry* RootProgramList::EntryOf(const Slot& slot) const {
  std::lock_guard lock(*mutex_);
  if (slot.decoded) return slot.entry.get();
  slot.decoded = true;
  if (const Prebuilt* p = slot.prebuilt; p != nullptr) {
    if (p->decodes) {
      const auto strings = [](std::span<const std::string_view> views) {
        return std::vector<std::string>(views.begin(), views.end());
      };
      slot.entry = std::make_unique<RootProgramEntry>(RootProgramEntry{
          p->sha1, strings(p->usages), p->disabled_at, strings(p->disallowed_usages), p->not_before,
          strings(p->not_before_usages), std::string(p->friendly_name)});
    }
    return slot.entry.get();
  }
  const unsigned char* at = subjects_.data() + slot.at;
  const TrustedSubjectPtr subject(reinterpret_cast<CatTrustedSubject*>(ASN1_item_d2i(
      nullptr, &at, static_cast<long>(slot.length), ASN1_ITEM_rptr(CatTrustedSubject))));
  if (subject && at == subjects_.data() + slot.at + slot.length) {
    if (auto entry = ReadEntry(subject.get())) {
      slot.entry = std::make_unique<RootProgramEntry>(std::move(*entry));
    }
  }
  ERR_clear_error();
  return slot.entry.get();
}

const RootProgramEntry* RootProgramList::Find(std::span<const std::uint8_t> sha1) const {
  if (sha1.size() != 20) return nullptr;
  std::array<std::uint8_t, 20> key{};
  std::copy(sha1.begin(), sha1.end(), key.begin());
  const auto it = std::lower_bound(slots_.begin(), slots_.end(), key,
                                   [](const Slot& a, const auto& k) { return a.sha1 < k; });
  return it != slots_.end() && it->sha1 == key ? EntryOf(*it) : nullptr;
}

}  // namespace exelore_posix::authenticode

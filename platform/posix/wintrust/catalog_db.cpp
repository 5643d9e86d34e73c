#include "catalog_db.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/asn1t.h>
#include <openssl/objects.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "authenticode/authenticode.h"
#include "authenticode/ctl.h"
#include "der.h"
#include "digest.h"
#include "pe.h"
#include "text.h"

namespace exelore_posix::catalog {

// The catalog's CTL, decoded with the templates of authenticode/ctl.h. The
// SPC_INDIRECT_DATA attribute of an entry holds an Authenticode
// SpcIndirectDataContent, decoded by authenticode::DecodeIndirectData.
using authenticode::CatTrustedSubject;
using authenticode::CatTrustedSubject_it;
using authenticode::CatTrustList;
using authenticode::CatTrustList_it;
using authenticode::TrustedSubjectPtr;
using authenticode::TrustListPtr;

namespace {

// Object identifiers, decoded once.
const ASN1_OBJECT* Oid(const char* dotted) { return OBJ_txt2obj(dotted, 1); }
const ASN1_OBJECT* CtlOid() {
  static const ASN1_OBJECT* const oid = Oid("1.3.6.1.4.1.311.10.1");
  return oid;
}
const ASN1_OBJECT* CatalogListOid() {
  static const ASN1_OBJECT* const oid = Oid("1.3.6.1.4.1.311.12.1.1");
  return oid;
}
const ASN1_OBJECT* CatalogMemberOid() {
  static const ASN1_OBJECT* const oid = Oid("1.3.6.1.4.1.311.12.1.2");
  return oid;
}
const ASN1_OBJECT* CatalogMember2Oid() {
  static const ASN1_OBJECT* const oid = Oid("1.3.6.1.4.1.311.12.1.3");
  return oid;
}

bool SameOid(const ASN1_OBJECT* a, const ASN1_OBJECT* b) {
  return a != nullptr && b != nullptr && OBJ_cmp(a, b) == 0;
}

// The length of a SHA-1 hash: a bare member-v2 entry's identifier.
constexpr std::size_t kCompatHashSize = 20;

Member ReadMember(const CatTrustedSubject* subject, bool hash_identifiers) {
  Member member;
  const ASN1_OCTET_STRING* id = subject->identifier;
  member.tag.assign(id->data, id->data + id->length);
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(subject->attributes); ++i) {
    X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(subject->attributes, i);
    if (!SameOid(X509_ATTRIBUTE_get0_object(attribute), authenticode::SpcIndirectDataOid()))
      continue;
    const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (value == nullptr || value->type != V_ASN1_SEQUENCE) continue;
    const ASN1_STRING* der = value->value.sequence;
    auto indirect = authenticode::DecodeIndirectData(
        std::span<const std::uint8_t>(der->data, static_cast<std::size_t>(der->length)));
    if (!indirect) continue;
    member.md = indirect->md;
    member.digest = std::move(indirect->digest);
    member.has_indirect_data = true;
    break;  // the first SPC_INDIRECT_DATA attribute is the entry's
  }
  if (hash_identifiers && !member.has_indirect_data && member.tag.size() == kCompatHashSize) {
    member.md = EVP_sha1();
    member.digest = member.tag;
    member.compat_sha1 = true;
  }
  return member;
}

enum class Step { kNext, kStop, kDamaged };

// Walks the TrustedSubjects of `entries` (an encoded SEQUENCE OF, or nothing)
// in order, handing `visit` the encoding of each until it answers other than
// kNext, and checks that every entry, to the end of the list, is a whole
// tag-length-value inside it: kDamaged where one is not; otherwise the
// answer that ended the visits, kNext after the last. Each step moves past
// at least a tag and a length, so the walk ends.
Step WalkSubjects(std::span<const std::uint8_t> entries,
                  const std::function<Step(std::span<const std::uint8_t>)>& visit) {
  if (entries.empty()) return Step::kNext;
  const auto list = der::ElementAt(entries);
  if (!list) return Step::kDamaged;
  der::Cursor subjects(list->contents);
  Step answer = Step::kNext;
  while (const auto subject = subjects.NextAny()) {
    // Entries lie some hundred bytes apart, and a large catalog is tens of
    // MiB: asked for ahead, the next pages are there when the walk arrives.
    __builtin_prefetch(subject->whole.data() + 4096);
    if (answer == Step::kNext) answer = visit(subject->whole);
    if (answer == Step::kDamaged) return answer;
  }
  return subjects.AtEnd() ? answer : Step::kDamaged;
}

// Decodes one TrustedSubject filling `der`, or null.
TrustedSubjectPtr DecodeSubject(std::span<const std::uint8_t> der) {
  const unsigned char* p = der.data();
  TrustedSubjectPtr subject(reinterpret_cast<CatTrustedSubject*>(ASN1_item_d2i(
      nullptr, &p, static_cast<long>(der.size()), ASN1_ITEM_rptr(CatTrustedSubject))));
  if (!subject || p != der.data() + der.size()) return nullptr;
  return subject;
}

// The identifier of an encoded TrustedSubject when it is a primitive OCTET
// STRING, as DER writes it, without decoding the entry; nullopt otherwise.
std::optional<std::span<const std::uint8_t>> RawIdentifier(std::span<const std::uint8_t> der) {
  const auto subject = der::ElementAt(der);
  if (!subject) return std::nullopt;
  const auto identifier = der::Cursor(subject->contents).Next(der::kOctetString);
  if (!identifier) return std::nullopt;
  return identifier->contents;
}

// The hexadecimal digits of `bytes`, in lower case.
std::u16string HexText(std::span<const std::uint8_t> bytes) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  std::u16string text;
  text.reserve(2 * bytes.size());
  for (const std::uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0xF]);
  }
  return text;
}

bool TagMatchesHash(std::span<const std::uint8_t> stored, std::u16string_view tag) {
  if (tag.size() != 2 * stored.size()) return false;
  const std::u16string text = HexText(stored);
  for (std::size_t i = 0; i < tag.size(); ++i) {
    if (text[i] != AsciiLower(tag[i])) return false;
  }
  return true;
}

bool TagMatchesText(std::span<const std::uint8_t> stored, std::u16string_view tag) {
  if (stored.size() % 2 != 0) return false;
  std::size_t units = stored.size() / 2;
  const auto unit = [&](std::size_t i) {
    return static_cast<char16_t>(stored[2 * i] | (stored[2 * i + 1] << 8));
  };
  while (units > 0 && unit(units - 1) == 0) --units;  // Windows stores the terminating zero
  if (units != tag.size()) return false;
  for (std::size_t i = 0; i < units; ++i) {
    if (AsciiLower(unit(i)) != AsciiLower(tag[i])) return false;
  }
  return true;
}

}  // namespace

bool Catalog::ForEachMember(const std::function<bool(const Member&)>& visit) const {
  // A list whose framing breaks anywhere holds no member, as the searches
  // find none in it: the framing is checked to the end before any visit.
  if (WalkSubjects(entries, [](std::span<const std::uint8_t>) { return Step::kNext; }) ==
      Step::kDamaged) {
    return false;
  }
  return WalkSubjects(entries, [&](std::span<const std::uint8_t> der) {
           const TrustedSubjectPtr subject = DecodeSubject(der);
           if (!subject) return Step::kDamaged;
           return visit(ReadMember(subject.get(), hash_identifiers)) ? Step::kStop : Step::kNext;
         }) == Step::kStop;
}

// Both searches skip, before decoding it, an entry that cannot match: one
// whose bytes lack the digest, or whose identifier is not the tag. A large
// catalog so costs one decode for the entry found.
std::optional<Member> Catalog::FindByDigest(std::span<const std::uint8_t> hash) const {
  std::optional<Member> found;
  if (hash.empty()) return found;
  // The first occurrence of the hash's bytes at or after the entry walked:
  // entries before it are passed over unread, so the list is searched once.
  const std::uint8_t* const end = entries.data() + entries.size();
  const std::uint8_t* next = entries.data();
  const auto search_from = [&](const std::uint8_t* from) {
    next = static_cast<const std::uint8_t*>(
        ::memmem(from, static_cast<std::size_t>(end - from), hash.data(), hash.size()));
  };
  search_from(next);
  const Step step = WalkSubjects(entries, [&](std::span<const std::uint8_t> der) {
    const std::uint8_t* const der_end = der.data() + der.size();
    if (next != nullptr && next < der.data()) search_from(der.data());
    if (next == nullptr || next + hash.size() > der_end) return Step::kNext;
    const TrustedSubjectPtr subject = DecodeSubject(der);
    if (!subject) return Step::kNext;
    Member m = ReadMember(subject.get(), hash_identifiers);
    if (!m.Lists() || !SameDigest(hash, m.digest)) return Step::kNext;
    found = std::move(m);
    return Step::kStop;
  });
  if (step != Step::kStop) found.reset();
  return found;
}

std::optional<Member> Catalog::FindByTag(std::u16string_view tag) const {
  std::optional<Member> found;
  if (tag.empty()) return found;
  const Step step = WalkSubjects(entries, [&](std::span<const std::uint8_t> der) {
    const auto raw = RawIdentifier(der);
    if (raw && !IdentifierNames(*raw, tag, hash_identifiers)) return Step::kNext;
    const TrustedSubjectPtr subject = DecodeSubject(der);
    if (!subject) return Step::kDamaged;
    Member m = ReadMember(subject.get(), hash_identifiers);
    if (!IdentifierNames(m.tag, tag, hash_identifiers)) return Step::kNext;
    found = std::move(m);
    return Step::kStop;
  });
  if (step != Step::kStop) found.reset();
  return found;
}

bool ForEachEntry(std::span<const std::uint8_t> entries,
                  const std::function<bool(std::span<const std::uint8_t>)>& visit) {
  return WalkSubjects(entries, [&](std::span<const std::uint8_t> der) {
           return visit(der) ? Step::kNext : Step::kStop;
         }) != Step::kDamaged;
}

std::optional<Member> DecodeMember(std::span<const std::uint8_t> entry, bool hash_identifiers) {
  const TrustedSubjectPtr subject = DecodeSubject(entry);
  if (!subject) return std::nullopt;
  return ReadMember(subject.get(), hash_identifiers);
}

std::optional<std::span<const std::uint8_t>> EntryIdentifier(std::span<const std::uint8_t> entry) {
  return RawIdentifier(entry);
}

bool IdentifierNames(std::span<const std::uint8_t> identifier, std::u16string_view tag,
                     bool hash_identifiers) {
  return hash_identifiers ? TagMatchesHash(identifier, tag) : TagMatchesText(identifier, tag);
}

bool FoldIdentifier(std::span<const std::uint8_t> identifier, bool hash_identifiers,
                    std::u16string* text) {
  if (hash_identifiers) {
    *text = HexText(identifier);
    return true;
  }
  text->clear();
  if (identifier.size() % 2 != 0) return false;
  for (std::size_t i = 0; i + 1 < identifier.size(); i += 2) {
    text->push_back(AsciiLower(static_cast<char16_t>(identifier[i] | (identifier[i + 1] << 8))));
  }
  while (!text->empty() && text->back() == 0) text->pop_back();
  return true;
}

std::u16string FoldTag(std::u16string_view tag) {
  std::u16string text(tag);
  for (char16_t& c : text) c = AsciiLower(c);
  return text;
}

namespace {

// The children of `parent` when it has exactly `N`, each a whole element.
template <std::size_t N>
std::optional<std::array<der::Element, N>> ExactChildren(const der::Element& parent) {
  der::Cursor children(parent.contents);
  std::array<der::Element, N> out;
  for (auto& child : out) {
    const auto next = children.NextAny();
    if (!next) return std::nullopt;
    child = *next;
  }
  if (!children.AtEnd()) return std::nullopt;
  return out;
}

// The first value of the entry's one SPC_INDIRECT_DATA attribute among
// `attributes` (a SET OF Attribute), *value null when it has none or the
// attribute no value; false where the set is irregular.
bool IndirectDataValue(const der::Element& attributes, std::optional<der::Element>* value) {
  // The contents octets of SPC_INDIRECT_DATA_OBJID, 1.3.6.1.4.1.311.2.1.4.
  static constexpr std::uint8_t kSpcIndirectData[] = {0x2B, 0x06, 0x01, 0x04, 0x01,
                                                      0x82, 0x37, 0x02, 0x01, 0x04};
  der::Cursor each(attributes.contents);
  bool seen = false;
  while (const auto attribute = each.NextAny()) {
    const auto parts = ExactChildren<2>(*attribute);
    if (!attribute->Is(der::kSequence) || !parts || !(*parts)[0].Is(der::kOid) ||
        !(*parts)[1].Is(der::kSet)) {
      return false;
    }
    const auto oid = (*parts)[0].contents;
    if (!std::equal(oid.begin(), oid.end(), std::begin(kSpcIndirectData),
                    std::end(kSpcIndirectData))) {
      continue;
    }
    if (seen) return false;  // ReadMember might take either
    seen = true;
    der::Cursor values((*parts)[1].contents);
    *value = values.NextAny();
    while (values.NextAny()) {
    }
    if (!values.AtEnd()) return false;
  }
  return each.AtEnd();
}

}  // namespace

// TrustedSubject ::= SEQUENCE { OCTET STRING, SET OF Attribute OPTIONAL },
// Attribute ::= SEQUENCE { OBJECT IDENTIFIER, SET OF ANY }, and the
// attribute's first value an SpcIndirectDataContent ::= SEQUENCE { SEQUENCE,
// DigestInfo ::= SEQUENCE { AlgorithmIdentifier, OCTET STRING } }: where
// ReadMember finds the digest, read by tag-length-values alone.
ListedDigest ReadListedDigest(std::span<const std::uint8_t> entry,
                              std::span<const std::uint8_t>* digest) {
  const auto subject = der::ElementAt(entry);
  if (!subject || !subject->Is(der::kSequence)) return ListedDigest::kIrregular;
  der::Cursor fields(subject->contents);
  const auto identifier = fields.Next(der::kOctetString);
  const auto attributes = fields.NextAny();
  if (!identifier || !fields.AtEnd()) return ListedDigest::kIrregular;
  if (!attributes) return ListedDigest::kNone;
  std::optional<der::Element> value;
  if (!attributes->Is(der::kSet) || !IndirectDataValue(*attributes, &value)) {
    return ListedDigest::kIrregular;
  }
  if (!value || !value->Is(der::kSequence)) return ListedDigest::kNone;
  const auto indirect = ExactChildren<2>(*value);
  if (!indirect || !(*indirect)[1].Is(der::kSequence)) return ListedDigest::kIrregular;
  const auto digest_info = ExactChildren<2>((*indirect)[1]);
  if (!digest_info || !(*digest_info)[1].Is(der::kOctetString)) return ListedDigest::kIrregular;
  *digest = (*digest_info)[1].contents;
  return ListedDigest::kListed;
}

namespace {

// Where a CTL's entries lie among its fields: the SEQUENCE after the subject
// algorithm, which follows thisUpdate and the optional nextUpdate (the only
// times among the fields); fields.size() when it has none.
std::size_t EntriesField(const std::vector<der::Element>& fields) {
  const auto is_time = [](const der::Element& f) {
    return f.Is(der::kUtcTime) || f.Is(der::kGeneralizedTime);
  };
  std::size_t at = 0;
  while (at < fields.size() && !is_time(fields[at])) ++at;
  if (at + 1 < fields.size() && is_time(fields[at + 1])) ++at;
  const std::size_t subjects = at + 2;
  return subjects < fields.size() && fields[subjects].Is(der::kSequence) ? subjects : fields.size();
}

// The CTL of `fields`, decoded with its entries (the field at `entries`,
// when there is one) left out, as the message was with its content: an
// empty SEQUENCE stands in for them. Null when it does not decode whole, or
// the placeholder is not where the entries were.
TrustListPtr DecodeWithoutEntries(const std::vector<der::Element>& fields, std::size_t entries) {
  const bool has_subjects = entries < fields.size();
  const std::vector<std::uint8_t> empty_sequence = der::DerHeader(der::kSequence, 0);
  std::vector<std::uint8_t> rest;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::span<const std::uint8_t> field =
        i == entries ? std::span<const std::uint8_t>(empty_sequence) : fields[i].whole;
    rest.insert(rest.end(), field.begin(), field.end());
  }
  std::vector<std::uint8_t> ctl_der = der::DerHeader(der::kSequence, rest.size());
  ctl_der.insert(ctl_der.end(), rest.begin(), rest.end());
  const unsigned char* p = ctl_der.data();
  TrustListPtr ctl(reinterpret_cast<CatTrustList*>(
      ASN1_item_d2i(nullptr, &p, static_cast<long>(ctl_der.size()), ASN1_ITEM_rptr(CatTrustList))));
  if (!ctl || p != ctl_der.data() + ctl_der.size()) return nullptr;
  if (has_subjects != (ctl->subjects != nullptr) ||
      (has_subjects && ctl->subjects->length != static_cast<int>(empty_sequence.size()))) {
    return nullptr;
  }
  return ctl;
}

// Whether a CTL lists a catalog's members: szOID_CATALOG_LIST among its
// usages, member or member-v2 its subject algorithm (*hash_identifiers then).
bool IsCatalogList(const CatTrustList* ctl, bool* hash_identifiers) {
  bool catalog_list = false;
  for (int i = 0; i < sk_ASN1_OBJECT_num(ctl->usage); ++i) {
    if (SameOid(sk_ASN1_OBJECT_value(ctl->usage, i), CatalogListOid())) catalog_list = true;
  }
  const ASN1_OBJECT* algorithm = ctl->algorithm->algorithm;
  if (!catalog_list ||
      !(SameOid(algorithm, CatalogMemberOid()) || SameOid(algorithm, CatalogMember2Oid()))) {
    return false;
  }
  *hash_identifiers = SameOid(algorithm, CatalogMember2Oid());
  return true;
}

}  // namespace

std::optional<Catalog> ParseCatalog(std::span<const std::uint8_t> der) {
  if (der.empty() || der.size() > authenticode::kMaxSignedFileSize) return std::nullopt;
  std::size_t used = 0;
  auto shell = authenticode::DecodeSignedDataShell(der, authenticode::kMaxSignedFileSize, &used);
  // As WinVerifyTrust takes a SignedData: nothing but zeros after it.
  if (!shell || !std::all_of(der.begin() + static_cast<std::ptrdiff_t>(used), der.end(),
                             [](std::uint8_t b) { return b == 0; })) {
    return std::nullopt;
  }
  Catalog catalog;
  catalog.message = std::move(shell->message);
  PKCS7* p7 = catalog.message.get();
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) < 1) return std::nullopt;
  // Signed as Authenticode signs: SignedData and SignerInfo of version 1,
  // as WinVerifyTrust's file mode requires of embedded signatures.
  if (ASN1_INTEGER_get(p7->d.sign->version) != 1 ||
      ASN1_INTEGER_get(sk_PKCS7_SIGNER_INFO_value(signers, 0)->version) != 1) {
    return std::nullopt;
  }
  if (!SameOid(p7->d.sign->contents->type, CtlOid())) return std::nullopt;
  const auto ctl_element = der::ElementAt(shell->content);
  const auto fields = ctl_element ? der::ElementsOf(ctl_element->contents) : std::nullopt;
  if (!fields) return std::nullopt;
  catalog.content = ctl_element->contents;
  const std::size_t entries = EntriesField(*fields);
  const TrustListPtr ctl = DecodeWithoutEntries(*fields, entries);
  if (!ctl || !IsCatalogList(ctl.get(), &catalog.hash_identifiers)) return std::nullopt;
  // Each search walks the whole list, checking its framing as it goes, and
  // decodes the entries it reaches.
  if (entries < fields->size()) catalog.entries = (*fields)[entries].whole;
  return catalog;
}

}  // namespace exelore_posix::catalog

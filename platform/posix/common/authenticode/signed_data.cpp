#include "signed_data.h"

#include <openssl/asn1t.h>
#include <openssl/objects.h>

#include <algorithm>
#include <string_view>

namespace exelore_posix::authenticode {
namespace {

// SpcIndirectDataContent ::= SEQUENCE {
//   data           SpcAttributeTypeAndOptionalValue,
//   messageDigest  DigestInfo }
// SpcAttributeTypeAndOptionalValue ::= SEQUENCE { type OID, value ANY OPTIONAL }
// DigestInfo ::= SEQUENCE { AlgorithmIdentifier, OCTET STRING }
struct SpcAttributeTypeAndOptionalValue {
  ASN1_OBJECT* type;
  ASN1_TYPE* value;
};
struct SpcDigestInfo {
  X509_ALGOR* digest_algorithm;
  ASN1_OCTET_STRING* digest;
};
struct SpcIndirectDataContent {
  SpcAttributeTypeAndOptionalValue* data;
  SpcDigestInfo* message_digest;
};

}  // namespace

// OpenSSL's template macros, laid out as its own sources lay them out.
// clang-format off
ASN1_SEQUENCE(SpcAttributeTypeAndOptionalValue) = {
    ASN1_SIMPLE(SpcAttributeTypeAndOptionalValue, type, ASN1_OBJECT),
    ASN1_OPT(SpcAttributeTypeAndOptionalValue, value, ASN1_ANY),
} ASN1_SEQUENCE_END(SpcAttributeTypeAndOptionalValue)

ASN1_SEQUENCE(SpcDigestInfo) = {
    ASN1_SIMPLE(SpcDigestInfo, digest_algorithm, X509_ALGOR),
    ASN1_SIMPLE(SpcDigestInfo, digest, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SpcDigestInfo)

ASN1_SEQUENCE(SpcIndirectDataContent) = {
    ASN1_SIMPLE(SpcIndirectDataContent, data, SpcAttributeTypeAndOptionalValue),
    ASN1_SIMPLE(SpcIndirectDataContent, message_digest, SpcDigestInfo),
} ASN1_SEQUENCE_END(SpcIndirectDataContent)
// clang-format on

namespace {

using IndirectDataPtr = ossl::ItemPtr<SpcIndirectDataContent, SpcIndirectDataContent_it>;
}  // namespace

const EVP_MD* AcceptedDigest(const ASN1_OBJECT* algorithm) {
  switch (OBJ_obj2nid(algorithm)) {
    case NID_sha1:
      return EVP_sha1();
    case NID_sha256:
      return EVP_sha256();
    case NID_sha384:
      return EVP_sha384();
    case NID_sha512:
      return EVP_sha512();
    default:
      return nullptr;
  }
}

std::optional<std::span<const std::uint8_t>> DerContents(std::span<const std::uint8_t> tlv) {
  // The headers a catalog's entries have, a one-byte tag and a length of at
  // most four octets, read here as ASN1_get_object reads them: a walk over
  // a million entries spends its time in this function.
  constexpr std::uint8_t kHighTagNumber = 0x1F;
  constexpr std::uint8_t kLongForm = 0x80;
  if (tlv.size() >= 2 && (tlv[0] & kHighTagNumber) != kHighTagNumber &&
      (tlv[1] < kLongForm || (tlv[1] > kLongForm && tlv[1] <= kLongForm + 4))) {
    std::size_t header = 2;
    std::size_t length = tlv[1];
    if (tlv[1] > kLongForm) {
      const std::size_t octets = tlv[1] - kLongForm;
      // ASN1_get_object wants a byte beyond the length octets even for an
      // empty value.
      if (tlv.size() - header < octets + 1) return std::nullopt;
      length = 0;
      for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | tlv[header + i];
      header += octets;
    }
    if (length > tlv.size() - header) return std::nullopt;
    return tlv.subspan(header, length);
  }
  const unsigned char* p = tlv.data();
  long length = 0;
  int tag = 0;
  int cls = 0;
  const int r = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(tlv.size()));
  if ((r & 0x80) != 0 || r == (V_ASN1_CONSTRUCTED | 1)) return std::nullopt;  // error / indefinite
  const auto header = static_cast<std::size_t>(p - tlv.data());
  if (length < 0 || static_cast<std::size_t>(length) > tlv.size() - header) return std::nullopt;
  return tlv.subspan(header, static_cast<std::size_t>(length));
}

std::optional<std::vector<std::span<const std::uint8_t>>> DerChildren(
    std::span<const std::uint8_t> tlv) {
  const auto contents = DerContents(tlv);
  if (!contents) return std::nullopt;
  std::vector<std::span<const std::uint8_t>> children;
  std::span<const std::uint8_t> rest = *contents;
  while (!rest.empty()) {
    const auto inner = DerContents(rest);
    if (!inner) return std::nullopt;
    const auto length = static_cast<std::size_t>(inner->data() + inner->size() - rest.data());
    children.push_back(rest.first(length));
    rest = rest.subspan(length);
  }
  return children;
}

std::vector<std::uint8_t> NameDer(const X509_NAME* name) { return Encoded(name, i2d_X509_NAME); }

std::vector<std::uint8_t> IntegerBlob(const ASN1_INTEGER* value) {
  const std::vector<std::uint8_t> der = Encoded(value, i2d_ASN1_INTEGER);
  const auto contents = DerContents(der);
  if (!contents) return {};
  return std::vector<std::uint8_t>(contents->rbegin(), contents->rend());
}

namespace {

// CertCompareIntegerBlob: leading zero bytes of a positive number and
// leading 0xFF bytes of a negative one do not count (Microsoft's page for
// CertCompareIntegerBlob). The blobs are little-endian, so "leading" is the
// end. So 00 80 01 and 80 01 compare equal, as they do on Windows.
std::span<const std::uint8_t> SignificantBytes(std::span<const std::uint8_t> blob) {
  std::size_t n = blob.size();
  if (n > 0 && (blob[n - 1] & 0x80) != 0) {
    while (n > 1 && blob[n - 1] == 0xFF && (blob[n - 2] & 0x80) != 0) --n;
  } else {
    while (n > 0 && blob[n - 1] == 0x00) --n;
  }
  return blob.first(n);
}

}  // namespace

bool IntegerBlobsEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  const auto x = SignificantBytes(a);
  const auto y = SignificantBytes(b);
  return std::equal(x.begin(), x.end(), y.begin(), y.end());
}

namespace {

// SignedData ::= SEQUENCE { version, digestAlgorithms SET, encapContentInfo,
//   certificates [0] OPTIONAL, crls [1] OPTIONAL, signerInfos SET }
// (RFC 5652 section 5.1), inside ContentInfo ::= SEQUENCE { contentType,
// content [0] EXPLICIT }.
std::optional<std::vector<std::span<const std::uint8_t>>> SignedDataFields(
    std::span<const std::uint8_t> der) {
  const auto info = DerChildren(der);
  if (!info || info->size() != 2) return std::nullopt;
  const auto explicit_content = DerChildren((*info)[1]);
  if (!explicit_content || explicit_content->size() != 1) return std::nullopt;
  auto fields = DerChildren(explicit_content->front());
  if (!fields || fields->size() < 4) return std::nullopt;
  return fields;
}

// Puts the elements of the SET OF at the start of `set` in DER's order:
// their encodings compared as octet strings, a shorter one that is a prefix
// of a longer one first (X.690 section 11.6, as OpenSSL sorts them). The
// lengths do not change, so the set is rewritten in place.
bool SortSet(std::span<std::uint8_t> set) {
  const auto children = DerChildren(set);
  const auto contents = DerContents(set);
  if (!children || !contents) return false;
  std::vector<std::vector<std::uint8_t>> elements;
  for (const auto child : *children) elements.emplace_back(child.begin(), child.end());
  std::sort(elements.begin(), elements.end());
  std::uint8_t* out = set.data() + (contents->data() - set.data());
  for (const auto& e : elements) out = std::copy(e.begin(), e.end(), out);
  return true;
}

// `der` with the sets DecodeSignedData lets be in any order sorted as DER
// sorts them (and as OpenSSL writes them); nullopt when its framing is not
// definite-length TLVs.
std::optional<std::vector<std::uint8_t>> WithUnsignedSetsSorted(std::span<const std::uint8_t> der) {
  std::vector<std::uint8_t> copy(der.begin(), der.end());
  const std::span<std::uint8_t> bytes(copy);
  const auto writable = [&](std::span<const std::uint8_t> part) {
    return bytes.subspan(static_cast<std::size_t>(part.data() - bytes.data()), part.size());
  };
  const auto fields = SignedDataFields(bytes);
  if (!fields) return std::nullopt;
  // SignerInfo ::= SEQUENCE { ..., unsignedAttrs [1] IMPLICIT SET OF
  // Attribute OPTIONAL }, the last field; Attribute ::= SEQUENCE { attrType,
  // attrValues SET OF }.
  constexpr std::uint8_t kContextConstructed1 = 0xA1;
  const auto signers = DerChildren(fields->back());
  if (!signers) return std::nullopt;
  for (const auto signer : *signers) {
    const auto signer_fields = DerChildren(signer);
    if (!signer_fields || signer_fields->empty()) return std::nullopt;
    const auto unsigned_attributes = signer_fields->back();
    if (unsigned_attributes[0] != kContextConstructed1) continue;
    const auto attributes = DerChildren(unsigned_attributes);
    if (!attributes) return std::nullopt;
    for (const auto attribute : *attributes) {
      const auto parts = DerChildren(attribute);
      if (!parts || parts->size() != 2 || !SortSet(writable((*parts)[1]))) return std::nullopt;
    }
    if (!SortSet(writable(unsigned_attributes))) return std::nullopt;
  }
  // digestAlgorithms, crls [1] (between the content and the signers, when
  // there) and signerInfos.
  for (std::size_t i = 3; i + 1 < fields->size(); ++i) {
    if ((*fields)[i][0] == kContextConstructed1 && !SortSet(writable((*fields)[i]))) {
      return std::nullopt;
    }
  }
  if (!SortSet(writable(fields->back())) || !SortSet(writable((*fields)[1]))) return std::nullopt;
  return copy;
}

}  // namespace

namespace {

// Whether every byte of `der` after its first `used` is zero.
bool ZerosAfter(std::span<const std::uint8_t> der, std::size_t used) {
  return std::all_of(der.begin() + static_cast<std::ptrdiff_t>(used), der.end(),
                     [](std::uint8_t b) { return b == 0; });
}

}  // namespace

namespace {
std::optional<std::vector<std::uint8_t>> WithX509CertificatesOnly(std::span<const std::uint8_t> der,
                                                                  std::size_t* length);
}  // namespace

ossl::Pkcs7Ptr DecodeSignedData(std::span<const std::uint8_t> der, std::uint64_t max_size,
                                std::size_t* used) {
  if (der.empty() || der.size() > max_size) return nullptr;
  // The certificate set may hold choices other than X.509 certificates,
  // which PKCS #7's decoder refuses; they are dropped first.
  std::size_t original_length = 0;
  const auto x509_only = WithX509CertificatesOnly(der, &original_length);
  const std::span<const std::uint8_t> bytes =
      x509_only ? std::span<const std::uint8_t>(*x509_only) : der;
  const unsigned char* p = bytes.data();
  ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size())));
  if (!p7) return nullptr;
  if (!PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) {
    return nullptr;
  }
  const auto length = static_cast<std::size_t>(p - bytes.data());
  if (x509_only && length != x509_only->size()) return nullptr;
  const auto sorted = WithUnsignedSetsSorted(bytes.first(length));
  const std::vector<std::uint8_t> again = Encoded(p7.get(), i2d_PKCS7);
  if (!sorted || again != *sorted) return nullptr;
  if (used != nullptr) *used = x509_only ? original_length : length;
  return p7;
}

std::shared_ptr<PKCS7> DecodeSignedDataShared(std::span<const std::uint8_t> der,
                                              std::size_t* used) {
  struct Last {
    std::vector<std::uint8_t> der;
    std::size_t used = 0;
    std::shared_ptr<PKCS7> p7;
  };
  // Per thread, so that no lock is taken and no message crosses threads.
  thread_local Last last;
  if (!last.p7 || !std::equal(der.begin(), der.end(), last.der.begin(), last.der.end())) {
    last = {};
    std::size_t length = 0;
    ossl::Pkcs7Ptr p7 = DecodeSignedData(der, kMaxSignatureSize, &length);
    if (!p7) return nullptr;
    last = {std::vector<std::uint8_t>(der.begin(), der.end()), length, std::move(p7)};
  }
  if (used != nullptr) *used = last.used;
  return last.p7;
}

namespace {

// One tag-length-value at the start of some bytes: all of it, and its
// contents octets.
struct Tlv {
  std::span<const std::uint8_t> whole;
  std::span<const std::uint8_t> contents;
};

std::optional<Tlv> TlvAt(std::span<const std::uint8_t> bytes) {
  const auto contents = DerContents(bytes);
  if (!contents) return std::nullopt;
  const auto length = static_cast<std::size_t>(contents->data() + contents->size() - bytes.data());
  return Tlv{bytes.first(length), *contents};
}

// The children of `tlv` when there are exactly `count` (at least `count`
// when `at_least`), each a whole TLV; nullopt otherwise.
std::optional<std::vector<Tlv>> ChildTlvs(const Tlv& tlv, std::size_t count,
                                          bool at_least = false) {
  const auto children = DerChildren(tlv.whole);
  if (!children || children->size() < count || (!at_least && children->size() != count)) {
    return std::nullopt;
  }
  std::vector<Tlv> out;
  for (const auto child : *children) out.push_back(*TlvAt(child));
  return out;
}

// The identifier and length octets DER writes for a TLV of `tlv`'s tag,
// class and form with `length` contents octets.
std::vector<std::uint8_t> DerHeader(const Tlv& tlv, std::size_t length) {
  const unsigned char* p = tlv.whole.data();
  long ignored = 0;
  int tag = 0;
  int cls = 0;
  const int form = ASN1_get_object(&p, &ignored, &tag, &cls, static_cast<long>(tlv.whole.size())) &
                   V_ASN1_CONSTRUCTED;
  const int whole = ASN1_object_size(form != 0 ? 1 : 0, static_cast<int>(length), tag);
  if (whole < 0) return {};
  std::vector<std::uint8_t> header(static_cast<std::size_t>(whole) - length);
  unsigned char* out = header.data();
  ASN1_put_object(&out, form != 0 ? 1 : 0, static_cast<int>(length), tag, cls);
  return header;
}

// Whether `tlv`'s own header is the one DER writes for it.
bool HeaderIsDer(const Tlv& tlv) {
  const std::vector<std::uint8_t> header = DerHeader(tlv, tlv.contents.size());
  return !header.empty() &&
         std::equal(header.begin(), header.end(), tlv.whole.begin(),
                    tlv.whole.begin() + (tlv.contents.data() - tlv.whole.data()));
}

// `contents` under a DER header of `tlv`'s tag, class and form.
std::vector<std::uint8_t> Rewrap(const Tlv& tlv, const std::vector<std::uint8_t>& contents) {
  std::vector<std::uint8_t> out = DerHeader(tlv, contents.size());
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

void Append(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// A SignedData ContentInfo's frame: ContentInfo { contentType, [0] {
// SignedData { version, digestAlgorithms, encapContentInfo, ... } } }.
struct SignedDataFrame {
  Tlv info;
  Tlv content_type;
  Tlv outer;  // the [0] around the SignedData
  Tlv signed_data;
  std::vector<Tlv> fields;  // the SignedData's, at least four

  // Whether the three headers around the SignedData's fields are DER.
  bool HeadersAreDer() const {
    return HeaderIsDer(info) && HeaderIsDer(outer) && HeaderIsDer(signed_data);
  }
  // The ContentInfo again, its SignedData's fields being `signed_contents`.
  std::vector<std::uint8_t> Rewrapped(const std::vector<std::uint8_t>& signed_contents) const {
    std::vector<std::uint8_t> info_contents(content_type.whole.begin(), content_type.whole.end());
    Append(info_contents, Rewrap(outer, Rewrap(signed_data, signed_contents)));
    return Rewrap(info, info_contents);
  }
};

std::optional<SignedDataFrame> FrameOf(std::span<const std::uint8_t> der) {
  const auto info = TlvAt(der);
  if (!info) return std::nullopt;
  const auto info_fields = ChildTlvs(*info, 2);
  if (!info_fields) return std::nullopt;
  const auto outer_children = ChildTlvs((*info_fields)[1], 1);
  if (!outer_children) return std::nullopt;
  auto fields = ChildTlvs(outer_children->front(), 4, true);
  if (!fields) return std::nullopt;
  return SignedDataFrame{*info, (*info_fields)[0], (*info_fields)[1], outer_children->front(),
                         std::move(*fields)};
}

// The SignedData ContentInfo at the start of `der` without the elements of
// its certificate set that are not X.509 certificates, when it has some
// (*length receives the length of the original's encoding); nullopt when
// it has none, or its headers are not DER. CertificateChoices (RFC 5652
// section 10.2.2) also allows PKCS #6 extended certificates ([0]),
// attribute certificates ([1], [2]) and other formats ([3]); Microsoft's
// time-stamping service puts an attribute certificate in its tokens. The
// set is not signed, and none of those is an issuer a chain can use, so
// Windows' chain building never looks at them: dropping them changes no
// verdict, where refusing the message would let anyone make a signature
// disappear by adding one.
std::optional<std::vector<std::uint8_t>> WithX509CertificatesOnly(std::span<const std::uint8_t> der,
                                                                  std::size_t* length) {
  constexpr std::uint8_t kSequence = 0x30;
  constexpr std::uint8_t kCertificates = 0xA0;  // certificates [0] IMPLICIT CertificateSet
  const auto frame = FrameOf(der);
  if (!frame || frame->fields[3].whole[0] != kCertificates) return std::nullopt;
  const Tlv certificates = frame->fields[3];
  const auto choices = ChildTlvs(certificates, 0, true);
  if (!choices || std::all_of(choices->begin(), choices->end(),
                              [](const Tlv& c) { return c.whole[0] == kSequence; })) {
    return std::nullopt;
  }
  if (!frame->HeadersAreDer() || !HeaderIsDer(certificates)) return std::nullopt;
  std::vector<std::uint8_t> kept;
  for (const Tlv& c : *choices) {
    if (c.whole[0] == kSequence) Append(kept, c.whole);
  }
  std::vector<std::uint8_t> signed_contents;
  for (std::size_t i = 0; i < frame->fields.size(); ++i) {
    Append(signed_contents, i == 3 ? std::span<const std::uint8_t>(Rewrap(certificates, kept))
                                   : frame->fields[i].whole);
  }
  *length = frame->info.whole.size();
  return frame->Rewrapped(signed_contents);
}

}  // namespace

// The message is decoded with its content replaced by an empty SEQUENCE and
// the five headers around it rewritten for their new lengths. A whole
// message decodes as DecodeSignedData wants exactly when this shell does,
// the five original headers are DER (what re-encoding the whole checks of
// them) and the content is a definite-length TLV filling its [0] (what the
// decoder reads of an ANY's SEQUENCE: its header, its length, no more).
std::optional<SignedDataShell> DecodeSignedDataShell(std::span<const std::uint8_t> der,
                                                     std::uint64_t max_size, std::size_t* used) {
  constexpr std::uint8_t kSequence = 0x30;
  if (der.empty() || der.size() > max_size) return std::nullopt;
  // ContentInfo { contentType, [0] { SignedData { version, digestAlgorithms,
  //   encapContentInfo { contentType, [0] { content } }, ... } } }
  const auto frame = FrameOf(der);
  if (!frame) return std::nullopt;
  const Tlv encap = frame->fields[2];
  const auto encap_fields = ChildTlvs(encap, 2);
  if (!encap_fields) return std::nullopt;
  const Tlv inner = (*encap_fields)[1];
  const auto inner_children = ChildTlvs(inner, 1);
  if (!inner_children) return std::nullopt;
  const Tlv content = inner_children->front();
  if (content.whole[0] != kSequence) return std::nullopt;
  if (!frame->HeadersAreDer() || !HeaderIsDer(encap) || !HeaderIsDer(inner)) return std::nullopt;

  static constexpr std::uint8_t kEmptySequence[] = {kSequence, 0x00};
  std::vector<std::uint8_t> encap_contents(encap_fields->front().whole.begin(),
                                           encap_fields->front().whole.end());
  Append(encap_contents, Rewrap(inner, {std::begin(kEmptySequence), std::end(kEmptySequence)}));
  std::vector<std::uint8_t> signed_contents;
  for (std::size_t i = 0; i < frame->fields.size(); ++i) {
    if (i == 2) {
      Append(signed_contents, Rewrap(encap, encap_contents));
    } else {
      Append(signed_contents, frame->fields[i].whole);
    }
  }
  const std::vector<std::uint8_t> shell = frame->Rewrapped(signed_contents);

  std::size_t shell_used = 0;
  SignedDataShell out;
  out.message = DecodeSignedData(shell, shell.size(), &shell_used);
  if (!out.message || shell_used != shell.size()) return std::nullopt;
  // The placeholder decoded as the ANY a content type PKCS #7 does not know
  // decodes to; a known type would have been decoded by its own template.
  PKCS7* decoded = out.message->d.sign->contents;
  if (!PKCS7_type_is_other(decoded) || decoded->d.other == nullptr ||
      decoded->d.other->type != V_ASN1_SEQUENCE ||
      decoded->d.other->value.sequence->length != static_cast<int>(sizeof kEmptySequence)) {
    return std::nullopt;
  }
  out.content = content.whole;
  if (used != nullptr) *used = frame->info.whole.size();
  return out;
}

ossl::Pkcs7Ptr ParseSignedData(std::span<const std::uint8_t> der, std::uint64_t max_size) {
  std::size_t used = 0;
  ossl::Pkcs7Ptr p7 = DecodeSignedData(der, max_size, &used);
  return p7 && ZerosAfter(der, used) ? std::move(p7) : nullptr;
}

std::shared_ptr<PKCS7> ParseSignedDataShared(std::span<const std::uint8_t> der) {
  std::size_t used = 0;
  std::shared_ptr<PKCS7> p7 = DecodeSignedDataShared(der, &used);
  return p7 && ZerosAfter(der, used) ? std::move(p7) : nullptr;
}

std::optional<std::span<const std::uint8_t>> FirstSignerInfoDer(std::span<const std::uint8_t> der) {
  const auto fields = SignedDataFields(der);
  if (!fields) return std::nullopt;
  const auto signers = DerChildren(fields->back());
  if (!signers || signers->empty()) return std::nullopt;
  return signers->front();
}

std::vector<X509_ATTRIBUTE*> AttributeList(const STACK_OF(X509_ATTRIBUTE) * stack) {
  std::vector<X509_ATTRIBUTE*> out;
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(stack); ++i)
    out.push_back(sk_X509_ATTRIBUTE_value(stack, i));
  return out;
}

bool SignedAttributesAreDer(std::span<const std::uint8_t> signer_info,
                            const std::vector<X509_ATTRIBUTE*>& attributes) {
  // SignerInfo ::= SEQUENCE { version, sid, digestAlgorithm,
  //   signedAttrs [0] IMPLICIT SET OF Attribute OPTIONAL, ... }
  constexpr std::size_t kSignedAttrs = 3;
  constexpr std::uint8_t kContextConstructed0 = 0xA0;
  const auto fields = DerChildren(signer_info);
  if (!fields || fields->size() <= kSignedAttrs) return false;
  const std::span<const std::uint8_t> field = (*fields)[kSignedAttrs];
  if (field[0] != kContextConstructed0) return attributes.empty();
  const auto contents = DerContents(field);
  if (!contents) return false;
  std::vector<std::uint8_t> again;
  for (const X509_ATTRIBUTE* attribute : attributes) {
    const std::vector<std::uint8_t> one = Encoded(attribute, i2d_X509_ATTRIBUTE);
    if (one.empty()) return false;
    again.insert(again.end(), one.begin(), one.end());
  }
  return std::equal(again.begin(), again.end(), contents->begin(), contents->end());
}

std::optional<std::span<const std::uint8_t>> SignedContentOctets(PKCS7* p7) {
  if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) {
    return std::nullopt;
  }
  PKCS7* content = p7->d.sign->contents;
  if (PKCS7_type_is_data(content)) {
    if (content->d.data == nullptr) return std::span<const std::uint8_t>();
    return std::span<const std::uint8_t>(content->d.data->data,
                                         static_cast<std::size_t>(content->d.data->length));
  }
  if (PKCS7_type_is_other(content)) {
    const ASN1_TYPE* other = content->d.other;
    if (other == nullptr) return std::span<const std::uint8_t>();
    if (other->type == V_ASN1_OCTET_STRING) {
      return std::span<const std::uint8_t>(
          other->value.octet_string->data,
          static_cast<std::size_t>(other->value.octet_string->length));
    }
    if (other->type == V_ASN1_SEQUENCE) {
      return DerContents(std::span<const std::uint8_t>(
          other->value.sequence->data, static_cast<std::size_t>(other->value.sequence->length)));
    }
  }
  return std::nullopt;
}

const ASN1_OBJECT* SpcIndirectDataOid() {
  static const ASN1_OBJECT* const oid = OBJ_txt2obj("1.3.6.1.4.1.311.2.1.4", 1);
  return oid;
}

std::optional<IndirectData> ParseIndirectData(PKCS7* p7) {
  if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) {
    return std::nullopt;
  }
  PKCS7* content = p7->d.sign->contents;
  if (content->type == nullptr || OBJ_cmp(content->type, SpcIndirectDataOid()) != 0) {
    return std::nullopt;
  }
  if (!PKCS7_type_is_other(content) || content->d.other == nullptr ||
      content->d.other->type != V_ASN1_SEQUENCE) {
    return std::nullopt;
  }
  const ASN1_STRING* seq = content->d.other->value.sequence;
  return DecodeIndirectData(
      std::span<const std::uint8_t>(seq->data, static_cast<std::size_t>(seq->length)));
}

std::optional<IndirectData> DecodeIndirectData(std::span<const std::uint8_t> der) {
  const unsigned char* p = der.data();
  IndirectDataPtr parsed(reinterpret_cast<SpcIndirectDataContent*>(ASN1_item_d2i(
      nullptr, &p, static_cast<long>(der.size()), ASN1_ITEM_rptr(SpcIndirectDataContent))));
  if (!parsed) return std::nullopt;
  IndirectData out;
  out.md = AcceptedDigest(parsed->message_digest->digest_algorithm->algorithm);
  const ASN1_OCTET_STRING* digest = parsed->message_digest->digest;
  out.digest.assign(digest->data, digest->data + digest->length);
  return out;
}

std::optional<std::time_t> ToTimeT(const ASN1_TIME* t) {
  std::tm tm{};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return std::nullopt;
  return ::timegm(&tm);
}

std::optional<Instant> ToInstant(const ASN1_TIME* t) {
  const auto seconds = ToTimeT(t);
  if (!seconds) return std::nullopt;
  // GeneralizedTime's fraction follows the seconds after a full stop
  // (X.680 section 46.2); a fraction of zeros only is no fraction.
  const std::string_view text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(t)),
                              static_cast<std::size_t>(ASN1_STRING_length(t)));
  bool past_second = false;
  if (const auto dot = text.find_first_of(".,"); dot != std::string_view::npos) {
    for (std::size_t i = dot + 1; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      past_second = past_second || text[i] != '0';
    }
  }
  return Instant{*seconds, past_second};
}

}  // namespace exelore_posix::authenticode

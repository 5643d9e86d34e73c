#include "signed_data.h"

#include <openssl/objects.h>

#include <algorithm>
#include <functional>
#include <string_view>

namespace exelore_posix::authenticode {

std::vector<std::uint8_t> NameDer(const X509_NAME* name) { return Encoded(name, i2d_X509_NAME); }

std::vector<std::uint8_t> IntegerBlob(const ASN1_INTEGER* value) {
  const std::vector<std::uint8_t> der = Encoded(value, i2d_ASN1_INTEGER);
  const auto integer = der::ElementAt(der);
  if (!integer) return {};
  return std::vector<std::uint8_t>(integer->contents.rbegin(), integer->contents.rend());
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

// A SignedData ContentInfo read from its front: ContentInfo { contentType,
// [0] EXPLICIT { SignedData { version, digestAlgorithms, encapContentInfo,
// certificates [0] OPTIONAL, crls [1] OPTIONAL, signerInfos SET } } } (RFC
// 5652 sections 3 and 5.1), each element inside its parent, nothing after
// encapContentInfo read.
struct SignedDataFront {
  der::Element info;
  der::Element content_type;
  der::Element outer;  // the [0] around the SignedData
  der::Element signed_data;
  std::vector<der::Element> fields;  // version, digestAlgorithms, encapContentInfo
  der::Cursor info_after;            // what follows `outer` inside `info`
  der::Cursor outer_after;           // what follows `signed_data` inside `outer`
  der::Cursor fields_after;          // the SignedData's fields after encapContentInfo
};

std::optional<SignedDataFront> FrontOf(std::span<const std::uint8_t> der) {
  const auto info = der::ElementAt(der);
  if (!info) return std::nullopt;
  der::Cursor info_fields(info->contents);
  const auto content_type = info_fields.NextAny();
  const auto outer = info_fields.NextAny();
  if (!content_type || !outer) return std::nullopt;
  der::Cursor outer_children(outer->contents);
  const auto signed_data = outer_children.NextAny();
  if (!signed_data) return std::nullopt;
  SignedDataFront front{*info, *content_type, *outer,         *signed_data,
                        {},    info_fields,   outer_children, der::Cursor(signed_data->contents)};
  for (int i = 0; i < 3; ++i) {
    const auto field = front.fields_after.NextAny();
    if (!field) return std::nullopt;
    front.fields.push_back(*field);
  }
  return front;
}

// encapContentInfo ::= SEQUENCE { eContentType, [0] EXPLICIT content },
// read from its front.
struct Encapsulated {
  der::Element content_type;
  der::Element inner;  // the [0] around the content
  der::Element content;
  bool alone = false;  // nothing follows the [0], nor the content inside it
};

std::optional<Encapsulated> EncapsulatedOf(const der::Element& encap) {
  der::Cursor fields(encap.contents);
  const auto content_type = fields.NextAny();
  const auto inner = fields.NextAny();
  if (!content_type || !inner) return std::nullopt;
  der::Cursor inner_children(inner->contents);
  const auto content = inner_children.NextAny();
  if (!content) return std::nullopt;
  return Encapsulated{*content_type, *inner, *content, fields.AtEnd() && inner_children.AtEnd()};
}

// `contents` under a DER header of `element`'s tag.
std::vector<std::uint8_t> Rewrap(const der::Element& element,
                                 const std::vector<std::uint8_t>& contents) {
  std::vector<std::uint8_t> out = der::DerHeader(element.tag, contents.size());
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

void Append(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// A SignedData ContentInfo read whole: exactly a contentType and a [0] in
// the ContentInfo, exactly the SignedData in the [0], and its fields.
struct SignedDataFrame {
  der::Element info;
  der::Element content_type;
  der::Element outer;
  der::Element signed_data;
  std::vector<der::Element> fields;  // the SignedData's, at least four

  // Whether the three headers around the SignedData's fields are DER.
  bool HeadersAreDer() const {
    return der::HeaderIsDer(info) && der::HeaderIsDer(outer) && der::HeaderIsDer(signed_data);
  }
  // The ContentInfo again, its SignedData's fields being `signed_contents`.
  std::vector<std::uint8_t> Rewrapped(const std::vector<std::uint8_t>& signed_contents) const {
    std::vector<std::uint8_t> info_contents(content_type.whole.begin(), content_type.whole.end());
    Append(info_contents, Rewrap(outer, Rewrap(signed_data, signed_contents)));
    return Rewrap(info, info_contents);
  }
};

std::optional<SignedDataFrame> FrameOf(std::span<const std::uint8_t> der) {
  auto front = FrontOf(der);
  if (!front || !front->info_after.AtEnd() || !front->outer_after.AtEnd()) return std::nullopt;
  SignedDataFrame frame{front->info, front->content_type, front->outer, front->signed_data,
                        std::move(front->fields)};
  while (!front->fields_after.AtEnd()) {
    const auto field = front->fields_after.NextAny();
    if (!field) return std::nullopt;
    frame.fields.push_back(*field);
  }
  if (frame.fields.size() < 4) return std::nullopt;
  return frame;
}

// Puts the elements of the SET OF at the start of `set` in DER's order:
// their encodings compared as octet strings, a shorter one that is a prefix
// of a longer one first (X.690 section 11.6, as OpenSSL sorts them). The
// lengths do not change, so the set is rewritten in place.
bool SortSet(std::span<std::uint8_t> set) {
  const auto whole = der::ElementAt(set);
  const auto children = whole ? der::ElementsOf(whole->contents) : std::nullopt;
  if (!children) return false;
  std::vector<std::vector<std::uint8_t>> elements;
  for (const der::Element& child : *children) {
    elements.emplace_back(child.whole.begin(), child.whole.end());
  }
  std::sort(elements.begin(), elements.end());
  std::uint8_t* out = set.data() + (whole->contents.data() - set.data());
  for (const auto& e : elements) out = std::copy(e.begin(), e.end(), out);
  return true;
}

// SignerInfo ::= SEQUENCE { ..., unsignedAttrs [1] IMPLICIT SET OF
// Attribute OPTIONAL }, the last field; Attribute ::= SEQUENCE { attrType,
// attrValues SET OF }. Sorts the attributes and the values of each.
bool SortUnsignedAttributes(const der::Element& signer,
                            const std::function<std::span<std::uint8_t>(const der::Element&)>& at) {
  const auto signer_fields = der::ElementsOf(signer.contents);
  if (!signer_fields || signer_fields->empty()) return false;
  const der::Element& unsigned_attributes = signer_fields->back();
  if (!unsigned_attributes.Is(der::ContextConstructed(1))) return true;
  const auto attributes = der::ElementsOf(unsigned_attributes.contents);
  if (!attributes) return false;
  for (const der::Element& attribute : *attributes) {
    const auto parts = der::ElementsOf(attribute.contents);
    if (!parts || parts->size() != 2 || !SortSet(at((*parts)[1]))) return false;
  }
  return SortSet(at(unsigned_attributes));
}

// `der` with the sets DecodeSignedData lets be in any order sorted as DER
// sorts them (and as OpenSSL writes them); nullopt when its framing is not
// definite-length TLVs.
std::optional<std::vector<std::uint8_t>> WithUnsignedSetsSorted(std::span<const std::uint8_t> der) {
  std::vector<std::uint8_t> copy(der.begin(), der.end());
  const std::span<std::uint8_t> bytes(copy);
  const auto writable = [&](const der::Element& part) {
    return bytes.subspan(static_cast<std::size_t>(part.whole.data() - bytes.data()),
                         part.whole.size());
  };
  const auto frame = FrameOf(bytes);
  if (!frame) return std::nullopt;
  const auto& fields = frame->fields;
  const auto signers = der::ElementsOf(fields.back().contents);
  if (!signers) return std::nullopt;
  for (const der::Element& signer : *signers) {
    if (!SortUnsignedAttributes(signer, writable)) return std::nullopt;
  }
  // digestAlgorithms, crls [1] (between the content and the signers, when
  // there) and signerInfos.
  for (std::size_t i = 3; i + 1 < fields.size(); ++i) {
    if (fields[i].Is(der::ContextConstructed(1)) && !SortSet(writable(fields[i]))) {
      return std::nullopt;
    }
  }
  if (!SortSet(writable(fields.back())) || !SortSet(writable(fields[1]))) return std::nullopt;
  return copy;
}

// Whether every byte of `der` after its first `used` is zero.
bool ZerosAfter(std::span<const std::uint8_t> der, std::size_t used) {
  return std::all_of(der.begin() + static_cast<std::ptrdiff_t>(used), der.end(),
                     [](std::uint8_t b) { return b == 0; });
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
  // certificates [0] IMPLICIT CertificateSet, the fourth field when there.
  const auto frame = FrameOf(der);
  if (!frame || !frame->fields[3].Is(der::ContextConstructed(0))) return std::nullopt;
  const der::Element certificates = frame->fields[3];
  const auto choices = der::ElementsOf(certificates.contents);
  if (!choices || std::all_of(choices->begin(), choices->end(),
                              [](const der::Element& c) { return c.Is(der::kSequence); })) {
    return std::nullopt;
  }
  if (!frame->HeadersAreDer() || !der::HeaderIsDer(certificates)) return std::nullopt;
  std::vector<std::uint8_t> kept;
  for (const der::Element& c : *choices) {
    if (c.Is(der::kSequence)) Append(kept, c.whole);
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

std::optional<der::Element> SignedDataContent(std::span<const std::uint8_t> der) {
  const auto front = FrontOf(der);
  const auto encapsulated = front ? EncapsulatedOf(front->fields[2]) : std::nullopt;
  if (!encapsulated) return std::nullopt;
  return encapsulated->content;
}

// The message is decoded with its content replaced by an empty SEQUENCE and
// the five headers around it rewritten for their new lengths. A whole
// message decodes as DecodeSignedData wants exactly when this shell does,
// the five original headers are DER (what re-encoding the whole checks of
// them) and the content is a definite-length TLV filling its [0] (what the
// decoder reads of an ANY's SEQUENCE: its header, its length, no more).
std::optional<SignedDataShell> DecodeSignedDataShell(std::span<const std::uint8_t> der,
                                                     std::uint64_t max_size, std::size_t* used) {
  if (der.empty() || der.size() > max_size) return std::nullopt;
  const auto frame = FrameOf(der);
  if (!frame) return std::nullopt;
  const der::Element encap = frame->fields[2];
  const auto encapsulated = EncapsulatedOf(encap);
  if (!encapsulated || !encapsulated->alone || !encapsulated->content.Is(der::kSequence)) {
    return std::nullopt;
  }
  if (!frame->HeadersAreDer() || !der::HeaderIsDer(encap) ||
      !der::HeaderIsDer(encapsulated->inner)) {
    return std::nullopt;
  }
  const std::vector<std::uint8_t> empty_sequence = der::DerHeader(der::kSequence, 0);
  std::vector<std::uint8_t> encap_contents(encapsulated->content_type.whole.begin(),
                                           encapsulated->content_type.whole.end());
  Append(encap_contents, Rewrap(encapsulated->inner, empty_sequence));
  std::vector<std::uint8_t> signed_contents;
  for (std::size_t i = 0; i < frame->fields.size(); ++i) {
    Append(signed_contents, i == 2 ? std::span<const std::uint8_t>(Rewrap(encap, encap_contents))
                                   : frame->fields[i].whole);
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
      decoded->d.other->value.sequence->length != static_cast<int>(empty_sequence.size())) {
    return std::nullopt;
  }
  out.content = encapsulated->content.whole;
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
  const auto frame = FrameOf(der);
  const auto signers = frame ? der::ElementsOf(frame->fields.back().contents) : std::nullopt;
  if (!signers || signers->empty()) return std::nullopt;
  return signers->front().whole;
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
  const auto signer = der::ElementAt(signer_info);
  const auto fields = signer ? der::ElementsOf(signer->contents) : std::nullopt;
  if (!fields || fields->size() <= kSignedAttrs) return false;
  const der::Element& field = (*fields)[kSignedAttrs];
  if (!field.Is(der::ContextConstructed(0))) return attributes.empty();
  std::vector<std::uint8_t> again;
  for (const X509_ATTRIBUTE* attribute : attributes) {
    const std::vector<std::uint8_t> one = Encoded(attribute, i2d_X509_ATTRIBUTE);
    if (one.empty()) return false;
    again.insert(again.end(), one.begin(), one.end());
  }
  return std::equal(again.begin(), again.end(), field.contents.begin(), field.contents.end());
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
      const auto sequence = der::ElementAt(std::span<const std::uint8_t>(
          other->value.sequence->data, static_cast<std::size_t>(other->value.sequence->length)));
      if (!sequence) return std::nullopt;
      return sequence->contents;
    }
  }
  return std::nullopt;
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

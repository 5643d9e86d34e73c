#include "authenticode.h"

#include <fcntl.h>
#include <openssl/asn1t.h>
#include <openssl/objects.h>
#include <openssl/ts.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>

namespace exelore_posix::authenticode {
namespace {

constexpr std::uint16_t kWinCertRevision2 = 0x0200;
constexpr std::uint16_t kWinCertTypePkcsSignedData = 0x0002;
constexpr std::size_t kWinCertHeader = 8;
constexpr std::size_t kHashBuffer = 1u << 20;
constexpr int kMaxChainDepth = 10;
// A bundle file larger than this is not indexed (the system bundle is ~200 KB).
constexpr std::uint64_t kMaxBundleSize = 16u << 20;

// SpcIndirectDataContent ::= SEQUENCE {
//   data           SpcAttributeTypeAndOptionalValue,  -- SEQUENCE { type OID, value ANY OPTIONAL }
//   messageDigest  DigestInfo }                       -- SEQUENCE { AlgorithmIdentifier, OCTET STRING }
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

namespace {

void FreeIndirectData(SpcIndirectDataContent* p) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(p), ASN1_ITEM_rptr(SpcIndirectDataContent));
}
using IndirectDataPtr = std::unique_ptr<SpcIndirectDataContent, ossl::Free<FreeIndirectData>>;
void FreeSignerInfo(PKCS7_SIGNER_INFO* p) { PKCS7_SIGNER_INFO_free(p); }
using SignerInfoPtr = std::unique_ptr<PKCS7_SIGNER_INFO, ossl::Free<FreeSignerInfo>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, ossl::Free<TS_TST_INFO_free>>;
void FreeObject(X509_OBJECT* p) { X509_OBJECT_free(p); }
using ObjectPtr = std::unique_ptr<X509_OBJECT, ossl::Free<FreeObject>>;

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

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

namespace {

// Digests `data` through an OpenSSL digest BIO, which PKCS7_signatureVerify
// takes as the content's digest.
ossl::BioPtr DigestBio(const EVP_MD* md, std::span<const std::uint8_t> data) {
  ossl::BioPtr mem(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
  ossl::BioPtr digest(BIO_new(BIO_f_md()));
  if (!mem || !digest || BIO_set_md(digest.get(), md) != 1) return nullptr;
  BIO_push(digest.get(), mem.release());
  unsigned char sink[4096];
  while (BIO_read(digest.get(), sink, sizeof sink) > 0) {
  }
  return digest;
}

HRESULT ChainError(int error) {
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return CERT_E_EXPIRED;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return CERT_E_UNTRUSTEDROOT;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
      return CERT_E_CHAINING;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return TRUST_E_CERT_SIGNATURE;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
      return TRUST_E_BASIC_CONSTRAINTS;
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
      return CERT_E_CRITICAL;
    case X509_V_ERR_INVALID_PURPOSE:
      return CERT_E_WRONG_USAGE;
    default:
      return CERT_E_CHAINING;
  }
}

std::uint32_t EkuFlagFor(int nid) {
  switch (nid) {
    case NID_code_sign:
      return XKU_CODE_SIGN;
    case NID_time_stamp:
      return XKU_TIMESTAMP;
    default:
      return 0;
  }
}

// Builds and checks the chain of `leaf` at `at` (or now).
HRESULT VerifyChain(X509* leaf, STACK_OF(X509) * intermediates, std::optional<std::time_t> at,
                    int eku_nid) {
  PrepareTrustStore(leaf, intermediates);
  ossl::StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), TrustStore(), leaf, intermediates) != 1) {
    return TRUST_E_SYSTEM_ERROR;
  }
  if (at) X509_STORE_CTX_set_time(ctx.get(), 0, *at);
  if (X509_verify_cert(ctx.get()) != 1) return ChainError(X509_STORE_CTX_get_error(ctx.get()));
  // Windows checks usage along the whole chain: a certificate that lists
  // extended key usages must list the one asked for.
  const std::uint32_t wanted = EkuFlagFor(eku_nid);
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    X509* cert = sk_X509_value(chain, i);
    const std::uint32_t flags = X509_get_extension_flags(cert);
    if ((flags & EXFLAG_INVALID) != 0) return CERT_E_MALFORMED;
    if ((flags & EXFLAG_XKUSAGE) != 0 && (X509_get_extended_key_usage(cert) & wanted) == 0) {
      return CERT_E_WRONG_USAGE;
    }
  }
  return S_OK;
}

std::vector<std::uint8_t> NameDer(const X509_NAME* name) {
  unsigned char* raw = nullptr;
  const int n = i2d_X509_NAME(name, &raw);
  if (n <= 0) return {};
  ossl::BytesPtr owner(raw);
  return std::vector<std::uint8_t>(raw, raw + n);
}

// The certificate a signer names by issuer and serial number, the issuer
// compared byte for byte as CertCompareCertificateName does (OpenSSL's own
// lookup compares names case-insensitively).
X509* FindSignerCertificate(STACK_OF(X509) * certs, const PKCS7_ISSUER_AND_SERIAL* ias) {
  if (ias == nullptr || ias->issuer == nullptr || ias->serial == nullptr) return nullptr;
  const std::vector<std::uint8_t> issuer = NameDer(ias->issuer);
  X509* found = nullptr;
  X509* similar = nullptr;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    X509* cert = sk_X509_value(certs, i);
    if (ASN1_INTEGER_cmp(X509_get0_serialNumber(cert), ias->serial) != 0) continue;
    if (found == nullptr && NameDer(X509_get_issuer_name(cert)) == issuer) found = cert;
    // Two different certificates that a looser comparison would both take
    // for the signer's make its identity ambiguous: refuse rather than pick.
    if (X509_NAME_cmp(X509_get_issuer_name(cert), ias->issuer) == 0) {
      if (similar != nullptr && X509_cmp(similar, cert) != 0) return nullptr;
      similar = cert;
    }
  }
  return found;
}

// The signature algorithm a signer names must fit its key and digest: a bare
// key algorithm (rsaEncryption, id-ecPublicKey) or a signature algorithm
// with the signer's digest.
bool SignatureAlgorithmFits(const PKCS7_SIGNER_INFO* si, X509* signer) {
  const int digest = OBJ_obj2nid(si->digest_alg->algorithm);
  const int named = OBJ_obj2nid(si->digest_enc_alg->algorithm);
  // A damaged certificate may carry a key that does not decode.
  EVP_PKEY* public_key = X509_get0_pubkey(signer);
  if (public_key == nullptr) return false;
  const int key = EVP_PKEY_get_base_id(public_key);
  int named_digest = NID_undef;
  int named_key = NID_undef;
  if (named == NID_rsaEncryption || named == NID_X9_62_id_ecPublicKey) {
    named_key = named;
    named_digest = digest;
  } else if (OBJ_find_sigid_algs(named, &named_digest, &named_key) != 1) {
    return false;
  }
  const bool key_fits = (named_key == NID_rsaEncryption && key == EVP_PKEY_RSA) ||
                        (named_key == NID_X9_62_id_ecPublicKey && key == EVP_PKEY_EC);
  return key_fits && named_digest == digest;
}

// Checks signer `si` of `p7` over `content` with certificate `signer`.
HRESULT VerifySignerSignature(PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* signer,
                              std::span<const std::uint8_t> content) {
  const EVP_MD* md = AcceptedDigest(si->digest_alg->algorithm);
  if (md == nullptr) return NTE_BAD_ALGID;
  if (!SignatureAlgorithmFits(si, signer)) return NTE_BAD_ALGID;
  // The signed contentType attribute names the content actually carried.
  if (sk_X509_ATTRIBUTE_num(si->auth_attr) > 0) {
    const ASN1_TYPE* type = PKCS7_get_signed_attribute(si, NID_pkcs9_contentType);
    if (type == nullptr || type->type != V_ASN1_OBJECT || p7->d.sign->contents->type == nullptr ||
        OBJ_cmp(type->value.object, p7->d.sign->contents->type) != 0) {
      return CRYPT_E_HASH_VALUE;
    }
  }
  ossl::BioPtr bio = DigestBio(md, content);
  if (!bio) return TRUST_E_SYSTEM_ERROR;
  if (PKCS7_signatureVerify(bio.get(), p7, si, signer) == 1) return S_OK;
  const unsigned long error = ERR_peek_last_error();
  ERR_clear_error();
  return ERR_GET_REASON(error) == PKCS7_R_DIGEST_FAILURE ? CRYPT_E_HASH_VALUE : NTE_BAD_SIGNATURE;
}

// The time of an RFC 3161 timestamp (1.3.6.1.4.1.311.3.3.1) over the signer's
// signature `signed_digest`, when it verifies.
std::optional<std::time_t> VerifyRfc3161(const ASN1_TYPE* value,
                                         std::span<const std::uint8_t> signed_digest) {
  if (value == nullptr || value->type != V_ASN1_SEQUENCE) return std::nullopt;
  ossl::Pkcs7Ptr token = ParseSignedData(std::span<const std::uint8_t>(
      value->value.sequence->data, static_cast<std::size_t>(value->value.sequence->length)));
  if (!token) return std::nullopt;
  const auto content = SignedContentOctets(token.get());
  if (!content || content->empty()) return std::nullopt;
  const unsigned char* q = content->data();
  TstInfoPtr info(d2i_TS_TST_INFO(nullptr, &q, static_cast<long>(content->size())));
  if (!info) return std::nullopt;
  TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
  const EVP_MD* md = AcceptedDigest(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
  const ASN1_OCTET_STRING* expected = TS_MSG_IMPRINT_get_msg(imprint);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  if (md == nullptr ||
      EVP_Digest(signed_digest.data(), signed_digest.size(), digest, &digest_len, md, nullptr) != 1 ||
      static_cast<int>(digest_len) != ASN1_STRING_length(expected) ||
      CRYPTO_memcmp(digest, ASN1_STRING_get0_data(expected), digest_len) != 0) {
    return std::nullopt;
  }
  const auto when = ToTimeT(TS_TST_INFO_get_time(info.get()));
  if (!when) return std::nullopt;
  SignerPolicy policy;
  policy.required_eku_nid = NID_time_stamp;
  policy.use_timestamp = false;
  policy.at_time = *when;
  SignerResult ignored;
  if (VerifySignedMessage(token.get(), policy, &ignored) != S_OK) return std::nullopt;
  return when;
}

// The time of a PKCS #9 countersignature (1.2.840.113549.1.9.6) over the
// signer's signature, when it verifies; its certificate is among `p7`'s.
std::optional<std::time_t> VerifyCountersignature(PKCS7* p7, const ASN1_TYPE* value,
                                                  std::span<const std::uint8_t> signed_digest) {
  if (value == nullptr || value->type != V_ASN1_SEQUENCE) return std::nullopt;
  const unsigned char* p = value->value.sequence->data;
  SignerInfoPtr counter(d2i_PKCS7_SIGNER_INFO(nullptr, &p, value->value.sequence->length));
  if (!counter) return std::nullopt;
  const ASN1_TYPE* signing_time = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
  if (signing_time == nullptr ||
      (signing_time->type != V_ASN1_UTCTIME && signing_time->type != V_ASN1_GENERALIZEDTIME)) {
    return std::nullopt;
  }
  const auto when = ToTimeT(signing_time->value.utctime);
  if (!when) return std::nullopt;
  PKCS7_ISSUER_AND_SERIAL* ias = counter->issuer_and_serial;
  X509* tsa = FindSignerCertificate(p7->d.sign->cert, ias);
  if (tsa == nullptr) return std::nullopt;
  if (VerifySignerSignature(p7, counter.get(), tsa, signed_digest) != S_OK) return std::nullopt;
  if (VerifyChain(tsa, p7->d.sign->cert, *when, NID_time_stamp) != S_OK) return std::nullopt;
  return when;
}

// --- Trust anchors -----------------------------------------------------------

// A PEM bundle read once, indexed by the DER of each certificate's subject.
// Only certificates a chain asks for are decoded as X.509.
class BundleIndex {
 public:
  explicit BundleIndex(std::string path) : path_(std::move(path)) {}

  // Adds to `store` every bundle certificate whose subject is `name`;
  // returns the first one added or found.
  X509* Resolve(X509_STORE* store, const X509_NAME* name) {
    Load();
    unsigned char* raw = nullptr;
    const int raw_len = i2d_X509_NAME(name, &raw);
    if (raw_len <= 0) return nullptr;
    ossl::BytesPtr owner(raw);
    const std::span<const std::uint8_t> wanted(raw, static_cast<std::size_t>(raw_len));
    X509* first = nullptr;
    for (Entry& e : entries_) {
      const auto subject = std::span<const std::uint8_t>(e.der).subspan(e.subject_at, e.subject_len);
      if (!std::equal(subject.begin(), subject.end(), wanted.begin(), wanted.end())) continue;
      if (!e.decoded) {
        const unsigned char* p = e.der.data();
        e.decoded.reset(d2i_X509(nullptr, &p, static_cast<long>(e.der.size())));
        if (e.decoded) X509_STORE_add_cert(store, e.decoded.get());
      }
      if (e.decoded && first == nullptr) first = e.decoded.get();
    }
    return first;
  }

 private:
  struct Entry {
    std::vector<std::uint8_t> der;
    std::size_t subject_at = 0;
    std::size_t subject_len = 0;
    ossl::X509Ptr decoded;
  };

  void Load() {
    if (loaded_) return;
    loaded_ = true;
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
    in.seekg(0, std::ios::end);
    const auto size = in.tellg();
    if (size <= 0 || static_cast<std::uint64_t>(size) > kMaxBundleSize) return;
    in.seekg(0);
    std::string text(static_cast<std::size_t>(size), '\0');
    if (!in.read(text.data(), size)) return;
    static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    std::size_t at = 0;
    while ((at = text.find(kBegin, at)) != std::string::npos) {
      const std::size_t body = at + kBegin.size();
      const std::size_t end = text.find(kEnd, body);
      if (end == std::string::npos) break;
      at = end + kEnd.size();
      Entry e;
      if (DecodeBase64(std::string_view(text).substr(body, end - body), &e.der) &&
          LocateSubject(e.der, &e.subject_at, &e.subject_len)) {
        entries_.push_back(std::move(e));
      }
    }
  }

  static bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>* out) {
    std::string compact;
    compact.reserve(text.size());
    for (const char c : text) {
      if (c != '\n' && c != '\r' && c != ' ' && c != '\t') compact.push_back(c);
    }
    if (compact.empty() || compact.size() % 4 != 0) return false;
    out->resize(compact.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out->data(), reinterpret_cast<const unsigned char*>(compact.data()),
                                  static_cast<int>(compact.size()));
    if (n < 0) return false;
    std::size_t len = static_cast<std::size_t>(n);
    // EVP_DecodeBlock counts the bytes the '=' padding stands for.
    if (compact.ends_with("==")) {
      len -= 2;
    } else if (compact.ends_with("=")) {
      len -= 1;
    }
    out->resize(len);
    return true;
  }

  // Finds the subject Name inside a certificate's DER:
  // Certificate { TBSCertificate { [0] version OPTIONAL, serial, signature,
  // issuer, validity, subject, ... }, ... }.
  static bool LocateSubject(std::span<const std::uint8_t> der, std::size_t* at, std::size_t* len) {
    const auto certificate = DerContents(der);
    if (!certificate) return false;
    const auto tbs = DerContents(*certificate);
    if (!tbs) return false;
    std::size_t offset = static_cast<std::size_t>(tbs->data() - der.data());
    const std::size_t end = offset + tbs->size();
    for (int field = 0; field < 6 && offset < end; ++field) {
      const unsigned char* p = der.data() + offset;
      long length = 0;
      int tag = 0;
      int cls = 0;
      const int r = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(end - offset));
      if ((r & 0x80) != 0 || length < 0) return false;
      const std::size_t header = static_cast<std::size_t>(p - (der.data() + offset));
      if (static_cast<std::size_t>(length) > end - offset - header) return false;
      const std::size_t whole = header + static_cast<std::size_t>(length);
      if (field == 0 && cls != V_ASN1_CONTEXT_SPECIFIC) ++field;  // no version field
      if (field == 5) {
        *at = offset;
        *len = whole;
        return true;
      }
      offset += whole;
    }
    return false;
  }

  std::string path_;
  bool loaded_ = false;
  std::vector<Entry> entries_;
};

struct TrustAnchors {
  ossl::StorePtr store;
  std::optional<BundleIndex> bundle;
  std::mutex bundle_mutex;
};

std::mutex g_trust_mutex;
std::unique_ptr<TrustAnchors> g_trust;

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

TrustAnchors& Anchors() {
  std::lock_guard lock(g_trust_mutex);
  if (g_trust) return *g_trust;
  auto anchors = std::make_unique<TrustAnchors>();
  anchors->store.reset(X509_STORE_new());
  X509_LOOKUP* dirs = X509_STORE_add_lookup(anchors->store.get(), X509_LOOKUP_hash_dir());
  if (dirs != nullptr) {
    const std::string system_dirs = EnvOr(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
    if (!system_dirs.empty()) X509_LOOKUP_add_dir(dirs, system_dirs.c_str(), X509_FILETYPE_PEM);
    const std::string codesign = EXELORE_CODESIGN_ROOTS_DIR;
    if (!codesign.empty()) X509_LOOKUP_add_dir(dirs, codesign.c_str(), X509_FILETYPE_PEM);
  }
  const std::string bundle = EnvOr(X509_get_default_cert_file_env(), X509_get_default_cert_file());
  if (!bundle.empty()) anchors->bundle.emplace(bundle);
  ERR_clear_error();
  g_trust = std::move(anchors);
  return *g_trust;
}

bool InStore(X509_STORE* store, const X509_NAME* name) {
  ossl::StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), store, nullptr, nullptr) != 1) return false;
  ObjectPtr object(
      X509_STORE_CTX_get_obj_by_subject(ctx.get(), X509_LU_X509, const_cast<X509_NAME*>(name)));
  return object != nullptr;
}

X509* FindBySubject(STACK_OF(X509) * certs, const X509_NAME* name) {
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    X509* c = sk_X509_value(certs, i);
    if (X509_NAME_cmp(X509_get_subject_name(c), name) == 0) return c;
  }
  return nullptr;
}

}  // namespace

TableState FindCertificateTable(const pe::FileSource& file, const pe::Headers& headers,
                                CertificateTable* table) {
  if (headers.number_of_directories <= pe::kDirectorySecurity) return TableState::kAbsent;
  const pe::DataDirectory& dir = headers.directories[pe::kDirectorySecurity];
  if (dir.address == 0 || dir.size == 0) return TableState::kAbsent;
  const std::uint64_t size = file.size();
  if (dir.address > size || dir.size > size - dir.address) return TableState::kInvalid;
  // The table lies after the headers it is described in.
  if (dir.address < headers.size_of_headers) return TableState::kInvalid;
  table->offset = dir.address;
  table->size = dir.size;
  return TableState::kPresent;
}

std::optional<std::vector<std::uint8_t>> ReadEmbeddedSignature(const pe::FileSource& file,
                                                               const pe::Headers& headers) {
  CertificateTable table;
  if (FindCertificateTable(file, headers, &table) != TableState::kPresent) return std::nullopt;
  if (table.size < kWinCertHeader) return std::nullopt;
  std::uint8_t header[kWinCertHeader];
  if (!file.ReadAt(table.offset, header)) return std::nullopt;
  const std::uint32_t length = Le32(header);
  const std::uint16_t revision = static_cast<std::uint16_t>(header[4] | (header[5] << 8));
  const std::uint16_t type = static_cast<std::uint16_t>(header[6] | (header[7] << 8));
  if (revision != kWinCertRevision2 || type != kWinCertTypePkcsSignedData) return std::nullopt;
  if (length <= kWinCertHeader || length > table.size) return std::nullopt;
  const std::uint32_t body = length - static_cast<std::uint32_t>(kWinCertHeader);
  if (body > kMaxSignatureSize) return std::nullopt;
  std::vector<std::uint8_t> der(body);
  if (!file.ReadAt(table.offset + kWinCertHeader, der)) return std::nullopt;
  return der;
}

ossl::Pkcs7Ptr ParseSignedData(std::span<const std::uint8_t> der) {
  if (der.empty() || der.size() > static_cast<std::size_t>(kMaxSignatureSize)) return nullptr;
  const unsigned char* p = der.data();
  ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  if (!p7) return nullptr;
  const auto used = static_cast<std::size_t>(p - der.data());
  if (!std::all_of(der.begin() + static_cast<std::ptrdiff_t>(used), der.end(),
                   [](std::uint8_t b) { return b == 0; })) {
    return nullptr;
  }
  if (!PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) {
    return nullptr;
  }
  // Only DER is taken: the decoder forgives some tags and lengths that a
  // re-encoding would write differently, and bytes it forgives are bytes an
  // attacker could change without the signature noticing.
  unsigned char* again = nullptr;
  const int again_len = i2d_PKCS7(p7.get(), &again);
  if (again_len <= 0) return nullptr;
  ossl::BytesPtr again_owner(again);
  if (static_cast<std::size_t>(again_len) != used || std::memcmp(again, der.data(), used) != 0) {
    return nullptr;
  }
  return p7;
}

std::optional<std::vector<std::uint8_t>> ComputeImageHash(const pe::FileSource& file,
                                                          const pe::Headers& headers,
                                                          const EVP_MD* md,
                                                          ImageHashOptions options) {
  struct Range {
    std::uint64_t offset;
    std::uint64_t length;
  };
  std::vector<Range> skip;
  skip.push_back({headers.checksum_offset, 4});
  if (headers.number_of_directories > pe::kDirectorySecurity) {
    skip.push_back({headers.DirectoryEntryOffset(pe::kDirectorySecurity), 8});
  }
  CertificateTable table;
  const TableState state = FindCertificateTable(file, headers, &table);
  if (state == TableState::kInvalid) return std::nullopt;
  if (state == TableState::kPresent) skip.push_back({table.offset, table.size});
  std::sort(skip.begin(), skip.end(), [](const Range& a, const Range& b) { return a.offset < b.offset; });

  ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return std::nullopt;
  // Reading ahead helps the one sequential pass; the advice is only a hint.
  ::posix_fadvise(file.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // No bigger than the file: zeroing a buffer the file cannot fill costs a
  // small file more than hashing it.
  std::vector<std::uint8_t> buffer(
      static_cast<std::size_t>(std::clamp<std::uint64_t>(file.size(), 1, kHashBuffer)));
  const auto hash_range = [&](std::uint64_t from, std::uint64_t to) {
    while (from < to) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), to - from));
      const std::span<std::uint8_t> chunk(buffer.data(), n);
      if (!file.ReadAt(from, chunk) || EVP_DigestUpdate(ctx.get(), chunk.data(), n) != 1) return false;
      from += n;
    }
    return true;
  };
  std::uint64_t at = 0;
  for (const Range& r : skip) {
    if (r.offset < at) continue;  // overlapping exclusions (hostile headers) hash nothing twice
    if (!hash_range(at, std::min(r.offset, file.size()))) return std::nullopt;
    at = std::min(r.offset + r.length, file.size());
  }
  if (!hash_range(at, file.size())) return std::nullopt;
  if (options.pad_unsigned_to_8 && state == TableState::kAbsent && file.size() % 8 != 0) {
    static constexpr std::uint8_t kZeros[8] = {};
    if (EVP_DigestUpdate(ctx.get(), kZeros, 8 - file.size() % 8) != 1) return std::nullopt;
  }
  std::vector<std::uint8_t> digest(static_cast<std::size_t>(EVP_MD_get_size(md)));
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &len) != 1) return std::nullopt;
  digest.resize(len);
  return digest;
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
      return std::span<const std::uint8_t>(other->value.octet_string->data,
                                           static_cast<std::size_t>(other->value.octet_string->length));
    }
    if (other->type == V_ASN1_SEQUENCE) {
      return DerContents(std::span<const std::uint8_t>(
          other->value.sequence->data, static_cast<std::size_t>(other->value.sequence->length)));
    }
  }
  return std::nullopt;
}

std::optional<IndirectData> ParseIndirectData(PKCS7* p7) {
  if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) {
    return std::nullopt;
  }
  PKCS7* content = p7->d.sign->contents;
  static const ASN1_OBJECT* const kSpcIndirectData = OBJ_txt2obj("1.3.6.1.4.1.311.2.1.4", 1);
  if (content->type == nullptr || OBJ_cmp(content->type, kSpcIndirectData) != 0) return std::nullopt;
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

HRESULT VerifySignedMessage(PKCS7* p7, const SignerPolicy& policy, SignerResult* result) {
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  if (signers == nullptr || sk_PKCS7_SIGNER_INFO_num(signers) < 1) return TRUST_E_NOSIGNATURE;
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
  const auto content = SignedContentOctets(p7);
  if (!content) return TRUST_E_NOSIGNATURE;

  // The signer's digest algorithm is one the message announces.
  bool announced = false;
  STACK_OF(X509_ALGOR)* announced_algs = p7->d.sign->md_algs;
  for (int i = 0; i < sk_X509_ALGOR_num(announced_algs); ++i) {
    if (OBJ_cmp(sk_X509_ALGOR_value(announced_algs, i)->algorithm, si->digest_alg->algorithm) == 0) {
      announced = true;
    }
  }
  if (!announced) return NTE_BAD_ALGID;

  X509* signer = FindSignerCertificate(p7->d.sign->cert, si->issuer_and_serial);
  if (signer == nullptr) return TRUST_E_NO_SIGNER_CERT;
  result->signer = ossl::UpRef(signer);

  if (const HRESULT hr = VerifySignerSignature(p7, si, signer, *content); hr != S_OK) return hr;

  std::optional<std::time_t> at = policy.at_time;
  if (!at && policy.use_timestamp) {
    const std::span<const std::uint8_t> signed_digest(si->enc_digest->data,
                                                      static_cast<std::size_t>(si->enc_digest->length));
    static const ASN1_OBJECT* const kRfc3161 = OBJ_txt2obj("1.3.6.1.4.1.311.3.3.1", 1);
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i) {
      X509_ATTRIBUTE* attr = sk_X509_ATTRIBUTE_value(si->unauth_attr, i);
      const ASN1_OBJECT* oid = X509_ATTRIBUTE_get0_object(attr);
      const bool rfc3161 = OBJ_cmp(oid, kRfc3161) == 0;
      const bool legacy = OBJ_obj2nid(oid) == NID_pkcs9_countersignature;
      if (!rfc3161 && !legacy) continue;
      // A timestamp that is there must hold; a broken one fails the
      // signature rather than being ignored.
      const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, 0);
      const auto when = rfc3161 ? VerifyRfc3161(value, signed_digest)
                                : VerifyCountersignature(p7, value, signed_digest);
      if (!when) return TRUST_E_TIME_STAMP;
      at = when;
      result->timestamp = when;
      break;
    }
  }
  return VerifyChain(signer, p7->d.sign->cert, at, policy.required_eku_nid);
}

X509_STORE* TrustStore() { return Anchors().store.get(); }

void PrepareTrustStore(X509* leaf, STACK_OF(X509) * intermediates) {
  TrustAnchors& anchors = Anchors();
  if (!anchors.bundle) return;
  // Walk up by issuer name: the store's directories and the message's own
  // certificates are cheap; the bundle is consulted for a name neither has.
  X509* current = leaf;
  for (int depth = 0; depth < kMaxChainDepth && current != nullptr; ++depth) {
    const X509_NAME* issuer = X509_get_issuer_name(current);
    if (X509_NAME_cmp(issuer, X509_get_subject_name(current)) == 0) break;
    if (InStore(anchors.store.get(), issuer)) break;
    X509* next = FindBySubject(intermediates, issuer);
    // A root the message carries is no anchor by itself, but the bundle may
    // hold it.
    if (next != nullptr &&
        X509_NAME_cmp(X509_get_issuer_name(next), X509_get_subject_name(next)) != 0) {
      current = next;
      continue;
    }
    std::lock_guard lock(anchors.bundle_mutex);
    current = anchors.bundle->Resolve(anchors.store.get(), issuer);
  }
  ERR_clear_error();
}

void ResetTrustStore() {
  std::lock_guard lock(g_trust_mutex);
  g_trust.reset();
}

std::optional<std::time_t> ToTimeT(const ASN1_TIME* t) {
  std::tm tm{};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return std::nullopt;
  return ::timegm(&tm);
}

}  // namespace exelore_posix::authenticode

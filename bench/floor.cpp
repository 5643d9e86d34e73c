// The floor of a console check, for bench/console_bench.sh: the least work
// any correct Authenticode check of a signed PE file does, with the same
// OpenSSL the program links. It reads the file once, hashes the ranges the
// signature covers, compares the digest the signature lists, verifies the
// signer's signature, one signature per certificate up to an anchor, and the
// same for an RFC 3161 timestamp token when the signature carries one, with
// OpenSSL set up as the program sets it up (ossl::ApiCall: no configuration
// file, the digests signatures name, OpenSSL's built-in key methods). It
// checks nothing else (dates, usages, policies), so it is a floor, not a
// verifier.
//
//   floor ANCHORS.pem FILE          exit 0 when every check holds
//   floor --pick ROOTS.pem FILE     print the roots of ROOTS.pem FILE's
//                                   chains end at (to make ANCHORS.pem)
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string_view>
#include <vector>

#include "ossl.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Le(std::span<const std::uint8_t> b, std::size_t at, int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i) v |= std::uint32_t{b[at + static_cast<std::size_t>(i)]} << (8 * i);
  return v;
}

// The contents octets of the DER element at `der` (its tag and length
// skipped), or an empty span.
std::span<const std::uint8_t> Contents(const unsigned char* der, long size) {
  const unsigned char* p = der;
  long length = 0;
  int tag = 0;
  int cls = 0;
  if (ASN1_get_object(&p, &length, &tag, &cls, size) & 0x80) return {};
  return {p, static_cast<std::size_t>(length)};
}

struct Image {
  std::size_t checksum = 0;  // offset of CheckSum
  std::size_t dir = 0;       // offset of the certificate table's directory entry
  std::size_t table = 0;     // the certificate table
  std::size_t table_size = 0;
};

bool ReadImage(std::span<const std::uint8_t> f, Image* image) {
  if (f.size() < 64) return false;
  const std::size_t pe = Le(f, 0x3c, 4);
  if (pe > f.size() - 24 - 112) return false;
  const std::size_t opt = pe + 24;
  const bool plus = Le(f, opt, 2) == 0x20b;
  image->checksum = opt + 64;
  image->dir = opt + (plus ? 112 : 96) + 4 * 8;
  if (image->dir + 8 > f.size()) return false;
  image->table = Le(f, image->dir, 4);
  image->table_size = Le(f, image->dir + 4, 4);
  return image->table >= image->dir + 8 && image->table <= f.size() && image->table_size >= 8 &&
         image->table_size <= f.size() - image->table;
}

// The Authenticode digest: the file up to the certificate table without
// CheckSum and the table's directory entry.
bool ImageDigest(std::span<const std::uint8_t> f, const Image& image, const EVP_MD* md,
                 unsigned char* out, unsigned int* size) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok =
      ctx != nullptr && EVP_DigestInit_ex(ctx, md, nullptr) == 1 &&
      EVP_DigestUpdate(ctx, f.data(), image.checksum) == 1 &&
      EVP_DigestUpdate(ctx, f.data() + image.checksum + 4, image.dir - image.checksum - 4) == 1 &&
      EVP_DigestUpdate(ctx, f.data() + image.dir + 8, image.table - image.dir - 8) == 1 &&
      EVP_DigestFinal_ex(ctx, out, size) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

// The signer's signature over its authenticated attributes, whose
// messageDigest must be the digest of `content`.
bool SignerVerifies(PKCS7_SIGNER_INFO* si, X509* signer, std::span<const std::uint8_t> content) {
  const EVP_MD* md = EVP_get_digestbyobj(si->digest_alg->algorithm);
  ASN1_OCTET_STRING* listed = PKCS7_digest_from_attributes(si->auth_attr);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (md == nullptr || listed == nullptr ||
      EVP_Digest(content.data(), content.size(), digest, &size, md, nullptr) != 1 ||
      static_cast<unsigned int>(listed->length) != size ||
      std::memcmp(listed->data, digest, size) != 0) {
    return false;
  }
  unsigned char* attrs = nullptr;
  const int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attrs,
                                   ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok =
      length > 0 && ctx != nullptr &&
      EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, X509_get0_pubkey(signer)) == 1 &&
      EVP_DigestVerify(ctx, si->enc_digest->data, static_cast<std::size_t>(si->enc_digest->length),
                       attrs, static_cast<std::size_t>(length)) == 1;
  EVP_MD_CTX_free(ctx);
  OPENSSL_free(attrs);
  return ok;
}

// One signature per link from `cert` up to an anchor: the first anchor
// whose subject is the certificate's issuer ends the walk, else the
// message's certificate of that subject is the next link. The anchor it
// reached in *root.
bool ChainVerifies(X509* cert, STACK_OF(X509) * certs, STACK_OF(X509) * anchors, X509** root) {
  for (int depth = 0; depth < 8; ++depth) {
    X509_NAME* issuer = X509_get_issuer_name(cert);
    X509* next = X509_find_by_subject(anchors, issuer);
    if (next != nullptr) {
      *root = next;
      return X509_verify(cert, X509_get0_pubkey(next)) == 1;
    }
    next = X509_find_by_subject(certs, issuer);
    if (next == nullptr || next == cert || X509_verify(cert, X509_get0_pubkey(next)) != 1) {
      return false;
    }
    cert = next;
  }
  return false;
}

// The first signer of `p7` over its content, and its chain.
bool MessageVerifies(PKCS7* p7, STACK_OF(X509) * anchors, X509** root, PKCS7_SIGNER_INFO** out,
                     std::span<const std::uint8_t>* content) {
  if (!PKCS7_type_is_signed(p7) || p7->d.sign->contents == nullptr) return false;
  ASN1_TYPE* other = p7->d.sign->contents->d.other;
  if (other == nullptr || (other->type != V_ASN1_SEQUENCE && other->type != V_ASN1_OCTET_STRING)) {
    return false;
  }
  const ASN1_STRING* value = other->value.asn1_string;
  *content =
      other->type == V_ASN1_SEQUENCE
          ? Contents(value->data, value->length)
          : std::span<const std::uint8_t>(value->data, static_cast<std::size_t>(value->length));
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  if (content->empty() || sk_PKCS7_SIGNER_INFO_num(signers) < 1) return false;
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, 0);
  STACK_OF(X509)* certs = p7->d.sign->cert;
  X509* signer = X509_find_by_issuer_and_serial(certs, si->issuer_and_serial->issuer,
                                                si->issuer_and_serial->serial);
  *out = si;
  return signer != nullptr && SignerVerifies(si, signer, *content) &&
         ChainVerifies(signer, certs, anchors, root);
}

// An RFC 3161 token in the signer's unauthenticated attributes
// (1.3.6.1.4.1.311.3.3.1), a CMS SignedData (its signer may be named by key
// identifier, which PKCS7 cannot read): its signature, its chain, and its
// message imprint the digest of the signer's signature. True when there is
// none.
bool TimestampVerifies(PKCS7_SIGNER_INFO* si, STACK_OF(X509) * anchors, X509** root) {
  ASN1_OBJECT* oid = OBJ_txt2obj("1.3.6.1.4.1.311.3.3.1", 1);
  ASN1_TYPE* token = nullptr;
  for (int i = 0; i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i) {
    X509_ATTRIBUTE* a = sk_X509_ATTRIBUTE_value(si->unauth_attr, i);
    if (OBJ_cmp(X509_ATTRIBUTE_get0_object(a), oid) == 0) token = X509_ATTRIBUTE_get0_type(a, 0);
  }
  ASN1_OBJECT_free(oid);
  if (token == nullptr) return true;
  if (token->type != V_ASN1_SEQUENCE) return false;
  const unsigned char* p = token->value.sequence->data;
  CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, token->value.sequence->length);
  STACK_OF(CMS_SignerInfo)* signers = cms != nullptr ? CMS_get0_SignerInfos(cms) : nullptr;
  ASN1_OCTET_STRING** content = cms != nullptr ? CMS_get0_content(cms) : nullptr;
  if (sk_CMS_SignerInfo_num(signers) < 1 || content == nullptr || *content == nullptr) return false;
  CMS_SignerInfo* tsa = sk_CMS_SignerInfo_value(signers, 0);
  STACK_OF(X509)* certs = CMS_get1_certs(cms);
  X509* tsa_cert = nullptr;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    if (CMS_SignerInfo_cert_cmp(tsa, sk_X509_value(certs, i)) == 0)
      tsa_cert = sk_X509_value(certs, i);
  }
  X509_ALGOR* digest_alg = nullptr;
  CMS_SignerInfo_get0_algs(tsa, nullptr, nullptr, &digest_alg, nullptr);
  const EVP_MD* md = EVP_get_digestbyobj(digest_alg->algorithm);
  const ASN1_OCTET_STRING* listed =
      static_cast<const ASN1_OCTET_STRING*>(CMS_signed_get0_data_by_OBJ(
          tsa, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (tsa_cert != nullptr) CMS_SignerInfo_set1_signer_cert(tsa, tsa_cert);
  if (tsa_cert == nullptr || md == nullptr || listed == nullptr ||
      EVP_Digest((*content)->data, static_cast<std::size_t>((*content)->length), digest, &size, md,
                 nullptr) != 1 ||
      static_cast<unsigned int>(listed->length) != size ||
      std::memcmp(listed->data, digest, size) != 0 || CMS_SignerInfo_verify(tsa) != 1 ||
      !ChainVerifies(tsa_cert, certs, anchors, root)) {
    return false;
  }
  p = (*content)->data;
  TS_TST_INFO* info = d2i_TS_TST_INFO(nullptr, &p, (*content)->length);
  TS_MSG_IMPRINT* imprint = info != nullptr ? TS_TST_INFO_get_msg_imprint(info) : nullptr;
  md = imprint != nullptr ? EVP_get_digestbyobj(TS_MSG_IMPRINT_get_algo(imprint)->algorithm)
                          : nullptr;
  const ASN1_OCTET_STRING* imprinted =
      imprint != nullptr ? TS_MSG_IMPRINT_get_msg(imprint) : nullptr;
  return md != nullptr &&
         EVP_Digest(si->enc_digest->data, static_cast<std::size_t>(si->enc_digest->length), digest,
                    &size, md, nullptr) == 1 &&
         static_cast<unsigned int>(imprinted->length) == size &&
         std::memcmp(imprinted->data, digest, size) == 0;
}

STACK_OF(X509) * ReadAnchors(const char* path) {
  STACK_OF(X509)* anchors = sk_X509_new_null();
  BIO* bio = BIO_new_file(path, "r");
  while (X509* cert =
             bio != nullptr ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr) {
    sk_X509_push(anchors, cert);
  }
  BIO_free(bio);
  return anchors;
}

}  // namespace

int main(int argc, char** argv) {
  const bool pick = argc == 4 && std::string_view(argv[1]) == "--pick";
  if (argc != 3 && !pick) {
    std::fprintf(stderr, "usage: floor [--pick] ANCHORS.pem FILE\n");
    return 2;
  }
  const exelore_posix::ossl::ApiCall call;
  std::ifstream in(argv[argc - 1], std::ios::binary);
  const Bytes file{std::istreambuf_iterator<char>(in), {}};
  STACK_OF(X509)* anchors = ReadAnchors(argv[argc - 2]);
  Image image;
  if (!ReadImage(file, &image)) return 1;
  // WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the PKCS #7.
  const unsigned char* p = file.data() + image.table + 8;
  PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(image.table_size - 8));
  PKCS7_SIGNER_INFO* si = nullptr;
  std::span<const std::uint8_t> content;
  X509* roots[2] = {nullptr, nullptr};
  if (p7 == nullptr || !MessageVerifies(p7, anchors, &roots[0], &si, &content)) return 1;
  // SpcIndirectDataContent ::= SEQUENCE { data, messageDigest DigestInfo }:
  // DigestInfo is X509_SIG's SEQUENCE { AlgorithmIdentifier, OCTET STRING }.
  const auto data = Contents(content.data(), static_cast<long>(content.size()));
  const unsigned char* digest_info = data.data() + data.size();
  p = digest_info;
  X509_SIG* listed =
      d2i_X509_SIG(nullptr, &p, static_cast<long>(content.data() + content.size() - digest_info));
  if (data.empty() || listed == nullptr) return 1;
  const X509_ALGOR* algorithm = nullptr;
  const ASN1_OCTET_STRING* want = nullptr;
  X509_SIG_get0(listed, &algorithm, &want);
  const EVP_MD* md = EVP_get_digestbyobj(algorithm->algorithm);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (md == nullptr || !ImageDigest(file, image, md, digest, &size) ||
      static_cast<unsigned int>(want->length) != size ||
      std::memcmp(want->data, digest, size) != 0 || !TimestampVerifies(si, anchors, &roots[1])) {
    return 1;
  }
  if (pick) {
    PEM_write_X509(stdout, roots[0]);
    if (roots[1] != nullptr && X509_cmp(roots[1], roots[0]) != 0) PEM_write_X509(stdout, roots[1]);
  }
  return 0;
}

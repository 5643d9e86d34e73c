#include "signing.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "authenticode/signed_data.h"
#include "pe_builder.h"
#include "process.h"

namespace exelore_test {

namespace {

constexpr char kOsslsigncode[] = "/usr/bin/osslsigncode";

}  // namespace

bool HaveOsslsigncode() { return ::access(kOsslsigncode, X_OK) == 0; }

void SignFile(const PkiIdentity& identity, const std::string& in, const std::string& out,
              const std::string& hash, const std::vector<std::string>& extra) {
  ::unlink(out.c_str());  // osslsigncode does not overwrite
  std::vector<std::string> argv = {kOsslsigncode, "sign",       "-certs", identity.chain,
                                   "-key",        identity.key, "-h",     hash};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.insert(argv.end(), {"-in", in, "-out", out});
  const auto result = RunProcess(argv);
  if (result.exit_status != 0) {
    throw std::runtime_error("osslsigncode sign failed: " + result.out + result.err);
  }
}

std::size_t SecurityDirectoryEntry(const std::vector<std::uint8_t>& image) {
  const std::size_t nt = Get32(image, 0x3c);
  const std::size_t optional = nt + 24;
  if (optional + 2 > image.size()) throw std::runtime_error("image too short");
  const bool pe32plus = (image[optional] | (image[optional + 1] << 8)) == 0x20b;
  return optional + (pe32plus ? 112 : 96) + 4 * 8;
}

std::vector<std::uint8_t> ReplaceCertificateTable(std::vector<std::uint8_t> image,
                                                  const std::vector<std::uint8_t>& table,
                                                  std::uint32_t directory_size) {
  const std::size_t entry = SecurityDirectoryEntry(image);
  std::uint32_t offset = Get32(image, entry);
  if (offset == 0 || offset > image.size()) offset = static_cast<std::uint32_t>(image.size());
  image.resize(offset);
  image.insert(image.end(), table.begin(), table.end());
  Put32(image, entry, offset);
  Put32(image, entry + 4,
        directory_size ? directory_size : static_cast<std::uint32_t>(table.size()));
  return image;
}

std::vector<std::uint8_t> RewriteSignature(std::vector<std::uint8_t> image,
                                           const std::function<void(PKCS7*)>& edit) {
  const std::size_t entry = SecurityDirectoryEntry(image);
  const std::uint32_t table = Get32(image, entry);
  const std::uint32_t length = Get32(image, table);
  if (length < 8 || table + length > image.size()) throw std::runtime_error("bad table");
  const unsigned char* p = image.data() + table + 8;
  const exelore_posix::ossl::Pkcs7Ptr pkcs7(d2i_PKCS7(nullptr, &p, length - 8));
  if (!pkcs7) throw std::runtime_error("no PKCS #7 in the image");
  edit(pkcs7.get());
  const std::vector<std::uint8_t> der =
      exelore_posix::authenticode::Encoded(pkcs7.get(), i2d_PKCS7);
  if (der.empty()) throw std::runtime_error("cannot encode the PKCS #7");
  // WIN_CERTIFICATE header, the DER, zero padding to 8 bytes.
  std::vector<std::uint8_t> certificate((8 + der.size() + 7) & ~std::size_t{7});
  std::copy(der.begin(), der.end(), certificate.begin() + 8);
  Put32(certificate, 0, static_cast<std::uint32_t>(certificate.size()));
  certificate[5] = 0x02;  // WIN_CERT_REVISION_2_0
  certificate[6] = 0x02;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
  return ReplaceCertificateTable(std::move(image), certificate);
}

namespace {

// A public key of the type of `like` that no one holds: a fresh P-256 key
// for an elliptic-curve one, `like`'s RSA modulus plus 2 * `n` otherwise.
exelore_posix::ossl::KeyPtr KeyLike(EVP_PKEY* like, int n) {
  if (EVP_PKEY_get_base_id(like) != EVP_PKEY_RSA) {
    return exelore_posix::ossl::KeyPtr(EVP_EC_gen("P-256"));
  }
  BIGNUM* modulus = nullptr;
  BIGNUM* exponent = nullptr;
  EVP_PKEY_get_bn_param(like, OSSL_PKEY_PARAM_RSA_N, &modulus);
  EVP_PKEY_get_bn_param(like, OSSL_PKEY_PARAM_RSA_E, &exponent);
  BN_add_word(modulus, 2 * static_cast<BN_ULONG>(n));
  OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, modulus);
  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, exponent);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata_init(ctx) != 1 ||
      EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    key = nullptr;
  }
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(build);
  BN_free(modulus);
  BN_free(exponent);
  return exelore_posix::ossl::KeyPtr(key);
}

}  // namespace

std::vector<std::uint8_t> CrowdBeforeIssuer(const std::vector<std::uint8_t>& image, int count,
                                            Crowd kind) {
  return RewriteSignature(image, [&](PKCS7* p7) {
    STACK_OF(X509)* certs = p7->d.sign->cert;
    const PKCS7_ISSUER_AND_SERIAL* signer =
        sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0)->issuer_and_serial;
    X509* issuer = nullptr;
    for (int i = 0; i < sk_X509_num(certs) && issuer == nullptr; ++i) {
      if (X509_NAME_cmp(X509_get_subject_name(sk_X509_value(certs, i)), signer->issuer) == 0) {
        issuer = sk_X509_value(certs, i);
      }
    }
    if (issuer == nullptr) throw std::runtime_error("the signer's issuer is not in the set");
    // The attacker's authority: one key signs every certificate made here.
    const exelore_posix::ossl::KeyPtr attacker(EVP_EC_gen("P-256"));
    X509* authority = X509_new();
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Crowd Authority"), -1, -1,
                               0);
    X509_set_version(authority, 2);
    X509_set_subject_name(authority, name);
    X509_set_issuer_name(authority, name);
    X509_set_pubkey(authority, attacker.get());
    X509_gmtime_adj(X509_getm_notBefore(authority), 0);
    X509_gmtime_adj(X509_getm_notAfter(authority), 86400);
    X509_sign(authority, attacker.get(), EVP_sha256());
    for (int i = 0; i < count; ++i) {
      X509* copy = X509_dup(issuer);
      if (kind == Crowd::kOtherKeys) {
        X509_set_pubkey(copy, KeyLike(X509_get0_pubkey(issuer), i + 1).get());
      } else {
        X509_set_issuer_name(copy, name);
        const int at = X509_get_ext_by_NID(copy, NID_authority_key_identifier, -1);
        if (at >= 0) X509_EXTENSION_free(X509_delete_ext(copy, at));
        ASN1_INTEGER_set(X509_get_serialNumber(copy), 1000 + i);
      }
      X509_sign(copy, attacker.get(), EVP_sha256());  // encoded anew
      sk_X509_insert(certs, copy, 0);
    }
    if (kind == Crowd::kCrosses)
      sk_X509_push(certs, authority);
    else
      X509_free(authority);
    X509_NAME_free(name);
  });
}

}  // namespace exelore_test

#include "test_pki.h"

#include <stdlib.h>

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "authenticode/signed_data.h"
#include "ossl.h"
#include "process.h"

namespace exelore_test {
namespace {

using exelore_posix::ossl::BioPtr;
using exelore_posix::ossl::Free;
using CertPtr = exelore_posix::ossl::X509Ptr;
using exelore_posix::ossl::KeyPtr;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

struct Issued {
  KeyPtr key;
  CertPtr cert;
};

struct Subject {
  const char* cn = nullptr;
  const char* o = "ExeLore Test";
};

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  // OpenSSL reads certificatePolicies from a configuration only: one
  // policy, by its identifier.
  if (nid == NID_certificate_policies) {
    CERTIFICATEPOLICIES* policies = sk_POLICYINFO_new_null();
    POLICYINFO* info = POLICYINFO_new();
    Check(policies != nullptr && info != nullptr, "policies");
    ASN1_OBJECT_free(info->policyid);
    info->policyid = OBJ_txt2obj(value, 1);
    sk_POLICYINFO_push(policies, info);
    const int added = X509_add1_ext_i2d(cert, nid, policies, 0, X509V3_ADD_DEFAULT);
    CERTIFICATEPOLICIES_free(policies);
    Check(added == 1, "policies");
    return;
  }
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

enum class KeyKind { kP256, kP384, kSecp112r1, kP256Explicit, kRsa2048, kRsa1024, kRsa512 };

EVP_PKEY* NewKey(KeyKind kind) {
  switch (kind) {
    case KeyKind::kP256:
      return EVP_EC_gen("P-256");
    case KeyKind::kP384:
      return EVP_EC_gen("P-384");
    case KeyKind::kSecp112r1:
      return EVP_EC_gen("secp112r1");
    case KeyKind::kP256Explicit: {
      EVP_PKEY* key = EVP_EC_gen("P-256");
      if (key != nullptr && EVP_PKEY_set_utf8_string_param(key, OSSL_PKEY_PARAM_EC_ENCODING,
                                                           OSSL_PKEY_EC_ENCODING_EXPLICIT) != 1) {
        EVP_PKEY_free(key);
        return nullptr;
      }
      return key;
    }
    case KeyKind::kRsa2048:
      return EVP_RSA_gen(2048);
    case KeyKind::kRsa1024:
      return EVP_RSA_gen(1024);
    case KeyKind::kRsa512:
      return EVP_RSA_gen(512);
  }
  return nullptr;
}

// Issues a certificate for a new key, signed by `issuer` (self-signed when
// null). `extensions` are (nid, value) pairs in OpenSSL's config syntax.
Issued Issue(const Subject& subject, const Issued* issuer, std::time_t not_before,
             std::time_t not_after, long serial,
             const std::vector<std::pair<int, const char*>>& extensions,
             KeyKind kind = KeyKind::kP256, const EVP_MD* digest = EVP_sha256()) {
  Issued out;
  out.key.reset(NewKey(kind));
  Check(out.key != nullptr, "key");
  out.cert.reset(X509_new());
  X509* cert = out.cert.get();
  X509_set_version(cert, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_NAME* name = X509_get_subject_name(cert);
  if (subject.o != nullptr) {
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(subject.o), -1, -1, 0);
  }
  if (subject.cn != nullptr) {
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(subject.cn), -1, -1, 0);
  }
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer->cert.get()) : name);
  ASN1_TIME_set(X509_getm_notBefore(cert), not_before);
  ASN1_TIME_set(X509_getm_notAfter(cert), not_after);
  X509_set_pubkey(cert, out.key.get());
  X509* issuer_cert = issuer ? issuer->cert.get() : cert;
  AddExtension(cert, issuer_cert, NID_subject_key_identifier, "hash");
  AddExtension(cert, issuer_cert, NID_authority_key_identifier, "keyid:always");
  for (const auto& [nid, value] : extensions) AddExtension(cert, issuer_cert, nid, value);
  EVP_PKEY* signing_key = issuer ? issuer->key.get() : out.key.get();
  Check(X509_sign(cert, signing_key, digest) > 0, "sign");
  return out;
}

// Gives `id` the serial number whose DER contents are `serial` and signs it
// again with `key`.
void SetSerial(Issued* id, const std::vector<unsigned char>& serial, EVP_PKEY* key) {
  std::vector<unsigned char> der = {0x02, static_cast<unsigned char>(serial.size())};
  der.insert(der.end(), serial.begin(), serial.end());
  const unsigned char* p = der.data();
  std::unique_ptr<ASN1_INTEGER, Free<ASN1_INTEGER_free>> value(
      d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(der.size())));
  Check(value && X509_set_serialNumber(id->cert.get(), value.get()) == 1, "serial");
  Check(X509_sign(id->cert.get(), key, EVP_sha256()) > 0, "sign again");
}

void WritePem(const std::string& path, const std::vector<X509*>& certs) {
  BioPtr bio(BIO_new_file(path.c_str(), "w"));
  Check(bio != nullptr, "open");
  for (X509* c : certs) Check(PEM_write_bio_X509(bio.get(), c) == 1, "write cert");
}

PkiIdentity Save(const std::string& dir, const std::string& stem, const Issued& id,
                 const std::vector<X509*>& issuers_below_root) {
  PkiIdentity out;
  out.cert = dir + "/" + stem + ".pem";
  out.key = dir + "/" + stem + ".key";
  out.chain = dir + "/" + stem + "-chain.pem";
  WritePem(out.cert, {id.cert.get()});
  std::vector<X509*> chain = {id.cert.get()};
  chain.insert(chain.end(), issuers_below_root.begin(), issuers_below_root.end());
  WritePem(out.chain, chain);
  BioPtr bio(BIO_new_file(out.key.c_str(), "w"));
  Check(bio && PEM_write_bio_PrivateKey(bio.get(), id.key.get(), nullptr, nullptr, 0, nullptr,
                                        nullptr) == 1,
        "write key");
  return out;
}

}  // namespace

const TestPki& SharedTestPki() {
  static const TempDir dir;
  static const TestPki pki = TestPki::Create(dir.File("pki"));
  return pki;
}

TestPki TestPki::Create(const std::string& dir) {
  std::filesystem::create_directories(dir);
  const std::vector<std::pair<int, const char*>> ca = {
      {NID_basic_constraints, "critical,CA:TRUE"}, {NID_key_usage, "critical,keyCertSign,cRLSign"}};
  const auto leaf = [](const char* eku) {
    return std::vector<std::pair<int, const char*>>{{NID_basic_constraints, "CA:FALSE"},
                                                    {NID_key_usage, "critical,digitalSignature"},
                                                    {NID_ext_key_usage, eku}};
  };

  TestPki pki;
  const Issued root = Issue({"ExeLore Test Root"}, nullptr, kNotBefore, kNotAfter, 1, ca);
  const Issued inter = Issue({"ExeLore Test Intermediate CA"}, &root, kNotBefore, kNotAfter, 2, ca);
  const Issued signer =
      Issue({"ExeLore Test Signer"}, &inter, kNotBefore, kNotAfter, 0x1001, leaf("codeSigning"));
  const Issued no_cn = Issue({nullptr, "ExeLore Org Only"}, &inter, kNotBefore, kNotAfter, 0x1002,
                             leaf("codeSigning"));
  const Issued expired = Issue({"ExeLore Expired Signer"}, &inter, kNotBefore, kExpiredNotAfter,
                               0x1003, leaf("codeSigning"));
  const Issued wrong_eku =
      Issue({"ExeLore Server Only"}, &inter, kNotBefore, kNotAfter, 0x1004, leaf("serverAuth"));
  const Issued tsa = Issue({"ExeLore Test TSA"}, &inter, kNotBefore, kNotAfter, 0x1005,
                           leaf("critical,timeStamping"));
  const Issued rsa_inter = Issue({"ExeLore RSA Intermediate CA"}, &root, kNotBefore, kNotAfter, 3,
                                 ca, KeyKind::kRsa2048);
  const Issued rsa_signer = Issue({"ExeLore RSA Signer"}, &rsa_inter, kNotBefore, kNotAfter, 0x3001,
                                  leaf("codeSigning"), KeyKind::kRsa2048);
  const Issued rsa_tsa = Issue({"ExeLore RSA TSA"}, &rsa_inter, kNotBefore, kNotAfter, 0x3004,
                               leaf("critical,timeStamping"), KeyKind::kRsa2048);
  const Issued other_root =
      Issue({"ExeLore Untrusted Root"}, nullptr, kNotBefore, kNotAfter, 9, ca);
  const Issued other_signer = Issue({"ExeLore Untrusted Signer"}, &other_root, kNotBefore,
                                    kNotAfter, 0x9001, leaf("codeSigning"));

  // Serials 00 80 00 .. 10 a1 and 80 00 .. 10 a1 are one number to
  // CertCompareIntegerBlob.
  const std::vector<unsigned char> high = {0x80, 0, 0, 0, 0, 0, 0x10, 0xa1};
  std::vector<unsigned char> high_positive = {0x00};
  high_positive.insert(high_positive.end(), high.begin(), high.end());
  Issued high_serial =
      Issue({"ExeLore High Serial Signer"}, &inter, kNotBefore, kNotAfter, 1, leaf("codeSigning"));
  SetSerial(&high_serial, high_positive, inter.key.get());
  Issued twin = Issue({"Mallory Twin"}, &inter, kNotBefore, kNotAfter, 1, leaf("codeSigning"));
  SetSerial(&twin, high, twin.key.get());
  const Issued rsa512 = Issue({"ExeLore RSA-512 Signer"}, &rsa_inter, kNotBefore, kNotAfter, 0x3002,
                              leaf("codeSigning"), KeyKind::kRsa512);
  const Issued rsa1024 = Issue({"ExeLore RSA-1024 Signer"}, &rsa_inter, kNotBefore, kNotAfter,
                               0x3003, leaf("codeSigning"), KeyKind::kRsa1024);
  const Issued weak_inter = Issue({"ExeLore RSA-512 Intermediate CA"}, &root, kNotBefore, kNotAfter,
                                  4, ca, KeyKind::kRsa512);
  const Issued weak_issuer = Issue({"ExeLore Signer Under RSA-512"}, &weak_inter, kNotBefore,
                                   kNotAfter, 0x4001, leaf("codeSigning"));
  const Issued lifetime = Issue({"ExeLore Lifetime Signer"}, &inter, kNotBefore, kExpiredNotAfter,
                                0x1006, leaf("codeSigning,1.3.6.1.4.1.311.10.3.13"));
  const Issued tsa_no_eku = Issue({"ExeLore TSA Without Usage"}, &inter, kNotBefore, kNotAfter,
                                  0x1007, {{NID_basic_constraints, "CA:FALSE"}});
  const Issued old_root = Issue({"ExeLore Old Style Root"}, nullptr, kNotBefore, kNotAfter, 5, {});
  const Issued old_inter =
      Issue({"ExeLore Old Style Intermediate CA"}, &old_root, kNotBefore, kNotAfter, 6, ca);
  const Issued old_signer = Issue({"ExeLore Old Root Signer"}, &old_inter, kNotBefore, kNotAfter,
                                  0x6001, leaf("codeSigning"));
  const Issued non_ca = Issue({"ExeLore Not A CA"}, &root, kNotBefore, kNotAfter, 7, {});
  const Issued non_ca_signer = Issue({"ExeLore Under Not A CA"}, &non_ca, kNotBefore, kNotAfter,
                                     0x7001, leaf("codeSigning"));

  const Issued curve_inter = Issue({"ExeLore secp112r1 Intermediate CA"}, &root, kNotBefore,
                                   kNotAfter, 10, ca, KeyKind::kSecp112r1);
  const Issued p384_inter = Issue({"ExeLore P-384 Intermediate CA"}, &root, kNotBefore, kNotAfter,
                                  11, ca, KeyKind::kP384);
  auto with = [](std::vector<std::pair<int, const char*>> base,
                 std::vector<std::pair<int, const char*>> more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
  };
  const Issued policy_inter =
      Issue({"ExeLore Policy Constrained CA"}, &root, kNotBefore, kNotAfter, 12,
            with(ca, {{NID_certificate_policies, "1.3.6.1.4.1.55555.1"},
                      {NID_policy_constraints, "critical,requireExplicitPolicy:0"}}));
  const Issued curve_signer = Issue({"ExeLore secp112r1 Signer"}, &inter, kNotBefore, kNotAfter,
                                    0x1008, leaf("codeSigning"), KeyKind::kSecp112r1);
  const Issued under_curve = Issue({"ExeLore Under secp112r1"}, &curve_inter, kNotBefore, kNotAfter,
                                   0xA001, leaf("codeSigning"));
  const Issued curve_tsa = Issue({"ExeLore secp112r1 TSA"}, &inter, kNotBefore, kNotAfter, 0x1009,
                                 leaf("critical,timeStamping"), KeyKind::kSecp112r1);
  const Issued explicit_signer =
      Issue({"ExeLore Explicit Curve Signer"}, &inter, kNotBefore, kNotAfter, 0x100A,
            leaf("codeSigning"), KeyKind::kP256Explicit);
  const Issued p384_signer = Issue({"ExeLore P-384 Signer"}, &p384_inter, kNotBefore, kNotAfter,
                                   0xB001, leaf("codeSigning"), KeyKind::kP384);
  const Issued policy_missing = Issue({"ExeLore Without Policy"}, &policy_inter, kNotBefore,
                                      kNotAfter, 0xC001, leaf("codeSigning"));
  const Issued policy_present =
      Issue({"ExeLore With Policy"}, &policy_inter, kNotBefore, kNotAfter, 0xC002,
            with(leaf("codeSigning"), {{NID_certificate_policies, "1.3.6.1.4.1.55555.1"}}));

  const Issued md5_inter = Issue({"ExeLore MD5-Signed CA"}, &rsa_inter, kNotBefore, kNotAfter, 13,
                                 ca, KeyKind::kP256, EVP_md5());
  const Issued md5_signer =
      Issue({"ExeLore Under MD5"}, &md5_inter, kNotBefore, kNotAfter, 0xD001, leaf("codeSigning"));

  // Certificates anyone can add to a signature's unsigned set, naming the
  // real intermediate: a decoy (its subject and key identifier, another
  // key) and a cross certificate (its subject and key, issued by the
  // untrusted root), both signed by the untrusted root.
  const auto reissued = [&](EVP_PKEY* key) {
    CertPtr cert(X509_dup(inter.cert.get()));
    Check(cert != nullptr, "dup");
    X509_EXTENSION_free(X509_delete_ext(
        cert.get(), X509_get_ext_by_NID(cert.get(), NID_authority_key_identifier, -1)));
    X509_set_issuer_name(cert.get(), X509_get_subject_name(other_root.cert.get()));
    X509_set_pubkey(cert.get(), key);
    Check(X509_sign(cert.get(), other_root.key.get(), EVP_sha256()) > 0, "reissue");
    return cert;
  };
  KeyPtr decoy_key(EVP_EC_gen("P-256"));
  Check(decoy_key != nullptr, "decoy key");
  const CertPtr decoy = reissued(decoy_key.get());
  const CertPtr cross = reissued(inter.key.get());

  // Signs root lists as Microsoft's publisher does: the publisher and its
  // CA both list szOID_ROOT_LIST_SIGNER.
  const Issued list_ca = Issue({"ExeLore Root List CA"}, &root, kNotBefore, kNotAfter, 13,
                               {ca[0], ca[1], {NID_ext_key_usage, "1.3.6.1.4.1.311.10.3.9"}});
  const Issued list_signer = Issue({"ExeLore Root List Signer"}, &list_ca, kNotBefore, kNotAfter,
                                   0x1301, leaf("1.3.6.1.4.1.311.10.3.9"));

  X509* i = inter.cert.get();
  pki.root = Save(dir, "root", root, {});
  pki.root_list_signer = Save(dir, "root-list-signer", list_signer, {list_ca.cert.get()});
  pki.intermediate = Save(dir, "intermediate", inter, {});
  pki.signer = Save(dir, "signer", signer, {i});
  pki.signer_no_cn = Save(dir, "signer-no-cn", no_cn, {i});
  pki.signer_expired = Save(dir, "signer-expired", expired, {i});
  pki.signer_wrong_eku = Save(dir, "signer-wrong-eku", wrong_eku, {i});
  pki.tsa = Save(dir, "tsa", tsa, {i});
  pki.signer_rsa = Save(dir, "signer-rsa", rsa_signer, {rsa_inter.cert.get()});
  pki.tsa_rsa = Save(dir, "tsa-rsa", rsa_tsa, {rsa_inter.cert.get()});
  pki.untrusted_root = Save(dir, "untrusted-root", other_root, {});
  pki.untrusted_signer = Save(dir, "untrusted-signer", other_signer, {other_root.cert.get()});
  pki.signer_high_serial = Save(dir, "signer-high-serial", high_serial, {i});
  pki.serial_twin = dir + "/serial-twin.pem";
  WritePem(pki.serial_twin, {twin.cert.get()});
  pki.signer_rsa512 = Save(dir, "signer-rsa512", rsa512, {rsa_inter.cert.get()});
  pki.signer_rsa1024 = Save(dir, "signer-rsa1024", rsa1024, {rsa_inter.cert.get()});
  pki.signer_weak_issuer = Save(dir, "signer-weak-issuer", weak_issuer, {weak_inter.cert.get()});
  pki.signer_lifetime_expired = Save(dir, "signer-lifetime", lifetime, {i});
  pki.tsa_no_eku = Save(dir, "tsa-no-eku", tsa_no_eku, {i});
  pki.signer_old_root = Save(dir, "signer-old-root", old_signer, {old_inter.cert.get()});
  pki.signer_non_ca = Save(dir, "signer-non-ca", non_ca_signer, {non_ca.cert.get()});

  pki.signer_secp112r1 = Save(dir, "signer-secp112r1", curve_signer, {i});
  pki.signer_secp112r1_issuer =
      Save(dir, "signer-secp112r1-issuer", under_curve, {curve_inter.cert.get()});
  pki.tsa_secp112r1 = Save(dir, "tsa-secp112r1", curve_tsa, {i});
  pki.signer_explicit_curve = Save(dir, "signer-explicit-curve", explicit_signer, {i});
  pki.signer_p384 = Save(dir, "signer-p384", p384_signer, {p384_inter.cert.get()});
  pki.signer_policy_missing =
      Save(dir, "signer-policy-missing", policy_missing, {policy_inter.cert.get()});
  pki.signer_policy_present =
      Save(dir, "signer-policy-present", policy_present, {policy_inter.cert.get()});

  pki.decoy_intermediate = dir + "/decoy-intermediate.pem";
  WritePem(pki.decoy_intermediate, {decoy.get()});
  pki.cross_intermediate = dir + "/cross-intermediate.pem";
  WritePem(pki.cross_intermediate, {cross.get()});
  pki.signer_md5_issuer =
      Save(dir, "signer-md5-issuer", md5_signer, {md5_inter.cert.get(), rsa_inter.cert.get()});

  // A directory in OpenSSL's hashed layout: <subject hash>.0 per certificate.
  pki.ca_dir = dir + "/ca";
  std::filesystem::create_directories(pki.ca_dir);
  for (X509* anchor : {root.cert.get(), old_root.cert.get()}) {
    char hashed[32];
    std::snprintf(hashed, sizeof hashed, "%08lx.0", X509_subject_name_hash(anchor));
    WritePem(pki.ca_dir + "/" + hashed, {anchor});
  }
  return pki;
}

std::string OsslsigncodeSign(const std::string& in, const std::string& out,
                             const PkiIdentity& signer, const std::string& hash,
                             const PkiIdentity* tsa, std::time_t timestamp,
                             const std::vector<std::string>& extra_args) {
  std::vector<std::string> argv = {
      "/usr/bin/osslsigncode", "sign", "-certs", signer.chain, "-key", signer.key, "-h", hash};
  if (tsa != nullptr) {
    argv.insert(argv.end(), {"-TSA-certs", tsa->chain, "-TSA-key", tsa->key, "-TSA-time",
                             std::to_string(timestamp)});
  }
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  argv.insert(argv.end(), {"-in", in, "-out", out});
  std::filesystem::remove(out);
  const ProcessResult r = RunProcess(argv);
  return r.exit_status == 0 ? std::string() : r.out + r.err;
}

bool OsslsigncodeVerifies(const std::string& file, const std::string& ca_file) {
  const ProcessResult r = RunProcess(
      {"/usr/bin/osslsigncode", "verify", "-CAfile", ca_file, "-TSA-CAfile", ca_file, "-in", file});
  return r.exit_status == 0;
}

exelore_posix::ossl::X509Ptr LoadCertificate(const std::string& path) {
  exelore_posix::ossl::BioPtr bio(BIO_new_file(path.c_str(), "r"));
  return exelore_posix::ossl::X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                                          : nullptr);
}

PrivateKeyPtr LoadPrivateKey(const std::string& path) {
  exelore_posix::ossl::BioPtr bio(BIO_new_file(path.c_str(), "r"));
  return PrivateKeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                           : nullptr);
}

std::vector<std::uint8_t> CertificateDer(const std::string& path) {
  const exelore_posix::ossl::X509Ptr cert = LoadCertificate(path);
  if (!cert) throw std::runtime_error("cannot read certificate " + path);
  std::vector<std::uint8_t> der = exelore_posix::authenticode::Encoded(cert.get(), i2d_X509);
  if (der.empty()) throw std::runtime_error("cannot encode certificate " + path);
  return der;
}

void UseTestAnchors(const TestPki& pki, const std::string& bundle) {
  setenv("SSL_CERT_DIR", pki.ca_dir.c_str(), 1);
  setenv("SSL_CERT_FILE", bundle.c_str(), 1);
}

}  // namespace exelore_test

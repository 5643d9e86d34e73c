// A small code-signing PKI made with OpenSSL at test time, at fixed dates:
// a trusted root and intermediate, leaves for the interesting cases, a
// timestamping authority, and a root nobody trusts. EC P-256 keys, except for
// one RSA branch (RSA keys take most of the time to make a PKI).
//
// Files are PEM. `ca_dir` is a hashed directory holding the trusted root
// (point SSL_CERT_DIR at it); `root.cert` alone serves as a CA file.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "ossl.h"

namespace exelore_test {

struct PkiIdentity {
  std::string cert;   // the certificate
  std::string key;    // its private key
  std::string chain;  // the certificate followed by its issuers below the root,
                      // as a signer hands them to osslsigncode -certs
};

struct TestPki {
  // Validity of everything except the expired leaf: 2020-01-01 to 2049-12-31.
  static constexpr std::time_t kNotBefore = 1577836800;  // 2020-01-01
  static constexpr std::time_t kNotAfter = 2524521600;   // 2049-12-31
  // The expired leaf: 2020-01-01 to 2021-01-01.
  static constexpr std::time_t kExpiredNotAfter = 1609459200;
  // A moment inside every certificate's validity, for timestamps.
  static constexpr std::time_t kInsideExpiredValidity = 1590969600;  // 2020-06-01

  PkiIdentity root;              // "ExeLore Test Root", self-signed, trusted
  PkiIdentity intermediate;      // "ExeLore Test Intermediate CA", under root
  PkiIdentity signer;            // CN "ExeLore Test Signer", code signing, under intermediate
  PkiIdentity signer_no_cn;      // O "ExeLore Org Only" and no common name
  PkiIdentity signer_expired;    // CN "ExeLore Expired Signer", expired
  PkiIdentity signer_wrong_eku;  // CN "ExeLore Server Only", EKU serverAuth only
  PkiIdentity signer_rsa;        // CN "ExeLore RSA Signer", RSA 2048 under an RSA 2048
                                 // "ExeLore RSA Intermediate CA" under root
  PkiIdentity tsa;               // CN "ExeLore Test TSA", timeStamping (critical)
  PkiIdentity tsa_rsa;           // CN "ExeLore RSA TSA", the same, RSA 2048 under the RSA
                                 // intermediate
  PkiIdentity untrusted_root;    // "ExeLore Untrusted Root", self-signed
  PkiIdentity untrusted_signer;  // code signing under untrusted_root; chain holds the root

  // Identities that break one rule each, and their controls.
  PkiIdentity signer_high_serial;       // CN "ExeLore High Serial Signer": serial 00 80 .. 10 a1
  std::string serial_twin;              // PEM: same issuer, serial 80 .. 10 a1 (negative), CN
                                        // "Mallory Twin", its own key, signed by nobody's
  PkiIdentity signer_rsa512;            // RSA-512 leaf under the RSA intermediate
  PkiIdentity signer_rsa1024;           // RSA-1024 leaf under the RSA intermediate
  PkiIdentity signer_weak_issuer;       // P-256 leaf under an RSA-512 intermediate under root
  PkiIdentity signer_lifetime_expired;  // expired, codeSigning and lifetimeSigning
  PkiIdentity tsa_no_eku;               // CN "ExeLore TSA Without Usage": no extended key usage
  PkiIdentity signer_old_root;          // under an intermediate under "ExeLore Old Style Root",
                                        // a trusted self-signed root without basicConstraints
                                        // or keyUsage
  PkiIdentity signer_non_ca;            // under "ExeLore Not A CA" (no basicConstraints) under root
  // Keys on curves Windows refuses (secp112r1, whose private keys follow from
  // the public ones; explicit parameters), their P-384 control, and a
  // policyConstraints (requireExplicitPolicy 0) on an intermediate that
  // carries the policy 1.3.6.1.4.1.55555.1, above a leaf without it and one
  // with it.
  PkiIdentity signer_secp112r1;         // CN "ExeLore secp112r1 Signer"
  PkiIdentity signer_secp112r1_issuer;  // P-256 leaf "ExeLore Under secp112r1" under a
                                        // secp112r1 intermediate under root
  PkiIdentity tsa_secp112r1;            // CN "ExeLore secp112r1 TSA", timeStamping
  PkiIdentity signer_explicit_curve;    // CN "ExeLore Explicit Curve Signer", P-256 spelled out
  PkiIdentity signer_p384;              // CN "ExeLore P-384 Signer" (P-384 all the way down)
  PkiIdentity signer_policy_missing;    // CN "ExeLore Without Policy"
  PkiIdentity signer_policy_present;    // CN "ExeLore With Policy"
  PkiIdentity signer_md5_issuer;        // CN "ExeLore Under MD5", under a CA that the RSA
                                        // intermediate signed with MD5
  std::string decoy_intermediate;  // PEM: the intermediate's subject and key identifier, another
                                   // key, issued by the untrusted root
  std::string cross_intermediate;  // PEM: the intermediate's subject and key, issued by the
                                   // untrusted root
  PkiIdentity root_list_signer;    // CN "ExeLore Root List Signer" under "ExeLore Root List CA"
                                   // under root, both of usage szOID_ROOT_LIST_SIGNER
  std::string ca_dir;  // hashed directory with the trusted roots: root and the old-style root

  // Writes the PKI into `dir` (created if missing). Throws std::runtime_error
  // when OpenSSL fails.
  static TestPki Create(const std::string& dir);
};

// The test binary's PKI, made at the first call in a folder of its own and
// kept until the process ends: every suite of a binary signs with the same
// keys, and none makes its own.
const TestPki& SharedTestPki();

// Signs the PE `in` into `out` with osslsigncode (sha1 or sha256). With
// `tsa`, adds an RFC 3161 timestamp made offline by osslsigncode at
// `timestamp`. Appends `extra_args` (e.g. "-nest"). Returns osslsigncode's
// output when it fails, empty on success.
std::string OsslsigncodeSign(const std::string& in, const std::string& out,
                             const PkiIdentity& signer, const std::string& hash = "sha256",
                             const PkiIdentity* tsa = nullptr, std::time_t timestamp = 0,
                             const std::vector<std::string>& extra_args = {});

// The first certificate, or the private key, in the PEM file `path`; null
// when it has none.
exelore_posix::ossl::X509Ptr LoadCertificate(const std::string& path);
using PrivateKeyPtr = exelore_posix::ossl::KeyPtr;
PrivateKeyPtr LoadPrivateKey(const std::string& path);
// The DER of the first certificate in the PEM file `path`. Throws
// std::runtime_error when there is none.
std::vector<std::uint8_t> CertificateDer(const std::string& path);

// Makes `pki`'s trusted roots the process's trust anchors: SSL_CERT_DIR is
// its hashed `ca_dir` and SSL_CERT_FILE is `bundle` (a missing file for
// none); WinVerifyTrust reads them again at its next call.
void UseTestAnchors(const TestPki& pki, const std::string& bundle);

// Whether `osslsigncode verify` accepts `file` with `ca_file` as its only
// trust anchor (also for timestamps).
bool OsslsigncodeVerifies(const std::string& file, const std::string& ca_file);

}  // namespace exelore_test

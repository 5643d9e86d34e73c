// Authenticode signing of fixtures with osslsigncode, and surgery on the
// signature of a signed image.
#pragma once

#include <openssl/pkcs7.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "test_pki.h"

namespace exelore_test {

// Signs `in` into `out` with `identity` (its chain goes into the signature)
// using the digest `hash` ("sha1" or "sha256"); `extra` is passed on to
// osslsigncode (e.g. {"-nest"} to add a nested signature to a signed file).
// Throws std::runtime_error when osslsigncode fails.
void SignFile(const PkiIdentity& identity, const std::string& in, const std::string& out,
              const std::string& hash = "sha256", const std::vector<std::string>& extra = {});

// Whether osslsigncode is installed (tests that need it skip otherwise).
bool HaveOsslsigncode();

// Rewrites the PKCS #7 of the first WIN_CERTIFICATE of a signed image through
// `edit` and writes it back as the only certificate, padded with zeros to 8
// bytes; the security directory follows. The image hash does not cover the
// certificate table, so only the signature itself changes. Throws
// std::runtime_error when the image has no decodable signature.
std::vector<std::uint8_t> RewriteSignature(std::vector<std::uint8_t> image,
                                           const std::function<void(PKCS7*)>& edit);

// What CrowdBeforeIssuer adds: certificates with the issuer's name and key
// identifier and keys of their own (of the issuer's key type, so each costs
// a signature check), or cross certificates (the issuer's name and key)
// each issued by a certificate authority of the attacker's, whose own
// certificate (one for all) comes with them.
enum class Crowd { kOtherKeys, kCrosses };

// `image` with `count` certificates of `kind` before the others in its
// signature's unsigned set, made without any key but throwaway ones; the
// issuer is the certificate of the set named as the first signer's issuer.
std::vector<std::uint8_t> CrowdBeforeIssuer(const std::vector<std::uint8_t>& image, int count,
                                            Crowd kind = Crowd::kOtherKeys);

// Replaces the certificate table with `table` (dwLength and all), pointing
// the security directory at it with `directory_size` (the table's size when
// zero).
std::vector<std::uint8_t> ReplaceCertificateTable(std::vector<std::uint8_t> image,
                                                  const std::vector<std::uint8_t>& table,
                                                  std::uint32_t directory_size = 0);

// The file offset of the security directory entry of a PE image.
std::size_t SecurityDirectoryEntry(const std::vector<std::uint8_t>& image);

}  // namespace exelore_test

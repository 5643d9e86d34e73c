// What tools other than ours read of a file: coreutils' hashes, the first
// signature as osslsigncode verify prints it, and the signer certificate's
// thumbprint from openssl x509 -fingerprint -sha1.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace exelore_test {

// Keys named as exelore-scan's columns: sha256, md5, sha1 always;
// for a file osslsigncode reads a signature of: authentihash_sha1 or
// authentihash_sha256 (its calculated digest, by the signature's algorithm),
// issuer (the CN of its issuer), serial (upper-case hex, no leading zeros),
// not_before, not_after (ISO 8601 UTC), signatures (its count of signature
// indexes), thumbprint (upper-case hex), signed_at (its timestamp time),
// timestamp (rfc3161 or legacy, from the attribute's OID in openssl
// asn1parse) and timestamp_signer (the CN of the certificate it verified the
// timestamp with). Empty values are left out.
std::map<std::string, std::string> IndependentFacts(const std::string& path);

// issuer, serial, thumbprint, not_before, not_after of the PEM certificate
// in `cert_file`, as openssl x509 prints them (forms as above).
std::map<std::string, std::string> CertificateFacts(const std::string& cert_file);

// Each key of `facts` whose value differs in `json_line` (an exelore-scan
// record of plain text): "key: ours != theirs". Hex compared in upper case;
// a serial's leading 00, which Windows shows and the tools drop, ignored.
std::vector<std::string> Mismatches(const std::string& json_line,
                                    const std::map<std::string, std::string>& facts);

// The value of `key` in a JSON line of plain text (no escapes).
std::string Field(const std::string& json_line, const std::string& key);

}  // namespace exelore_test

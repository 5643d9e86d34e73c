#include "independent_facts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>

#include <unistd.h>

#include "process.h"

namespace exelore_test {
namespace {

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// The rest of the first line of `text` after `label`, trimmed; empty when absent.
std::string After(const std::string& text, const std::string& label) {
  const auto at = text.find(label);
  if (at == std::string::npos) return {};
  std::string value = text.substr(at + label.size(), text.find('\n', at) - at - label.size());
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
    value.erase(0, 1);
  return value;
}

// "Jun  1 00:00:00 2015 GMT" (OpenSSL's ASN1_TIME_print) as ISO 8601.
std::string IsoFromOpenSsl(std::string text) {
  if (const auto dot = text.find('.'); dot != std::string::npos)  // fractions of a second
    text.erase(dot, text.find(' ', dot) - dot);
  std::tm tm{};
  std::istringstream in(text);
  in >> std::get_time(&tm, "%b %d %H:%M:%S %Y");
  if (in.fail()) return {};
  char iso[32];
  std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return iso;
}

std::string Digest(const std::string& tool, const std::string& path) {
  const std::string out = RunProcess({tool, "--", path}).out;
  return out.substr(0, out.find(' '));
}

}  // namespace

std::map<std::string, std::string> IndependentFacts(const std::string& path) {
  std::map<std::string, std::string> facts;
  facts["sha256"] = Digest("/usr/bin/sha256sum", path);
  facts["md5"] = Digest("/usr/bin/md5sum", path);
  facts["sha1"] = Digest("/usr/bin/sha1sum", path);

  const std::string verify =
      RunProcess({"/usr/bin/osslsigncode", "verify", "-ignore-cdp", "-ignore-crl", "-in", path}, {},
                 std::chrono::seconds(120))
          .out;
  const std::string first = verify.substr(0, verify.find("Signature Index: 1"));
  const std::string algorithm = After(first, "Message digest algorithm  :");
  // "... MISMATCH!!!" follows the digest of a changed file.
  std::string digest = After(first, "Calculated message digest :");
  digest = digest.substr(0, digest.find(' '));
  if (digest.empty()) return facts;
  facts[algorithm == "SHA1" ? "authentihash_sha1" : "authentihash_sha256"] = Upper(digest);
  const auto signer_at = first.find("Signer #0:");
  const std::string signer = signer_at == std::string::npos ? "" : first.substr(signer_at);
  const std::string issuer = After(signer, "Issuer :");
  const auto cn = issuer.rfind("/CN=");
  if (cn != std::string::npos)
    facts["issuer"] = issuer.substr(cn + 4, issuer.find('/', cn + 4) - cn - 4);
  std::string serial = Upper(After(signer, "Serial :"));
  facts["serial"] = serial;
  facts["not_before"] = IsoFromOpenSsl(After(signer, "notBefore :"));
  facts["not_after"] = IsoFromOpenSsl(After(signer, "notAfter :"));
  std::size_t signatures = 0;
  for (auto at = verify.find("Signature Index: "); at != std::string::npos;
       at = verify.find("Signature Index: ", at + 1))
    ++signatures;
  facts["signatures"] = std::to_string(signatures);

  // The timestamp: its time and its signer (the certificate osslsigncode
  // verified it with, by the countersignature's serial).
  const auto counter = first.find("Countersignatures:");
  if (counter != std::string::npos) {
    facts["signed_at"] = IsoFromOpenSsl(After(first.substr(counter), "Timestamp time:"));
    const std::string tsa_serial = After(first.substr(counter), "Serial:");
    const auto at = tsa_serial.empty() ? std::string::npos : first.find("Serial : " + tsa_serial);
    const auto subject = at == std::string::npos ? at : first.rfind("Subject:", at);
    if (subject != std::string::npos) {
      const std::string name = After(first.substr(subject), "Subject:");
      facts["timestamp_signer"] = name.substr(name.rfind("/CN=") + 4);
    }
  }

  // The signer certificate among the signature's: the one with its serial.
  const auto dir =
      std::filesystem::temp_directory_path() / ("independent-facts-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string pem = (dir / "signature.pem").string();
  RunProcess({"/usr/bin/osslsigncode", "extract-signature", "-pem", "-in", path, "-out", pem});
  // The kind of the first signer's timestamp: its unauthenticated
  // attribute's OID, at the least depth either appears (nested signatures'
  // are deeper).
  std::istringstream parsed(
      RunProcess({"/usr/bin/openssl", "asn1parse", "-inform", "PEM", "-in", pem}).out);
  int kind_depth = 1 << 20;
  for (std::string line; std::getline(parsed, line);) {
    const bool rfc3161 = line.ends_with(":1.3.6.1.4.1.311.3.3.1");
    if (!rfc3161 && !line.ends_with(":countersignature")) continue;
    const int depth = std::atoi(line.c_str() + line.find("d=") + 2);
    if (depth >= kind_depth) continue;
    kind_depth = depth;
    facts["timestamp"] = rfc3161 ? "rfc3161" : "legacy";
  }
  const std::string certs =
      RunProcess({"/usr/bin/openssl", "pkcs7", "-print_certs", "-in", pem}).out;
  const std::string kEnd = "-----END CERTIFICATE-----";
  for (std::size_t begin = certs.find("-----BEGIN CERTIFICATE-----"); begin != std::string::npos;
       begin = certs.find("-----BEGIN CERTIFICATE-----", begin + 1)) {
    const std::string file = (dir / "cert.pem").string();
    std::ofstream(file) << certs.substr(begin, certs.find(kEnd, begin) + kEnd.size() - begin)
                        << "\n";
    const auto cert = CertificateFacts(file);
    if (!cert.contains("serial") || cert.at("serial") != serial) continue;
    facts["thumbprint"] = cert.at("thumbprint");
    break;
  }
  std::filesystem::remove_all(dir);
  for (auto it = facts.begin(); it != facts.end();)
    it = it->second.empty() ? facts.erase(it) : ++it;
  return facts;
}

std::map<std::string, std::string> CertificateFacts(const std::string& cert_file) {
  const std::string out =
      RunProcess({"/usr/bin/openssl", "x509", "-noout", "-serial", "-fingerprint", "-sha1",
                  "-startdate", "-enddate", "-issuer", "-nameopt", "oneline", "-in", cert_file})
          .out;
  std::map<std::string, std::string> facts;
  std::string serial = Upper(After(out, "serial="));
  while (serial.size() > 2 && serial.starts_with("00")) serial.erase(0, 2);
  facts["serial"] = serial;
  std::string thumbprint = After(out, "Fingerprint=");
  thumbprint.erase(std::remove(thumbprint.begin(), thumbprint.end(), ':'), thumbprint.end());
  facts["thumbprint"] = Upper(thumbprint);
  facts["not_before"] = IsoFromOpenSsl(After(out, "notBefore="));
  facts["not_after"] = IsoFromOpenSsl(After(out, "notAfter="));
  const std::string issuer = After(out, "issuer=");
  if (const auto cn = issuer.rfind("CN = "); cn != std::string::npos)
    facts["issuer"] = issuer.substr(cn + 5, issuer.find(',', cn) - cn - 5);
  return facts;
}

std::string Field(const std::string& json_line, const std::string& key) {
  const auto at = json_line.find("\"" + key + "\":\"");
  if (at == std::string::npos) return "(no " + key + ")";
  const auto start = at + key.size() + 4;
  return json_line.substr(start, json_line.find('"', start) - start);
}

std::vector<std::string> Mismatches(const std::string& json_line,
                                    const std::map<std::string, std::string>& facts) {
  std::vector<std::string> mismatches;
  for (const auto& [key, theirs] : facts) {
    std::string ours = Field(json_line, key);
    if (key.starts_with("authentihash") || key == "serial" || key == "thumbprint")
      ours = Upper(ours);
    if (key == "serial" && ours.starts_with("00")) ours.erase(0, 2);
    if (ours != theirs) mismatches.push_back(key + ": " + ours + " != " + theirs);
  }
  return mismatches;
}

}  // namespace exelore_test

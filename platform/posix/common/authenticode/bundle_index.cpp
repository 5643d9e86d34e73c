#include "bundle_index.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "signed_data.h"

namespace exelore_posix::authenticode {
namespace {

// A bundle file larger than this is not indexed (the system bundle is ~200 KB).
constexpr std::uint64_t kMaxBundleSize = 16u << 20;

bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>* out) {
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
bool LocateSubject(std::span<const std::uint8_t> der, std::size_t* at, std::size_t* len) {
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

}  // namespace

BundleIndex BundleIndex::FromText(std::string_view text) {
  BundleIndex index({});
  index.loaded_ = true;
  index.Index(text);
  return index;
}

X509* BundleIndex::Decoded(Entry& e, bool* fresh) {
  *fresh = false;
  if (!e.decoded) {
    const unsigned char* p = e.der.data();
    e.decoded.reset(d2i_X509(nullptr, &p, static_cast<long>(e.der.size())));
    *fresh = e.decoded != nullptr;
  }
  return e.decoded.get();
}

X509* BundleIndex::Resolve(X509_STORE* store, const X509_NAME* name) {
  Load();
  const std::vector<std::uint8_t> wanted = NameDer(name);
  if (wanted.empty()) return nullptr;
  X509* first = nullptr;
  for (Entry& e : entries_) {
    const auto subject = std::span<const std::uint8_t>(e.der).subspan(e.subject_at, e.subject_len);
    if (!std::equal(subject.begin(), subject.end(), wanted.begin(), wanted.end())) continue;
    bool fresh = false;
    X509* cert = Decoded(e, &fresh);
    if (fresh) X509_STORE_add_cert(store, cert);
    if (cert != nullptr && first == nullptr) first = cert;
  }
  return first;
}

std::vector<X509*> BundleIndex::FindBySubject(const X509_NAME* name) {
  Load();
  std::vector<X509*> found;
  const std::vector<std::uint8_t> wanted = NameDer(name);
  if (wanted.empty()) return found;
  for (Entry& e : entries_) {
    const auto subject = std::span<const std::uint8_t>(e.der).subspan(e.subject_at, e.subject_len);
    if (!std::equal(subject.begin(), subject.end(), wanted.begin(), wanted.end())) continue;
    bool fresh = false;
    if (X509* cert = Decoded(e, &fresh)) found.push_back(cert);
  }
  return found;
}

X509* BundleIndex::FindBySha1(std::span<const std::uint8_t> sha1) {
  Load();
  if (sha1.size() != 20) return nullptr;
  if (!digested_) {
    digested_ = true;
    for (Entry& e : entries_) {
      unsigned int length = 0;
      if (EVP_Digest(e.der.data(), e.der.size(), e.sha1.data(), &length, EVP_sha1(), nullptr) !=
              1 ||
          length != e.sha1.size()) {
        e.sha1.fill(0);
      }
    }
  }
  for (Entry& e : entries_) {
    if (std::memcmp(e.sha1.data(), sha1.data(), e.sha1.size()) != 0) continue;
    bool fresh = false;
    return Decoded(e, &fresh);
  }
  return nullptr;
}

std::size_t BundleIndex::size() {
  Load();
  return entries_.size();
}

void BundleIndex::Load() {
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
  Index(text);
}

void BundleIndex::Index(std::string_view text) {
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  std::size_t at = 0;
  while ((at = text.find(kBegin, at)) != std::string::npos) {
    const std::size_t body = at + kBegin.size();
    const std::size_t end = text.find(kEnd, body);
    if (end == std::string::npos) break;
    at = end + kEnd.size();
    Entry e;
    if (DecodeBase64(text.substr(body, end - body), &e.der) &&
        LocateSubject(e.der, &e.subject_at, &e.subject_len)) {
      entries_.push_back(std::move(e));
    }
  }
}

}  // namespace exelore_posix::authenticode

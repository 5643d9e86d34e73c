#include "bundle_index.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "signed_data.h"

namespace exelore_posix::authenticode {
namespace {

// A bundle file larger than this is not indexed (the system bundle is ~200 KB).
constexpr std::uint64_t kMaxBundleSize = 16u << 20;

bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>* out,
                  std::size_t max_lines = SIZE_MAX) {
  // Line by line, straight into `out`: a bundle of hundreds of roots is
  // decoded without copying its text first.
  out->clear();
  bool padded = false;
  std::size_t lines = 0;
  for (std::size_t start = 0; start < text.size() && lines < max_lines;) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.remove_suffix(1);
    }
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty()) continue;
    ++lines;
    // Padding ends the data; so does a line whose length is not whole quanta.
    if (padded || line.size() % 4 != 0 || line.size() > INT_MAX) return false;
    const std::size_t at = out->size();
    out->resize(at + line.size() / 4 * 3);
    if (EVP_DecodeBlock(out->data() + at, reinterpret_cast<const unsigned char*>(line.data()),
                        static_cast<int>(line.size())) < 0) {
      return false;
    }
    // EVP_DecodeBlock counts the bytes the '=' padding stands for.
    const std::size_t pad = line.ends_with("==") ? 2 : line.ends_with("=") ? 1 : 0;
    out->resize(out->size() - pad);
    padded = pad != 0;
  }
  return !out->empty();
}

// Finds the subject Name inside a certificate's DER, or inside the start of
// it: Certificate { TBSCertificate { [0] version OPTIONAL, serial,
// signature, issuer, validity, subject, ... }, ... }. The two outer headers
// may announce more than `der` holds; the fields up to the subject must lie
// inside it.
bool LocateSubject(std::span<const std::uint8_t> der, std::size_t* at, std::size_t* len) {
  // The two outer headers, whose contents may run past `der`.
  std::size_t offset = 0;
  for (int outer = 0; outer < 2; ++outer) {
    const auto header = der::ReadHeader(der.subspan(offset));
    if (!header || header->tag != der::kSequence) return false;
    offset += header->size;
  }
  der::Cursor fields(der.subspan(offset));
  for (int field = 0; field < 6; ++field) {
    const auto element = fields.NextAny();
    if (!element) return false;
    if (field == 0 && element->tag.tag_class() != der::kContextSpecific) {
      ++field;  // no version field
    }
    if (field == 5) {
      *at = static_cast<std::size_t>(element->whole.data() - der.data());
      *len = element->whole.size();
      return true;
    }
  }
  return false;
}

}  // namespace

BundleIndex BundleIndex::FromText(std::string_view text) {
  BundleIndex index({});
  index.loaded_ = true;
  index.owned_text_ = std::make_unique<const std::string>(text);
  index.text_ = *index.owned_text_;
  index.Index();
  return index;
}

BundleIndex BundleIndex::FromPrebuilt(std::string_view text, std::span<const Prebuilt> entries) {
  BundleIndex index({});
  index.loaded_ = true;
  index.text_ = text;
  index.entries_.reserve(entries.size());
  for (const Prebuilt& p : entries) {
    if (p.pem_at > text.size() || p.pem_length > text.size() - p.pem_at) continue;
    Entry e;
    e.pem_at = p.pem_at;
    e.pem_length = p.pem_length;
    e.subject.assign(p.subject.begin(), p.subject.end());
    index.entries_.push_back(std::move(e));
  }
  return index;
}

std::vector<BundleIndex::Prebuilt> BundleIndex::Entries() {
  Load();
  std::vector<Prebuilt> out;
  for (const Entry& e : entries_) out.push_back({e.pem_at, e.pem_length, e.subject});
  return out;
}

bool BundleIndex::Whole(Entry& e) const {
  return !e.der.empty() || DecodeBase64(text_.substr(e.pem_at, e.pem_length), &e.der);
}

X509* BundleIndex::Decoded(Entry& e, bool* fresh) const {
  *fresh = false;
  if (!e.decoded && Whole(e)) {
    const unsigned char* p = e.der.data();
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(e.der.size())));
    // The subject the entry was found by, read ahead of time or not, is the
    // certificate's.
    if (cert && NameDer(X509_get_subject_name(cert.get())) == e.subject) {
      e.decoded.reset(ossl::Shareable(cert.release()));
    }
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
    if (e.subject != wanted) continue;
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
    if (e.subject != wanted) continue;
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
      if (!Whole(e) ||
          EVP_Digest(e.der.data(), e.der.size(), e.sha1.data(), &length, EVP_sha1(), nullptr) !=
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
  auto text = std::make_unique<std::string>(static_cast<std::size_t>(size), '\0');
  if (!in.read(text->data(), size)) return;
  owned_text_ = std::move(text);
  text_ = *owned_text_;
  Index();
}

void BundleIndex::Index() {
  // A certificate's subject lies in its first few hundred bytes: only those
  // lines are decoded now, the rest when the certificate is asked for.
  constexpr std::size_t kSubjectLines = 12;
  const std::string_view text = text_;
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  std::size_t at = 0;
  while ((at = text.find(kBegin, at)) != std::string::npos) {
    const std::size_t body = at + kBegin.size();
    const std::size_t end = text.find(kEnd, body);
    if (end == std::string::npos) break;
    at = end + kEnd.size();
    Entry e;
    e.pem_at = body;
    e.pem_length = end - body;
    const std::string_view pem = text.substr(body, end - body);
    std::vector<std::uint8_t> start;
    std::size_t subject_at = 0;
    std::size_t subject_len = 0;
    if ((DecodeBase64(pem, &start, kSubjectLines) &&
         LocateSubject(start, &subject_at, &subject_len)) ||
        (DecodeBase64(pem, &start) && LocateSubject(start, &subject_at, &subject_len))) {
      e.subject.assign(start.begin() + static_cast<std::ptrdiff_t>(subject_at),
                       start.begin() + static_cast<std::ptrdiff_t>(subject_at + subject_len));
      entries_.push_back(std::move(e));
    }
  }
}

}  // namespace exelore_posix::authenticode

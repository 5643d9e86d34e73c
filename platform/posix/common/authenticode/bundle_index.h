// A PEM bundle indexed by certificate subject, decoding only the
// certificates asked for (the trust anchors' bundle file, the root program's
// certificates).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ossl.h"

namespace exelore_posix::authenticode {

// A PEM bundle read once, indexed by the DER of each certificate's subject,
// found inside the certificate's DER without decoding it. Only certificates
// a caller asks for are decoded as X.509, and each is kept for the index's
// life. Not thread-safe: callers serialise their calls.
class BundleIndex {
 public:
  // A bundle file, read on first use (files over 16 MiB are not indexed).
  explicit BundleIndex(std::string path) : path_(std::move(path)) {}
  // PEM text held in memory for the index's life.
  static BundleIndex FromText(std::string_view text);

  // One entry of an index made ahead of time: where a certificate's base64
  // text lies in the bundle and its subject's DER.
  struct Prebuilt {
    std::size_t pem_at = 0;
    std::size_t pem_length = 0;
    std::span<const std::uint8_t> subject;
  };
  // `text`, which outlives the index, with the entries another index of the
  // same text listed (the build indexes the compiled-in roots this way, so
  // that no run decodes them to find a subject).
  static BundleIndex FromPrebuilt(std::string_view text, std::span<const Prebuilt> entries);
  // This index's entries, in bundle order, for FromPrebuilt; they view the
  // index, which must outlive them.
  std::vector<Prebuilt> Entries();

  // Adds to `store` every bundle certificate whose subject is `name`;
  // returns the first one added or found, or nullptr.
  X509* Resolve(X509_STORE* store, const X509_NAME* name);
  // Every bundle certificate whose subject DER is `name`'s DER, in bundle
  // order; empty when there is none.
  std::vector<X509*> FindBySubject(const X509_NAME* name);
  // The bundle certificate whose DER has SHA-1 `sha1`, or nullptr. The
  // first call digests every certificate's DER once.
  X509* FindBySha1(std::span<const std::uint8_t> sha1);
  // How many PEM blocks of the bundle hold a certificate whose subject was
  // found.
  std::size_t size();

 private:
  struct Entry {
    std::size_t pem_at = 0;  // the block's base64 text in text_
    std::size_t pem_length = 0;
    std::vector<std::uint8_t> subject;  // the subject's DER
    std::vector<std::uint8_t> der;      // the whole certificate, decoded on first ask
    std::array<std::uint8_t, 20> sha1{};
    ossl::X509Ptr decoded;
  };

  void Load();
  void Index();
  // Whether `e`'s whole DER is decoded, decoding it now if need be.
  bool Whole(Entry& e) const;
  // The certificate of `e`, decoded on first ask; *fresh says whether it
  // was decoded by this call.
  X509* Decoded(Entry& e, bool* fresh) const;

  std::string path_;
  // The bundle's text when the index holds it, where a move leaves it.
  std::unique_ptr<const std::string> owned_text_;
  std::string_view text_;  // the bundle's text, which the entries view
  bool loaded_ = false;
  bool digested_ = false;
  std::vector<Entry> entries_;
};

}  // namespace exelore_posix::authenticode

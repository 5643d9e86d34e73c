// Files crafted against the trust decision, one rule each, beside a control
// that the rule must leave alone: the publisher line names the certificate
// whose key signed, and says "(verified)" only where Windows would. Embedded
// signatures and catalogs here; a Windows volume's stores in
// volume_stores_test.cpp.
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/sha.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <optional>
#include <functional>
#include <string>
#include <vector>

#include "authenticode/authenticode.h"
#include "catalog_builder.h"
#include "ossl.h"
#include "pe_builder.h"
#include "publisher_line.h"
#include "signing.h"
#include "test_pki.h"
#include "testing.h"
#include "text.h"
#include "trust_rules_fixture.h"
#include "verify_file.h"

namespace {

using exelore_test::PublisherLine;

using Bytes = std::vector<std::uint8_t>;
using exelore_test::CatalogOptions;
using exelore_test::CmsPtr;
using exelore_test::Get32;
using exelore_test::kNone;
using exelore_test::LoadCertificate;
using exelore_test::LoadPrivateKey;
using exelore_test::MoveTableOverSections;
using exelore_test::PkiIdentity;
using exelore_test::Put32;
using exelore_test::SectionOffsets;
using exelore_test::TestPki;
using exelore_test::TokenOf;
using exelore_test::TrustRules;
using exelore_test::WithAttributeCertificate;
using KeyPtr = exelore_test::PrivateKeyPtr;

TEST_F(TrustRules, EmbeddedSignaturesFollowWindowsRules) {
  const std::string kSigner = "PublisherName: ExeLore Test Signer";
  const Bytes valid64 = Signed(pki_->signer);
  const Bytes valid32 = Signed(pki_->signer, false);
  const auto sections64 = SectionOffsets(valid64);
  const auto sections32 = SectionOffsets(valid32);
  const Bytes attacker64 = Unsigned(true, u"Mallory Corp");
  const Bytes attacker32 = Unsigned(false, u"Mallory Corp");
  const Bytes high_serial = Signed(pki_->signer_high_serial);
  const Bytes expired_ts =
      Signed(pki_->signer_expired, true, &pki_->tsa, TestPki::kInsideExpiredValidity);
  const auto table_entry = exelore_test::SecurityDirectoryEntry(valid64);
  const std::size_t table = Get32(valid64, table_entry);

  // Unsigned bytes in the certificate table: inside the first certificate
  // (its length grows over them) and after it.
  Bytes inside = valid64;
  inside.insert(inside.end(), {0, 0, 0, 0, 0, 0, 0, 0x5a});
  Put32(inside, table_entry + 4, Get32(inside, table_entry + 4) + 8);
  Put32(inside, table, Get32(inside, table) + 8);
  Bytes after = inside;
  Put32(after, table, Get32(after, table) - 8);

  const auto legacy_timestamp = [&](PKCS7* p7, PKCS7_SIGNER_INFO* si) {
    AddLegacyTimestamp(p7, si, pki_->tsa);
  };
  const auto duplicate_digest = [](PKCS7*, PKCS7_SIGNER_INFO* si) {
    const int at = X509at_get_attr_by_NID(si->auth_attr, NID_pkcs9_messageDigest, -1);
    sk_X509_ATTRIBUTE_push(si->auth_attr,
                           X509_ATTRIBUTE_dup(sk_X509_ATTRIBUTE_value(si->auth_attr, at)));
  };
  const auto two_digest_values = [](PKCS7*, PKCS7_SIGNER_INFO* si) {
    X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(
        si->auth_attr, X509at_get_attr_by_NID(si->auth_attr, NID_pkcs9_messageDigest, -1));
    const ASN1_TYPE* first = X509_ATTRIBUTE_get0_type(attribute, 0);
    X509_ATTRIBUTE_set1_data(attribute, V_ASN1_OCTET_STRING, first->value.octet_string->data,
                             first->value.octet_string->length);
  };
  const auto no_attributes = [](PKCS7*, PKCS7_SIGNER_INFO* si) {
    sk_X509_ATTRIBUTE_pop_free(si->auth_attr, X509_ATTRIBUTE_free);
    si->auth_attr = nullptr;
  };
  const auto token_with_attribute_certificate = [](PKCS7* p7, PKCS7_SIGNER_INFO*) {
    ASN1_STRING* token = TokenOf(p7);
    const Bytes changed = WithAttributeCertificate(Bytes(token->data, token->data + token->length));
    ASN1_STRING_set(token, changed.data(), static_cast<int>(changed.size()));
  };
  const auto unchanged = [](PKCS7*, PKCS7_SIGNER_INFO*) {};
  // A SHA-1 countersignature by `tsa` whose signature holds the bare digest
  // `md` (of other bytes, or over another messageDigest), as Symantec's G4
  // service signed.
  const auto bare = [&](const PkiIdentity& tsa, const EVP_MD* md, bool other_bytes = false,
                        bool other_message_digest = false) {
    return exelore_test::RewriteSignature(Signed(pki_->signer_expired), [&](PKCS7* p7) {
      AddLegacyTimestamp(p7, sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0), tsa,
                         EVP_sha1(), [&](PKCS7_SIGNER_INFO* counter) {
                           if (other_message_digest)
                             PKCS7_digest_from_attributes(counter->auth_attr)->data[0] ^= 0x01;
                           SignBareDigest(counter, tsa.key, md, other_bytes);
                         });
    });
  };
  const Bytes primary_bare =
      exelore_test::RewriteSignature(Signed(pki_->signer_rsa), [&](PKCS7* p7) {
        SignBareDigest(sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0),
                       pki_->signer_rsa.key, EVP_sha256());
      });
  // The token signed again, over the same TSTInfo, by `tsa`.
  const auto timestamped_by = [&](const PkiIdentity& tsa) {
    return exelore_test::RewriteSignature(expired_ts, [&](PKCS7* p7) {
      ASN1_STRING* token = TokenOf(p7);
      const unsigned char* p = token->data;
      CmsPtr old(d2i_CMS_ContentInfo(nullptr, &p, token->length));
      ASN1_OCTET_STRING* tst = *CMS_get0_content(old.get());
      auto cert = LoadCertificate(tsa.cert);
      KeyPtr key = LoadPrivateKey(tsa.key);
      exelore_posix::ossl::BioPtr in(BIO_new_mem_buf(tst->data, tst->length));
      CmsPtr signed_again(CMS_sign(cert.get(), key.get(), nullptr, nullptr,
                                   CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP));
      CMS_set1_eContentType(signed_again.get(), OBJ_nid2obj(NID_id_smime_ct_TSTInfo));
      CMS_add1_cert(signed_again.get(), LoadCertificate(pki_->intermediate.cert).get());
      ASSERT_EQ(CMS_final(signed_again.get(), in.get(), nullptr, CMS_BINARY), 1);
      const Bytes der =
          exelore_posix::authenticode::Encoded(signed_again.get(), i2d_CMS_ContentInfo);
      ASN1_STRING_set(token, der.data(), static_cast<int>(der.size()));
    });
  };

  struct Case {
    const char* what;
    Bytes image;
    std::string line;
  };
  const Case cases[] = {
      {"valid PE32+", valid64, kSigner + " (verified)"},
      {"valid PE32", valid32, kSigner + " (verified)"},
      // crypt32 opens the signature wherever the table lies and whatever
      // follows it; WinVerifyTrust refuses it.
      {"table moved over the sections, PE32+",
       MoveTableOverSections(valid64, sections64.front(), attacker64), kSigner + " (UNVERIFIED)"},
      {"table moved over the sections, PE32",
       MoveTableOverSections(valid32, sections32.front(), attacker32), kSigner + " (UNVERIFIED)"},
      {"table between two sections", MoveTableOverSections(valid64, sections64.back(), attacker64),
       kSigner + " (UNVERIFIED)"},
      {"serial twin before the signer", WithCertificate(high_serial, pki_->serial_twin, true),
       "PublisherName: Mallory Twin (UNVERIFIED)"},
      {"serial twin after the signer", WithCertificate(high_serial, pki_->serial_twin, false),
       "PublisherName: ExeLore High Serial Signer (verified)"},
      // Every candidate issuer counts: what the unsigned set adds with the
      // issuer's name never hides the path to the trusted root.
      {"decoy intermediate first", WithCertificate(valid64, pki_->decoy_intermediate, true),
       kSigner + " (verified)"},
      {"cross certificate first", WithCertificate(valid64, pki_->cross_intermediate, true),
       kSigner + " (verified)"},
      {"RSA-512 signer", Signed(pki_->signer_rsa512),
       "PublisherName: ExeLore RSA-512 Signer (UNVERIFIED)"},
      {"RSA-512 intermediate", Signed(pki_->signer_weak_issuer),
       "PublisherName: ExeLore Signer Under RSA-512 (UNVERIFIED)"},
      {"RSA-1024 signer", Signed(pki_->signer_rsa1024),
       "PublisherName: ExeLore RSA-1024 Signer (verified)"},
      {"expired, timestamped", expired_ts, "PublisherName: ExeLore Expired Signer (verified)"},
      {"expired lifetime signer, timestamped",
       Signed(pki_->signer_lifetime_expired, true, &pki_->tsa, TestPki::kInsideExpiredValidity),
       "PublisherName: ExeLore Lifetime Signer (UNVERIFIED)"},
      {"timestamp signed again by the TSA", timestamped_by(pki_->tsa),
       "PublisherName: ExeLore Expired Signer (verified)"},
      {"timestamp by a certificate without the usage", timestamped_by(pki_->tsa_no_eku),
       "PublisherName: ExeLore Expired Signer (UNVERIFIED)"},
      {"signed again unchanged", Resigned(valid64, pki_->signer.key, unchanged),
       kSigner + " (verified)"},
      {"two messageDigest attributes", Resigned(valid64, pki_->signer.key, duplicate_digest),
       kSigner + " (UNVERIFIED)"},
      {"messageDigest with two values", Resigned(valid64, pki_->signer.key, two_digest_values),
       kSigner + " (UNVERIFIED)"},
      {"no authenticated attributes", Resigned(valid64, pki_->signer.key, no_attributes),
       kSigner + " (UNVERIFIED)"},
      {"non-zero byte inside the certificate", inside, kSigner + " (UNVERIFIED)"},
      {"non-zero byte after the certificate", after, kSigner + " (UNVERIFIED)"},
      {"legacy countersignature naming id-data",
       exelore_test::RewriteSignature(Signed(pki_->signer_expired),
                                      [&](PKCS7* p7) {
                                        legacy_timestamp(p7, sk_PKCS7_SIGNER_INFO_value(
                                                                 PKCS7_get_signer_info(p7), 0));
                                      }),
       "PublisherName: ExeLore Expired Signer (verified)"},
      {"legacy countersignature, bare digest", bare(pki_->tsa_rsa, EVP_sha1()),
       "PublisherName: ExeLore Expired Signer (verified)"},
      {"bare digest of other bytes", bare(pki_->tsa_rsa, EVP_sha1(), true),
       "PublisherName: ExeLore Expired Signer (UNVERIFIED)"},
      {"bare digest over another messageDigest", bare(pki_->tsa_rsa, EVP_sha1(), false, true),
       "PublisherName: ExeLore Expired Signer (UNVERIFIED)"},
      {"bare SHA-256 under a SHA-1 countersigner", bare(pki_->tsa_rsa, EVP_sha256()),
       "PublisherName: ExeLore Expired Signer (UNVERIFIED)"},
      {"EC countersigner over the digest", bare(pki_->tsa, EVP_sha1()),
       "PublisherName: ExeLore Expired Signer (verified)"},
      {"EC countersigner over other bytes", bare(pki_->tsa, EVP_sha1(), true),
       "PublisherName: ExeLore Expired Signer (UNVERIFIED)"},
      {"primary signer, bare digest", primary_bare,
       "PublisherName: ExeLore RSA Signer (UNVERIFIED)"},
      {"RFC 3161 token with an attribute certificate",
       exelore_test::RewriteSignature(expired_ts,
                                      [&](PKCS7* p7) {
                                        token_with_attribute_certificate(
                                            p7, sk_PKCS7_SIGNER_INFO_value(
                                                    PKCS7_get_signer_info(p7), 0));
                                      }),
       "PublisherName: ExeLore Expired Signer (verified)"},
      {"anchor without basicConstraints", Signed(pki_->signer_old_root),
       "PublisherName: ExeLore Old Root Signer (verified)"},
      {"intermediate without basicConstraints", Signed(pki_->signer_non_ca),
       "PublisherName: ExeLore Under Not A CA (UNVERIFIED)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(PublisherLine(Put("case.exe", c.image)), c.line);
  }
}

// `image` signed by osslsigncode, which hashes a file from its start to the
// certificate table, each byte once.
Bytes OsslsigncodeSigned(const std::string& dir, const Bytes& image,
                         const exelore_test::PkiIdentity& id) {
  exelore_test::WriteFile(dir + "/unsigned.exe", image);
  EXPECT_EQ(exelore_test::OsslsigncodeSign(dir + "/unsigned.exe", dir + "/signed.exe", id), "");
  return exelore_test::ReadFile(dir + "/signed.exe");
}

// Headers that the first section's raw data also covers, a crowd of
// certificates named like the issuer, a certificate set with an attribute
// certificate, and a timestamp at the signer's notAfter.
TEST_F(TrustRules, OverlapsCrowdsAndInstantsFollowWindowsRules) {
  const std::string kSigner = "PublisherName: ExeLore Test Signer";
  const std::string kExpired = "PublisherName: ExeLore Expired Signer";
  // SizeOfHeaders reaching 0x200 into the first section's raw data, signed
  // as one pass over the file (osslsigncode), and hostile twins: `image`
  // with the signature osslsigncode makes over `hashed`, the bytes a hash of
  // `image` would take in order (the overlap twice: headers, then section).
  Bytes overlapping = Unsigned();
  const std::size_t first = SectionOffsets(overlapping).front();
  const std::size_t size_of_headers = Get32(overlapping, 0x3C) + 24 + 60;
  Put32(overlapping, size_of_headers, static_cast<std::uint32_t>(first + 0x200));
  const Bytes once = OsslsigncodeSigned(dir_->path(), overlapping, pki_->signer);
  const auto signed_as = [&](const Bytes& image, const Bytes& hashed) {
    const Bytes signature = OsslsigncodeSigned(dir_->path(), hashed, pki_->signer);
    const std::size_t table = Get32(signature, exelore_test::SecurityDirectoryEntry(signature));
    return exelore_test::ReplaceCertificateTable(
        image, Bytes(signature.begin() + static_cast<long>(table), signature.end()));
  };
  const auto cut = [](const Bytes& image, std::size_t from, std::size_t to) {
    Bytes out(image.begin(), image.begin() + static_cast<long>(from));
    out.insert(out.end(), image.begin() + static_cast<long>(to), image.end());
    return out;
  };
  const Bytes twice = signed_as(overlapping, cut(overlapping, first + 0x200, first));
  // The first section shrunk to 0x100 bytes: the headers' last 0x100 bytes,
  // which the loader maps, lie in no section; signed as if hashed nowhere,
  // then changed there.
  Bytes gap = overlapping;
  const std::size_t nt = Get32(gap, 0x3C);
  const std::size_t section_table = nt + 24 + (gap[nt + 20] | (gap[nt + 21] << 8));
  Put32(gap, section_table + 16, 0x100);
  Bytes gap_changed = signed_as(gap, cut(gap, first + 0x100, first + 0x200));
  gap_changed[first + 0x180] ^= 0x01;
  EXPECT_TRUE(exelore_test::OsslsigncodeVerifies(Put("once.exe", once), pki_->root.cert));
  EXPECT_FALSE(exelore_test::OsslsigncodeVerifies(Put("twice.exe", twice), pki_->root.cert));

  // 255 certificates with the intermediate's name and key identifier, each
  // with a key of its own, before the real one in the unsigned set.
  const Bytes valid = Signed(pki_->signer);
  const Bytes crowded = exelore_test::CrowdBeforeIssuer(valid, 255);
  // An attribute certificate ([1]) among the message's certificates.
  const auto with_attribute_certificate = [](const Bytes& image) {
    const std::size_t table = Get32(image, exelore_test::SecurityDirectoryEntry(image));
    const Bytes der = WithAttributeCertificate(
        Bytes(image.begin() + static_cast<long>(table) + 8,
              image.begin() + static_cast<long>(table + Get32(image, table))));
    Bytes entry(8);
    Put32(entry, 0, static_cast<std::uint32_t>(8 + der.size()));
    Put32(entry, 4, 0x00020200);
    entry.insert(entry.end(), der.begin(), der.end());
    entry.resize((entry.size() + 7) & ~std::size_t{7});
    return exelore_test::ReplaceCertificateTable(image, entry);
  };
  // The token's genTime rewritten as `time` and the token signed again by
  // the TSA.
  const auto stamped_at = [&](const char* time) {
    return exelore_test::RewriteSignature(
        Signed(pki_->signer_expired, true, &pki_->tsa, TestPki::kInsideExpiredValidity),
        [&](PKCS7* p7) {
          ASN1_STRING* token = TokenOf(p7);
          const unsigned char* p = token->data;
          CmsPtr old(d2i_CMS_ContentInfo(nullptr, &p, token->length));
          ASN1_OCTET_STRING* content = *CMS_get0_content(old.get());
          const unsigned char* q = content->data;
          TS_TST_INFO* info = d2i_TS_TST_INFO(nullptr, &q, content->length);
          ASN1_GENERALIZEDTIME* when = ASN1_GENERALIZEDTIME_new();
          ASN1_STRING_set(when, time, -1);
          TS_TST_INFO_set_time(info, when);
          const Bytes tst = exelore_posix::authenticode::Encoded(info, i2d_TS_TST_INFO);
          ASN1_GENERALIZEDTIME_free(when);
          TS_TST_INFO_free(info);
          exelore_posix::ossl::BioPtr in(BIO_new_mem_buf(tst.data(), static_cast<int>(tst.size())));
          CmsPtr again(CMS_sign(LoadCertificate(pki_->tsa.cert).get(),
                                LoadPrivateKey(pki_->tsa.key).get(), nullptr, nullptr,
                                CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP));
          CMS_set1_eContentType(again.get(), OBJ_nid2obj(NID_id_smime_ct_TSTInfo));
          CMS_add1_cert(again.get(), LoadCertificate(pki_->intermediate.cert).get());
          ASSERT_EQ(CMS_final(again.get(), in.get(), nullptr, CMS_BINARY), 1);
          const Bytes der = exelore_posix::authenticode::Encoded(again.get(), i2d_CMS_ContentInfo);
          ASN1_STRING_set(token, der.data(), static_cast<int>(der.size()));
        });
  };
  static_assert(TestPki::kExpiredNotAfter == 1609459200);  // 2021-01-01 00:00:00

  struct Case {
    const char* what;
    Bytes image;
    std::string line;
  };
  const Case cases[] = {
      {"headers over the first section, hashed once", once, kSigner + " (verified)"},
      {"headers over the first section, hashed twice", twice, kSigner + " (UNVERIFIED)"},
      {"header bytes in no section, changed", gap_changed, kSigner + " (UNVERIFIED)"},
      {"255 named certificates before the issuer", crowded, kSigner + " (verified)"},
      {"255 cross certificates before the issuer",
       exelore_test::CrowdBeforeIssuer(valid, 255, exelore_test::Crowd::kCrosses),
       kSigner + " (verified)"},
      {"attribute certificate in the message", with_attribute_certificate(valid),
       kSigner + " (verified)"},
      {"attribute certificate, file changed",
       [&] {
         Bytes changed = with_attribute_certificate(valid);
         changed[SectionOffsets(changed).front() + 16] ^= 0x01;
         return changed;
       }(),
       kSigner + " (UNVERIFIED)"},
      {"timestamp before notAfter", stamped_at("20201231235959Z"), kExpired + " (verified)"},
      {"timestamp at notAfter", stamped_at("20210101000000Z"), kExpired + " (verified)"},
      {"timestamp at notAfter, zero fraction", stamped_at("20210101000000.000Z"),
       kExpired + " (verified)"},
      {"timestamp half a second before notAfter", stamped_at("20201231235959.5Z"),
       kExpired + " (verified)"},
      {"timestamp half a second after notAfter", stamped_at("20210101000000.5Z"),
       kExpired + " (UNVERIFIED)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(PublisherLine(Put("case.exe", c.image)), c.line);
  }
}

// The catalog hash of a signed image whose certificate table ends it: every
// byte before the table but the CheckSum and the security directory entry.
Bytes SignedImageHash(const Bytes& image) {
  const std::size_t entry = exelore_test::SecurityDirectoryEntry(image);
  exelore_test::PeLayout layout;
  layout.checksum_field = Get32(image, 60) + 24 + 64;
  layout.data_directories = entry - 4 * 8;
  return exelore_test::UnsignedImageHash(Bytes(image.begin(), image.begin() + Get32(image, entry)),
                                         layout);
}

// `image` with the elements of one SET OF in its signature in reverse order,
// the set found by `select` among the SignedData's fields; nothing changes
// length, so the rest of the file stays as it was.
Bytes WithSetReversed(Bytes image,
                      const std::function<Bytes(const std::vector<Bytes>& fields)>& select) {
  using exelore_test::Children;
  const std::size_t table = Get32(image, exelore_test::SecurityDirectoryEntry(image));
  const Bytes signature(image.begin() + static_cast<long>(table) + 8,
                        image.begin() + static_cast<long>(table + Get32(image, table)));
  const Bytes set = select(Children(Children(Children(signature)[1])[0]));
  std::vector<Bytes> elements = Children(set);
  std::reverse(elements.begin(), elements.end());
  const Bytes reversed = exelore_test::Wrap(set[0], elements);
  EXPECT_NE(reversed, set);
  std::copy(reversed.begin(), reversed.end(),
            std::search(image.begin(), image.end(), set.begin(), set.end()));
  return image;
}

// Keys on curves Windows refuses, policy constraints, and the sets no
// signature covers in an order other than DER's, beside their controls.
TEST_F(TrustRules, KeysPoliciesAndUnsignedSetsFollowWindowsRules) {
  using exelore_test::Children;
  const Bytes expired_ts =
      Signed(pki_->signer_expired, true, &pki_->tsa, TestPki::kInsideExpiredValidity);
  // A nested signature beside the timestamp: two unsigned attributes.
  exelore_test::WriteFile(File("stamped.exe"), expired_ts);
  ASSERT_EQ(exelore_test::OsslsigncodeSign(File("stamped.exe"), File("nested.exe"), pki_->signer,
                                           "sha256", nullptr, 0, {"-nest"}),
            "");
  const Bytes nested = exelore_test::ReadFile(File("nested.exe"));
  const Bytes two_algorithms = exelore_test::RewriteSignature(expired_ts, [](PKCS7* p7) {
    X509_ALGOR* sha1 = X509_ALGOR_new();
    X509_ALGOR_set_md(sha1, EVP_sha1());
    sk_X509_ALGOR_push(p7->d.sign->md_algs, sha1);
  });
  const auto first_signer = [](const std::vector<Bytes>& fields) {
    return Children(Children(fields.back())[0]);
  };
  const auto digest_algorithms = [](const std::vector<Bytes>& fields) { return fields[1]; };
  const auto unsigned_attributes = [&](const std::vector<Bytes>& fields) {
    return first_signer(fields).back();
  };
  const auto signed_attributes = [&](const std::vector<Bytes>& fields) {
    return first_signer(fields)[3];
  };
  const std::string kExpired = "PublisherName: ExeLore Expired Signer";

  struct Case {
    const char* what;
    Bytes image;
    std::string line;
  };
  const Case cases[] = {
      {"secp112r1 signer", Signed(pki_->signer_secp112r1),
       "PublisherName: ExeLore secp112r1 Signer (UNVERIFIED)"},
      {"secp112r1 intermediate", Signed(pki_->signer_secp112r1_issuer),
       "PublisherName: ExeLore Under secp112r1 (UNVERIFIED)"},
      {"secp112r1 TSA",
       Signed(pki_->signer_expired, true, &pki_->tsa_secp112r1, TestPki::kInsideExpiredValidity),
       kExpired + " (UNVERIFIED)"},
      {"secp112r1 legacy countersigner",
       exelore_test::RewriteSignature(
           Signed(pki_->signer_expired),
           [&](PKCS7* p7) {
             AddLegacyTimestamp(p7, sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0),
                                pki_->tsa_secp112r1);
           }),
       kExpired + " (UNVERIFIED)"},
      {"P-256 with explicit parameters", Signed(pki_->signer_explicit_curve),
       "PublisherName: ExeLore Explicit Curve Signer (UNVERIFIED)"},
      {"P-384 chain", Signed(pki_->signer_p384), "PublisherName: ExeLore P-384 Signer (verified)"},
      {"explicit policy required, leaf without it", Signed(pki_->signer_policy_missing),
       "PublisherName: ExeLore Without Policy (UNVERIFIED)"},
      {"explicit policy required and present", Signed(pki_->signer_policy_present),
       "PublisherName: ExeLore With Policy (verified)"},
      {"timestamp and nested signature", nested, kExpired + " (verified)"},
      {"timestamp and nested signature, reversed", WithSetReversed(nested, unsigned_attributes),
       kExpired + " (verified)"},
      {"digest algorithms reversed", WithSetReversed(two_algorithms, digest_algorithms),
       kExpired + " (verified)"},
      {"authenticated attributes reversed", WithSetReversed(expired_ts, signed_attributes),
       kExpired + " (UNVERIFIED)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(PublisherLine(Put("case.exe", c.image)), c.line);
  }
}

// The rules of Microsoft's root program list, on a test list that names the
// test root, standing in for Microsoft's through the test seam: the
// entry's usages, its Disable and NotBefore dates (which spare signatures
// timestamped before them), and MD5 in a certificate below a program root.
// The same root standing in for one of Microsoft's own that Windows
// installs in its ROOT store anchors without any of them.
TEST_F(TrustRules, RootProgramRulesFollowWindows) {
  const std::string roots = [&] {
    std::ifstream in(pki_->root.cert, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  Bytes root_sha1(SHA_DIGEST_LENGTH);
  unsigned int length = 0;
  ASSERT_EQ(
      X509_digest(LoadCertificate(pki_->root.cert).get(), EVP_sha1(), root_sha1.data(), &length),
      1);
  const std::string kCodeSigning = "1.3.6.1.5.5.7.3.3";
  const std::string kTimeStamping = "1.3.6.1.5.5.7.3.8";
  const std::string kServerAuth = "1.3.6.1.5.5.7.3.1";
  constexpr std::time_t kBeforeLeaves = 1559347200;     // 2019-06-01
  constexpr std::time_t kBeforeTimestamp = 1583020800;  // 2020-03-01, leaves since 2020-01-01
  constexpr std::time_t kAfterTimestamp = 1598918400;   // 2020-09-01, timestamps 2020-06-01
  const Bytes signer = Signed(pki_->signer);
  const Bytes timestamped =
      Signed(pki_->signer_expired, true, &pki_->tsa, TestPki::kInsideExpiredValidity);
  const Bytes md5 = Signed(pki_->signer_md5_issuer);
  const std::string kSigner = "PublisherName: ExeLore Test Signer";
  const std::string kExpired = "PublisherName: ExeLore Expired Signer";

  struct Case {
    const char* what;
    std::optional<exelore_test::ProgramListEntry> entry;  // none: the root is not in the list
    const Bytes& image;
    std::string line;
    bool windows_root = false;  // the root is also in Windows' own ROOT store
  };
  using Entry = exelore_test::ProgramListEntry;
  const auto entry = [&](Entry e) {
    e.sha1 = root_sha1;
    return std::optional<Entry>(e);
  };
  const Case cases[] = {
      {"no rules", entry({}), signer, kSigner + " (verified)"},
      {"usages without code signing", entry({.usages = {kTimeStamping}}), signer,
       kSigner + " (UNVERIFIED)"},
      {"usages with code signing", entry({.usages = {kCodeSigning, kTimeStamping}}), timestamped,
       kExpired + " (verified)"},
      {"usages without time stamping, timestamped", entry({.usages = {kCodeSigning}}), timestamped,
       kExpired + " (UNVERIFIED)"},
      {"disabled, not timestamped", entry({.disabled_at = kAfterTimestamp}), signer,
       kSigner + " (UNVERIFIED)"},
      {"disabled after the timestamp", entry({.disabled_at = kAfterTimestamp}), timestamped,
       kExpired + " (verified)"},
      {"disabled before the timestamp", entry({.disabled_at = kBeforeTimestamp}), timestamped,
       kExpired + " (UNVERIFIED)"},
      {"NotBefore after the leaf's issue", entry({.not_before = kBeforeTimestamp}), signer,
       kSigner + " (verified)"},
      {"NotBefore before the leaf's issue", entry({.not_before = kBeforeLeaves}), signer,
       kSigner + " (UNVERIFIED)"},
      {"NotBefore before the leaf's issue, timestamped after", entry({.not_before = kBeforeLeaves}),
       timestamped, kExpired + " (UNVERIFIED)"},
      {"NotBefore for code signing",
       entry({.not_before = kBeforeLeaves, .not_before_usages = {kCodeSigning}}), signer,
       kSigner + " (UNVERIFIED)"},
      {"NotBefore for server authentication only",
       entry({.not_before = kBeforeLeaves, .not_before_usages = {kServerAuth}}), signer,
       kSigner + " (verified)"},
      {"MD5-signed CA under a program root", entry({}), md5,
       "PublisherName: ExeLore Under MD5 (UNVERIFIED)"},
      {"MD5-signed CA under a root the user added", std::nullopt, md5,
       "PublisherName: ExeLore Under MD5 (verified)"},
      {"Windows' own root, disabled", entry({.disabled_at = kBeforeTimestamp}), signer,
       kSigner + " (verified)", true},
      {"Windows' own root, NotBefore before the leaf's issue", entry({.not_before = kBeforeLeaves}),
       signer, kSigner + " (verified)", true},
      {"Windows' own root, usages without code signing", entry({.usages = {kTimeStamping}}), signer,
       kSigner + " (verified)", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Entry> entries;
    if (c.entry) entries.push_back(*c.entry);
    std::vector<std::array<std::uint8_t, 20>> windows_roots(c.windows_root ? 1 : 0);
    for (auto& sha1 : windows_roots) std::copy(root_sha1.begin(), root_sha1.end(), sha1.begin());
    exelore_posix::testing::SetRootProgram(
        exelore_test::BuildRootProgramList(entries, pki_->signer), roots, windows_roots);
    EXPECT_EQ(PublisherLine(Put("case.exe", c.image)), c.line);
  }
  exelore_posix::testing::UseMicrosoftRootProgram();
}

// The moved-table layouts are refused by osslsigncode too, and no byte flip
// anywhere in them makes one verify.
TEST_F(TrustRules, NoFlipMakesAMovedTableVerify) {
  for (const bool pe32plus : {true, false}) {
    SCOPED_TRACE(pe32plus ? "PE32+" : "PE32");
    const Bytes valid = Signed(pki_->signer, pe32plus);
    const auto sections = SectionOffsets(valid);
    for (const std::size_t at : {sections.front(), sections.back()}) {
      const Bytes moved = MoveTableOverSections(valid, at, Unsigned(pe32plus, u"Mallory Corp"));
      EXPECT_FALSE(exelore_test::OsslsigncodeVerifies(Put("moved.exe", moved), pki_->root.cert));
      for (std::size_t flip = 0; flip < moved.size(); flip += 5) {
        Bytes copy = moved;
        copy[flip] ^= 0x20;
        EXPECT_FALSE(PublisherLine(Put("flip.exe", copy)).ends_with("(verified)")) << flip;
      }
    }
  }
}

TEST_F(TrustRules, CatalogsFollowTheSameRules) {
  exelore_test::PeLayout layout;
  const Bytes member =
      exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(), true, 0x0409, &layout);
  CatalogOptions options;
  options.entries = {exelore_test::EntryFor(exelore_test::UnsignedImageHash(member, layout))};
  // A "certificate table" of the attacker's bytes over the member's
  // sections, its own bytes after it: a hash that skips the table wherever
  // it lies still finds the member's entry.
  const Bytes attacker = Unsigned(true, u"Mallory Corp");
  const std::size_t at = SectionOffsets(member).front();
  Bytes covering(member.begin(), member.begin() + static_cast<long>(at));
  covering.insert(covering.end(), attacker.begin() + static_cast<long>(at), attacker.end());
  covering.insert(covering.end(), member.begin() + static_cast<long>(at), member.end());
  const std::size_t entry = exelore_test::SecurityDirectoryEntry(covering);
  Put32(covering, entry, static_cast<std::uint32_t>(at));
  Put32(covering, entry + 4, static_cast<std::uint32_t>(member.size() - at));

  struct Case {
    const char* what;
    Bytes catalog;
    Bytes file;
    std::string line;
  };
  const Bytes high_serial = exelore_test::BuildCatalog(options, pki_->signer_high_serial);
  // A signed file whose embedded signature WinVerifyTrust refuses (a byte
  // after it in the table), listed by a catalog: crypt32 still opens the
  // embedded signature, so the catalog is never asked.
  Bytes refused = Signed(pki_->signer);
  {
    const std::size_t directory = exelore_test::SecurityDirectoryEntry(refused);
    refused.insert(refused.end(), {0, 0, 0, 0, 0, 0, 0, 0x5a});
    Put32(refused, directory + 4, Get32(refused, directory + 4) + 8);
  }
  CatalogOptions listing_refused;
  listing_refused.entries = {exelore_test::EntryFor(SignedImageHash(refused))};
  // An entry whose identifier is the member hash's bytes, before the member.
  CatalogOptions decoy = options;
  decoy.entries.insert(decoy.entries.begin(), exelore_test::EntryFor(exelore_test::Digest({1})));
  decoy.entries.front().raw_tag = options.entries[0].digest;
  const Case cases[] = {
      {"listed member", exelore_test::BuildCatalog(options, pki_->signer), member,
       "PublisherName: ExeLore Test Signer (verified)"},
      {"table over the member's sections", exelore_test::BuildCatalog(options, pki_->signer),
       covering, kNone},
      {"serial twin before the signer", WithCatalogCertificate(high_serial, true), member,
       "PublisherName: Mallory Twin (UNVERIFIED)"},
      {"serial twin after the signer", WithCatalogCertificate(high_serial, false), member,
       "PublisherName: ExeLore High Serial Signer (verified)"},
      {"RSA-512 signer", exelore_test::BuildCatalog(options, pki_->signer_rsa512), member,
       "PublisherName: ExeLore RSA-512 Signer (UNVERIFIED)"},
      {"secp112r1 signer", exelore_test::BuildCatalog(options, pki_->signer_secp112r1), member,
       "PublisherName: ExeLore secp112r1 Signer (UNVERIFIED)"},
      {"P-384 signer", exelore_test::BuildCatalog(options, pki_->signer_p384), member,
       "PublisherName: ExeLore P-384 Signer (verified)"},
      {"embedded signature refused, file listed",
       exelore_test::BuildCatalog(listing_refused, pki_->signer_p384), refused,
       "PublisherName: ExeLore Test Signer (UNVERIFIED)"},
      {"raw-bytes tag before the member", exelore_test::BuildCatalog(decoy, pki_->signer), member,
       "PublisherName: ExeLore Test Signer (verified)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    exelore_test::WriteFile(catroot_ + "/case.cat", c.catalog);
    EXPECT_EQ(PublisherLine(Put("member.exe", c.file)), c.line);
  }
}

// A timestamp that fails is reported only for an intact subject: a changed
// file is TRUST_E_BAD_DIGEST whatever its timestamp, for an embedded
// signature and for a catalog alike.
TEST_F(TrustRules, TimestampFailsOnlyAfterTheHashMatches) {
  exelore_test::PeLayout layout;
  const Bytes member =
      exelore_test::BuildPeWithVersion(exelore_test::DefaultVersionInfo(), true, 0x0409, &layout);
  CatalogOptions options;
  options.entries = {exelore_test::EntryFor(exelore_test::UnsignedImageHash(member, layout))};
  Bytes catalog = exelore_test::BuildCatalog(options, pki_->signer);
  {
    const unsigned char* p = catalog.data();
    exelore_posix::ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(catalog.size())));
    AddLegacyTimestamp(p7.get(), sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0),
                       pki_->tsa_no_eku);
    catalog = exelore_posix::authenticode::Encoded(p7.get(), i2d_PKCS7);
  }
  const std::string catalog_path = Put("stamped.cat", catalog);
  const Bytes embedded = exelore_test::RewriteSignature(Signed(pki_->signer), [&](PKCS7* p7) {
    AddLegacyTimestamp(p7, sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0),
                       pki_->tsa_no_eku);
  });
  const auto changed = [](Bytes image) {
    image[SectionOffsets(image).front() + 16] ^= 0x01;
    return image;
  };
  const std::u16string tag = exelore_test::HexTag(exelore_test::UnsignedImageHash(member, layout));
  for (const bool intact : {true, false}) {
    SCOPED_TRACE(intact ? "intact" : "changed");
    const LONG expected = intact ? TRUST_E_TIME_STAMP : TRUST_E_BAD_DIGEST;
    const std::string file = Put("embedded.exe", intact ? embedded : changed(embedded));
    EXPECT_EQ(exelore_test::VerifyFile(file).status, expected);
    const std::string listed = Put("listed.exe", intact ? member : changed(member));
    EXPECT_EQ(exelore_test::VerifyCatalogMember(exelore_posix::BytesToUtf16(catalog_path), tag,
                                                exelore_posix::BytesToUtf16(listed))
                  .verdict.status,
              expected);
  }
}

}  // namespace

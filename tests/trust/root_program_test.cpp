// Microsoft's root program list as compiled in: its signature, the roots
// vendored beside it, a few entries against what roots.pem's comments say
// of them, and hostile copies of the list.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "authenticode/bundle_index.h"
#include "authenticode/root_program.h"
#include "ossl.h"

namespace {

namespace authenticode = exelore_posix::authenticode;
using Bytes = std::vector<std::uint8_t>;

std::time_t Utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return ::timegm(&tm);
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes BuiltIn() {
  const auto bytes = authenticode::BuiltInRootProgramBytes();
  return Bytes(bytes.begin(), bytes.end());
}

// The list is Microsoft's, signed at its own date; a changed byte that
// leaves it well-formed is caught by the signature alone.
TEST(RootProgram, SignatureVerifiesAndCatchesAChangedByte) {
  const Bytes list = BuiltIn();
  const auto parsed = authenticode::RootProgramList::Parse(list, true);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->size(), 515u);
  EXPECT_EQ(parsed->this_update(), Utc(2026, 4, 22, 0, 33, 28));
  EXPECT_EQ(authenticode::BuiltInRootProgram().size(), 515u);

  // A letter of the first friendly name, "Microsoft Root Certificate
  // Authority" in UTF-16LE.
  const std::string name = "Microsoft Root";
  Bytes utf16;
  for (const char c : name) utf16.insert(utf16.end(), {static_cast<std::uint8_t>(c), 0});
  const auto at = std::search(list.begin(), list.end(), utf16.begin(), utf16.end());
  ASSERT_NE(at, list.end());
  Bytes changed = list;
  changed[static_cast<std::size_t>(at - list.begin())] ^= 0x20;
  EXPECT_TRUE(authenticode::RootProgramList::Parse(changed, false).has_value());
  EXPECT_FALSE(authenticode::RootProgramList::Parse(changed, true).has_value());
}

// The list compiled in as a table made at build time is the list as a run
// decodes its bytes: the same roots, date and entries.
TEST(RootProgram, BuildTimeTableIsTheListDecoded) {
  const auto decoded = authenticode::RootProgramList::Parse(BuiltIn(), false);
  const auto& table = authenticode::BuiltInRootProgram();
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(table.this_update(), decoded->this_update());
  ASSERT_EQ(table.size(), decoded->size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    ASSERT_EQ(table.sha1(i), decoded->sha1(i)) << i;
    const auto* want = decoded->Find(decoded->sha1(i));
    const auto* got = table.Find(table.sha1(i));
    ASSERT_EQ(got == nullptr, want == nullptr) << i;
    if (want != nullptr) {
      EXPECT_EQ(*got, *want) << i;
    }
  }
}

// Every vendored certificate is a root the list names, once, and the
// lookups find it by thumbprint and by subject.
TEST(RootProgram, EveryVendoredCertificateIsAnEntry) {
  const auto& list = authenticode::BuiltInRootProgram();
  exelore_posix::ossl::BioPtr bio(BIO_new_file(EXELORE_ROOT_PROGRAM_DIR "/roots.pem", "r"));
  ASSERT_NE(bio, nullptr);
  std::set<Bytes> seen;
  while (
      exelore_posix::ossl::X509Ptr cert{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)}) {
    Bytes sha1(20);
    unsigned int length = 0;
    ASSERT_EQ(X509_digest(cert.get(), EVP_sha1(), sha1.data(), &length), 1);
    SCOPED_TRACE(::testing::PrintToString(sha1));
    EXPECT_NE(list.Find(sha1), nullptr);
    EXPECT_TRUE(seen.insert(sha1).second);
    X509* by_sha1 = authenticode::ProgramRootBySha1(sha1);
    ASSERT_NE(by_sha1, nullptr);
    EXPECT_EQ(X509_cmp(by_sha1, cert.get()), 0);
    const auto by_subject = authenticode::ProgramRootsBySubject(X509_get_subject_name(cert.get()));
    EXPECT_NE(std::find(by_subject.begin(), by_subject.end(), by_sha1), by_subject.end());
  }
  ERR_clear_error();
  EXPECT_EQ(seen.size(), 515u);
  EXPECT_EQ(seen.size(), list.size());
}

// The index the build wrote is the one a run makes of the same text, and
// an index whose entries are moved onto other certificates' text (as a
// stale or wrong one would be) hands out no certificate under a subject
// that is not its own.
TEST(RootProgram, BuiltIndexIsTheRunTimeOneAndNeverMisnames) {
  using authenticode::BundleIndex;
  const auto source = authenticode::CompiledInRootProgramSource();
  auto fresh = BundleIndex::FromText(source.roots_pem);
  const std::vector<BundleIndex::Prebuilt> entries = fresh.Entries();
  ASSERT_EQ(entries.size(), source.roots_index.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const BundleIndex::Prebuilt& built = source.roots_index[i];
    EXPECT_EQ(built.pem_at, entries[i].pem_at);
    EXPECT_EQ(built.pem_length, entries[i].pem_length);
    EXPECT_TRUE(std::equal(built.subject.begin(), built.subject.end(), entries[i].subject.begin(),
                           entries[i].subject.end()));
  }
  std::vector<BundleIndex::Prebuilt> moved = entries;
  std::rotate(moved.begin(), moved.begin() + 1, moved.end());
  for (std::size_t i = 0; i < moved.size(); ++i) moved[i].subject = entries[i].subject;
  auto misnamed = BundleIndex::FromPrebuilt(source.roots_pem, moved);
  std::size_t found = 0;
  for (const BundleIndex::Prebuilt& e : entries) {
    const unsigned char* p = e.subject.data();
    exelore_posix::ossl::X509NamePtr name(
        d2i_X509_NAME(nullptr, &p, static_cast<long>(e.subject.size())));
    ASSERT_NE(name, nullptr);
    for (X509* cert : misnamed.FindBySubject(name.get())) {
      EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cert), name.get()), 0);
      ++found;
    }
  }
  ERR_clear_error();
  EXPECT_LT(found, entries.size() / 10);  // only roots next to one of the same name
}

// Entries as roots.pem's comment lines restate them (usages sorted).
TEST(RootProgram, EntriesReadAsTheListStatesThem) {
  const std::string kClientAuth = "1.3.6.1.5.5.7.3.2", kCodeSigning = "1.3.6.1.5.5.7.3.3",
                    kDocumentSigning = "1.3.6.1.4.1.311.10.3.12", kEmail = "1.3.6.1.5.5.7.3.4",
                    kOcsp = "1.3.6.1.5.5.7.3.9", kServerAuth = "1.3.6.1.5.5.7.3.1",
                    kTimeStamping = "1.3.6.1.5.5.7.3.8", kEfs = "1.3.6.1.4.1.311.10.3.4",
                    kIpsecEndSystem = "1.3.6.1.5.5.7.3.5", kIkeIntermediate = "1.3.6.1.5.5.8.2.2",
                    kIpsecTunnel = "1.3.6.1.5.5.7.3.6", kIpsecUser = "1.3.6.1.5.5.7.3.7";
  using Usages = std::vector<std::string>;
  struct Case {
    const char* sha1;
    const char* friendly_name;
    Usages usages;
    std::optional<std::time_t> disabled_at;
    Usages disallowed_usages;
    std::optional<std::time_t> not_before;
    Usages not_before_usages;
  };
  const Usages certicamara = {kClientAuth,  kCodeSigning,    kEfs,
                              kEmail,       kIpsecEndSystem, kIkeIntermediate,
                              kIpsecTunnel, kIpsecUser,      kTimeStamping};
  const Case cases[] = {
      {"cdd4eeae6000ac7f40c3802c171e30148030c072",
       "Microsoft Root Certificate Authority",
       {},
       Utc(2021, 8, 1),
       {},
       Utc(2017, 4, 30),
       {}},
      {"3b1efd3a66ea28b16697394703a72ca340a05bd5",
       "Microsoft Root Certificate Authority 2010",
       {},
       std::nullopt,
       {},
       std::nullopt,
       {}},
      {"14884e862637b026af59625c4077ec3529ba9601",
       "Entrust Root Certification Authority - G4",
       {kClientAuth, kCodeSigning, kDocumentSigning, kEmail, kOcsp, kServerAuth, kTimeStamping},
       std::nullopt,
       {kOcsp},
       Utc(2025, 4, 16),
       {kCodeSigning, kOcsp, kServerAuth}},
      {"0ff9407618d3d76a4b98f0a8359e0cfd27accced",
       "OISTE WISeKey Global Root GB CA",
       {kClientAuth, kCodeSigning, kEmail, kServerAuth, kTimeStamping},
       std::nullopt,
       {},
       Utc(2019, 10, 1),
       {kCodeSigning}},
      // Its disable date is an empty value: no date.
      {"4eb6d578499b1ccf5f581ead56be3d9b6744a5e5",
       "VeriSign",
       {kClientAuth, kCodeSigning, kEmail, kServerAuth},
       std::nullopt,
       {},
       Utc(2021, 2, 1),
       {kClientAuth, kCodeSigning, kEmail, kServerAuth}},
      // Not ASCII (the comment line drops what is not).
      {"5463283b6793ff55277cede39098e80422f912f7",
       "AC Ra\u00edz Certic\u00e1mara S.A.",
       certicamara,
       std::nullopt,
       {},
       Utc(2025, 9, 15),
       certicamara},
  };
  const auto sorted = [](Usages u) {
    std::sort(u.begin(), u.end());
    return u;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sha1);
    const auto* entry = authenticode::BuiltInRootProgram().Find(FromHex(c.sha1));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->friendly_name, c.friendly_name);
    EXPECT_EQ(sorted(entry->usages), sorted(c.usages));
    EXPECT_EQ(entry->disabled_at, c.disabled_at);
    EXPECT_EQ(sorted(entry->disallowed_usages), sorted(c.disallowed_usages));
    EXPECT_EQ(entry->not_before, c.not_before);
    EXPECT_EQ(sorted(entry->not_before_usages), sorted(c.not_before_usages));
  }
}

// Windows' own ROOT store roots are vendored program roots, and only they
// count as such.
TEST(RootProgram, WindowsOwnRootsAreVendoredRoots) {
  const auto source = authenticode::CompiledInRootProgramSource();
  EXPECT_EQ(source.windows_roots.size(), 4u);
  for (const auto& sha1 : source.windows_roots) {
    SCOPED_TRACE(::testing::PrintToString(sha1));
    EXPECT_NE(authenticode::ProgramRootBySha1(sha1), nullptr);
    EXPECT_NE(authenticode::BuiltInRootProgram().Find(sha1), nullptr);
    EXPECT_TRUE(authenticode::InWindowsRootStore(sha1));
  }
  // DigiCert Assured ID Root CA: a program root, not one of Windows' own.
  EXPECT_FALSE(
      authenticode::InWindowsRootStore(FromHex("0563b8630d62d75abbc8ab1e4bdfb5a899b24d43")));
}

// Every prefix at a stride, and 0xFF over single bytes at a stride and over
// each of the first headers: refused or decoded, never a crash (ASan).
TEST(RootProgram, DamagedCopiesNeverCrash) {
  const Bytes list = BuiltIn();
  for (std::size_t n = 0; n < list.size(); n += 499) {
    const Bytes prefix(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(authenticode::RootProgramList::Parse(prefix, true).has_value()) << n;
  }
  for (std::size_t i = 0; i < list.size(); i += i < 256 ? 1 : 997) {
    Bytes patched = list;
    patched[i] = 0xFF;
    static_cast<void>(authenticode::RootProgramList::Parse(patched, true));
  }
}

}  // namespace

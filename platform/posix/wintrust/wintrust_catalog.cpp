// WinVerifyTrust with WINTRUST_CATALOG_INFO: a file vouched for by a signed
// catalog. The catalog's signature, chain, usage and timestamp are checked as
// for an embedded signature (authenticode.h); the member is found by its tag
// and its listed hash compared with the file's hash as it is now.
#include "wintrust_catalog.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "authenticode/authenticode.h"
#include "catalog_db.h"
#include "catalog_index.h"
#include "files.h"
#include "handles.h"
#include "judge.h"

namespace exelore_posix {
namespace {

// The members of WINTRUST_CATALOG_INFO this code reads end with hMemberFile.
constexpr std::size_t kCatalogInfoMinSize =
    offsetof(WINTRUST_CATALOG_INFO, hMemberFile) + sizeof(HANDLE);

// The trust configuration as a key of the verdicts kept: each variable
// unset, or set to its value.
std::string ConfigKey(const authenticode::TrustConfig& config) {
  std::string key;
  for (const std::optional<std::string>& part :
       {config.cert_file, config.cert_dir, std::optional<std::string>(config.system_root)}) {
    key += part ? "=" + *part : std::string("-");
    key.push_back('\0');
  }
  return key;
}

// Opens the member file: its handle when given, else its path.
bool OpenMember(const WINTRUST_CATALOG_INFO* info, RegularFile* file, DWORD* error) {
  if (info->hMemberFile != nullptr && info->hMemberFile != INVALID_HANDLE_VALUE) {
    const int fd = FdFromHandle(info->hMemberFile);
    if (fd < 0) {
      *error = ERROR_INVALID_HANDLE;
      return false;
    }
    return file->Attach(fd, error);
  }
  const auto path = PathFromWide(info->pcwszMemberFilePath, error);
  return path && file->Open(*path, error);
}

// The digest a member lists, as the steps judge it.
Listed ListedBy(const std::optional<catalog::Member>& member) {
  // A bare member-v2 entry lists its identifier as its SHA-1 hash
  // (catalog::Member::compat_sha1): the file's hash is compared with it as
  // with an SpcIndirectData digest.
  if (!member || !member->Lists()) return {TRUST_E_NOSIGNATURE, nullptr, {}};
  return {S_OK, member->md, member->digest};
}

// What the catalog's message step leaves: its verdict, held by the
// process's cache or reached now, and the member named by the tag, searched
// only when the signature itself holds.
struct LoadedCatalog {
  bool catalog = false;  // false: not a signed catalog
  HeldVerdict verdict;
  std::optional<catalog::Member> member;
};

// A catalog this process verified before, still the same settled file: its
// signature's verdict as kept, the member found through the index of its
// tags (catalog_index.h). nullopt when it must be read again.
std::optional<LoadedCatalog> FromCache(const std::string& path, const RegularFile& file,
                                       const std::optional<catalog::FileIdentity>& identity,
                                       const std::string& config_key, std::u16string_view tag) {
  auto& cache = catalog::VerdictCache::Instance();
  if (!identity) return std::nullopt;
  auto kept = cache.Find(path, *identity, config_key);
  if (!kept) return std::nullopt;
  LoadedCatalog loaded{true, {kept->status, std::move(kept->signer)}, std::nullopt};
  if (authenticode::FailsBeforeSubjectHash(loaded.verdict.status)) return loaded;
  bool answered = false;
  loaded.member = cache.FindByTag(path, *identity, file.fd(), tag, &answered);
  if (!answered) return std::nullopt;
  return loaded;
}

// The catalog read now: the signature is checked over one view of its bytes
// and the member found in the same view, so that a file rewritten meanwhile
// cannot show the member one thing and the digest another: a copy of its
// bytes read once (FileContent, never a mapping that a writer truncating
// the file would turn into SIGBUS), or the same bytes as the search that
// found the catalog read them, where the file is settled and unchanged
// since (catalog::TakeFoundCatalog). The content is hashed where it lies and
// never decoded whole. One too large to be a catalog this stand-in reads is
// not a catalog. The verdict is kept only if the file was settled and is
// unchanged since.
LoadedCatalog ReadCatalog(const std::string& path, const RegularFile& file,
                          const std::optional<catalog::FileIdentity>& identity,
                          const std::string& config_key, std::u16string_view tag,
                          const authenticode::TrustConfig& config) {
  LoadedCatalog loaded;
  const std::uint64_t size = file.size();
  if (size == 0 || size > authenticode::kMaxSignedFileSize) return loaded;
  std::shared_ptr<const FileContent> content;
  if (identity) content = catalog::TakeFoundCatalog(path, *identity);
  if (!content) content = std::make_shared<const FileContent>(file.fd(), size);
  if (!content->ok()) return loaded;
  const std::span<const std::uint8_t> bytes = content->bytes();
  const std::optional<catalog::Catalog> parsed = catalog::ParseCatalog(bytes);
  if (!parsed) return loaded;
  loaded.catalog = true;
  authenticode::SignerResult result;
  loaded.verdict.status = authenticode::VerifySignedMessage(parsed->message.get(), parsed->content,
                                                            {}, config, &result);
  loaded.verdict.signer = std::move(result.signer);
  // A catalog that does not verify never costs a search for the member.
  if (!authenticode::FailsBeforeSubjectHash(loaded.verdict.status)) {
    loaded.member = parsed->FindByTag(tag);
  }
  if (identity && catalog::SettledIdentity(file.fd()) == identity) {
    catalog::VerdictCache::Instance().Keep(
        path, *identity, config_key,
        {loaded.verdict.status, ossl::UpRef(loaded.verdict.signer.get())},
        static_cast<std::uint64_t>(parsed->entries.data() - bytes.data()), parsed->entries.size(),
        parsed->hash_identifiers);
  }
  return loaded;
}

}  // namespace

// The verdicts, as Windows' Authenticode provider gives them for catalogs
// (Microsoft's WinVerifyTrust and WINTRUST_CATALOG_INFO pages; Wine's
// softpub.c loads the catalog the same way but does not check the member):
// - the catalog cannot be opened: its Win32 error;
// - it is not a signed catalog (no SignedData, not a certificate trust list
//   for catalogs): TRUST_E_NOSIGNATURE, TRUST_E_SUBJECT_FORM_UNKNOWN as the
//   last error, as for a file no subject package knows;
// - a signature that does not verify: the signer's status
//   (authenticode::FailsBeforeSubjectHash);
// - no member with the tag: TRUST_E_NOSIGNATURE (the file is not signed by
//   this catalog);
// - the member file cannot be opened: its Win32 error;
// - the file's hash now differs from the listed one: TRUST_E_BAD_DIGEST;
// - a timestamp that does not verify: TRUST_E_TIME_STAMP;
// - chain and usage failures: the CERT_E_ codes, and TRUST_E_EXPLICIT_DISTRUST
//   for a certificate a Windows volume's Disallowed store holds.
// A precomputed pbCalculatedFileHash is never trusted: the hash is the
// file's own (catalog::ListedHashOf).
Subject LoadCatalogMember(const WINTRUST_CATALOG_INFO* info,
                          const authenticode::TrustConfig& config) {
  Subject subject;
  if (info == nullptr || info->cbStruct < kCatalogInfoMinSize ||
      info->pcwszCatalogFilePath == nullptr || info->pcwszMemberTag == nullptr ||
      (info->pcwszMemberFilePath == nullptr && info->hMemberFile == nullptr)) {
    subject.failure = Fail(E_INVALIDARG);
    return subject;
  }
  DWORD error = 0;
  const auto path = PathFromWide(info->pcwszCatalogFilePath, &error);
  RegularFile file;
  if (!path || !file.Open(*path, &error)) {
    subject.failure = FailWithError(error);
    return subject;
  }
  const auto identity = catalog::SettledIdentity(file.fd());
  const std::string config_key = ConfigKey(config);
  const std::u16string_view tag(info->pcwszMemberTag);
  auto loaded = FromCache(*path, file, identity, config_key, tag);
  if (!loaded) loaded = ReadCatalog(*path, file, identity, config_key, tag, config);
  if (!loaded->catalog) {
    subject.failure = {TRUST_E_NOSIGNATURE, static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN)};
    return subject;
  }
  subject.held = std::move(loaded->verdict);
  subject.find_listed = [member = std::move(loaded->member)] { return ListedBy(member); };
  // The member file as it is now; a precomputed pbCalculatedFileHash is
  // never read.
  subject.hash = [info](const EVP_MD* md) {
    RegularFile member_file;
    DWORD open_error = 0;
    if (!OpenMember(info, &member_file, &open_error)) {
      return Hashed{static_cast<HRESULT>(open_error), {}};
    }
    auto hash = catalog::ListedHashOf(member_file, md);
    return hash ? Hashed{S_OK, std::move(*hash)} : Hashed{TRUST_E_BAD_DIGEST, {}};
  };
  return subject;
}

}  // namespace exelore_posix

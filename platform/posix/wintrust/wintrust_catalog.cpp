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

namespace exelore_posix {
namespace {

// The members of WINTRUST_CATALOG_INFO this code reads end with hMemberFile.
constexpr std::size_t kCatalogInfoMinSize =
    offsetof(WINTRUST_CATALOG_INFO, hMemberFile) + sizeof(HANDLE);

HRESULT Fail(HRESULT status, DWORD* last_error) {
  *last_error = static_cast<DWORD>(status);
  return status;
}

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

HRESULT FailWithError(DWORD error, DWORD* last_error) {
  *last_error = error;
  return static_cast<HRESULT>(error);
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
// A precomputed pbCalculatedFileHash is never trusted: the hash is always
// computed from the file.
HRESULT VerifyCatalogMember(const WINTRUST_CATALOG_INFO* info,
                            const authenticode::TrustConfig& config, DWORD* last_error,
                            ossl::X509Ptr* signer) {
  if (info == nullptr || info->cbStruct < kCatalogInfoMinSize ||
      info->pcwszCatalogFilePath == nullptr || info->pcwszMemberTag == nullptr ||
      (info->pcwszMemberFilePath == nullptr && info->hMemberFile == nullptr)) {
    return Fail(E_INVALIDARG, last_error);
  }
  DWORD path_error = 0;
  const auto catalog_path = PathFromWide(info->pcwszCatalogFilePath, &path_error);
  if (!catalog_path) return FailWithError(path_error, last_error);
  RegularFile catalog_file;
  DWORD error = 0;
  if (!catalog_file.Open(*catalog_path, &error)) return FailWithError(error, last_error);
  const auto check_member = [&](const std::optional<catalog::Member>& member) {
    // A bare member-v2 entry lists its identifier as its SHA-1 hash
    // (catalog::Member::compat_sha1): the file's hash is compared with it
    // as with an SpcIndirectData digest.
    if (!member || !member->Lists()) return TRUST_E_NOSIGNATURE;
    if (member->md == nullptr) return NTE_BAD_ALGID;
    RegularFile member_file;
    DWORD open_error = 0;
    if (!OpenMember(info, &member_file, &open_error)) return static_cast<HRESULT>(open_error);
    const auto hash = catalog::ListedHashOf(member_file, member->md);
    return hash && hash->size() == member->digest.size() &&
                   CRYPTO_memcmp(hash->data(), member->digest.data(), hash->size()) == 0
               ? S_OK
               : TRUST_E_BAD_DIGEST;
  };
  const auto succeed = [&](ossl::X509Ptr found) {
    *signer = std::move(found);
    *last_error = ERROR_SUCCESS;
    return S_OK;
  };

  // A catalog this process verified before, still the same settled file:
  // its signature's verdict is kept, and the member is found through the
  // index of its tags (catalog_index.h).
  auto& cache = catalog::VerdictCache::Instance();
  const auto identity = catalog::SettledIdentity(catalog_file.fd());
  const std::string config_key = ConfigKey(config);
  if (identity) {
    if (auto kept = cache.Find(*catalog_path, *identity, config_key)) {
      if (authenticode::FailsBeforeSubjectHash(kept->status)) return Fail(kept->status, last_error);
      bool answered = false;
      const auto member = cache.FindByTag(*catalog_path, *identity, catalog_file.fd(),
                                          info->pcwszMemberTag, &answered);
      if (answered) {
        const HRESULT status = authenticode::VerifySubjectAfterMessage(
            kept->status, [&] { return check_member(member); });
        if (status != S_OK) return Fail(status, last_error);
        return succeed(std::move(kept->signer));
      }
    }
  }

  // The signature is checked over one view of the catalog's bytes and the
  // member found in the same view, so that a file rewritten meanwhile cannot
  // show the member one thing and the digest another: a copy of its bytes
  // read once (FileContent, never a mapping that a writer truncating the
  // file would turn into SIGBUS). The content is hashed where it lies and
  // never decoded whole. One too large to be a catalog this stand-in reads
  // is not a catalog.
  struct Judged {
    bool catalog = false;
    HRESULT message = S_OK;
    authenticode::SignerResult result;
    std::optional<catalog::Member> member;
    std::uint64_t entries_offset = 0;
    std::uint64_t entries_length = 0;
    bool hash_identifiers = false;
  };
  const auto judge = [&](std::span<const std::uint8_t> bytes) {
    Judged judged;
    const std::optional<catalog::Catalog> catalog = catalog::ParseCatalog(bytes);
    if (!catalog) return judged;
    judged.catalog = true;
    judged.message = authenticode::VerifySignedMessage(catalog->message.get(), catalog->content, {},
                                                       config, &judged.result);
    // A catalog that does not verify never costs a search for the member.
    if (!authenticode::FailsBeforeSubjectHash(judged.message)) {
      judged.member = catalog->FindByTag(info->pcwszMemberTag);
    }
    judged.entries_offset = static_cast<std::uint64_t>(catalog->entries.data() - bytes.data());
    judged.entries_length = catalog->entries.size();
    judged.hash_identifiers = catalog->hash_identifiers;
    return judged;
  };
  const std::uint64_t size = catalog_file.size();
  std::optional<Judged> judged;
  if (size > 0 && size <= authenticode::kMaxSignedFileSize) {
    const FileContent content(catalog_file.fd(), size);
    if (content.ok()) judged = judge(content.bytes());
  }
  if (!judged || !judged->catalog) {
    *last_error = static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN);
    return TRUST_E_NOSIGNATURE;
  }
  // Kept only if the file was settled and is unchanged since.
  if (identity && catalog::SettledIdentity(catalog_file.fd()) == identity) {
    cache.Keep(*catalog_path, *identity, config_key,
               {judged->message, ossl::UpRef(judged->result.signer.get())}, judged->entries_offset,
               judged->entries_length, judged->hash_identifiers);
  }

  // The steps every subject goes through, with the member's hash as the
  // subject's: a changed member is reported before a chain problem.
  const HRESULT status = authenticode::VerifySubjectAfterMessage(
      judged->message, [&] { return check_member(judged->member); });
  if (status != S_OK) return Fail(status, last_error);
  return succeed(std::move(judged->result.signer));
}

}  // namespace exelore_posix

// WinVerifyTrust with WINTRUST_CATALOG_INFO: a file vouched for by a signed
// catalog. The catalog's signature, chain, usage and timestamp are checked as
// for an embedded signature (authenticode.h); the member is found by its tag
// and its listed hash compared with the file's hash as it is now.
#include "wintrust_catalog.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "authenticode/authenticode.h"
#include "catalog_db.h"
#include "catalog_index.h"
#include "files.h"
#include "handles.h"
#include "pe.h"

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
  const auto path = PathFromWide(info->pcwszMemberFilePath);
  if (!path) {
    *error = GetLastError();
    return false;
  }
  return file->Open(*path, error);
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
  const auto catalog_path = PathFromWide(info->pcwszCatalogFilePath);
  if (!catalog_path) return FailWithError(GetLastError(), last_error);
  RegularFile catalog_file;
  DWORD error = 0;
  if (!catalog_file.Open(*catalog_path, &error)) return FailWithError(error, last_error);
  const auto check_member = [&](const std::optional<catalog::Member>& member) {
    if (!member || !member->has_indirect_data) return TRUST_E_NOSIGNATURE;
    if (member->md == nullptr) return NTE_BAD_ALGID;
    RegularFile member_file;
    DWORD open_error = 0;
    if (!OpenMember(info, &member_file, &open_error)) return static_cast<HRESULT>(open_error);
    const auto hash = catalog::FileHash(member_file, member->md);
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

  // Read once into memory of its own: the signature is checked over these
  // bytes and the member found in them, so a file rewritten meanwhile cannot
  // show the member one thing and the digest another. Its content is hashed
  // where it lies and never decoded whole. One too large to be a catalog
  // this stand-in reads is not a catalog.
  std::vector<std::uint8_t> bytes;
  std::optional<catalog::Catalog> catalog;
  if (catalog_file.size() > 0 && catalog_file.size() <= authenticode::kMaxSignedFileSize) {
    bytes.resize(static_cast<std::size_t>(catalog_file.size()));
    if (pe::FileSource(catalog_file.fd(), catalog_file.size()).ReadAt(0, bytes)) {
      catalog = catalog::ParseCatalog(bytes);
    }
  }
  if (!catalog) {
    *last_error = static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN);
    return TRUST_E_NOSIGNATURE;
  }

  // The steps every subject goes through, with the member's hash as the
  // subject's: a catalog that does not verify never costs a pass over the
  // member, and a changed member is reported before a chain problem.
  authenticode::SignerResult result;
  const HRESULT message = authenticode::VerifySignedMessage(catalog->message.get(),
                                                            catalog->content, {}, config, &result);
  // Kept only if the file was settled and unchanged while it was read.
  if (identity && catalog::SettledIdentity(catalog_file.fd()) == identity) {
    cache.Keep(*catalog_path, *identity, config_key, {message, ossl::UpRef(result.signer.get())},
               static_cast<std::uint64_t>(catalog->entries.data() - bytes.data()),
               catalog->entries.size());
  }
  const HRESULT status = authenticode::VerifySubjectAfterMessage(
      message, [&] { return check_member(catalog->FindByTag(info->pcwszMemberTag)); });
  if (status != S_OK) return Fail(status, last_error);
  return succeed(std::move(result.signer));
}

}  // namespace exelore_posix

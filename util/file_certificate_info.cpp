#include "util/file_certificate_info.h"

#include <softpub.h>

#include <cstddef>
#include <cstdlib>
#include <vector>

namespace orvik_util {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The sizes of the trust structures as first published; later SDKs append
// members that this program does not use.
constexpr DWORD kWinTrustDataSize = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD);
static_assert(kWinTrustDataSize == 80);

// Writes "<prefix><last error in unsigned decimal>" to the debugger output.
void DebugMessage(const WCHAR* prefix, DWORD error) {
  WideString text = prefix;
  AppendDecimal(text, error);
  OutputDebugStringW(text.c_str());
}

}  // namespace

FileCertificateInfo::FileCertificateInfo(const WideString& path)
    : m_path(path),
      m_initialized(false),
      m_certContext(nullptr),
      m_certStore(nullptr),
      m_cryptMsg(nullptr),
      m_signerInfo(nullptr),
      m_memberTag(nullptr) {}

FileCertificateInfo::~FileCertificateInfo() {
  m_publisherName.reset();
  m_trustVerdict.reset();
  m_catalogFilePath.reset();
  if (m_certContext) {
    CertFreeCertificateContext(m_certContext);
    m_certContext = nullptr;
  }
  if (m_certStore) {
    CertCloseStore(m_certStore, 0);
    m_certStore = nullptr;
  }
  if (m_cryptMsg) {
    CryptMsgClose(m_cryptMsg);
    m_cryptMsg = nullptr;
  }
  if (m_signerInfo) {
    LocalFree(m_signerInfo);
    m_signerInfo = nullptr;
  }
  if (m_memberTag) {
    std::free(m_memberTag);
    m_memberTag = nullptr;
  }
}

HRESULT FileCertificateInfo::Initialize() {
  if (m_initialized) return S_OK;

  DWORD encoding = 0;
  DWORD content_type = 0;
  DWORD format_type = 0;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, m_path.c_str(),
                        CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                        0, &encoding, &content_type, &format_type, &m_certStore, &m_cryptMsg,
                        nullptr)) {
    const DWORD query_error = GetLastError();
    if (!FindInCatalog()) {
      if (GetFileAttributesW(m_path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        m_initialized = false;
        return HResultFromWin32(GetLastError());
      }
      m_initialized = true;
      return HResultFromWin32(query_error);
    }
    m_catalogFilePath = std::make_unique<WideString>(m_catalogInfo.wszCatalogFile);
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, m_catalogFilePath->c_str(),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                          &encoding, &content_type, &format_type, &m_certStore, &m_cryptMsg,
                          nullptr)) {
      return HResultFromWin32(GetLastError());
    }
  }

  DWORD signer_info_size = 0;
  if (!CryptMsgGetParam(m_cryptMsg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &signer_info_size)) {
    DebugMessage(TEXT("CryptMsgGetParam(1) failed with "), GetLastError());
    return S_OK;
  }
  m_signerInfo = static_cast<PCMSG_SIGNER_INFO>(LocalAlloc(LPTR, signer_info_size));
  if (m_signerInfo == nullptr ||
      !CryptMsgGetParam(m_cryptMsg, CMSG_SIGNER_INFO_PARAM, 0, m_signerInfo, &signer_info_size)) {
    DebugMessage(TEXT("CryptMsgGetParam(2) failed with "), GetLastError());
    return S_OK;
  }

  CERT_INFO subject = {};
  subject.Issuer = m_signerInfo->Issuer;
  subject.SerialNumber = m_signerInfo->SerialNumber;
  m_certContext = CertFindCertificateInStore(m_certStore, kEncoding, 0, CERT_FIND_SUBJECT_CERT,
                                             &subject, nullptr);
  if (m_certContext == nullptr) {
    DebugMessage(TEXT("CertFindCertificateInStore failed with "), GetLastError());
  }
  m_initialized = true;
  return S_OK;
}

HRESULT FileCertificateInfo::GetPublisherName(WideString& name) {
  if (!m_initialized) return E_FAIL;
  HRESULT result = S_OK;
  if (!m_publisherName) {
    if (m_certContext == nullptr) return CRYPT_E_NO_MATCH;
    const DWORD length =
        CertGetNameStringW(m_certContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length == 0) {
      result = HResultFromWin32(GetLastError());
    }
    if (SUCCEEDED(result)) {
      std::vector<WCHAR> buffer(length == 0 ? 1 : length);
      if (CertGetNameStringW(m_certContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                             buffer.data(), static_cast<DWORD>(buffer.size())) != 0) {
        buffer.back() = 0;
        m_publisherName = std::make_unique<WideString>(buffer.data());
      } else {
        result = HResultFromWin32(GetLastError());
      }
    }
  }
  if (m_publisherName) name = *m_publisherName;
  return result;
}

namespace {

// What both modes ask alike: no UI, no revocation checks, for execution;
// the union choice, state action and provider flags are each mode's own.
void FillTrustData(WINTRUST_DATA& data, DWORD union_choice, DWORD state_action,
                   DWORD provider_flags) {
  data.cbStruct = kWinTrustDataSize;
  data.pPolicyCallbackData = nullptr;
  data.pSIPClientData = nullptr;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = union_choice;
  data.dwStateAction = state_action;
  data.hWVTStateData = nullptr;
  data.pwszURLReference = nullptr;
  data.dwProvFlags = provider_flags;
  data.dwUIContext = WTD_UICONTEXT_EXECUTE;
}

}  // namespace

void FileCertificateInfo::FillFileTrustData(WINTRUST_DATA& data) {
  FillTrustData(data, WTD_CHOICE_FILE, WTD_STATEACTION_IGNORE, WTD_SAFER_FLAG);
}

void FileCertificateInfo::FillCatalogTrustData(WINTRUST_DATA& data) {
  m_catalogTrustInfo.cbStruct = offsetof(WINTRUST_CATALOG_INFO, pcCatalogContext) +
                                sizeof(m_catalogTrustInfo.pcCatalogContext);
  m_catalogTrustInfo.dwCatalogVersion = 0;
  m_catalogTrustInfo.pcwszCatalogFilePath = m_catalogInfo.wszCatalogFile;
  m_catalogTrustInfo.pcwszMemberTag = m_memberTag;
  m_catalogTrustInfo.pcwszMemberFilePath = m_path.c_str();
  m_catalogTrustInfo.hMemberFile = nullptr;
  FillTrustData(data, WTD_CHOICE_CATALOG, WTD_STATEACTION_VERIFY, 0);
  data.pCatalog = &m_catalogTrustInfo;
}

HRESULT FileCertificateInfo::VerifyTrust(bool& verified) {
  if (!m_initialized) return E_FAIL;
  HRESULT result = S_OK;
  if (!m_trustVerdict) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA data = {};
    WINTRUST_FILE_INFO file = {};
    const bool catalog_mode = m_catalogFilePath != nullptr;
    if (catalog_mode) {
      FillCatalogTrustData(data);
    } else {
      file.cbStruct = sizeof(WINTRUST_FILE_INFO);
      file.pcwszFilePath = m_path.c_str();
      file.hFile = nullptr;
      file.pgKnownSubject = nullptr;
      FillFileTrustData(data);
      if (m_keepProviderFacts) data.dwStateAction = WTD_STATEACTION_VERIFY;
      data.pFile = &file;
    }

    const LONG status = WinVerifyTrust(nullptr, &action, &data);
    m_trustAsked = true;
    m_trustStatus = status;
    m_trustLastError = GetLastError();
    result = HResultFromWin32(status);
    switch (status) {
      case ERROR_SUCCESS:
        m_trustVerdict = std::make_unique<bool>(true);
        result = S_OK;
        break;
      case TRUST_E_NOSIGNATURE: {
        const DWORD error = m_trustLastError;
        if (static_cast<HRESULT>(error) == TRUST_E_NOSIGNATURE ||
            static_cast<HRESULT>(error) == TRUST_E_SUBJECT_FORM_UNKNOWN ||
            static_cast<HRESULT>(error) == TRUST_E_PROVIDER_UNKNOWN) {
          m_trustVerdict = std::make_unique<bool>(false);
        }
        result = HResultFromWin32(error);
        break;
      }
      case TRUST_E_EXPLICIT_DISTRUST:
      case TRUST_E_SUBJECT_NOT_TRUSTED:
      case CRYPT_E_SECURITY_SETTINGS:
        m_trustVerdict = std::make_unique<bool>(false);
        result = status;
        break;
      default:
        break;
    }
    // A verification that keeps state (catalog mode) is closed whatever its
    // outcome, so the provider releases what it held; a successful one is
    // always followed by the closing call.
    if (m_keepProviderFacts) ReadProviderFacts(data.hWVTStateData);
    if (status == ERROR_SUCCESS || catalog_mode || m_keepProviderFacts) {
      data.dwStateAction = WTD_STATEACTION_CLOSE;
      WinVerifyTrust(nullptr, &action, &data);
    }
  }
  verified = m_trustVerdict ? *m_trustVerdict : false;
  return result;
}

// The first signer's sftVerifyAsOf and first counter-signer, which the
// provider loads from the signature's timestamp (Microsoft's
// CRYPT_PROVIDER_SGNR page).
void FileCertificateInfo::ReadProviderFacts(HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  CRYPT_PROVIDER_SGNR* counter = WTHelperGetProvSignerFromChain(provider, 0, TRUE, 0);
  if (signer == nullptr || counter == nullptr) return;
  m_timestamped = true;
  m_verifyAsOf = signer->sftVerifyAsOf;
  const CRYPT_PROVIDER_CERT* cert = WTHelperGetProvCertFromChain(counter, 0);
  if (cert == nullptr || cert->pCert == nullptr) return;
  const DWORD length =
      CertGetNameStringW(cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
  std::vector<WCHAR> name(length == 0 ? 1 : length);
  if (CertGetNameStringW(cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(),
                         static_cast<DWORD>(name.size())) != 0) {
    name.back() = 0;
    m_timestampSigner = name.data();
  }
}

}  // namespace orvik_util

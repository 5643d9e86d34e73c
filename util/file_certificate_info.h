// Who signed a file, and whether the signature holds.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>

#include <memory>

#include "util/shared.h"

namespace orvik_util {

// Answers two questions about one file: the simple display name of the
// certificate that signed it, and whether the platform's trust provider
// accepts the signature. The signer is taken from the Authenticode signature
// embedded in the file or, when it carries none, from the signed system
// catalog that lists the file's hash. Every answer that costs a platform
// request is computed once and kept. The object owns every handle it obtains
// and releases them when destroyed.
class FileCertificateInfo {
 public:
  explicit FileCertificateInfo(const WideString& path);
  virtual ~FileCertificateInfo();

  FileCertificateInfo(const FileCertificateInfo&) = delete;
  FileCertificateInfo& operator=(const FileCertificateInfo&) = delete;

  // Locates the signer's certificate. Returns S_OK once the lookup has run
  // (the certificate may still be absent: the signer was not in the
  // signature's store, and a debugger message says so); an HRESULT of the
  // platform error when the file is signed neither way (the object is then
  // initialised without a certificate) or cannot be accessed (not
  // initialised). A second call after success does nothing.
  HRESULT Initialize();

  // Replaces `name` with the signer's simple display name. E_FAIL before a
  // successful Initialize, CRYPT_E_NO_MATCH when no certificate was found;
  // `name` is left unchanged on failure.
  HRESULT GetPublisherName(WideString& name);

  // Sets `verified` to the trust provider's verdict on the file (or on its
  // catalog membership). Without a verdict (an unexpected status) `verified`
  // is false and the next call asks again. Returns E_FAIL, leaving `verified`
  // unwritten, before a successful Initialize.
  HRESULT VerifyTrust(bool& verified);

  // The signer's certificate and signer information, once Initialize found
  // them; null otherwise. Owned by the object.
  PCCERT_CONTEXT SignerCertificate() const { return m_certContext; }
  PCMSG_SIGNER_INFO SignerInfo() const { return m_signerInfo; }

  // Asks VerifyTrust to keep the trust provider's state until it has read
  // the time the signer's chain was judged at and the timestamp's signer
  // (WTHelperProvDataFromStateData); call before VerifyTrust.
  void KeepProviderFacts() { m_keepProviderFacts = true; }

  // After VerifyTrust with KeepProviderFacts: whether the provider found a
  // counter-signer (a timestamp), the signer's sftVerifyAsOf, and the
  // counter-signer certificate's simple display name. False otherwise.
  bool Timestamp(FILETIME& verify_as_of, WideString& signer_name) const {
    if (!m_timestamped) return false;
    verify_as_of = m_verifyAsOf;
    signer_name = m_timestampSigner;
    return true;
  }

  // The path of the catalog the signer was read from, or null when the
  // signer is the file's own (or none was found).
  const WideString* CatalogFilePath() const { return m_catalogFilePath.get(); }

  // What the last WinVerifyTrust call of VerifyTrust returned and the last
  // error it left; false, with both unwritten, before VerifyTrust has asked.
  bool LastTrustStatus(LONG& status, DWORD& last_error) const {
    if (!m_trustAsked) return false;
    status = m_trustStatus;
    last_error = m_trustLastError;
    return true;
  }

 private:
  bool FindInCatalog();
  void FillFileTrustData(WINTRUST_DATA& data);
  void FillCatalogTrustData(WINTRUST_DATA& data);
  void ReadProviderFacts(HANDLE state);

  WideString m_path;
  std::unique_ptr<WideString> m_publisherName;
  std::unique_ptr<WideString> m_catalogFilePath;
  std::unique_ptr<bool> m_trustVerdict;
  bool m_initialized;
  bool m_trustAsked = false;
  bool m_keepProviderFacts = false;
  bool m_timestamped = false;
  FILETIME m_verifyAsOf = {};
  WideString m_timestampSigner;
  LONG m_trustStatus = 0;
  DWORD m_trustLastError = 0;
  PCCERT_CONTEXT m_certContext;
  HCERTSTORE m_certStore;
  HCRYPTMSG m_cryptMsg;
  PCMSG_SIGNER_INFO m_signerInfo;  // LocalAlloc block
  WCHAR* m_memberTag;              // C runtime heap block
  WINTRUST_CATALOG_INFO m_catalogTrustInfo;
  CATALOG_INFO m_catalogInfo;
};

}  // namespace orvik_util

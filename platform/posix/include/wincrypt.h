// POSIX stand-in for <wincrypt.h>: certificate stores and contexts, signed
// messages and certificate names, as far as the program uses them. Structure
// layouts are the SDK's.
#pragma once

#include <windows.h>

using HCERTSTORE = void*;
using HCRYPTMSG = void*;

typedef struct _CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_UINT_BLOB, CRYPT_OBJID_BLOB, CERT_NAME_BLOB,
    *PCERT_NAME_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB, CRYPT_DER_BLOB,
    CRYPT_ATTR_BLOB, *PCRYPT_ATTR_BLOB;

typedef struct _CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
} CRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  PCRYPT_ATTR_BLOB rgValue;
} CRYPT_ATTRIBUTE, *PCRYPT_ATTRIBUTE;

typedef struct _CRYPT_ATTRIBUTES {
  DWORD cAttr;
  PCRYPT_ATTRIBUTE rgAttr;
} CRYPT_ATTRIBUTES;

typedef struct _CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO;

typedef struct _CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;

typedef struct _CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

typedef struct _CMSG_SIGNER_INFO {
  DWORD dwVersion;
  CERT_NAME_BLOB Issuer;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
  CRYPT_DATA_BLOB EncryptedHash;
  CRYPT_ATTRIBUTES AuthAttrs;
  CRYPT_ATTRIBUTES UnauthAttrs;
} CMSG_SIGNER_INFO, *PCMSG_SIGNER_INFO;

// Only passed on, as null, by the program, or members it does not read.
using HCRYPTPROV = ULONG_PTR;
typedef struct _CERT_USAGE_MATCH CERT_USAGE_MATCH, *PCERT_USAGE_MATCH;
typedef struct _CERT_CHAIN_CONTEXT CERT_CHAIN_CONTEXT;
typedef const CERT_CHAIN_CONTEXT* PCCERT_CHAIN_CONTEXT;
typedef struct _CERT_CHAIN_ELEMENT CERT_CHAIN_ELEMENT, *PCERT_CHAIN_ELEMENT;
typedef struct _CERT_STRONG_SIGN_PARA CERT_STRONG_SIGN_PARA;
typedef const CERT_STRONG_SIGN_PARA* PCCERT_STRONG_SIGN_PARA;

typedef struct _CTL_CONTEXT CTL_CONTEXT;
typedef const CTL_CONTEXT* PCCTL_CONTEXT;

#define X509_ASN_ENCODING 0x00000001u
#define PKCS_7_ASN_ENCODING 0x00010000u

#define CERT_QUERY_OBJECT_FILE 0x00000001u
#define CERT_QUERY_CONTENT_PKCS7_SIGNED 8u
#define CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED 10u
#define CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED (1u << CERT_QUERY_CONTENT_PKCS7_SIGNED)
#define CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED (1u << CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED)
#define CERT_QUERY_FORMAT_BINARY 1u
#define CERT_QUERY_FORMAT_FLAG_BINARY (1u << CERT_QUERY_FORMAT_BINARY)

#define CMSG_SIGNER_COUNT_PARAM 5u
#define CMSG_SIGNER_INFO_PARAM 6u

#define CERT_FIND_SUBJECT_CERT \
  0x000B0000u  // CERT_COMPARE_SUBJECT_CERT (11) << CERT_COMPARE_SHIFT (16)

#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4u
#define CERT_NAME_ISSUER_FLAG 0x1u

#define CERT_SHA1_HASH_PROP_ID 3u

extern "C" {
BOOL WINAPI CryptQueryObject(DWORD dwObjectType, const void* pvObject,
                             DWORD dwExpectedContentTypeFlags, DWORD dwExpectedFormatTypeFlags,
                             DWORD dwFlags, DWORD* pdwMsgAndCertEncodingType, DWORD* pdwContentType,
                             DWORD* pdwFormatType, HCERTSTORE* phCertStore, HCRYPTMSG* phMsg,
                             const void** ppvContext);
BOOL WINAPI CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                             DWORD* pcbData);
BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg);
PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                 DWORD dwFindFlags, DWORD dwFindType,
                                                 const void* pvFindPara,
                                                 PCCERT_CONTEXT pPrevCertContext);
DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags,
                                void* pvTypePara, LPWSTR pszNameString, DWORD cchNameString);
BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                              void* pvData, DWORD* pcbData);
BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
}

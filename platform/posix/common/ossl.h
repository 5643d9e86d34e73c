// Owners for the OpenSSL objects the stand-in holds. Every OpenSSL object
// lives in one of these; nothing is freed by hand.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

namespace exelore_posix::ossl {

template <auto F>
struct Free {
  template <typename T>
  void operator()(T* p) const {
    F(p);
  }
};

// What Free cannot name directly: stacks (a "view" stack owns only its
// array, an owning stack its elements too, and both free through macros)
// and OPENSSL_free, a macro.
inline void FreeX509Stack(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
inline void FreeX509StackView(STACK_OF(X509) * s) { sk_X509_free(s); }
inline void FreeOpenSslBytes(unsigned char* p) { OPENSSL_free(p); }
inline void FreeUsages(EXTENDED_KEY_USAGE* p) { sk_ASN1_OBJECT_pop_free(p, ASN1_OBJECT_free); }

// A value of one of our own ASN.1 templates (authenticode/ctl.h,
// signed_data.cpp), freed through its ASN1_ITEM.
template <typename T, const ASN1_ITEM* (*Item)()>
struct FreeItem {
  void operator()(T* p) const { ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(p), Item()); }
};
template <typename T, const ASN1_ITEM* (*Item)()>
using ItemPtr = std::unique_ptr<T, FreeItem<T, Item>>;

using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, Free<ASN1_OBJECT_free>>;
using Asn1StringPtr = std::unique_ptr<ASN1_STRING, Free<ASN1_STRING_free>>;
using BioPtr = std::unique_ptr<BIO, Free<BIO_free_all>>;
using BytesPtr = std::unique_ptr<unsigned char, Free<FreeOpenSslBytes>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Free<CMS_ContentInfo_free>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, Free<GENERAL_NAMES_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY_free>>;
using KeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Free<EVP_MD_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Free<PKCS7_free>>;
using SignerInfoPtr = std::unique_ptr<PKCS7_SIGNER_INFO, Free<PKCS7_SIGNER_INFO_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Free<X509_STORE_CTX_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Free<X509_STORE_free>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, Free<TS_TST_INFO_free>>;
using UsagesPtr = std::unique_ptr<EXTENDED_KEY_USAGE, Free<FreeUsages>>;
using X509NamePtr = std::unique_ptr<X509_NAME, Free<X509_NAME_free>>;
using X509Ptr = std::unique_ptr<X509, Free<X509_free>>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), Free<FreeX509Stack>>;
using X509StackViewPtr = std::unique_ptr<STACK_OF(X509), Free<FreeX509StackView>>;

// A new reference to `x` (OpenSSL counts references to certificates).
inline X509Ptr UpRef(X509* x) {
  if (x == nullptr || X509_up_ref(x) != 1) return nullptr;
  return X509Ptr(x);
}

// Readies a certificate that other threads will read. OpenSSL fills a
// certificate's cache of decoded extensions (key identifiers, usages,
// signature details) at first use, and checks whether it is filled without a
// lock; so a certificate the stand-in keeps for every caller (a root, a
// volume's stored certificate) has it filled here, by the thread that
// decoded it and under the lock that publishes it, before any other thread
// sees it. Afterwards every use only reads.
inline X509* Shareable(X509* x) {
  if (x != nullptr) X509_check_purpose(x, -1, 0);
  return x;
}

// Whether OpenSSL frees its global state when the process exits. The
// product does not (ossl_exit.cpp): the system takes the whole process back
// faster, and the state is reachable to the end. The test build does
// (testing/), so that LeakSanitizer reports only what the stand-in leaks.
bool CleanUpAtExit();

// Held for the length of each stand-in API call that may use OpenSSL. The
// first one initialises OpenSSL without its configuration file (the
// stand-in's behaviour does not depend on the system's openssl.cnf, and no
// run pays for parsing it) and without its error texts, which nothing here
// ever prints. Each starts with an empty error queue, so that a failure seen
// inside the call is the call's own, and decodes RSA and EC keys with
// OpenSSL's built-in methods while it lasts (see ossl.cpp).
class ApiCall {
 public:
  ApiCall();
  ~ApiCall();
  ApiCall(const ApiCall&) = delete;
  ApiCall& operator=(const ApiCall&) = delete;
};

}  // namespace exelore_posix::ossl

// OpenSSL's chain check told which links a path search verified: it takes
// those signatures as verified and nothing else, and keeps checking dates.
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <span>
#include <string>
#include <vector>

#include "authenticode/checked_links.h"
#include "ossl.h"
#include "test_pki.h"

namespace {

using exelore_posix::ossl::X509Ptr;
using exelore_test::LoadCertificate;
using exelore_test::TestPki;

TEST(CheckedLinks, OnlyThePathsOwnLinksSkipTheirSignature) {
  const TestPki& pki = exelore_test::SharedTestPki();
  const X509Ptr root = LoadCertificate(pki.root.cert);
  const X509Ptr intermediate = LoadCertificate(pki.intermediate.cert);
  const X509Ptr signer = LoadCertificate(pki.signer.cert);
  const X509Ptr expired = LoadCertificate(pki.signer_expired.cert);
  const X509Ptr untrusted_root = LoadCertificate(pki.untrusted_root.cert);
  const X509Ptr decoy = LoadCertificate(pki.decoy_intermediate);
  ASSERT_TRUE(root && intermediate && signer && expired && untrusted_root && decoy);

  struct Case {
    const char* name;
    X509* leaf;
    X509* issuer;  // the one intermediate OpenSSL is given
    X509* anchor;
    std::vector<X509*> path;  // the links taken as verified
    int error;
  } const cases[] = {
      {"the path verified",
       signer.get(),
       intermediate.get(),
       root.get(),
       {signer.get(), intermediate.get(), root.get()},
       X509_V_OK},
      {"nothing verified", signer.get(), intermediate.get(), root.get(), {}, X509_V_OK},
      // The decoy has the intermediate's name and key identifier but not its
      // key: the real link's verification does not stand for it.
      {"a decoy in OpenSSL's chain",
       signer.get(),
       decoy.get(),
       untrusted_root.get(),
       {signer.get(), intermediate.get(), root.get()},
       X509_V_ERR_CERT_SIGNATURE_FAILURE},
      {"an expired leaf on a verified path",
       expired.get(),
       intermediate.get(),
       root.get(),
       {expired.get(), intermediate.get(), root.get()},
       X509_V_ERR_CERT_HAS_EXPIRED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    exelore_posix::ossl::StorePtr store(X509_STORE_new());
    exelore_posix::ossl::X509StackViewPtr untrusted(sk_X509_new_null());
    ASSERT_EQ(X509_STORE_add_cert(store.get(), c.anchor), 1);
    ASSERT_GT(sk_X509_push(untrusted.get(), c.issuer), 0);
    exelore_posix::ossl::StoreCtxPtr ctx(X509_STORE_CTX_new());
    ASSERT_EQ(X509_STORE_CTX_init(ctx.get(), store.get(), c.leaf, untrusted.get()), 1);
    const std::span<X509* const> path(c.path);
    ASSERT_TRUE(exelore_posix::authenticode::TakeLinksAsVerified(ctx.get(), &path));
    X509_STORE_CTX_set_time(ctx.get(), 0, TestPki::kNotBefore + 400 * 86400);
    EXPECT_EQ(X509_verify_cert(ctx.get()), c.error == X509_V_OK ? 1 : 0);
    EXPECT_EQ(X509_STORE_CTX_get_error(ctx.get()), c.error);
  }
}

}  // namespace

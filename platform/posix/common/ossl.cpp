// The ENGINE interface is deprecated in OpenSSL 3, but it is the only switch
// 3.x offers between its provider key decoders and its built-in ones.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "ossl.h"

#include <openssl/opensslv.h>

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <mutex>

#if !defined(OPENSSL_NO_ENGINE) && OPENSSL_VERSION_MAJOR == 3
#include <openssl/engine.h>
#define EXELORE_BUILTIN_KEY_ENGINE 1
#endif

namespace exelore_posix::ossl {
namespace {

bool InitialiseOnce() {
  // The first initialisation decides for the process: a run-once step taken
  // with its NO_ flag is done, and a later request (OpenSSL's own functions
  // ask on the way for every cipher and digest, the configuration and the
  // clean-up) changes nothing. Every cipher and digest in the legacy name
  // table costs more than checking a small file's signature, the more so as
  // OpenSSL 3.0 copies that whole table into its algorithm names at the
  // first fetch; only the digests signatures name are added.
  std::uint64_t options = OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS |
                          OPENSSL_INIT_NO_ADD_ALL_CIPHERS | OPENSSL_INIT_NO_ADD_ALL_DIGESTS;
  if (!CleanUpAtExit()) options |= OPENSSL_INIT_NO_ATEXIT;
  if (OPENSSL_init_crypto(options, nullptr) != 1) return false;
  // The digests a signature of a certificate, a signer or a timestamp can
  // name (OBJ_find_sigid_algs), which X509_verify finds by number in that
  // table; whether one is acceptable is decided elsewhere.
  for (const EVP_MD* md : {EVP_md5(), EVP_sha1(), EVP_sha224(), EVP_sha256(), EVP_sha384(),
                           EVP_sha512(), EVP_sha3_224(), EVP_sha3_256(), EVP_sha3_384(),
                           EVP_sha3_512(), EVP_ripemd160(), EVP_sm3()}) {
    EVP_add_digest(md);
  }
  return true;
}

void Initialise() {
  static const bool initialised = InitialiseOnce();
  static_cast<void>(initialised);
}

#ifdef EXELORE_BUILTIN_KEY_ENGINE
// Every certificate OpenSSL 3.0 decodes has its public key decoded on the
// way, and an RSA or EC key goes through the provider decoder framework,
// which builds a fresh decoder chain each time: over a million instructions
// and a few dozen heap pages per certificate, most of a small file's check.
// OpenSSL takes its built-in decoder instead while an ENGINE is registered
// for the key type, and verifies with that key through the engine's method.
// This engine offers exactly OpenSSL's own built-in RSA and EC methods, so
// the keys, the algorithms and the verdicts are OpenSSL's as before; only
// the dispatch changes.
//
// The registration is process-wide and would also steer key generation by
// name to the built-in methods, which need parameters set the old way. It is
// therefore held only while a stand-in call runs; keys decoded meanwhile
// stay valid afterwards (OpenSSL exports them to a provider when used).
class BuiltinKeys {
 public:
  void Enter() {
    const std::lock_guard lock(mutex_);
    if (depth_++ == 0 && engine_ != nullptr) ENGINE_register_pkey_meths(engine_);
  }
  void Leave() {
    const std::lock_guard lock(mutex_);
    if (--depth_ == 0 && engine_ != nullptr) ENGINE_unregister_pkey_meths(engine_);
  }

  static BuiltinKeys& Instance() {
    static BuiltinKeys instance;
    return instance;
  }

 private:
  static constexpr int kKeyTypes[] = {EVP_PKEY_RSA, EVP_PKEY_EC};

  static int Methods(ENGINE*, EVP_PKEY_METHOD** method, const int** nids, int nid) {
    if (method == nullptr) {
      *nids = kKeyTypes;
      return static_cast<int>(std::size(kKeyTypes));
    }
    *method = const_cast<EVP_PKEY_METHOD*>(EVP_PKEY_meth_find(nid));
    return *method != nullptr ? 1 : 0;
  }

  BuiltinKeys() {
    Initialise();
    ENGINE* engine = ENGINE_new();
    if (engine == nullptr) return;
    // OpenSSL's engine list holds the engine from here to its clean-up at
    // exit; without it, OpenSSL's own paths stay in use.
    if (ENGINE_set_id(engine, "exelore-builtin-keys") == 1 &&
        ENGINE_set_name(engine, "OpenSSL's built-in RSA and EC key methods") == 1 &&
        ENGINE_set_pkey_meths(engine, Methods) == 1 && ENGINE_add(engine) == 1) {
      engine_ = engine;
    }
    ENGINE_free(engine);
    ERR_clear_error();
  }

  std::mutex mutex_;
  int depth_ = 0;
  ENGINE* engine_ = nullptr;
};
#endif

}  // namespace

ApiCall::ApiCall() {
  Initialise();
#ifdef EXELORE_BUILTIN_KEY_ENGINE
  BuiltinKeys::Instance().Enter();
#endif
  ERR_clear_error();
}

ApiCall::~ApiCall() {
#ifdef EXELORE_BUILTIN_KEY_ENGINE
  BuiltinKeys::Instance().Leave();
#endif
}

}  // namespace exelore_posix::ossl

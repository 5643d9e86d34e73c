#include "ctl.h"

#include <openssl/objects.h>

namespace exelore_posix::authenticode {

// OpenSSL's template macros, laid out as its own sources lay them out.
// clang-format off
ASN1_SEQUENCE(CatTrustedSubject) = {
    ASN1_SIMPLE(CatTrustedSubject, identifier, ASN1_OCTET_STRING),
    ASN1_SET_OF_OPT(CatTrustedSubject, attributes, X509_ATTRIBUTE),
} ASN1_SEQUENCE_END(CatTrustedSubject)

ASN1_SEQUENCE(CatTrustList) = {
    ASN1_OPT(CatTrustList, version, ASN1_INTEGER),
    ASN1_SEQUENCE_OF(CatTrustList, usage, ASN1_OBJECT),
    ASN1_OPT(CatTrustList, list_identifier, ASN1_OCTET_STRING),
    ASN1_OPT(CatTrustList, sequence_number, ASN1_INTEGER),
    ASN1_SIMPLE(CatTrustList, this_update, ASN1_TIME),
    ASN1_OPT(CatTrustList, next_update, ASN1_TIME),
    ASN1_SIMPLE(CatTrustList, algorithm, X509_ALGOR),
    ASN1_OPT(CatTrustList, subjects, ASN1_SEQUENCE),
    ASN1_EXP_SEQUENCE_OF_OPT(CatTrustList, extensions, X509_EXTENSION, 0),
} ASN1_SEQUENCE_END(CatTrustList)
// clang-format on

const ASN1_OBJECT* TrustListOid() {
  static const ASN1_OBJECT* const oid = OBJ_txt2obj("1.3.6.1.4.1.311.10.1", 1);
  return oid;
}

const ASN1_OBJECT* RootListSignerOid() {
  static const ASN1_OBJECT* const oid = OBJ_txt2obj("1.3.6.1.4.1.311.10.3.9", 1);
  return oid;
}

}  // namespace exelore_posix::authenticode

// Microsoft's certificate trust list (CTL, szOID_CTL 1.3.6.1.4.1.311.10.1),
// the content of catalogs and of the root program's authroot.stl, as
// OpenSSL ASN.1 templates.
#pragma once

#include <openssl/asn1t.h>

#include "ossl.h"

namespace exelore_posix::authenticode {

// CertificateTrustList ::= SEQUENCE {
//   version           INTEGER OPTIONAL,
//   subjectUsage      SEQUENCE OF OBJECT IDENTIFIER,
//   listIdentifier    OCTET STRING OPTIONAL,
//   sequenceNumber    INTEGER OPTIONAL,
//   thisUpdate        Time,
//   nextUpdate        Time OPTIONAL,
//   subjectAlgorithm  AlgorithmIdentifier,
//   trustedSubjects   SEQUENCE OF TrustedSubject OPTIONAL,
//   extensions        [0] EXPLICIT Extensions OPTIONAL }
// TrustedSubject ::= SEQUENCE {
//   subjectIdentifier OCTET STRING,
//   subjectAttributes SET OF Attribute OPTIONAL }
// (Microsoft's CTL_INFO and CTL_ENTRY structures, which CryptDecodeObjectEx
// decodes from PKCS_CTL; Wine's dlls/crypt32/decode.c, CRYPT_AsnDecodeCTL,
// decodes the same fields in the same order.) The trusted subjects are kept
// as one encoded SEQUENCE, so that a reader can decode one TrustedSubject at
// a time.
struct CatTrustedSubject {
  ASN1_OCTET_STRING* identifier;
  STACK_OF(X509_ATTRIBUTE) * attributes;
};
struct CatTrustList {
  ASN1_INTEGER* version;
  STACK_OF(ASN1_OBJECT) * usage;
  ASN1_OCTET_STRING* list_identifier;
  ASN1_INTEGER* sequence_number;
  ASN1_TIME* this_update;
  ASN1_TIME* next_update;
  X509_ALGOR* algorithm;
  ASN1_STRING* subjects;  // SEQUENCE OF TrustedSubject, encoded
  STACK_OF(X509_EXTENSION) * extensions;
};

DECLARE_ASN1_ITEM(CatTrustedSubject)
DECLARE_ASN1_ITEM(CatTrustList)

// szOID_CTL (1.3.6.1.4.1.311.10.1), the content type of a CTL.
const ASN1_OBJECT* TrustListOid();
// szOID_ROOT_LIST_SIGNER (1.3.6.1.4.1.311.10.3.9): the subject usage of a
// root list, and the usage its signer's certificates name.
const ASN1_OBJECT* RootListSignerOid();

using TrustListPtr = ossl::ItemPtr<CatTrustList, CatTrustList_it>;
using TrustedSubjectPtr = ossl::ItemPtr<CatTrustedSubject, CatTrustedSubject_it>;

}  // namespace exelore_posix::authenticode

// Owning pointers for OpenSSL objects, shared by every component: each
// object is released with its own free function on every way out. Call
// .release() only after a set0/add0/assign has taken ownership.
#ifndef COMMON_SSL_PTR_H
#define COMMON_SSL_PTR_H

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

template <class T>
struct SslDeleter;

#define COMMON_SSL_DELETER_(type, free_fn)         \
  template <>                                      \
  struct SslDeleter<type> {                        \
    void operator()(type* p) const { free_fn(p); } \
  };

COMMON_SSL_DELETER_(BIO, BIO_free_all)
COMMON_SSL_DELETER_(X509, X509_free)
COMMON_SSL_DELETER_(EVP_PKEY, EVP_PKEY_free)
COMMON_SSL_DELETER_(EVP_PKEY_CTX, EVP_PKEY_CTX_free)
COMMON_SSL_DELETER_(EVP_MD_CTX, EVP_MD_CTX_free)
COMMON_SSL_DELETER_(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free)
COMMON_SSL_DELETER_(CMS_ContentInfo, CMS_ContentInfo_free)
COMMON_SSL_DELETER_(PKCS7, PKCS7_free)
COMMON_SSL_DELETER_(PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free)
COMMON_SSL_DELETER_(ASN1_OCTET_STRING, ASN1_OCTET_STRING_free)
COMMON_SSL_DELETER_(X509_STORE, X509_STORE_free)
COMMON_SSL_DELETER_(X509_STORE_CTX, X509_STORE_CTX_free)
#undef COMMON_SSL_DELETER_

// Bytes that OpenSSL allocated (i2d_* output).
template <>
struct SslDeleter<unsigned char> {
  void operator()(unsigned char* p) const { OPENSSL_free(p); }
};

template <>
struct SslDeleter<STACK_OF(X509)> {
  void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};

template <class T>
using SslPtr = std::unique_ptr<T, SslDeleter<T>>;

#endif

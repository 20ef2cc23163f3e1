// Owning pointers for the OpenSSL objects of the library: each one is
// released with its own free function on every way out.
#ifndef CARDCRYPTO_OSSL_H
#define CARDCRYPTO_OSSL_H

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

template <class T>
struct SslDeleter;
template <>
struct SslDeleter<BIO> {
  void operator()(BIO* p) const { BIO_free_all(p); }
};
template <>
struct SslDeleter<X509> {
  void operator()(X509* p) const { X509_free(p); }
};
template <>
struct SslDeleter<EVP_PKEY> {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
template <>
struct SslDeleter<EVP_PKEY_CTX> {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};

template <class T>
using SslPtr = std::unique_ptr<T, SslDeleter<T>>;

#endif

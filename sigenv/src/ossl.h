// Owning pointers for the OpenSSL objects of the PKCS#7 library.
#ifndef SIGENV_OSSL_H
#define SIGENV_OSSL_H

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

namespace sigenv {

template <class T>
struct SslDeleter;
template <>
struct SslDeleter<PKCS7> {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
template <>
struct SslDeleter<PKCS7_SIGNER_INFO> {
  void operator()(PKCS7_SIGNER_INFO* p) const { PKCS7_SIGNER_INFO_free(p); }
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
struct SslDeleter<EVP_MD_CTX> {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
template <>
struct SslDeleter<ASN1_OCTET_STRING> {
  void operator()(ASN1_OCTET_STRING* p) const { ASN1_OCTET_STRING_free(p); }
};
template <>
struct SslDeleter<unsigned char> {
  void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
template <class T>
using SslPtr = std::unique_ptr<T, SslDeleter<T>>;

}  // namespace sigenv

#endif

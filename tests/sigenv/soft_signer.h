// A software stand-in for the card in the PKCS#7 library's tests: an RSA key
// and a self-signed certificate made in memory.
#ifndef TESTS_SIGENV_SOFT_SIGNER_H
#define TESTS_SIGENV_SOFT_SIGNER_H

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "envelope.h"
#include "sigenv_dll.h"

class SoftSigner : public sigenv::CardSigner {
 public:
  explicit SoftSigner(const char* common_name = "Soft Signer", int bits = 1024) {
    key_ = EVP_RSA_gen(static_cast<unsigned>(bits));
    cert_ = X509_new();
    X509_set_version(cert_, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert_), 0x1234);
    X509_gmtime_adj(X509_getm_notBefore(cert_), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert_), 3600);
    X509_NAME* name = X509_get_subject_name(cert_);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
    X509_set_issuer_name(cert_, name);
    X509_set_pubkey(cert_, key_);
    X509_sign(cert_, key_, EVP_sha256());
  }
  ~SoftSigner() override {
    X509_free(cert_);
    EVP_PKEY_free(key_);
  }
  SoftSigner(const SoftSigner&) = delete;
  SoftSigner& operator=(const SoftSigner&) = delete;

  std::vector<unsigned char> CertDer() const {
    int len = i2d_X509(cert_, nullptr);
    std::vector<unsigned char> der(static_cast<size_t>(len));
    unsigned char* p = der.data();
    i2d_X509(cert_, &p);
    return der;
  }

  // The private key as PKCS#8 PEM.
  std::string KeyPem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key_, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(len));
    BIO_free(bio);
    return pem;
  }

  int Certificate(std::vector<unsigned char>* der) override {
    if (cert_fails) return SIGENV_ERR_CERTIFICATE;
    *der = CertDer();
    return SIGENV_OK;
  }

  int SignDigestInfo(const std::vector<unsigned char>& digest_info, const char* pin,
                     std::vector<unsigned char>* signature) override {
    last_digest_info = digest_info;
    if (sign_answer != SIGENV_OK) return sign_answer;
    if (std::string(pin) != "1234") return SIGENV_ERR_PIN;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(wrong_key != nullptr ? wrong_key : key_, nullptr);
    size_t len = 0;
    int ok = EVP_PKEY_sign_init(ctx) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_sign(ctx, nullptr, &len, digest_info.data(), digest_info.size()) == 1;
    signature->resize(len);
    ok = ok &&
         EVP_PKEY_sign(ctx, signature->data(), &len, digest_info.data(), digest_info.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    signature->resize(len);
    return ok ? SIGENV_OK : SIGENV_ERR_CARD_SIGN;
  }

  bool cert_fails = false;
  EVP_PKEY* wrong_key = nullptr;  // signs with this key instead of the certificate's
  int sign_answer = SIGENV_OK;
  std::vector<unsigned char> last_digest_info;

 private:
  EVP_PKEY* key_ = nullptr;
  X509* cert_ = nullptr;
};

#endif

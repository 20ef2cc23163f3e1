// Digest-free public-key work: verification of vorpin_sign signatures and
// PKCS#1 v1.5 encryption, with a given DER certificate or the card's.
#include "pubkey.h"

#include <openssl/rsa.h>

#include <cstring>
#include <vector>

#include "alloc.h"
#include "card.h"
#include "digest.h"
#include "guard.h"
#include "trace.h"
#include "vorpin_cardlock.h"
#include "vorpin_dll.h"

namespace {

// The RSA block of the card's 1024-bit keys.
constexpr int32_t kBlockSize = 128;

}  // namespace

SslPtr<EVP_PKEY> vorpin_RSA_pubkey_get_by_cert(const unsigned char* cert, int32_t cert_len) {
  // BIO_new_mem_buf takes a negative length as "up to the first NUL", which
  // would read past the caller's bytes.
  SslPtr<BIO> bio(cert != nullptr && cert_len >= 0 ? BIO_new_mem_buf(cert, cert_len) : nullptr);
  if (!bio) {
    vorpin_trace("vorpin_RSA_pubkey_get_by_cert(): failed to put certificate into OpenSSL BIO!");
    return nullptr;
  }
  SslPtr<X509> x509(d2i_X509_bio(bio.get(), nullptr));
  if (!x509) {
    vorpin_trace(
        "vorpin_RSA_pubkey_get_by_cert(): failed to convert the certificate to OpenSSL internal "
        "structure!");
    return nullptr;
  }
  SslPtr<EVP_PKEY> key(X509_get_pubkey(x509.get()));
  if (!key) {
    vorpin_trace("vorpin_RSA_pubkey_get_by_cert(): failed to get the public key from certificate");
    return nullptr;
  }
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    vorpin_trace("vorpin_RSA_pubkey_get_by_cert(): Certificate is not RSA type!");
    return nullptr;
  }
  vorpin_trace("vorpin_RSA_pubkey_get_by_cert(): get the public key from certificate OK.");
  return key;
}

SslPtr<EVP_PKEY> vorpin_RSA_pubkey_get(int32_t index) {
  // The length query and the read see the same card start.
  const vorpin::CardLock lock;
  int32_t size = 0;
  if (vorpin_getcert(nullptr, &size, index) != VORPIN_ERR_BUFFER_TOO_SMALL) {
    vorpin_trace("vorpin_RSA_pubkey_get(): get the certificate size error!");
    return nullptr;
  }
  vorpin_trace("vorpin_RSA_pubkey_get(): get the certificate size == %d in the Smart Card.",
               static_cast<int>(size));
  std::vector<unsigned char> der;
  if (!ResizeBytes(&der, static_cast<size_t>(size), "vorpin_RSA_pubkey_get certificate")) {
    vorpin_trace("vorpin_RSA_pubkey_get(): allocate a buffer for storing certificate error!");
    return nullptr;
  }
  int32_t rc = vorpin_getcert(der.data(), &size, index);
  if (rc == VORPIN_ERR_BUFFER_TOO_SMALL) {
    vorpin_trace(
        "vorpin_RSA_pubkey_get(): the output buffer for storing the certificate is NOT large "
        "enough! (need %d byte)",
        static_cast<int>(size));
    return nullptr;
  }
  if (rc != VORPIN_OK) {
    vorpin_trace("vorpin_RSA_pubkey_get(): failed to get the certificate in the Smart Card!");
    return nullptr;
  }
  vorpin_trace("vorpin_RSA_pubkey_get(): get the certificate in the Smart Card OK.");
  return vorpin_RSA_pubkey_get_by_cert(der.data(), size);
}

int32_t vorpin_verify_internal(const unsigned char* data, int32_t data_len,
                               const unsigned char* sig, int32_t sig_len, const unsigned char* cert,
                               int32_t cert_len, int32_t hash_type) {
  // Negative lengths are no data and no signature: nothing may be read
  // outside the caller's bytes.
  if (data == nullptr || data_len < 0) {
    vorpin_trace("vorpin_verify_internal(): input a NULL data to be verified, something error!");
    return VORPIN_ERR_VERIFY_NULL_DATA;
  }
  if (sig == nullptr || sig_len < 0) {
    vorpin_trace("vorpin_verify_internal(): input a NULL signature of data, something error!");
    return VORPIN_ERR_VERIFY_NULL_SIGNATURE;
  }

  SslPtr<EVP_PKEY> key;
  if (cert == nullptr) {
    vorpin_trace("vorpin_verify_internal(): get the RSA public key from Smart Card for verifying");
    key = vorpin_RSA_pubkey_get(kSigningIndex);
  } else {
    vorpin_trace(
        "vorpin_verify_internal(): get the RSA public key from the input certificate for "
        "verifying");
    key = vorpin_RSA_pubkey_get_by_cert(cert, cert_len);
  }
  if (!key) {
    vorpin_trace("vorpin_verify_internal(): failed to get the RSA public key for verify!");
    return VORPIN_ERR_VERIFY_PUBLIC_KEY;
  }

  const unsigned char* expected = nullptr;
  size_t expected_len = 0;
  std::vector<unsigned char> digest;
  if (int32_t rc =
          SelectValue("vorpin_verify_internal", "verifying", "vorpin_verify_internal digest",
                      hash_type, data, data_len, &digest, &expected, &expected_len);
      rc != VORPIN_OK) {
    return rc;
  }

  // The signed value is recovered into a buffer as long as the key's
  // modulus, so a larger key than the card's can never write past it; only
  // then is it held to the 128-byte block.
  SslPtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) {
    vorpin_trace("vorpin_verify_internal(): the signature of data is wrong.");
    return VORPIN_ERR_VERIFY_MISMATCH;
  }
  std::vector<unsigned char> recovered;
  if (!ResizeBytes(&recovered, static_cast<size_t>(EVP_PKEY_get_size(key.get())),
                   "vorpin_verify_internal recovered value")) {
    return VORPIN_ERR_MEMORY;
  }
  size_t recovered_len = recovered.size();
  if (EVP_PKEY_verify_recover(ctx.get(), recovered.data(), &recovered_len, sig,
                              static_cast<size_t>(sig_len)) <= 0) {
    vorpin_trace("vorpin_verify_internal(): the signature of data is wrong.");
    return VORPIN_ERR_VERIFY_MISMATCH;
  }
  if (recovered_len > static_cast<size_t>(kBlockSize)) {
    vorpin_trace("vorpin_verify_internal(): Memory error!");
    return VORPIN_ERR_MEMORY;
  }
  // The recovered value must be the expected value itself: equal bytes and
  // equal length, so a signature over a longer or shorter value (a
  // selector-3 signature checked with selector 1, say) does not verify.
  if (recovered_len != expected_len || std::memcmp(recovered.data(), expected, expected_len) != 0) {
    vorpin_trace("vorpin_verify_internal(): the signature of data is wrong.");
    return VORPIN_ERR_VERIFY_MISMATCH;
  }
  vorpin_trace("vorpin_verify_internal(): the signature of data is correct.");
  return VORPIN_OK;
}

int32_t vorpin_pubkey_encrypt_internal(const unsigned char* data, int32_t data_len,
                                       unsigned char* out, int32_t* out_len,
                                       const unsigned char* cert, int32_t cert_len) {
  if (data == nullptr || data_len < 0) {
    vorpin_trace(
        "vorpin_pubkey_encrypt_internal(): input a NULL data to be encrypted, something error!");
    return VORPIN_ERR_ENCRYPT_NULL_DATA;
  }
  if (out_len == nullptr) {
    vorpin_trace(
        "vorpin_pubkey_encrypt_internal(): input a NULL input/output buffer for getting encrypted "
        "data length!");
    return VORPIN_ERR_NULL_LENGTH;
  }

  SslPtr<EVP_PKEY> key;
  if (cert == nullptr) {
    vorpin_trace(
        "vorpin_pubkey_encrypt_internal(): get the RSA public key from Smart Card for "
        "encryption...");
    key = vorpin_RSA_pubkey_get(kEncryptionIndex);
  } else {
    vorpin_trace(
        "vorpin_pubkey_encrypt_internal(): get the RSA public key from the input certificate...");
    key = vorpin_RSA_pubkey_get_by_cert(cert, cert_len);
  }
  if (!key) {
    vorpin_trace(
        "vorpin_pubkey_encrypt_internal(): failed to get the RSA public key for encryption!");
    return VORPIN_ERR_ENCRYPT_PUBLIC_KEY;
  }

  if (out == nullptr || *out_len < kBlockSize) {
    *out_len = kBlockSize;
    return VORPIN_ERR_BUFFER_TOO_SMALL;
  }
  const int32_t block = EVP_PKEY_get_size(key.get());
  if (block > *out_len) {
    vorpin_trace("vorpin_pubkey_encrypt_internal(): Memory error!");
    return VORPIN_ERR_MEMORY;
  }

  // Data over the key's limit (modulus length less 11 bytes) cannot be
  // encrypted: that is a failure, never a success with an unwritten block.
  SslPtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  size_t written = static_cast<size_t>(*out_len);
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_encrypt(ctx.get(), out, &written, data, static_cast<size_t>(data_len)) <= 0) {
    vorpin_trace(
        "vorpin_pubkey_encrypt_internal(): failed to encrypt the data with the RSA public key!");
    return VORPIN_ERR_ENCRYPT_PUBLIC_KEY;
  }
  *out_len = static_cast<int32_t>(written);
  return VORPIN_OK;
}

extern "C" VORPIN_API int32_t VORPIN_CDECL vorpin_verify(const unsigned char* data,
                                                         int32_t data_len, const unsigned char* sig,
                                                         int32_t sig_len, int32_t hash_type) {
  return Guarded(
      [&] { return vorpin_verify_internal(data, data_len, sig, sig_len, nullptr, 0, hash_type); });
}

extern "C" VORPIN_API int32_t VORPIN_CDECL vorpin_verify_by_cert(
    const unsigned char* data, int32_t data_len, const unsigned char* sig, int32_t sig_len,
    const unsigned char* cert, int32_t cert_len, int32_t hash_type) {
  return Guarded([&]() -> int32_t {
    if (cert == nullptr || cert_len <= 0) {
      vorpin_trace("vorpin_verify_by_cert(): input a empty certificate!");
      return VORPIN_ERR_VERIFY_EMPTY_CERT;
    }
    return vorpin_verify_internal(data, data_len, sig, sig_len, cert, cert_len, hash_type);
  });
}

extern "C" VORPIN_API int32_t VORPIN_CDECL vorpin_pubkey_encrypt(const unsigned char* data,
                                                                 int32_t data_len,
                                                                 unsigned char* out,
                                                                 int32_t* out_len) {
  return Guarded(
      [&] { return vorpin_pubkey_encrypt_internal(data, data_len, out, out_len, nullptr, 0); });
}

extern "C" VORPIN_API int32_t VORPIN_CDECL
vorpin_pubkey_encrypt_by_cert(const unsigned char* data, int32_t data_len, unsigned char* out,
                              int32_t* out_len, const unsigned char* cert, int32_t cert_len) {
  return Guarded([&]() -> int32_t {
    if (cert == nullptr || cert_len <= 0) {
      vorpin_trace("vorpin_pubkey_encrypt_by_cert(): input a empty certificate!");
      return VORPIN_ERR_ENCRYPT_EMPTY_CERT;
    }
    return vorpin_pubkey_encrypt_internal(data, data_len, out, out_len, cert, cert_len);
  });
}

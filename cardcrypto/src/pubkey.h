// The software side of the card's public keys: the RSA key of a DER
// certificate (given, or read from the card) and the verification and
// encryption that use it.
#ifndef CARDCRYPTO_PUBKEY_H
#define CARDCRYPTO_PUBKEY_H

#include <stdint.h>

#include "ossl.h"

// The RSA public key of the first DER certificate in cert[0..cert_len);
// bytes after it are ignored. Null for anything else (PEM or Base64 text,
// truncated DER, a key that is not RSA).
SslPtr<EVP_PKEY> vorpin_RSA_pubkey_get_by_cert(const unsigned char* cert, int32_t cert_len);

// The RSA public key of the card's certificate number index (0 signing,
// 1 encryption), read afresh from the card. Null when it cannot be had.
SslPtr<EVP_PKEY> vorpin_RSA_pubkey_get(int32_t index);

// A null certificate selects the card's signing certificate.
// 0, 1, 2561, 3072, 3073, 3075, 3076.
int32_t vorpin_verify_internal(const unsigned char* data, int32_t data_len,
                               const unsigned char* sig, int32_t sig_len, const unsigned char* cert,
                               int32_t cert_len, int32_t hash_type);

// A null certificate selects the card's encryption certificate.
// 0, 1, 2, 3, 2048, 2051.
int32_t vorpin_pubkey_encrypt_internal(const unsigned char* data, int32_t data_len,
                                       unsigned char* out, int32_t* out_len,
                                       const unsigned char* cert, int32_t cert_len);

#endif

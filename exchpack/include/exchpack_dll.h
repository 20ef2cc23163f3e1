/*
 * exchpack_dll: the exchange-structure library.
 *
 * Wraps a block of data for a recipient's certificate with the card and
 * unwraps it again with the recipient's card. The exchange structure is DER:
 * a CMS SignedData made with the card's signing key (SHA-256, the signer's
 * certificate included) whose encapsulated content (type id-data) is the DER
 * ContentInfo of a CMS EnvelopedData for the recipient (RSA PKCS#1 v1.5 key
 * transport, AES-256-CBC). The card is reached only through vorpin_dll, which
 * the caller starts (vorpin_init) before a wrap or an unwrap and stops
 * (vorpin_fini) afterwards; taking the signer's certificate out needs no card.
 *
 * Unwrapping also opens what other CMS writers make in that nesting: BER
 * (indefinite lengths, OCTET STRINGs in segments, as `openssl cms -stream`
 * writes), AES-128/192/256-CBC content, a signer or recipient named by
 * issuer and serial number or by subject key identifier, several
 * certificates, with or without signed attributes (which must be DER),
 * signed with RSA PKCS#1 v1.5 or ECDSA over SHA-224/256/384/512. Unsafe or
 * unimplemented algorithms are refused with codes of their own.
 *
 * Bytes pass in counted-bytes records that RAW_DATA_new and RAW_DATA_delete
 * manage (a record may also describe a block of the caller's own). An
 * output record's length is its capacity on entry and the number of bytes
 * produced on success; on any failure its length and its block are left as
 * they were: the result is written only once the card has done its part.
 *
 * Every function returns 0 or one of the negative EXCHPACK_ERR_* codes below
 * (none of them is -1 or -23).
 */
#ifndef EXCHPACK_DLL_H
#define EXCHPACK_DLL_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(EXCHPACK_BUILDING)
#define EXCHPACK_API __declspec(dllexport)
#else
#define EXCHPACK_API __declspec(dllimport)
#endif
#else
#define EXCHPACK_API __attribute__((visibility("default")))
#endif

/* The exports use the caller-cleans convention. */
#if defined(_WIN32) && !defined(_WIN64)
#define EXCHPACK_CDECL __cdecl
#else
#define EXCHPACK_CDECL
#endif

/* Result codes, grouped by family. X(name, value, text). */
#define EXCHPACK_RESULT_CODES(X)                                                               \
  X(EXCHPACK_OK, 0, "success")                                                                 \
  X(EXCHPACK_ERR_ARGUMENT, -101, "a record, pointer or size argument is null or out of range") \
  X(EXCHPACK_ERR_MEMORY, -102, "memory could not be allocated")                                \
  X(EXCHPACK_ERR_INTERNAL, -103, "a cryptographic operation failed unexpectedly")              \
  X(EXCHPACK_ERR_RECIPIENT_CERT, -110,                                                         \
    "the recipient certificate is not an RSA X.509 certificate in DER, PEM or Base64")         \
  X(EXCHPACK_ERR_OUTPUT_TOO_SMALL, -111,                                                       \
    "the result is larger than the output record's capacity; nothing was written")             \
  X(EXCHPACK_ERR_CARD, -120, "the card cannot be reached (card library not started, no card)") \
  X(EXCHPACK_ERR_PIN, -121, "the PIN is incorrect")                                            \
  X(EXCHPACK_ERR_LOGIN, -122, "the card refused the login (PIN locked?)")                      \
  X(EXCHPACK_ERR_CARD_CERT, -123, "the card's certificate could not be read or decoded")       \
  X(EXCHPACK_ERR_SIGN, -124, "the card could not sign")                                        \
  X(EXCHPACK_ERR_KEY_DECRYPT, -125,                                                            \
    "the card could not decrypt the content key, or it is not a key of the content cipher")    \
  X(EXCHPACK_ERR_NOT_STRUCTURE, -130, "the bytes are not an exchange structure")               \
  X(EXCHPACK_ERR_BAD_SIGNATURE, -131, "the structure's signature does not verify")             \
  X(EXCHPACK_ERR_NOT_RECIPIENT, -132,                                                          \
    "the structure is not wrapped for the card's encryption certificate")                      \
  X(EXCHPACK_ERR_CONTENT, -133, "the encrypted content is corrupted (length or padding)")      \
  X(EXCHPACK_ERR_NO_SIGNER_CERT, -134, "the structure holds no certificate of its signer")     \
  X(EXCHPACK_ERR_WEAK_CIPHER, -135,                                                            \
    "the content cipher is refused as unsafe (DES, triple DES, RC2, RC4)")                     \
  X(EXCHPACK_ERR_WEAK_DIGEST, -136,                                                            \
    "the digest or signature algorithm is refused as unsafe (MD5, SHA-1)")                     \
  X(EXCHPACK_ERR_WEAK_KEY, -137,                                                               \
    "the signer's key is refused as too short (RSA below 1024 bits, EC below 224 bits)")       \
  X(EXCHPACK_ERR_UNSUPPORTED, -138,                                                            \
    "an algorithm the library does not implement (RSA-OAEP, RSA-PSS, AES-GCM, other ciphers)")

#define EXCHPACK_DEFINE_CODE_(name, value, text) name = value,
enum exchpack_result { EXCHPACK_RESULT_CODES(EXCHPACK_DEFINE_CODE_) };
#undef EXCHPACK_DEFINE_CODE_

/* Counted bytes: the capacity or the number of bytes in data. */
typedef struct raw_data_st {
  int32_t length;
  unsigned char* data;
} raw_data_st;

#ifdef __cplusplus
extern "C" {
#endif

/* Gives record a zeroed block of n bytes (n >= 0) and sets its length to n.
 * 0, EXCHPACK_ERR_ARGUMENT (null record, negative n) or EXCHPACK_ERR_MEMORY;
 * on failure the record is set to length 0 and no block. */
EXCHPACK_API int32_t EXCHPACK_CDECL RAW_DATA_new(raw_data_st* record, int32_t n);

/* Releases the block of a record made by RAW_DATA_new and clears the record.
 * A null record, or one without a block, is left alone. */
EXCHPACK_API void EXCHPACK_CDECL RAW_DATA_delete(raw_data_st* record);

/* Wraps the bytes of in for the recipient certificate cert (cert_len bytes:
 * DER, PEM or Base64 text) into the exchange structure, signed with the
 * card's signing key under pin (NUL-terminated). The card library must be
 * started. Writes the structure into out and its size into out->length.
 * 0, ARGUMENT, MEMORY, INTERNAL, RECIPIENT_CERT, OUTPUT_TOO_SMALL, CARD, PIN,
 * LOGIN, CARD_CERT, SIGN. */
EXCHPACK_API int32_t EXCHPACK_CDECL DatatoP12_withcert(raw_data_st* in, raw_data_st* out,
                                                       const unsigned char* cert, int32_t cert_len,
                                                       const char* pin);

/* Unwraps the exchange structure in: checks its signature with the signer
 * certificate it carries (no trust decision), finds the recipient entry of
 * the card's encryption certificate, decrypts the content key with the
 * card's encryption key under pin and the content into out. reserved and
 * reserved_len must be null and 0. The card library must be started.
 * 0, ARGUMENT, MEMORY, INTERNAL, OUTPUT_TOO_SMALL, CARD, PIN, LOGIN,
 * CARD_CERT, KEY_DECRYPT, NOT_STRUCTURE, BAD_SIGNATURE, NOT_RECIPIENT,
 * CONTENT, WEAK_CIPHER, WEAK_DIGEST, WEAK_KEY, UNSUPPORTED. */
EXCHPACK_API int32_t EXCHPACK_CDECL P12toData_for_file_exchange(raw_data_st* out, raw_data_st* in,
                                                                const unsigned char* reserved,
                                                                int32_t reserved_len,
                                                                const char* pin);

/* Copies the DER signing certificate of the exchange structure in into out.
 * Needs no card and checks no signature. 0, ARGUMENT, MEMORY, INTERNAL,
 * OUTPUT_TOO_SMALL, NOT_STRUCTURE, NO_SIGNER_CERT. */
EXCHPACK_API int32_t EXCHPACK_CDECL GetSignCertFromP12(raw_data_st* in, raw_data_st* out);

#ifdef __cplusplus
}
#endif

#endif /* EXCHPACK_DLL_H */

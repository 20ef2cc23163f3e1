/*
 * vorpin_dll: the card crypto library.
 *
 * Plain C functions over an IC card reached through the card vendor's PKCS#11
 * module ("aetpkss1.dll", loaded by that bare name at vorpin_init), plus the
 * software side (digests, verification and encryption with a certificate,
 * certificate text fields, Base64) done with OpenSSL.
 *
 * Conventions shared by every function:
 *  - Every function that can fail returns one of the VORPIN_* codes below
 *    (0 for success); B64Encode / B64Decode return a length or -1.
 *  - Byte strings (data, signatures, certificates, PINs) are a pointer and a
 *    32-bit length; no terminator is needed.
 *  - Output-length convention: an output pointer and a pointer to an in/out
 *    32-bit length (capacity on entry). A null length pointer gives
 *    VORPIN_ERR_NULL_LENGTH; a null or too small output (signed comparison)
 *    stores the length needed and gives VORPIN_ERR_BUFFER_TOO_SMALL;
 *    otherwise the output is written and its length stored.
 *  - All buffers belong to the caller; nothing outlives a call.
 *  - Card operations work only between a successful vorpin_init and
 *    vorpin_fini.
 *  - Threads: every function that reaches the card (vorpin_init,
 *    vorpin_fini, the card key, certificate, PIN and random functions, and
 *    vorpin_verify / vorpin_pubkey_encrypt, which read the card's
 *    certificate) holds one process-wide lock for its whole run, the lock
 *    that Docseal and Doclock hold for their card work too. Card calls may
 *    come from any thread and never overlap. The started state is one per
 *    process: a host that runs vorpin_init ... vorpin_fini brackets of its
 *    own in several threads keeps them apart itself (one thread's
 *    vorpin_fini ends the start that another's card calls rely on; those
 *    then answer 512). vorpin_hash, the *_by_cert functions, the
 *    certificate texts and Base64 take no lock, keep no shared state and
 *    run in parallel.
 */
#ifndef VORPIN_DLL_H
#define VORPIN_DLL_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(VORPIN_BUILDING)
#define VORPIN_API __declspec(dllexport)
#else
#define VORPIN_API __declspec(dllimport)
#endif
#else
#define VORPIN_API __attribute__((visibility("default")))
#endif

/* The exports use the caller-cleans convention. */
#if defined(_WIN32) && !defined(_WIN64)
#define VORPIN_CDECL __cdecl
#else
#define VORPIN_CDECL
#endif

/*
 * Result codes. The high byte names the operation family, the low byte the
 * step within it. X(name, value, text): one list for the constants and for
 * the texts that tools print.
 */
#define VORPIN_RESULT_CODES(X)                                                             \
  X(VORPIN_OK, 0, "success")                                                               \
  X(VORPIN_ERR_MEMORY, 1, "out of memory, or a produced block is longer than its room")    \
  X(VORPIN_ERR_BUFFER_TOO_SMALL, 2, "output buffer absent or too small; length stored")    \
  X(VORPIN_ERR_NULL_LENGTH, 3, "the pointer to the in/out length is null")                 \
  X(VORPIN_ERR_LOAD_MODULE, 256, "the PKCS#11 module could not be loaded")                 \
  X(VORPIN_ERR_NO_GET_FUNCTION_LIST, 257, "the PKCS#11 module has no C_GetFunctionList")   \
  X(VORPIN_ERR_GET_FUNCTION_LIST, 258, "C_GetFunctionList failed")                         \
  X(VORPIN_ERR_INITIALIZE, 259, "C_Initialize failed")                                     \
  X(VORPIN_ERR_FINALIZE, 260, "C_Finalize failed")                                         \
  X(VORPIN_ERR_NOT_INITIALIZED, 512, "the card library is not initialized")                \
  X(VORPIN_ERR_SLOT_COUNT, 768, "the query for the number of slots failed")                \
  X(VORPIN_ERR_SLOT_LIST, 769, "the query for the slot list failed")                       \
  X(VORPIN_ERR_NO_SLOT, 770, "the PKCS#11 module reports no slot")                         \
  X(VORPIN_ERR_OPEN_SESSION, 1024, "no session could be opened (card absent?)")            \
  X(VORPIN_ERR_LOGIN, 1025, "login refused (PIN locked?)")                                 \
  X(VORPIN_ERR_PIN_INCORRECT, 1026, "the PIN is incorrect")                                \
  X(VORPIN_ERR_CERT_FIND_INIT, 1280,                                                       \
    "certificate search could not start, or the certificate could not be decoded")         \
  X(VORPIN_ERR_CERT_FIND, 1281, "no certificate found on the card")                        \
  X(VORPIN_ERR_CERT_FIND_FINAL, 1282, "the certificate search could not be ended")         \
  X(VORPIN_ERR_SEED_RANDOM, 1536, "seeding the card's random generator failed")            \
  X(VORPIN_ERR_GENERATE_RANDOM, 1537, "the card's random generator failed")                \
  X(VORPIN_ERR_CERT_SIZE, 1792, "the certificate's length could not be read")              \
  X(VORPIN_ERR_CERT_VALUE, 1793, "the certificate could not be read")                      \
  X(VORPIN_ERR_ENCRYPT_NULL_DATA, 2048, "no data to encrypt")                              \
  X(VORPIN_ERR_ENCRYPT_PUBLIC_KEY, 2051, "no RSA public key for encryption, or it failed") \
  X(VORPIN_ERR_ENCRYPT_EMPTY_CERT, 2052, "the certificate argument is null or empty")      \
  X(VORPIN_ERR_DECRYPT_NULL_DATA, 2304, "no data to decrypt")                              \
  X(VORPIN_ERR_DECRYPT_KEY, 2305, "the decryption key was not found or refused")           \
  X(VORPIN_ERR_DECRYPT_LENGTH, 2306, "the card could not tell the plaintext length")       \
  X(VORPIN_ERR_DECRYPT, 2307, "decryption failed")                                         \
  X(VORPIN_ERR_HASH_NULL_DATA, 2560, "no data to hash")                                    \
  X(VORPIN_ERR_HASH_TYPE, 2561, "unknown hash type, or the digest could not be made")      \
  X(VORPIN_ERR_SIGN_NULL_DATA, 2816, "no data to sign")                                    \
  X(VORPIN_ERR_SIGN_KEY, 2817, "the signing key was not found or refused")                 \
  X(VORPIN_ERR_SIGN_LENGTH, 2818, "the card could not tell the signature length")          \
  X(VORPIN_ERR_SIGN, 2819, "signing failed")                                               \
  X(VORPIN_ERR_VERIFY_NULL_DATA, 3072, "no data to verify")                                \
  X(VORPIN_ERR_VERIFY_NULL_SIGNATURE, 3073, "no signature to verify")                      \
  X(VORPIN_ERR_VERIFY_PUBLIC_KEY, 3075, "no RSA public key for verification")              \
  X(VORPIN_ERR_VERIFY_MISMATCH, 3076, "the signature does not match the data")             \
  X(VORPIN_ERR_VERIFY_EMPTY_CERT, 3077, "the certificate argument is null or empty")

#define VORPIN_DEFINE_CODE_(name, value, text) name = value,
enum vorpin_result { VORPIN_RESULT_CODES(VORPIN_DEFINE_CODE_) };
#undef VORPIN_DEFINE_CODE_

/* Hash-type selectors: bare digests, no DigestInfo. */
enum vorpin_hash_type {
  VORPIN_HASH_NONE = 0,     /* the data as given (not for vorpin_hash) */
  VORPIN_HASH_MD5 = 1,      /* 16 bytes */
  VORPIN_HASH_SHA1 = 2,     /* 20 bytes */
  VORPIN_HASH_MD5_SHA1 = 3, /* MD5 then SHA-1 of the same data, 36 bytes */
};

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Start and stop ------------------------------------------------------ */

/* Loads "aetpkss1.dll", starts Cryptoki and records the slots holding a
 * token. 0, 1, 256, 257, 258, 259, 768, 769 or 770. A failure undoes
 * nothing: call vorpin_fini to release a partial start. */
VORPIN_API int32_t VORPIN_CDECL vorpin_init(void);

/* Finalizes Cryptoki when it was started, frees the slot list and unloads
 * the module, from any state. 0 or 260 (C_Finalize failed; everything is
 * released all the same). */
VORPIN_API int32_t VORPIN_CDECL vorpin_fini(void);

/* ---- Card keys ------------------------------------------------------------ */

/* Signs data (or its MD5 / SHA-1 / MD5+SHA-1 digest, per hash_type) with the
 * card's first RSA private key, PKCS#1 v1.5. Output-length convention; the
 * need is the card's answer (128 for RSA-1024). 0, 1, 2, 3, 512, 1024, 1025,
 * 1026, 2561, 2816, 2817, 2818, 2819. */
VORPIN_API int32_t VORPIN_CDECL vorpin_sign(const unsigned char* data, int32_t data_len,
                                            unsigned char* sig, int32_t* sig_len, int32_t hash_type,
                                            const unsigned char* pin, int32_t pin_len);

/* Decrypts a PKCS#1 v1.5 block with the card's second RSA private key.
 * Output-length convention; on success the length is the plaintext's.
 * 0, 2, 3, 512, 1024, 1025, 1026, 2304, 2305, 2306, 2307. */
VORPIN_API int32_t VORPIN_CDECL vorpin_prikey_decrypt(const unsigned char* enc, int32_t enc_len,
                                                      unsigned char* out, int32_t* out_len,
                                                      const unsigned char* pin, int32_t pin_len);

/* ---- Card certificates, PIN, random ---------------------------------------- */

/* The DER bytes of the card's first (signing) / second (encryption)
 * certificate. Output-length convention. 0, 2, 3, 512, 1024, 1280, 1281,
 * 1282, 1792, 1793; on failure length and buffer are untouched. */
VORPIN_API int32_t VORPIN_CDECL vorpin_getcert_for_sign(unsigned char* cert, int32_t* cert_len);
VORPIN_API int32_t VORPIN_CDECL vorpin_getcert_for_enc(unsigned char* cert, int32_t* cert_len);

/* Logs in with the PIN and out again. 0, 512, 1024, 1025, 1026. The PIN
 * goes to the card as given, an empty one too; a negative length, or a null
 * PIN with a length, gives 1026 without asking the card. */
VORPIN_API int32_t VORPIN_CDECL vorpin_check_pin_valid(const unsigned char* pin, int32_t pin_len);

/* Fills out with count random bytes from the card, after seeding its
 * generator with the time. 0, 512, 1024, 1536, 1537. */
VORPIN_API int32_t VORPIN_CDECL vorpin_gen_session_key(unsigned char* out, int32_t count);

/* ---- Software cryptography --------------------------------------------------- */

/* MD5 / SHA-1 / MD5+SHA-1 digest (selectors 1 to 3). Output-length
 * convention. 0, 2, 3, 2560, 2561. */
VORPIN_API int32_t VORPIN_CDECL vorpin_hash(const unsigned char* data, int32_t data_len,
                                            unsigned char* digest, int32_t* digest_len,
                                            int32_t hash_type);

/* Verifies a vorpin_sign signature with the card's signing certificate:
 * the value recovered from the signature must equal the digest of the data
 * (the data itself for VORPIN_HASH_NONE) in length and bytes. A recovered
 * value longer than 128 bytes gives VORPIN_ERR_MEMORY. Negative lengths
 * count as no data / no signature.
 * 0, 1, 2561, 3072, 3073, 3075, 3076. */
VORPIN_API int32_t VORPIN_CDECL vorpin_verify(const unsigned char* data, int32_t data_len,
                                              const unsigned char* sig, int32_t sig_len,
                                              int32_t hash_type);

/* The same with a given DER certificate. 0, 1, 2561, 3072, 3073, 3075, 3076,
 * 3077. */
VORPIN_API int32_t VORPIN_CDECL vorpin_verify_by_cert(const unsigned char* data, int32_t data_len,
                                                      const unsigned char* sig, int32_t sig_len,
                                                      const unsigned char* cert, int32_t cert_len,
                                                      int32_t hash_type);

/* PKCS#1 v1.5 encryption with the card's encryption certificate. The output
 * needs 128 bytes (a length query is answered once the key is had); a key
 * whose block is longer than the buffer gives VORPIN_ERR_MEMORY. Data the
 * key cannot take (over its modulus length less 11 bytes) gives
 * VORPIN_ERR_ENCRYPT_PUBLIC_KEY with length and buffer untouched.
 * 0, 1, 2, 3, 2048, 2051. */
VORPIN_API int32_t VORPIN_CDECL vorpin_pubkey_encrypt(const unsigned char* data, int32_t data_len,
                                                      unsigned char* out, int32_t* out_len);

/* The same with a given DER certificate. 0, 1, 2, 3, 2048, 2051, 2052. */
VORPIN_API int32_t VORPIN_CDECL vorpin_pubkey_encrypt_by_cert(const unsigned char* data,
                                                              int32_t data_len, unsigned char* out,
                                                              int32_t* out_len,
                                                              const unsigned char* cert,
                                                              int32_t cert_len);

/* ---- Certificate texts --------------------------------------------------------- */

/* Issuer name text (no NUL; the length stored is the text's) and the serial
 * as two upper-case hex digits a byte and a NUL. The serial needs 33 bytes,
 * or 2n+1 for a serial of n > 16 bytes; its length is only written when
 * the room is too small. A missing output (null buffer or length pointer)
 * or one too small gives 2; the other output is produced all the same.
 * Bytes that are no DER certificate give 1280. 0, 2, 1280. */
VORPIN_API int32_t VORPIN_CDECL issure_serial_get_by_cert(const unsigned char* cert,
                                                          int32_t cert_len, char* issuer,
                                                          int32_t* issuer_len, char* serial,
                                                          int32_t* serial_len);

/* Subject text (as the issuer above), e-mail (the printed value of
 * extension 6 less its first 4 characters, cut to the buffer; or the "@@"
 * marker and a NUL when it holds no "@"), the last 4 characters of
 * extension 7 (of extension 6 when it held no address; fewer when the value
 * is shorter, 0 when missing), validity start and end texts cut to their
 * buffers. A null subject buffer stores the subject's length and gives 2;
 * the other outputs are skipped when their buffer or length pointer is null
 * (the validity counts are still stored for a null buffer). 0, 2, 1280. */
VORPIN_API int32_t VORPIN_CDECL imformations_get_by_cert(
    const unsigned char* cert, int32_t cert_len, char* subject, int32_t* subject_len, char* email,
    int32_t* email_len, char* ext_tail, int32_t* ext_tail_len, char* valid_from,
    int32_t* valid_from_len, char* valid_to, int32_t* valid_to_len);

/* ---- Base64 (RFC 4648, no line breaks) ------------------------------------------- */

/* Encodes src into dst with a terminating NUL. Returns the characters
 * written (without the NUL), or -1 when the text and its NUL do not fit. */
VORPIN_API int32_t VORPIN_CDECL B64Encode(const unsigned char* src, uint32_t src_len, char* dst,
                                          uint32_t dst_cap);

/* Decodes a NUL-terminated text; a null dst only counts. Returns the bytes
 * decoded, or -1 on any error. */
VORPIN_API int32_t VORPIN_CDECL B64Decode(const char* src, unsigned char* dst, uint32_t dst_cap);

#ifdef __cplusplus
}
#endif

#endif /* VORPIN_DLL_H */

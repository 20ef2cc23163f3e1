/*
 * Doclock: the file encryption library.
 *
 * Wraps a block of data for a recipient's certificate into an exchange
 * structure with the card, unwraps such a structure with the card, and takes
 * the signing certificate out of one as Base64 text. The structures are made
 * and read by the exchange library exchpack_dll; Doclock moves the host's
 * buffers into its records and back and starts and stops the card library
 * around the card work. No state is kept between calls, and the host's
 * buffers are only ever written on success.
 *
 * Threads: Encrypt and Decrypt hold the process-wide card lock (the one the
 * card library and Docseal hold for their card work) from the card's start
 * to its stop, so hosts may call them from any thread; card work then runs
 * one call at a time and each call answers as it would alone.
 * GetSignCertificateFromP12 needs no card, takes no lock and runs in
 * parallel.
 */
#ifndef DOCLOCK_H
#define DOCLOCK_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(DOCLOCK_BUILDING)
#define DOCLOCK_API __declspec(dllexport)
#else
#define DOCLOCK_API __declspec(dllimport)
#endif
#else
#define DOCLOCK_API __attribute__((visibility("default")))
#endif

/* The entry points use the callee-cleans convention. */
#if defined(_WIN32) && !defined(_WIN64)
#define DOCLOCK_STDCALL __stdcall
#else
#define DOCLOCK_STDCALL
#endif

/* Doclock's own result codes; every other non-zero result is the exchange
 * library's code (EXCHPACK_ERR_* of exchpack_dll.h), passed on unchanged.
 * X(name, value, text). */
#define DOCLOCK_RESULT_CODES(X)                                                              \
  X(DOCLOCK_OK, 0, "success")                                                                \
  X(DOCLOCK_ERR_RECORD, -1,                                                                  \
    "a record or buffer could not be made (memory, a negative size, or a missing argument)") \
  X(DOCLOCK_ERR_CARD_START, -23, "the card library could not be started")

#define DOCLOCK_DEFINE_CODE_(name, value, text) name = value,
enum doclock_result { DOCLOCK_RESULT_CODES(DOCLOCK_DEFINE_CODE_) };
#undef DOCLOCK_DEFINE_CODE_

#ifdef __cplusplus
extern "C" {
#endif

/* Wraps dataSize bytes of data for the recipient certificate cert (certSize
 * bytes, DER, PEM or Base64 text), signed with the card under pin
 * (NUL-terminated). *outSize is the capacity of out on entry; on success out
 * holds the structure and *outSize its size. 0, -1, -23 or a code of the
 * exchange library (EXCHPACK_ERR_OUTPUT_TOO_SMALL when out is too small); on
 * failure out and *outSize are untouched. cert is never modified. */
DOCLOCK_API int32_t DOCLOCK_STDCALL Encrypt(const char* pin, const unsigned char* cert,
                                            int32_t certSize, const unsigned char* data,
                                            int32_t dataSize, unsigned char* out, int32_t* outSize);

/* Unwraps the exchange structure p12 (p12Size bytes) with the card under pin
 * into out (capacity *outSize; on success *outSize is the data's size).
 * 0, -1, -23 or a code of the exchange library; on failure out and *outSize
 * are untouched. */
DOCLOCK_API int32_t DOCLOCK_STDCALL Decrypt(const char* pin, unsigned char* out, int32_t* outSize,
                                            const unsigned char* p12, int32_t p12Size);

/* Writes the Base64 text (terminated, no line breaks) of the signing
 * certificate of the exchange structure p12 into certB64. For a certificate
 * of n bytes exactly 2 x n bytes of certB64 are written (the text, its NUL,
 * then unspecified bytes); 3000 bytes always suffice. Needs no card.
 * 0, -1 or a code of the exchange library; on failure certB64 is untouched. */
DOCLOCK_API int32_t DOCLOCK_STDCALL GetSignCertificateFromP12(const unsigned char* p12,
                                                              int32_t p12Size, char* certB64);

#ifdef __cplusplus
}
#endif

#endif /* DOCLOCK_H */

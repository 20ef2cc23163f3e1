// sigenv_dll: the PKCS#7 library of the signing library.
//
// Makes, writes, parses and verifies PKCS#7 SignedData signatures. A
// signature carries its signed content, signed attributes (content type,
// message digest, signing time) over SHA-256, and the signer's certificate
// first among its certificates. Signing uses the card's signing key and
// certificate through the card library; nothing else reaches the card.
//
// The functions have C++ linkage and the caller-cleans convention. Byte
// strings pass as raw_data_st records. Callers use the library from one
// thread at a time while signing; parsing and verifying share no state.
#ifndef SIGENV_DLL_H
#define SIGENV_DLL_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(SIGENV_BUILDING)
#define SIGENV_API __declspec(dllexport)
#else
#define SIGENV_API __declspec(dllimport)
#endif
#else
#define SIGENV_API __attribute__((visibility("default")))
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define SIGENV_CDECL __cdecl
#else
#define SIGENV_CDECL
#endif

// Counted bytes.
struct raw_data_st {
  int32_t length;
  unsigned char* data;
};

// A parsed signature, and a list of signer information (both opaque).
struct pkcs7_st;
struct stack_st;

// Results other than 0. The three card answers that callers tell apart come
// first; every other failure has a code of its own.
enum sigenv_result {
  SIGENV_OK = 0,
  SIGENV_ERR_ARGUMENT = -1,       // a null record or pointer, a negative size, a flag other than 1
  SIGENV_ERR_MEMORY = -2,         // out of memory
  SIGENV_ERR_START = -3,          // the card library could not be started
  SIGENV_ERR_OUTPUT_SPACE = -4,   // the signature does not fit into the output record
  SIGENV_ERR_CERTIFICATE = -5,    // the card's signing certificate could not be read or decoded
  SIGENV_ERR_CARD_SIGN = -6,      // the card did not sign
  SIGENV_ERR_ENCODE = -7,         // the signature could not be built or encoded
  SIGENV_ERR_NO_CONTENT = -8,     // the signature carries no content to verify
  SIGENV_ERR_NO_SIGNER = -9,      // the signature has no signer
  SIGENV_ERR_NOT_VERIFIED = -10,  // a signer's signature does not verify
  SIGENV_ERR_NO_CERT = -11,       // no certificate at the index, or it does not fit
  SIGENV_ERR_CARD_ABSENT = -24,   // the card cannot be reached (card library 1024)
  SIGENV_ERR_PIN = -25,           // the PIN is incorrect (card library 1026)
  SIGENV_ERR_LOGIN = -26,         // the card refused the login (card library 1025)
};

// Starts (1) the card library, before signing. 0 when ready. A start that
// failed is undone before the answer, so a later start begins afresh.
SIGENV_API int SIGENV_CDECL Docguard_init(int what);

// Stops (1) the card library after signing. 0.
SIGENV_API int SIGENV_CDECL Docguard_fini(int what);

// Gives the record a zeroed buffer of n bytes and length n (any buffer it
// held before is not released). 0, SIGENV_ERR_ARGUMENT or SIGENV_ERR_MEMORY.
SIGENV_API int SIGENV_CDECL RAW_DATA_new(raw_data_st* record, int n);

// Releases a buffer from RAW_DATA_new; the record is left empty.
SIGENV_API void SIGENV_CDECL RAW_DATA_delete(raw_data_st* record);

// Signs content with the card under the NUL-terminated PIN (flag 1: content
// embedded). out brings a buffer of out->length bytes; on 0 it holds the DER
// signature and out->length its size. On failure out->length is unchanged.
// 0, -24, -25, -26 or another negative code of the table.
SIGENV_API int SIGENV_CDECL P7Sign(raw_data_st* content, raw_data_st* out, char* pin, int flag);

// Writes the signature's bytes to path. The count written (above 0) on
// success; 0 when there is nothing to write or the file could not be written
// (a partly written file is removed).
SIGENV_API int SIGENV_CDECL P7_Write_PKCS72BIN(raw_data_st* signature, char* path);

// Parses the bytes of a signature file: the parsed signature, or null unless
// the bytes are exactly one DER PKCS#7 SignedData whose content is data.
// Release the result with freePKCS7.
SIGENV_API pkcs7_st* SIGENV_CDECL newPKCS7(raw_data_st* bytes);

// Releases a result of newPKCS7 (null is allowed).
SIGENV_API void SIGENV_CDECL freePKCS7(pkcs7_st* p7);

// Copies the signed content into out (made at the signature file's size) and
// sets out->length to its size; out->length becomes 0 when the signature
// carries no content or it does not fit.
SIGENV_API void SIGENV_CDECL getContentString(pkcs7_st* p7, raw_data_st* out);

// The DER bytes of certificate number index into out (of out->length bytes);
// out->length becomes their size. 0, or SIGENV_ERR_NO_CERT with out->length
// 0. The last argument is not used.
SIGENV_API int SIGENV_CDECL P7getX509Cert(pkcs7_st* p7, int index, raw_data_st* out, char* unused);

// A new list of the signature's signers, to be released with StackFree.
SIGENV_API stack_st* SIGENV_CDECL PKCS7_get_signer_infos(pkcs7_st* p7);

// The number of signers in the list, not below 0.
SIGENV_API int SIGENV_CDECL sk_PKCS7_SIGNER_INFOs_num(stack_st* signers);

// Checks every signer's signature over the content (flag 1), with the
// signer's certificate from the signature; trust is not judged. ok holds one
// flag per signer and each is set to whether that signer verified; buf is
// neither read nor written. 0 when there are signers and all verified;
// otherwise a negative code of the table.
SIGENV_API int SIGENV_CDECL P7Verify(pkcs7_st* p7, bool* ok, char* buf, int flag);

// Releases a list from PKCS7_get_signer_infos (the signers stay with the
// signature).
SIGENV_API void SIGENV_CDECL StackFree(void* signers);

#endif  // SIGENV_DLL_H

// Docseal: the file signing library.
//
// Signs a file or a whole directory with the card into a detached PKCS#7
// signature file and verifies it; reads the card's signing certificate and
// its fields; validates a certificate with an XKMS service. Two exported
// classes (Pkcs7Signature, ICCertificate) and flat entry points for hosts
// that cannot use classes. Texts are narrow strings in the process's
// locale encoding; the library's own Chinese texts are Big5 bytes.
#ifndef DOCSEAL_H
#define DOCSEAL_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(DOCSEAL_BUILDING)
#define DOCSEAL_API __declspec(dllexport)
#else
#define DOCSEAL_API __declspec(dllimport)
#endif
#else
#define DOCSEAL_API __attribute__((visibility("default")))
#endif

// The flat entry points use the callee-cleans convention.
#if defined(_WIN32) && !defined(_WIN64)
#define DOCSEAL_STDCALL __stdcall
#else
#define DOCSEAL_STDCALL
#endif

// Result codes of every Docseal entry point and method. X(name, value, text).
#define DOCSEAL_RESULT_CODES(X)                                                                   \
  X(DOCSEAL_OK, 0, "success")                                                                     \
  X(DOCSEAL_ERR_RECORD, 1, "the record for the signed content could not be made")                 \
  X(DOCSEAL_ERR_PATH, 3, "a path is empty, does not exist, or the signature file cannot be read") \
  X(DOCSEAL_ERR_WRITE, 4, "the signature file could not be written")                              \
  X(DOCSEAL_ERR_SIGNATURE, 6, "the signature does not verify, or a signer is not valid")          \
  X(DOCSEAL_ERR_FILE_MISMATCH, 7, "the file's content does not match the signature")              \
  X(DOCSEAL_ERR_DIR_MISMATCH, 8, "the directory's content or file list does not match")           \
  X(DOCSEAL_ERR_NO_CERT, 9, "no certificate could be taken from the signature file")              \
  X(DOCSEAL_ERR_NOT_PKCS7, 10, "the signature file is not a PKCS#7 signature")                    \
  X(DOCSEAL_ERR_START, 11, "the PKCS#7 library or the card library could not be started")         \
  X(DOCSEAL_ERR_NO_CARD, 12, "the card cannot be reached")                                        \
  X(DOCSEAL_ERR_PIN, 13, "the PIN is empty or incorrect")                                         \
  X(DOCSEAL_ERR_CARD, 15, "signing, the PIN check or reading the card's certificate failed")      \
  X(DOCSEAL_ERR_EMPTY_CERT, 17, "the certificate text to validate is empty")                      \
  X(DOCSEAL_ERR_LOGIN, 18, "the card refused the login (PIN locked?)")                            \
  X(DOCSEAL_ERR_SERVICE, 21, "the validation service could not be reached")                       \
  X(DOCSEAL_ERR_SERVICE_FAILED, 22, "the service's answer does not report success")               \
  X(DOCSEAL_ERR_INVALID_ISSUER, 23, "the certificate is invalid: issuer trust")                   \
  X(DOCSEAL_ERR_INVALID_STATUS, 24, "the certificate is invalid: status")                         \
  X(DOCSEAL_ERR_INVALID_VALIDITY, 25, "the certificate is invalid: validity interval")            \
  X(DOCSEAL_ERR_INVALID_SIGNATURE, 26, "the certificate is invalid: signature")                   \
  X(DOCSEAL_ERR_INVALID_UNKNOWN, 27, "success reported without a valid status or a reason")

#define DOCSEAL_DEFINE_CODE_(name, value, text) name = value,
enum docseal_result { DOCSEAL_RESULT_CODES(DOCSEAL_DEFINE_CODE_) };
#undef DOCSEAL_DEFINE_CODE_

#ifdef __cplusplus
// ---- Pkcs7Signature: the signed object --------------------------------------

// ---- ICCertificate: the card's signing certificate ---------------------------

extern "C" {
#endif

// ---- Signing and verification entry points -------------------------------------

// ---- Card and certificate entry points -----------------------------------------

#ifdef __cplusplus
}
#endif

#endif  // DOCSEAL_H

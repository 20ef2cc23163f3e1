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
#include <memory>
#include <string>

// Members that the library uses internally and does not export.
#if defined(_WIN32)
#define DOCSEAL_INTERNAL_
#else
#define DOCSEAL_INTERNAL_ __attribute__((visibility("hidden")))
#endif

// The card's signing certificate and its texts, and certificate validation
// with an XKMS service. Only getSignCert touches the card: it starts the card
// library, reads the certificate and stops the library again. The issuer and
// serial texts are kept once computed (keyed on the issuer being non-empty)
// and are not refreshed by a later getSignCert. Failures come back as codes
// or empty texts; nothing is thrown. Not copyable.
class DOCSEAL_API ICCertificate {
 public:
  ICCertificate();
  ~ICCertificate();
  ICCertificate(const ICCertificate&) = delete;
  ICCertificate& operator=(const ICCertificate&) = delete;

  // Reads the DER signing certificate from the card. 0; 11 the card library
  // could not be started (what the failed start left is stopped again, so a
  // later call can succeed); 12 no card or no session; 15 any other failure.
  // After a failure the object holds no certificate.
  int32_t getSignCert();

  // Base64 text of the held certificate; empty when none is held. Does not
  // read the card.
  std::string getB64Cert4Sign();

  // Issuer name text (the argument is not consulted) and serial number as
  // hexadecimal digits. Read the card themselves when no certificate is
  // held; empty when none can be had.
  std::string getIssure4Sign(std::string unused);
  std::string getSerial4Sign();

  // Asks the XKMS service at serviceUrl (http only) whether the certificate
  // given as Base64 text is valid. 0 valid; 21 the service could not be
  // reached; 22 no success reported; 23 issuer trust, 24 status, 25 validity
  // interval, 26 signature; 27 neither valid nor a known reason. Uses neither
  // the card nor the object's fields.
  int32_t validate(std::string serviceUrl, std::string certB64);

 private:
  friend struct ICCertificateAccess;  // the library's own entry points

  DOCSEAL_INTERNAL_ int32_t readIssuerSerial(const unsigned char* cert, int32_t cert_len,
                                             std::string& issuer_out, std::string& serial_out);
  DOCSEAL_INTERNAL_ int32_t getInfos4Sign(std::string& subject, std::string& email,
                                          std::string& ext_tail, std::string& valid_from,
                                          std::string& valid_to);
  DOCSEAL_INTERNAL_ void dropCert() noexcept;

  int32_t certLength;                         // bytes in certData; 0 when none is held
  std::unique_ptr<unsigned char[]> certData;  // DER certificate as the card gave it
  std::string issuer;                         // cached issuer text
  std::string serial;                         // cached serial text
};

extern "C" {
#endif

// ---- Signing and verification entry points -------------------------------------

// ---- Card and certificate entry points -----------------------------------------

// Output buffers are the host's and are not size-checked: subject and e-mail
// take up to 80 characters, validity texts 30, the extension tail 4, the
// serial 32, each plus the terminator; issuer and certificate texts are
// unbounded (4 * ceil(n / 3) characters for an n-byte certificate). Outputs
// are written only on success; a null optional output is skipped.

// Checks the PIN on the card. 0; 11 the card library could not be started;
// 12 no card or no session; 13 the PIN is empty or incorrect; 15 another
// failure; 18 the card refused the login for another reason (PIN locked).
DOCSEAL_API int32_t DOCSEAL_STDCALL VerifyPIN(const char* pin);

// Reads the card's signing certificate and copies its subject, e-mail,
// validity start and end, and extension tail into the optional outputs.
// 0, 11, 12, 15.
DOCSEAL_API int32_t DOCSEAL_STDCALL GetInfosFromICCard(char* subject, char* email, char* notBefore,
                                                       char* notAfter, char* extensionTail);

// Validates a Base64 certificate with the XKMS service at serviceUrl.
// 0; 17 the certificate text is empty (nothing is sent); 21 to 27 as
// ICCertificate::validate.
DOCSEAL_API int32_t DOCSEAL_STDCALL VerifyCertificate(const char* serviceUrl, const char* certB64);

// Reads the card's signing certificate: its Base64 text, issuer and serial
// (required) and the five fields as GetInfosFromICCard (optional).
// 0, 11, 12, 15.
DOCSEAL_API int32_t DOCSEAL_STDCALL GetSignCertificateFromICCard(char* certB64, char* issuer,
                                                                 char* serial, char* subject,
                                                                 char* email, char* notBefore,
                                                                 char* notAfter,
                                                                 char* extensionTail);

#ifdef __cplusplus
}
#endif

#endif  // DOCSEAL_H

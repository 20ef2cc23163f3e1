// Docseal: the file signing library.
//
// Signs a file or a whole directory with the card into a detached PKCS#7
// signature file and verifies it; reads the card's signing certificate and
// its fields; validates a certificate with an XKMS service. Two exported
// classes (Pkcs7Signature, ICCertificate) and flat entry points for hosts
// that cannot use classes. Texts are narrow strings in the process's
// locale encoding; the library's own Chinese texts are Big5 bytes.
//
// Threads: the entry points and methods that use the card (Signature,
// SignMulti, SignTimestamp, VerifyPIN, the two card certificate readers,
// Pkcs7Signature::Sign, ICCertificate::getSignCert) hold the process-wide
// card lock (the one the card library and Doclock hold for their card
// work) from the card's start to its stop, so hosts may call them from any
// thread; card work then runs one call at a time and each call answers as
// it would alone. Signature digests its file or directory before it takes
// the lock. Everything else (verification, signature file texts and
// certificates, certificate texts, XKMS validation) takes no lock and runs
// in parallel. One object of either class is used by one thread at a time.
#ifndef DOCSEAL_H
#define DOCSEAL_H

#include <stdint.h>

#ifdef __cplusplus
#include <string>

#include "sigenv_dll.h"
#endif

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

// One signature over one file or one directory. A file is represented by the
// SHA-1 digest of its bytes; a directory by its file list (the relative
// paths of its regular files, components joined by "\", each entry ended by
// ";", in walk order) and one SHA-1 digest over the listed files' contents.
// The signed content is the digest (20 bytes), the list's byte length (32-bit
// little-endian), the list and the signer text. Methods report failures as
// result codes, false, null or empty texts; no exception leaves them.
class DOCSEAL_API Pkcs7Signature {
 public:
  Pkcs7Signature();
  // Releases the digest and the signature buffer and wipes the PIN.
  ~Pkcs7Signature();
  Pkcs7Signature(const Pkcs7Signature&) = delete;
  Pkcs7Signature& operator=(const Pkcs7Signature&) = delete;

  // Takes the file or directory to sign or verify (an empty name: the one
  // the signature file is named after, else the directory holding it),
  // walks a directory into fileList and makes the digest. False when the
  // path does not exist, a file of it cannot be read, a directory of it
  // cannot be listed, or a name in it cannot be written into a file list
  // (it holds "\" or ";").
  bool setFilename(std::string name);
  // A new 20-byte SHA-1 digest (release it with delete[]) of the file source
  // names, or, for a directory, of the files the list source names below
  // filename. Null when the file, or a listed file that exists, cannot be
  // read; listed files that no longer exist add nothing.
  unsigned char* hashFile(std::string source);
  // Prepares the check of the directory holding the signature file against
  // the list the signature holds (filename, when empty, becomes that
  // directory). Always 0; a listed file that cannot be read is passed over,
  // so verify reports a content mismatch (8).
  int32_t hashDirLocal();
  void setPassword(std::string pin);
  // Always 0.
  int32_t setSigFileName(std::string name);
  // An empty text is signed as one space.
  void setSignInfo(std::string text);
  // Builds the signed content and has it signed with the card; to be run
  // between Docguard_init(1) and Docguard_fini(1). Holds the card lock for
  // its run. 0, 1, 12, 13, 15 or 18.
  int32_t Sign();
  // Writes the signature to name (empty: filename + ".sig", or "dir.sig"
  // inside a directory). 0 or 4.
  int32_t write2File(std::string name);
  // Checks the signature file against the digest (and the file list). 0,
  // 3 (no digest, or the signature file cannot be read), 6, 7, 8 or 10;
  // for 0 signInfo holds the signer text, for 7 and 8 the message.
  int32_t verify();
  // The signer text (signInfo once set), else read from the signature file
  // without checking it; empty on any failure.
  std::string getSignInfo();
  // Base64 of the signature bytes; empty without a signature.
  std::string getB64Signature();
  // Base64 of certificate number index of the signature file; empty when
  // there is none.
  std::string getB64Cert(int32_t index);

  std::string signInfo;
  std::string filename;
  bool isDirectory;
  std::string password;
  unsigned char* digest;
  int32_t digestLength;
  raw_data_st signature;
  std::string sigFileName;
  std::string fileList;
};

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

// Texts are NUL-terminated narrow strings; a null input counts as empty.
// Output buffers are the caller's and receive the text and its NUL without a
// length check: a certificate text has at most 2732 characters, a time-stamp
// signature at most 5480; signer texts and messages have no fixed bound.

// Signs a file or a directory into sigPath (empty: path + ".sig", or
// "dir.sig" inside a directory). 0, 1, 3, 4, 11, 12, 13, 15, 18.
DOCSEAL_API int32_t DOCSEAL_STDCALL Signature(const char* signInfo, const char* pin,
                                              const char* path, const char* sigPath);

// Signs each name of a ";"-separated list into name + ".sig". Stops at the
// first name that does not exist (3) or does not sign; the result is 4 when
// any signature file could not be written. 0, 1, 3, 4, 11, 12, 13, 15, 18.
DOCSEAL_API int32_t DOCSEAL_STDCALL SignMulti(const char* signInfo, const char* pin,
                                              const char* list);

// Verifies a signature file against a file or directory (either may be
// empty, not both) and copies the signer text or the mismatch message into
// signInfoOut. 0, 3, 6, 7, 8, 10.
DOCSEAL_API int32_t DOCSEAL_STDCALL Verify(char* signInfoOut, const char* path,
                                           const char* sigPath);

// Verifies the directory that holds a directory signature against the
// files the signature lists. 0, 3, 6, 7, 8, 10.
DOCSEAL_API int32_t DOCSEAL_STDCALL VerifyDirLocal(char* signInfoOut, const char* sigPath);

// Base64 of the signer's certificate of a signature file. 0, 3, 9.
DOCSEAL_API int32_t DOCSEAL_STDCALL GetSignCertificateFromSignature(const char* sigPath,
                                                                    char* certOut);

// Signs the fixed time-stamp text with the card; Base64 of the signature.
// 0, 1, 11, 12, 13, 15, 18.
DOCSEAL_API int32_t DOCSEAL_STDCALL SignTimestamp(const char* pin, char* signatureOut);

// The signer text of a signature file, not verified. 0, 3.
DOCSEAL_API int32_t DOCSEAL_STDCALL GetSignInfo(char* signInfoOut, const char* sigPath);

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

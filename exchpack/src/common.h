// Shared pieces of the exchange library: OpenSSL ownership, the exception
// guard, certificates and the card's answers in the library's own codes.
#ifndef EXCHPACK_COMMON_H
#define EXCHPACK_COMMON_H

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <new>

#include "common/ssl_ptr.h"
#include "der.h"
#include "exchpack_dll.h"

// Runs an exported function's body so that no exception leaves the library.
template <class Body>
int32_t Guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return EXCHPACK_ERR_MEMORY;
  } catch (...) {
    return EXCHPACK_ERR_INTERNAL;
  }
}

// A record holds a block of at least its length bytes (none when empty).
bool RecordUsable(const raw_data_st* record);

// Parses a certificate given as DER, PEM or Base64 text; null when it is
// none of them.
SslPtr<X509> ParseCertificate(const unsigned char* bytes, int32_t len);

// The DER encoding of a certificate.
der::Bytes CertificateDer(X509* cert);

// The DER IssuerAndSerialNumber of a certificate.
der::Bytes IssuerAndSerial(X509* cert);

// Reads the card's signing (index 0) or encryption (index 1) certificate
// through vorpin_dll. 0 or EXCHPACK_ERR_CARD / EXCHPACK_ERR_CARD_CERT.
int32_t ReadCardCertificate(int index, SslPtr<X509>* cert, der::Bytes* der_bytes);

// One-shot SHA-256 into 32 bytes at out.
bool Sha256(const uint8_t* data, size_t len, uint8_t* out);

// Maps the answer of a vorpin_dll card operation; other_failure is the code
// for every failure that is not about reaching the card or logging in.
int32_t CardCode(int32_t vorpin_code, int32_t other_failure);

// The DER contents of the object identifiers of the structure.
namespace oid {
extern const der::Bytes kData;
extern const der::Bytes kSignedData;
extern const der::Bytes kEnvelopedData;
extern const der::Bytes kRsaEncryption;
extern const der::Bytes kSha256;
extern const der::Bytes kAes256Cbc;
extern const der::Bytes kContentType;
extern const der::Bytes kMessageDigest;
extern const der::Bytes kSigningTime;
extern const der::Bytes kSigningCertificateV2;
}  // namespace oid

#endif

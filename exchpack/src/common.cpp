#include "common.h"

#include <openssl/pem.h>

#include <string>

#include "vorpin_dll.h"

bool RecordUsable(const raw_data_st* record) {
  return record != nullptr && record->length >= 0 &&
         (record->length == 0 || record->data != nullptr);
}

namespace {

SslPtr<X509> ParseDer(const unsigned char* bytes, size_t len) {
  const unsigned char* p = bytes;
  SslPtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(len)));
  if (cert == nullptr || p != bytes + len) return nullptr;
  return cert;
}

}  // namespace

SslPtr<X509> ParseCertificate(const unsigned char* bytes, int32_t len) {
  if (bytes == nullptr || len <= 0) return nullptr;
  const size_t n = static_cast<size_t>(len);
  if (SslPtr<X509> cert = ParseDer(bytes, n)) return cert;

  const std::string text(reinterpret_cast<const char*>(bytes), n);
  if (text.find("-----BEGIN") != std::string::npos) {
    SslPtr<BIO> bio(BIO_new_mem_buf(bytes, len));
    if (bio == nullptr) return nullptr;
    return SslPtr<X509>(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  }

  // Base64 text of the DER bytes; B64Decode reads up to a NUL, so a text
  // with one inside is not Base64.
  if (text.find('\0') != std::string::npos) return nullptr;
  const int32_t count = B64Decode(text.c_str(), nullptr, 0);
  if (count <= 0) return nullptr;
  der::Bytes decoded(static_cast<size_t>(count) + 1);
  if (B64Decode(text.c_str(), decoded.data(), static_cast<uint32_t>(decoded.size())) != count) {
    return nullptr;
  }
  return ParseDer(decoded.data(), static_cast<size_t>(count));
}

der::Bytes CertificateDer(X509* cert) {
  const int len = i2d_X509(cert, nullptr);
  if (len <= 0) return {};
  der::Bytes out(static_cast<size_t>(len));
  unsigned char* p = out.data();
  if (i2d_X509(cert, &p) != len) return {};
  return out;
}

der::Bytes IssuerAndSerial(X509* cert) {
  const X509_NAME* issuer = X509_get_issuer_name(cert);
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  const int issuer_len = i2d_X509_NAME(issuer, nullptr);
  const int serial_len = i2d_ASN1_INTEGER(serial, nullptr);
  if (issuer_len <= 0 || serial_len <= 0) return {};
  der::Bytes content(static_cast<size_t>(issuer_len) + static_cast<size_t>(serial_len));
  unsigned char* p = content.data();
  if (i2d_X509_NAME(issuer, &p) != issuer_len || i2d_ASN1_INTEGER(serial, &p) != serial_len) {
    return {};
  }
  return der::Tlv(der::kSequence, content);
}

bool Sha256(const uint8_t* data, size_t len, uint8_t* out) {
  return EVP_Digest(data, len, out, nullptr, EVP_sha256(), nullptr) == 1;
}

int32_t CardCode(int32_t vorpin_code, int32_t other_failure) {
  switch (vorpin_code) {
    case VORPIN_OK:
      return EXCHPACK_OK;
    case VORPIN_ERR_NOT_INITIALIZED:
    case VORPIN_ERR_OPEN_SESSION:
      return EXCHPACK_ERR_CARD;
    case VORPIN_ERR_PIN_INCORRECT:
      return EXCHPACK_ERR_PIN;
    case VORPIN_ERR_LOGIN:
      return EXCHPACK_ERR_LOGIN;
    default:
      return other_failure;
  }
}

int32_t ReadCardCertificate(int index, SslPtr<X509>* cert, der::Bytes* der_bytes) {
  auto read = index == 0 ? vorpin_getcert_for_sign : vorpin_getcert_for_enc;
  int32_t len = 0;
  int32_t rc = read(nullptr, &len);
  if (rc != VORPIN_ERR_BUFFER_TOO_SMALL || len <= 0) {
    return CardCode(rc == VORPIN_OK ? VORPIN_ERR_CERT_SIZE : rc, EXCHPACK_ERR_CARD_CERT);
  }
  der::Bytes bytes(static_cast<size_t>(len));
  rc = read(bytes.data(), &len);
  if (rc != VORPIN_OK) return CardCode(rc, EXCHPACK_ERR_CARD_CERT);
  bytes.resize(static_cast<size_t>(len));
  *cert = ParseDer(bytes.data(), bytes.size());
  if (*cert == nullptr) return EXCHPACK_ERR_CARD_CERT;
  *der_bytes = std::move(bytes);
  return EXCHPACK_OK;
}

namespace oid {
// 1.2.840.113549.1.7.1 / .2 / .3
const der::Bytes kData = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const der::Bytes kSignedData = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const der::Bytes kEnvelopedData = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
// 1.2.840.113549.1.1.1
const der::Bytes kRsaEncryption = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
// 2.16.840.1.101.3.4.2.1 and 2.16.840.1.101.3.4.1.42
const der::Bytes kSha256 = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const der::Bytes kAes256Cbc = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x2A};
// 1.2.840.113549.1.9.3 / .4 / .5 and 1.2.840.113549.1.9.16.2.47
const der::Bytes kContentType = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03};
const der::Bytes kMessageDigest = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};
const der::Bytes kSigningTime = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};
const der::Bytes kSigningCertificateV2 = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                                          0x01, 0x09, 0x10, 0x02, 0x2F};
}  // namespace oid

// issure_serial_get_by_cert and imformations_get_by_cert: text fields of a
// DER certificate for the signing library and its hosts. No card needed.
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "cert_print.h"
#include "guard.h"
#include "ossl.h"
#include "trace.h"
#include "vorpin_dll.h"

namespace {

// The serial buffer of a 16-byte serial: 32 digits and a NUL.
constexpr int32_t kSerialBufferSize = 33;
// The e-mail text is extension 6's printed value less its first 4
// characters (the DER header of a subjectAltName with one rfc822Name).
constexpr int kEmailExtension = 6;
constexpr size_t kEmailHeader = 4;
constexpr int kTailExtension = 7;
// Only this much of a printed extension value is looked at for the tail.
constexpr size_t kTailWindow = 512;
constexpr size_t kTailSize = 4;

// The first DER certificate of the bytes, or null (op names the trace).
SslPtr<X509> ParseCertificate(const unsigned char* cert, int32_t cert_len, const char* op) {
  // A negative length would make the BIO read up to a NUL past the bytes.
  SslPtr<BIO> bio(cert != nullptr && cert_len >= 0 ? BIO_new_mem_buf(cert, cert_len) : nullptr);
  if (!bio) {
    if (op != nullptr) vorpin_trace("%s(): failed to put certificate into OpenSSL BIO!", op);
    return nullptr;
  }
  SslPtr<X509> x509(d2i_X509_bio(bio.get(), nullptr));
  if (!x509 && op != nullptr) {
    vorpin_trace("%s(): failed to convert the certificate to OpenSSL internal structure!", op);
  }
  return x509;
}

// A whole-text output (issuer, subject): null buffer or capacity below the
// text stores its length and answers 2; otherwise the text without a NUL.
// A missing length pointer makes the output missing (2, nothing stored).
int32_t PutName(const std::string& text, char* out, int32_t* out_len) {
  const int32_t need = static_cast<int32_t>(text.size());
  if (out_len == nullptr) return VORPIN_ERR_BUFFER_TOO_SMALL;
  if (out == nullptr || *out_len < need) {
    *out_len = need;
    return VORPIN_ERR_BUFFER_TOO_SMALL;
  }
  std::memcpy(out, text.data(), text.size());
  *out_len = need;
  return VORPIN_OK;
}

// The bytes a read of capacity from text would give.
size_t ReadCount(const std::string& text, size_t from, int32_t capacity) {
  if (capacity <= 0 || from >= text.size()) return 0;
  return std::min(text.size() - from, static_cast<size_t>(capacity));
}

// A cut-to-capacity output (validity texts); a null buffer gets nothing
// but the count is stored all the same.
void PutCut(const std::string& text, char* out, int32_t* out_len) {
  if (out_len == nullptr) return;
  const size_t n = ReadCount(text, 0, *out_len);
  if (out != nullptr) std::memcpy(out, text.data(), n);
  *out_len = static_cast<int32_t>(n);
}

// The last four characters of the first 512 of the printed extension (all
// of them when there are fewer than four), cut to the capacity; length 0
// when the extension is missing or prints as nothing.
void PutTail(const X509_EXTENSION* extension, char* out, int32_t* out_len) {
  if (out == nullptr || out_len == nullptr) return;
  std::string printed = PrintExtensionValue(extension);
  if (printed.size() > kTailWindow) printed.resize(kTailWindow);
  const size_t tail = std::min(printed.size(), kTailSize);
  const size_t n = ReadCount(printed, printed.size() - tail, *out_len);
  std::memcpy(out, printed.data() + printed.size() - tail, n);
  *out_len = static_cast<int32_t>(n);
}

// The e-mail output; true when it holds an address (an "@" among the
// characters read), false when the marker "@@" was written instead.
bool PutEmail(const X509_EXTENSION* extension, char* out, int32_t* out_len) {
  const int32_t capacity = *out_len;
  const std::string printed = PrintExtensionValue(extension);
  const size_t n = ReadCount(printed, kEmailHeader, capacity);
  std::memcpy(out, printed.data() + std::min(kEmailHeader, printed.size()), n);
  *out_len = static_cast<int32_t>(n);
  if (std::memchr(out, '@', n) != nullptr) return true;
  // No address: the buffer is cleared over what was read and starts with
  // the marker and its NUL (as much of the three bytes as it holds); the
  // stored count stays that of the characters read.
  std::memset(out, 0, n);
  static const char kMarker[] = "@@";
  std::memcpy(out, kMarker, std::min<size_t>(sizeof kMarker, capacity > 0 ? capacity : 0));
  return false;
}

}  // namespace

extern "C" VORPIN_API int32_t VORPIN_CDECL issure_serial_get_by_cert(const unsigned char* cert,
                                                                     int32_t cert_len, char* issuer,
                                                                     int32_t* issuer_len,
                                                                     char* serial,
                                                                     int32_t* serial_len) {
  return Guarded([&]() -> int32_t {
    SslPtr<X509> x509 = ParseCertificate(cert, cert_len, "issure_serial_get_by_cert");
    if (!x509) return VORPIN_ERR_CERT_FIND_INIT;
    const X509_NAME* name = X509_get_issuer_name(x509.get());
    std::string issuer_text;
    if (name == nullptr || !PrintName(name, &issuer_text)) return VORPIN_ERR_CERT_FIND_INIT;

    int32_t rc = PutName(issuer_text, issuer, issuer_len);

    // Two digits a byte and a NUL, and never less room than a 16-byte
    // serial needs; the serial length is written only when the room is too
    // small.
    const std::string digits = PrintSerial(X509_get0_serialNumber(x509.get()));
    const int32_t need =
        std::max<int32_t>(kSerialBufferSize, static_cast<int32_t>(digits.size()) + 1);
    if (serial_len == nullptr) return VORPIN_ERR_BUFFER_TOO_SMALL;
    if (serial == nullptr || *serial_len < need) {
      *serial_len = need;
      return VORPIN_ERR_BUFFER_TOO_SMALL;
    }
    std::memcpy(serial, digits.c_str(), digits.size() + 1);
    return rc;
  });
}

extern "C" VORPIN_API int32_t VORPIN_CDECL imformations_get_by_cert(
    const unsigned char* cert, int32_t cert_len, char* subject, int32_t* subject_len, char* email,
    int32_t* email_len, char* ext_tail, int32_t* ext_tail_len, char* valid_from,
    int32_t* valid_from_len, char* valid_to, int32_t* valid_to_len) {
  return Guarded([&]() -> int32_t {
    SslPtr<X509> x509 = ParseCertificate(cert, cert_len, nullptr);
    if (!x509) return VORPIN_ERR_CERT_FIND_INIT;
    const X509_NAME* name = X509_get_subject_name(x509.get());
    std::string subject_text;
    if (name == nullptr || !PrintName(name, &subject_text)) return VORPIN_ERR_CERT_FIND_INIT;

    const int32_t rc = PutName(subject_text, subject, subject_len);

    // The tail comes from extension 7, or from extension 6 when that holds
    // no e-mail address.
    int tail_from = kTailExtension;
    if (email != nullptr && email_len != nullptr &&
        !PutEmail(X509_get_ext(x509.get(), kEmailExtension), email, email_len)) {
      tail_from = kEmailExtension;
    }
    PutTail(X509_get_ext(x509.get(), tail_from), ext_tail, ext_tail_len);

    PutCut(PrintTime(X509_get0_notBefore(x509.get())), valid_from, valid_from_len);
    PutCut(PrintTime(X509_get0_notAfter(x509.get())), valid_to, valid_to_len);
    return rc;
  });
}

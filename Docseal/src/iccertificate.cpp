#include <cstring>
#include <new>
#include <string>

#include "Docseal.h"
#include "card_codes.h"
#include "vorpin_cardlock.h"
#include "vorpin_dll.h"
#include "xkms.h"

namespace {

// Capacities of the five information fields, in characters.
constexpr int32_t kSubjectCap = 80;
constexpr int32_t kEmailCap = 80;
constexpr int32_t kExtTailCap = 4;
constexpr int32_t kValidityCap = 30;

// A zero-filled text buffer of cap characters plus a terminator.
struct TextBuffer {
  explicit TextBuffer(int32_t capacity)
      : bytes(static_cast<size_t>(capacity > 0 ? capacity : 0) + 1, '\0'), length(capacity) {}

  // The text up to the reported length, held to the capacity and ending
  // earlier at a NUL: never more than was written into the buffer.
  std::string Text() const {
    const size_t cap = bytes.size() - 1;
    const size_t len = length < 0 ? 0 : static_cast<size_t>(length);
    const size_t cut = len < cap ? len : cap;
    return std::string(bytes.data(), strnlen(bytes.data(), cut));
  }

  char* data() { return bytes.data(); }

  std::string bytes;
  int32_t length;  // capacity on the way in, reported length on the way out
};

}  // namespace

ICCertificate::ICCertificate() : certLength(0) {}

ICCertificate::~ICCertificate() = default;

void ICCertificate::dropCert() noexcept {
  certData.reset();
  certLength = 0;
}

int32_t ICCertificate::getSignCert() {
  return docseal::GuardedCall(DOCSEAL_ERR_CARD, [this] {
    // No other card work in the process runs between the start and the stop.
    const vorpin::CardLock lock;
    if (vorpin_init() != VORPIN_OK) {
      // A start that failed half-way leaves the card library loaded; stop
      // it, or every later start in the process fails as well.
      vorpin_fini();
      return static_cast<int32_t>(DOCSEAL_ERR_START);
    }
    dropCert();
    // Length query first; its code is not consulted, the read reports.
    int32_t length = 0;
    vorpin_getcert_for_sign(nullptr, &length);
    std::unique_ptr<unsigned char[]> block(
        new (std::nothrow) unsigned char[length > 0 ? static_cast<size_t>(length) : 1]);
    int32_t code = VORPIN_ERR_MEMORY;
    if (block) {
      code = vorpin_getcert_for_sign(block.get(), &length);
    }
    vorpin_fini();
    if (code == VORPIN_OK && length > 0) {
      certData = std::move(block);
      certLength = length;
    }
    return docseal::MapCardReadCode(code);
  });
}

std::string ICCertificate::getB64Cert4Sign() {
  try {
    if (certLength <= 0 || !certData) {
      return std::string();
    }
    const uint32_t cap = 2u * static_cast<uint32_t>(certLength);
    std::string text(cap, '\0');
    if (B64Encode(certData.get(), static_cast<uint32_t>(certLength), text.data(), cap) < 0) {
      return std::string();
    }
    return std::string(text.c_str());
  } catch (...) {
    return std::string();
  }
}

std::string ICCertificate::getIssure4Sign(std::string /*unused*/) {
  try {
    if (issuer.empty()) {
      if (!certData && getSignCert() != DOCSEAL_OK) {
        return std::string();
      }
      readIssuerSerial(certData.get(), certLength, issuer, serial);
    }
    return issuer;
  } catch (...) {
    return std::string();
  }
}

std::string ICCertificate::getSerial4Sign() {
  try {
    if (issuer.empty()) {
      if (!certData && getSignCert() != DOCSEAL_OK) {
        return std::string();
      }
      readIssuerSerial(certData.get(), certLength, issuer, serial);
    }
    return serial;
  } catch (...) {
    return std::string();
  }
}

int32_t ICCertificate::readIssuerSerial(const unsigned char* cert, int32_t cert_len,
                                        std::string& issuer_out, std::string& serial_out) {
  int32_t issuer_len = 0;
  int32_t serial_len = 0;
  issure_serial_get_by_cert(cert, cert_len, nullptr, &issuer_len, nullptr, &serial_len);

  TextBuffer issuer_text(issuer_len);
  TextBuffer serial_text(serial_len);
  issure_serial_get_by_cert(certData.get(), certLength, issuer_text.data(), &issuer_text.length,
                            serial_text.data(), &serial_text.length);
  // The serial comes back terminated and its length untouched.
  serial_text.length = serial_len;
  issuer_out = issuer_text.Text();
  serial_out = serial_text.Text();
  return 0;
}

int32_t ICCertificate::getInfos4Sign(std::string& subject, std::string& email,
                                     std::string& ext_tail, std::string& valid_from,
                                     std::string& valid_to) {
  TextBuffer subject_text(kSubjectCap);
  TextBuffer email_text(kEmailCap);
  TextBuffer tail_text(kExtTailCap);
  TextBuffer from_text(kValidityCap);
  TextBuffer to_text(kValidityCap);
  imformations_get_by_cert(certData.get(), certLength, subject_text.data(), &subject_text.length,
                           email_text.data(), &email_text.length, tail_text.data(),
                           &tail_text.length, from_text.data(), &from_text.length, to_text.data(),
                           &to_text.length);
  if (subject_text.length > kSubjectCap) {
    // The subject did not fit: the card library wrote nothing and reported
    // the length it needs. Read it whole and keep the first 80 characters.
    TextBuffer whole(subject_text.length);
    TextBuffer email_skip(kEmailCap);
    TextBuffer tail_skip(kExtTailCap);
    TextBuffer from_skip(kValidityCap);
    TextBuffer to_skip(kValidityCap);
    imformations_get_by_cert(certData.get(), certLength, whole.data(), &whole.length,
                             email_skip.data(), &email_skip.length, tail_skip.data(),
                             &tail_skip.length, from_skip.data(), &from_skip.length, to_skip.data(),
                             &to_skip.length);
    subject_text.bytes.assign(whole.bytes, 0, kSubjectCap);
    subject_text.bytes.push_back('\0');
    subject_text.length = whole.length;
  }
  subject = subject_text.Text();
  email = email_text.Text();
  ext_tail = tail_text.Text();
  valid_from = from_text.Text();
  valid_to = to_text.Text();
  return 0;
}

int32_t ICCertificate::validate(std::string serviceUrl, std::string certB64) {
  return docseal::ValidateCertificate(serviceUrl, certB64);
}

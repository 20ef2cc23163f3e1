// Any bytes as the certificate of issure_serial_get_by_cert and
// imformations_get_by_cert. Every output buffer is exactly as large as its
// length says, so that a write past it shows; lengths stored never exceed
// the room, and a length query followed by a call with that room succeeds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vorpin_dll.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  const std::vector<unsigned char> cert(data, data + size);
  const unsigned char* c = cert.empty() ? nullptr : cert.data();
  const int32_t len = static_cast<int32_t>(size);

  int32_t issuer_len = 0;
  int32_t serial_len = 0;
  int32_t rc = issure_serial_get_by_cert(c, len, nullptr, &issuer_len, nullptr, &serial_len);
  Require(rc == 1280 || rc == VORPIN_ERR_BUFFER_TOO_SMALL);
  if (rc == 1280) {
    int32_t n = 8;
    char tail[4];
    int32_t tail_len = 4;
    Require(imformations_get_by_cert(c, len, nullptr, &n, nullptr, nullptr, tail, &tail_len,
                                     nullptr, &n, nullptr, &n) == 1280);
    return 0;
  }
  Require(issuer_len >= 0 && serial_len == 33);
  std::vector<char> issuer(static_cast<size_t>(issuer_len) + 1);
  std::vector<char> serial(33);
  int32_t got_issuer = issuer_len;
  int32_t got_serial = 33;
  rc = issure_serial_get_by_cert(c, len, issuer.data(), &got_issuer, serial.data(), &got_serial);
  Require(rc == VORPIN_OK && got_issuer <= issuer_len && got_serial == 33);

  int32_t subject_len = 0;
  std::vector<char> email(3);
  int32_t email_len = 3;
  char tail[4];
  int32_t tail_len = 4;
  std::vector<char> from(30);
  std::vector<char> to(1);
  int32_t from_len = 30;
  int32_t to_len = 1;
  rc = imformations_get_by_cert(c, len, nullptr, &subject_len, email.data(), &email_len, tail,
                                &tail_len, from.data(), &from_len, to.data(), &to_len);
  Require(rc == VORPIN_ERR_BUFFER_TOO_SMALL && subject_len >= 0);
  Require(email_len >= 0 && email_len <= 3 && (tail_len == 0 || tail_len == 4));
  Require(from_len >= 0 && from_len <= 30 && to_len >= 0 && to_len <= 1);

  std::vector<char> subject(static_cast<size_t>(subject_len));
  int32_t got_subject = subject_len;
  email.assign(600, 0);
  email_len = 600;
  from_len = 30;
  to_len = 30;
  to.assign(30, 0);
  rc = imformations_get_by_cert(c, len, subject.empty() ? nullptr : subject.data(), &got_subject,
                                email.data(), &email_len, tail, &tail_len, from.data(), &from_len,
                                to.data(), &to_len);
  Require(subject_len == 0 ? rc == VORPIN_ERR_BUFFER_TOO_SMALL || rc == VORPIN_OK
                           : rc == VORPIN_OK);
  Require(got_subject <= subject_len && email_len >= 0 && email_len <= 600);
  return 0;
}

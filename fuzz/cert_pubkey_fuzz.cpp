// Any bytes as the certificate of vorpin_verify_by_cert and
// vorpin_pubkey_encrypt_by_cert: a clear code, never a write past the
// 128-byte block or a length beyond the room given.
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
  // An exact copy, so that a read past the certificate shows.
  const std::vector<unsigned char> cert(data, data + size);
  const unsigned char* c = cert.empty() ? nullptr : cert.data();
  const int32_t len = static_cast<int32_t>(size);

  static const unsigned char kData[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  std::vector<unsigned char> sig(128, 0x5a);
  for (int32_t selector : {VORPIN_HASH_NONE, VORPIN_HASH_SHA1}) {
    const int32_t rc = vorpin_verify_by_cert(kData, sizeof kData, sig.data(),
                                             static_cast<int32_t>(sig.size()), c, len, selector);
    Require(rc == VORPIN_ERR_VERIFY_EMPTY_CERT || rc == VORPIN_ERR_VERIFY_PUBLIC_KEY ||
            rc == VORPIN_ERR_VERIFY_MISMATCH || rc == VORPIN_ERR_MEMORY || rc == VORPIN_OK);
    Require(size > 0 || rc == VORPIN_ERR_VERIFY_EMPTY_CERT);
  }

  // The length query, then a block of exactly the room asked for.
  int32_t need = 0;
  int32_t rc = vorpin_pubkey_encrypt_by_cert(kData, 16, nullptr, &need, c, len);
  Require(rc == VORPIN_ERR_ENCRYPT_EMPTY_CERT || rc == VORPIN_ERR_ENCRYPT_PUBLIC_KEY ||
          rc == VORPIN_ERR_BUFFER_TOO_SMALL);
  if (rc != VORPIN_ERR_BUFFER_TOO_SMALL) return 0;
  Require(need == 128);
  std::vector<unsigned char> out(static_cast<size_t>(need));
  int32_t out_len = need;
  rc = vorpin_pubkey_encrypt_by_cert(kData, 16, out.data(), &out_len, c, len);
  Require(rc == VORPIN_OK || rc == VORPIN_ERR_MEMORY || rc == VORPIN_ERR_ENCRYPT_PUBLIC_KEY);
  if (rc == VORPIN_OK) Require(out_len > 0 && out_len <= need);
  return 0;
}

// The output-length convention: an output pointer and an in/out 32-bit
// length holding the capacity on entry.
#ifndef CARDCRYPTO_OUTLEN_H
#define CARDCRYPTO_OUTLEN_H

#include <stdint.h>

// Once the need is known: a null output or a capacity below the need
// (signed comparison) stores the need and answers false (the caller then
// returns VORPIN_ERR_BUFFER_TOO_SMALL); otherwise true.
inline bool OutputFits(const void* out, int32_t* length, int32_t need) noexcept {
  if (out == nullptr || *length < need) {
    *length = need;
    return false;
  }
  return true;
}

#endif

// Helpers of Pkcs7Signature that are not part of its exported interface.
#ifndef DOCSEAL_SIGNATURE_OBJECT_H
#define DOCSEAL_SIGNATURE_OBJECT_H

#include <stdint.h>
#include <new>

#include "Docseal.h"

namespace docseal {

// The code for failures of the library itself (out of memory).
constexpr int32_t kInternalError = DOCSEAL_ERR_RECORD;

// Runs a body that answers a result code so that no exception leaves it.
template <class Body>
int32_t Guarded(Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return kInternalError;
  }
}

}  // namespace docseal

#endif

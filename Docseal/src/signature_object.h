// Helpers of Pkcs7Signature that are not part of its exported interface.
#ifndef DOCSEAL_SIGNATURE_OBJECT_H
#define DOCSEAL_SIGNATURE_OBJECT_H

#include <stdint.h>
#include <new>
#include <string>

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

// setFilename(name) and verify() for a check: a directory whose walk meets
// names a list cannot hold, subdirectories that cannot be listed or files
// that cannot be read has changed since it was signed, and the answer is 8
// with those names in signInfo. 3 when the path is missing or unreadable.
int32_t VerifyTarget(Pkcs7Signature* s, const std::string& name);

}  // namespace docseal

#endif

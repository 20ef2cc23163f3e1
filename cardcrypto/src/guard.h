// Runs an exported function's body so that no exception leaves the library.
#ifndef CARDCRYPTO_GUARD_H
#define CARDCRYPTO_GUARD_H

#include <stdint.h>
#include <new>

#include "vorpin_dll.h"

template <class Body>
int32_t Guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return VORPIN_ERR_MEMORY;
  } catch (...) {
    return VORPIN_ERR_MEMORY;
  }
}

#endif

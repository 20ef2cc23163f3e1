// Docseal's answers for what the card library reports, and the guard that
// keeps exceptions inside the library.
#ifndef DOCSEAL_CARD_CODES_H
#define DOCSEAL_CARD_CODES_H

#include <stdint.h>

#include "Docseal.h"
#include "vorpin_dll.h"

namespace docseal {

// A card read: no card or no session gives 12, anything else 15.
inline int32_t MapCardReadCode(int32_t card_code) noexcept {
  switch (card_code) {
    case VORPIN_OK:
      return DOCSEAL_OK;
    case VORPIN_ERR_OPEN_SESSION:
      return DOCSEAL_ERR_NO_CARD;
    default:
      return DOCSEAL_ERR_CARD;
  }
}

// A PIN check: also a refused login (18) and a wrong PIN (13).
inline int32_t MapPinCheckCode(int32_t card_code) noexcept {
  switch (card_code) {
    case VORPIN_ERR_LOGIN:
      return DOCSEAL_ERR_LOGIN;
    case VORPIN_ERR_PIN_INCORRECT:
      return DOCSEAL_ERR_PIN;
    default:
      return MapCardReadCode(card_code);
  }
}

// Runs body and turns any exception into on_failure.
template <class Body>
int32_t GuardedCall(int32_t on_failure, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return on_failure;
  }
}

}  // namespace docseal

#endif

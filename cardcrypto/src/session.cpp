#include "session.h"

#include "state.h"
#include "trace.h"
#include "vorpin_dll.h"

bool CardReady(const char* op) noexcept {
  if (State().initialized != 1) {
    vorpin_trace("%s(): NOT initialize Smart Card module yet!", op);
    return false;
  }
  return true;
}

CK_FUNCTION_LIST* TokenSession::functions() const noexcept { return State().functions; }

TokenSession::~TokenSession() {
  // The answers of C_Logout and C_CloseSession are not looked at.
  if (logged_in_) functions()->C_Logout(session_);
  if (open_) functions()->C_CloseSession(session_);
}

int32_t TokenSession::Open() noexcept {
  const LibraryState& s = State();
  if (!s.first_slot_set) {
    // No slot held a token at vorpin_init: there is no slot to open.
    vorpin_trace("%s(): Smart Card is NOT presented in the Card Reader!", op_);
    return VORPIN_ERR_OPEN_SESSION;
  }
  CK_RV rv = functions()->C_OpenSession(s.slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                        nullptr, &session_);
  if (rv == CKR_TOKEN_NOT_PRESENT) {
    vorpin_trace("%s(): Smart Card is NOT presented in the Card Reader!", op_);
    return VORPIN_ERR_OPEN_SESSION;
  }
  if (rv != CKR_OK) {
    vorpin_trace("%s(): failed to open session on Smart card!", op_);
    return VORPIN_ERR_OPEN_SESSION;
  }
  open_ = true;
  return VORPIN_OK;
}

int32_t TokenSession::Login(const unsigned char* pin, int32_t pin_len) noexcept {
  // A negative length, or a missing PIN of some length, would have the
  // token read outside the caller's bytes: such a PIN is refused as wrong
  // without asking the token (and without using up a PIN try).
  if (pin_len < 0 || (pin == nullptr && pin_len > 0)) {
    vorpin_trace("%s(): the input pin code is incorrect!", op_);
    return VORPIN_ERR_PIN_INCORRECT;
  }
  CK_RV rv = functions()->C_Login(session_, CKU_USER, const_cast<CK_UTF8CHAR*>(pin),
                                  static_cast<CK_ULONG>(pin_len));
  if (rv == CKR_PIN_INCORRECT) {
    vorpin_trace("%s(): the input pin code is incorrect!", op_);
    return VORPIN_ERR_PIN_INCORRECT;
  }
  if (rv != CKR_OK) {
    vorpin_trace("%s(): failed to login Smart card!", op_);
    return VORPIN_ERR_LOGIN;
  }
  logged_in_ = true;
  return VORPIN_OK;
}

int32_t TokenSession::Find(CK_OBJECT_CLASS object_class, CK_ATTRIBUTE_TYPE second_type,
                           CK_ULONG second_value, const SearchCodes& codes,
                           FoundObjects* found) noexcept {
  CK_ULONG second = second_value;
  CK_ATTRIBUTE templ[2] = {
      {CKA_CLASS, &object_class, sizeof object_class},
      {second_type, &second, sizeof second},
  };
  if (functions()->C_FindObjectsInit(session_, templ, 2) != CKR_OK) {
    vorpin_trace("%s(): failed to initialize finding objects!", op_);
    return codes.init;
  }
  CK_ULONG count = 0;
  if (functions()->C_FindObjects(session_, found->handles, 2, &count) != CKR_OK || count == 0) {
    // C_FindObjectsFinal is not called: closing the session ends the search.
    vorpin_trace("%s(): failed to find key objects!", op_);
    return codes.find;
  }
  found->count = count > 2 ? 2 : count;
  if (functions()->C_FindObjectsFinal(session_) != CKR_OK) {
    vorpin_trace("%s(): failed to finalize finding objects!", op_);
    return codes.final_;
  }
  return VORPIN_OK;
}

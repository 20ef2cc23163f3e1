// The token session bracket that every card operation runs in: the ready
// check, a read-write session on the first slot, the login where the
// operation takes a PIN, the object search, and logout and close on every
// way out (the destructor).
#ifndef CARDCRYPTO_SESSION_H
#define CARDCRYPTO_SESSION_H

#include <p11-kit/pkcs11.h>
#include <stdint.h>

// Step 1 of every card operation: false (after the trace "<op>(): NOT
// initialize Smart Card module yet!") unless vorpin_init has succeeded.
bool CardReady(const char* op) noexcept;

// Handles found by a search, in the token's listing order: index 0 is the
// signing object, index 1 the encryption object.
struct FoundObjects {
  CK_OBJECT_HANDLE handles[2] = {CK_INVALID_HANDLE, CK_INVALID_HANDLE};
  CK_ULONG count = 0;
  bool Has(CK_ULONG index) const noexcept { return index < count; }
};

// The operation's own codes for the three steps of the object search.
struct SearchCodes {
  int32_t init;
  int32_t find;
  int32_t final_;
};

class TokenSession {
 public:
  // op names the operation; every message of the bracket starts "<op>(): ".
  explicit TokenSession(const char* op) noexcept : op_(op) {}
  ~TokenSession();
  TokenSession(const TokenSession&) = delete;
  TokenSession& operator=(const TokenSession&) = delete;

  // Opens the session on the first slot holding a token. 0 or
  // VORPIN_ERR_OPEN_SESSION.
  int32_t Open() noexcept;

  // C_Login as user with the PIN exactly as given (an empty PIN too). 0,
  // VORPIN_ERR_PIN_INCORRECT or VORPIN_ERR_LOGIN. A negative length, or a
  // null PIN with a length, is refused with VORPIN_ERR_PIN_INCORRECT
  // without asking the token.
  int32_t Login(const unsigned char* pin, int32_t pin_len) noexcept;

  // Searches with the template {CKA_CLASS = object_class, second_type =
  // second_value} for at most 2 handles. 0 or one of codes.
  int32_t Find(CK_OBJECT_CLASS object_class, CK_ATTRIBUTE_TYPE second_type, CK_ULONG second_value,
               const SearchCodes& codes, FoundObjects* found) noexcept;

  CK_FUNCTION_LIST* functions() const noexcept;
  CK_SESSION_HANDLE handle() const noexcept { return session_; }
  const char* op() const noexcept { return op_; }

 private:
  const char* op_;
  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
  bool open_ = false;
  bool logged_in_ = false;
};

#endif

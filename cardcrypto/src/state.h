// The library-wide state between vorpin_init and vorpin_fini: one instance
// per process, all zero when the library is loaded. Read and written only
// under the card lock (vorpin_cardlock.h), which every card function of the
// library holds for its whole run.
#ifndef CARDCRYPTO_STATE_H
#define CARDCRYPTO_STATE_H

#include <p11-kit/pkcs11.h>
#include <stdint.h>

// The PKCS#11 module's fixed file name.
inline constexpr char kModuleFileName[] = "aetpkss1.dll";

struct LibraryState {
  void* module = nullptr;                 // the loaded PKCS#11 module
  CK_FUNCTION_LIST* functions = nullptr;  // owned by the module
  int32_t initialized = 0;                // 1 after every step of vorpin_init succeeded
  int32_t cryptoki = 0;                   // 1 while C_Initialize is in force
  CK_SLOT_ID* slots = nullptr;            // slots holding a token at vorpin_init
  bool first_slot_set = false;            // the token-present query filled slots[0]
};

LibraryState& State() noexcept;

#endif

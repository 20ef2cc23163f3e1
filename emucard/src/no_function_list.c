/* A module file named like the card's module that lacks C_GetFunctionList:
 * it loads, but the card library finds no entry point in it. */
#include <p11-kit/pkcs11.h>

__attribute__((visibility("default"))) CK_RV C_Initialize(void* args) {
  (void)args;
  return CKR_OK;
}

// Internal card operations shared with the software side.
#ifndef CARDCRYPTO_CARD_H
#define CARDCRYPTO_CARD_H

#include <stdint.h>

// Index of the card's certificates and keys, in the token's listing order.
inline constexpr int32_t kSigningIndex = 0;
inline constexpr int32_t kEncryptionIndex = 1;

// Reads certificate number index (0 signing, 1 encryption) under the
// output-length convention. 0, 2, 3, 512, 1024, 1280, 1281, 1282, 1792, 1793.
int32_t vorpin_getcert(unsigned char* cert, int32_t* cert_len, int32_t index);

#endif

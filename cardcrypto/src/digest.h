// Digest sizes by hash-type selector.
#ifndef CARDCRYPTO_DIGEST_H
#define CARDCRYPTO_DIGEST_H

#include <stdint.h>

// 16, 20 or 36 for the selectors 1 to 3; 0 for every other value.
int32_t DigestSize(int32_t hash_type) noexcept;

#endif

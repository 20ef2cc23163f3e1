// Digest sizes by hash-type selector.
#ifndef CARDCRYPTO_DIGEST_H
#define CARDCRYPTO_DIGEST_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

// 16, 20 or 36 for the selectors 1 to 3; 0 for every other value.
int32_t DigestSize(int32_t hash_type) noexcept;

// The value that signing and verification work on, chosen by the selector:
// the data as given (0), or its digest (1 to 3) made by vorpin_hash into
// *digest. The messages read "<op>(): <verb> with MD5 hashing." and so on;
// allocation names the digest buffer for the allocation seam of the test
// build. 0 with *value and *value_len set, VORPIN_ERR_MEMORY, or
// VORPIN_ERR_HASH_TYPE (unknown selector, or the digest failed).
int32_t SelectValue(const char* op, const char* verb, const char* allocation, int32_t hash_type,
                    const unsigned char* data, int32_t data_len, std::vector<unsigned char>* digest,
                    const unsigned char** value, size_t* value_len);

#endif

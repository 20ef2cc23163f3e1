// vorpin_hash: the bare MD5 / SHA-1 / MD5+SHA-1 digests (no DigestInfo)
// that card signing and verification work on.
#include <openssl/evp.h>

#include "digest.h"
#include "guard.h"
#include "outlen.h"
#include "trace.h"
#include "vorpin_dll.h"

int32_t DigestSize(int32_t hash_type) noexcept {
  switch (static_cast<uint32_t>(hash_type)) {
    case VORPIN_HASH_MD5:
      return 16;
    case VORPIN_HASH_SHA1:
      return 20;
    case VORPIN_HASH_MD5_SHA1:
      return 36;
    default:
      return 0;
  }
}

extern "C" VORPIN_API int32_t VORPIN_CDECL vorpin_hash(const unsigned char* data, int32_t data_len,
                                                       unsigned char* digest, int32_t* digest_len,
                                                       int32_t hash_type) {
  return Guarded([&]() -> int32_t {
    // A negative length would make the digest read before or past the data:
    // such input is no data at all.
    if (data == nullptr || data_len < 0) {
      vorpin_trace("vorpin_hash(): input a NULL data to be hashed, something error!");
      return VORPIN_ERR_HASH_NULL_DATA;
    }
    if (digest_len == nullptr) {
      vorpin_trace(
          "vorpin_hash(): input a NULL input/output buffer for getting hash value length!");
      return VORPIN_ERR_NULL_LENGTH;
    }
    const int32_t size = DigestSize(hash_type);
    if (size == 0) {
      vorpin_trace("vorpin_hash(): unknown hashing type, not supported yet!");
      return VORPIN_ERR_HASH_TYPE;
    }
    const bool md5 = hash_type != VORPIN_HASH_SHA1;
    const bool sha1 = hash_type != VORPIN_HASH_MD5;
    vorpin_trace(md5 && sha1 ? "vorpin_hash(): MD5 + SHA1 hashing..."
                 : md5       ? "vorpin_hash(): MD5 hashing..."
                             : "vorpin_hash(): SHA1 hashing...");
    if (!OutputFits(digest, digest_len, size)) {
      vorpin_trace("vorpin_hash(): the output buffer size is NOT large enough.");
      return VORPIN_ERR_BUFFER_TOO_SMALL;
    }

    unsigned char* at = digest;
    if (md5) {
      if (!EVP_Digest(data, static_cast<size_t>(data_len), at, nullptr, EVP_md5(), nullptr)) {
        vorpin_trace("vorpin_hash(): unknown hashing type, not supported yet!");
        return VORPIN_ERR_HASH_TYPE;
      }
      at += 16;
    }
    if (sha1 &&
        !EVP_Digest(data, static_cast<size_t>(data_len), at, nullptr, EVP_sha1(), nullptr)) {
      vorpin_trace("vorpin_hash(): unknown hashing type, not supported yet!");
      return VORPIN_ERR_HASH_TYPE;
    }
    *digest_len = size;
    vorpin_trace("vorpin_hash(): the hash value is \n\t%s", vorpin_trace_dump(digest, size));
    return VORPIN_OK;
  });
}

// vorpin_hash: the bare MD5 / SHA-1 / MD5+SHA-1 digests (no DigestInfo)
// that card signing and verification work on.
#include <openssl/evp.h>

#include "alloc.h"
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

int32_t SelectValue(const char* op, const char* verb, const char* allocation, int32_t hash_type,
                    const unsigned char* data, int32_t data_len, std::vector<unsigned char>* digest,
                    const unsigned char** value, size_t* value_len) {
  switch (static_cast<uint32_t>(hash_type)) {
    case VORPIN_HASH_NONE:
      vorpin_trace("%s(): %s without hashing.", op, verb);
      *value = data;
      *value_len = static_cast<size_t>(data_len);
      return VORPIN_OK;
    case VORPIN_HASH_MD5:
      vorpin_trace("%s(): %s with MD5 hashing.", op, verb);
      break;
    case VORPIN_HASH_SHA1:
      vorpin_trace("%s(): %s with SHA1 hashing.", op, verb);
      break;
    case VORPIN_HASH_MD5_SHA1:
      vorpin_trace("%s(): %s with MD5 + SHA1 hashing.", op, verb);
      break;
    default:
      vorpin_trace("%s(): unknown hashing type!", op);
      return VORPIN_ERR_HASH_TYPE;
  }
  int32_t size = DigestSize(hash_type);
  if (!ResizeBytes(digest, static_cast<size_t>(size), allocation)) {
    vorpin_trace("%s(): allocate a buffer to store hash value error!", op);
    return VORPIN_ERR_MEMORY;
  }
  if (vorpin_hash(data, data_len, digest->data(), &size, hash_type) != VORPIN_OK) {
    vorpin_trace("%s(): unknown hashing type, not supported yet!", op);
    return VORPIN_ERR_HASH_TYPE;
  }
  *value = digest->data();
  *value_len = static_cast<size_t>(size);
  return VORPIN_OK;
}

// The exported functions of the PKCS#7 library, signing with the card through
// the card library.
#include <stdlib.h>
#include <string.h>

#include <limits>
#include <new>
#include <string>
#include <vector>

#include "envelope.h"
#include "ossl.h"
#include "platform/files.h"
#include "sigenv_dll.h"
#include "vorpin_dll.h"

namespace {

template <class Body>
int Guarded(Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return SIGENV_ERR_MEMORY;
  } catch (...) {
    return SIGENV_ERR_ENCODE;
  }
}

// The three card answers that callers tell apart; fallback for the rest.
int MapCardCode(int32_t card_code, int fallback) {
  switch (card_code) {
    case VORPIN_ERR_OPEN_SESSION:
      return SIGENV_ERR_CARD_ABSENT;
    case VORPIN_ERR_PIN_INCORRECT:
      return SIGENV_ERR_PIN;
    case VORPIN_ERR_LOGIN:
      return SIGENV_ERR_LOGIN;
    default:
      return fallback;
  }
}

// The card's signing certificate and key, through the card library.
class CardLibrarySigner : public sigenv::CardSigner {
 public:
  int Certificate(std::vector<unsigned char>* der) override {
    int32_t len = 0;
    int32_t rc = vorpin_getcert_for_sign(nullptr, &len);
    if (rc != VORPIN_ERR_BUFFER_TOO_SMALL || len <= 0) {
      return MapCardCode(rc, SIGENV_ERR_CERTIFICATE);
    }
    der->resize(static_cast<size_t>(len));
    rc = vorpin_getcert_for_sign(der->data(), &len);
    if (rc != VORPIN_OK) return MapCardCode(rc, SIGENV_ERR_CERTIFICATE);
    der->resize(static_cast<size_t>(len));
    return SIGENV_OK;
  }

  int SignDigestInfo(const std::vector<unsigned char>& digest_info, const char* pin,
                     std::vector<unsigned char>* signature) override {
    const size_t pin_len = strlen(pin);
    if (pin_len > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
      return SIGENV_ERR_ARGUMENT;
    }
    const auto* pin_bytes = reinterpret_cast<const unsigned char*>(pin);
    // Room for a 4096-bit key; the card states its need when it has more.
    int32_t len = 512;
    signature->resize(static_cast<size_t>(len));
    int32_t rc =
        vorpin_sign(digest_info.data(), static_cast<int32_t>(digest_info.size()), signature->data(),
                    &len, VORPIN_HASH_NONE, pin_bytes, static_cast<int32_t>(pin_len));
    if (rc == VORPIN_ERR_BUFFER_TOO_SMALL && len > 0) {
      signature->resize(static_cast<size_t>(len));
      rc = vorpin_sign(digest_info.data(), static_cast<int32_t>(digest_info.size()),
                       signature->data(), &len, VORPIN_HASH_NONE, pin_bytes,
                       static_cast<int32_t>(pin_len));
    }
    if (rc != VORPIN_OK) return MapCardCode(rc, SIGENV_ERR_CARD_SIGN);
    signature->resize(static_cast<size_t>(len));
    return SIGENV_OK;
  }
};

PKCS7* AsPkcs7(pkcs7_st* p7) { return reinterpret_cast<PKCS7*>(p7); }

}  // namespace

SIGENV_API int SIGENV_CDECL Docguard_init(int what) {
  if (what != 1) return SIGENV_ERR_ARGUMENT;
  if (vorpin_init() == VORPIN_OK) return SIGENV_OK;
  // A start that failed half way leaves the card library's module loaded;
  // releasing it here lets the next start begin from nothing.
  vorpin_fini();
  return SIGENV_ERR_START;
}

SIGENV_API int SIGENV_CDECL Docguard_fini(int what) {
  if (what != 1) return SIGENV_ERR_ARGUMENT;
  vorpin_fini();
  return SIGENV_OK;
}

SIGENV_API int SIGENV_CDECL RAW_DATA_new(raw_data_st* record, int n) {
  if (record == nullptr || n < 0) return SIGENV_ERR_ARGUMENT;
  // One byte at least, so that a record of size 0 still has a buffer.
  auto* data = static_cast<unsigned char*>(calloc(n > 0 ? static_cast<size_t>(n) : 1, 1));
  if (data == nullptr) return SIGENV_ERR_MEMORY;
  record->data = data;
  record->length = n;
  return SIGENV_OK;
}

SIGENV_API void SIGENV_CDECL RAW_DATA_delete(raw_data_st* record) {
  if (record == nullptr) return;
  free(record->data);
  record->data = nullptr;
  record->length = 0;
}

SIGENV_API int SIGENV_CDECL P7Sign(raw_data_st* content, raw_data_st* out, char* pin, int flag) {
  if (content == nullptr || out == nullptr || pin == nullptr || flag != 1 || content->length < 0 ||
      (content->data == nullptr && content->length > 0) || out->data == nullptr ||
      out->length < 0) {
    return SIGENV_ERR_ARGUMENT;
  }
  return Guarded([&] {
    CardLibrarySigner signer;
    std::vector<unsigned char> der;
    int rc = sigenv::MakeSignedData(content->data, static_cast<size_t>(content->length), pin,
                                    &signer, &der);
    if (rc != SIGENV_OK) return rc;
    if (der.size() > static_cast<size_t>(out->length))
      return static_cast<int>(SIGENV_ERR_OUTPUT_SPACE);
    memcpy(out->data, der.data(), der.size());
    out->length = static_cast<int32_t>(der.size());
    return static_cast<int>(SIGENV_OK);
  });
}

SIGENV_API int SIGENV_CDECL P7_Write_PKCS72BIN(raw_data_st* signature, char* path) {
  if (signature == nullptr || signature->data == nullptr || signature->length <= 0 ||
      path == nullptr || path[0] == '\0') {
    return 0;
  }
  return Guarded([&] {
    return platform::WriteWholeFile(path, signature->data, static_cast<size_t>(signature->length))
               ? static_cast<int>(signature->length)
               : 0;
  });
}

SIGENV_API pkcs7_st* SIGENV_CDECL newPKCS7(raw_data_st* bytes) {
  if (bytes == nullptr || bytes->data == nullptr || bytes->length <= 0) return nullptr;
  return reinterpret_cast<pkcs7_st*>(
      sigenv::ParseSignedData(bytes->data, static_cast<size_t>(bytes->length)));
}

SIGENV_API void SIGENV_CDECL freePKCS7(pkcs7_st* p7) { PKCS7_free(AsPkcs7(p7)); }

SIGENV_API void SIGENV_CDECL getContentString(pkcs7_st* p7, raw_data_st* out) {
  if (out == nullptr) return;
  const unsigned char* data = nullptr;
  size_t size = 0;
  if (p7 == nullptr || out->data == nullptr || out->length < 0 ||
      !sigenv::EmbeddedContent(AsPkcs7(p7), &data, &size) ||
      size > static_cast<size_t>(out->length)) {
    out->length = 0;
    return;
  }
  if (size > 0) memcpy(out->data, data, size);
  out->length = static_cast<int32_t>(size);
}

SIGENV_API int SIGENV_CDECL P7getX509Cert(pkcs7_st* p7, int index, raw_data_st* out, char*) {
  if (out == nullptr) return SIGENV_ERR_ARGUMENT;
  PKCS7* pk = AsPkcs7(p7);
  STACK_OF(X509)* certs = pk != nullptr && PKCS7_type_is_signed(pk) && pk->d.sign != nullptr
                              ? pk->d.sign->cert
                              : nullptr;
  X509* cert = certs != nullptr && index >= 0 && index < sk_X509_num(certs)
                   ? sk_X509_value(certs, index)
                   : nullptr;
  int len = cert != nullptr ? i2d_X509(cert, nullptr) : -1;
  if (len <= 0 || out->data == nullptr || len > out->length) {
    out->length = 0;
    return SIGENV_ERR_NO_CERT;
  }
  unsigned char* p = out->data;
  if (i2d_X509(cert, &p) != len) {
    out->length = 0;
    return SIGENV_ERR_NO_CERT;
  }
  out->length = len;
  return SIGENV_OK;
}

SIGENV_API stack_st* SIGENV_CDECL PKCS7_get_signer_infos(pkcs7_st* p7) {
  if (p7 == nullptr) return nullptr;
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(AsPkcs7(p7));
  // A list of its own (the signers are shared), so that StackFree never
  // touches the signature.
  STACK_OF(PKCS7_SIGNER_INFO)* copy =
      signers != nullptr ? sk_PKCS7_SIGNER_INFO_dup(signers) : sk_PKCS7_SIGNER_INFO_new_null();
  return reinterpret_cast<stack_st*>(copy);
}

SIGENV_API int SIGENV_CDECL sk_PKCS7_SIGNER_INFOs_num(stack_st* signers) {
  if (signers == nullptr) return 0;
  int n = OPENSSL_sk_num(reinterpret_cast<OPENSSL_STACK*>(signers));
  return n > 0 ? n : 0;
}

SIGENV_API int SIGENV_CDECL P7Verify(pkcs7_st* p7, bool* ok, char*, int flag) {
  if (p7 == nullptr || flag != 1) return SIGENV_ERR_ARGUMENT;
  return Guarded([&] { return sigenv::VerifySigners(AsPkcs7(p7), ok); });
}

SIGENV_API void SIGENV_CDECL StackFree(void* signers) {
  OPENSSL_sk_free(static_cast<OPENSSL_STACK*>(signers));
}

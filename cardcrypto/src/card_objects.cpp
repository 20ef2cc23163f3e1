// Card operations without a private key: certificate read, PIN check and
// random bytes.
#include <cstdio>
#include <ctime>

#include "card.h"
#include "outlen.h"
#include "session.h"
#include "state.h"
#include "trace.h"
#include "vorpin_cardlock.h"
#include "vorpin_dll.h"

int32_t vorpin_getcert(unsigned char* cert, int32_t* cert_len, int32_t index) {
  static const char kOp[] = "vorpin_getcert";
  const vorpin::CardLock lock;
  if (!CardReady(kOp)) return VORPIN_ERR_NOT_INITIALIZED;
  if (cert_len == nullptr) {
    vorpin_trace(
        "vorpin_getcert(): input a NULL input/output buffer for getting certificate size!");
    return VORPIN_ERR_NULL_LENGTH;
  }

  TokenSession session(kOp);
  if (int32_t rc = session.Open(); rc != VORPIN_OK) return rc;
  FoundObjects found;
  if (int32_t rc = session.Find(
          CKO_CERTIFICATE, CKA_CERTIFICATE_TYPE, CKC_X_509,
          {VORPIN_ERR_CERT_FIND_INIT, VORPIN_ERR_CERT_FIND, VORPIN_ERR_CERT_FIND_FINAL}, &found);
      rc != VORPIN_OK) {
    return rc;
  }

  // A card with a single certificate has no second handle: the size of a
  // missing object cannot be read.
  CK_ATTRIBUTE value = {CKA_VALUE, nullptr, 0};
  if (!found.Has(static_cast<CK_ULONG>(index)) ||
      session.functions()->C_GetAttributeValue(session.handle(), found.handles[index], &value, 1) !=
          CKR_OK ||
      value.ulValueLen > INT32_MAX) {
    vorpin_trace("vorpin_getcert(): failed to get the size of certificate!");
    return VORPIN_ERR_CERT_SIZE;
  }
  const int32_t size = static_cast<int32_t>(value.ulValueLen);
  vorpin_trace("vorpin_getcert(): get the size of certificate, size == %d", size);

  if (!OutputFits(cert, cert_len, size)) return VORPIN_ERR_BUFFER_TOO_SMALL;
  value.pValue = cert;
  value.ulValueLen = static_cast<CK_ULONG>(size);
  if (session.functions()->C_GetAttributeValue(session.handle(), found.handles[index], &value, 1) !=
      CKR_OK) {
    vorpin_trace("vorpin_getcert(): failed to get the certificate from Smart Card!");
    return VORPIN_ERR_CERT_VALUE;
  }
  *cert_len = size;
  return VORPIN_OK;
}

extern "C" VORPIN_API int32_t VORPIN_CDECL vorpin_getcert_for_sign(unsigned char* cert,
                                                                   int32_t* cert_len) {
  return vorpin_getcert(cert, cert_len, kSigningIndex);
}

extern "C" VORPIN_API int32_t VORPIN_CDECL vorpin_getcert_for_enc(unsigned char* cert,
                                                                  int32_t* cert_len) {
  return vorpin_getcert(cert, cert_len, kEncryptionIndex);
}

extern "C" VORPIN_API int32_t VORPIN_CDECL vorpin_check_pin_valid(const unsigned char* pin,
                                                                  int32_t pin_len) {
  static const char kOp[] = "vorpin_check_pin_valid";
  const vorpin::CardLock lock;
  if (!CardReady(kOp)) return VORPIN_ERR_NOT_INITIALIZED;
  TokenSession session(kOp);
  if (int32_t rc = session.Open(); rc != VORPIN_OK) return rc;
  return session.Login(pin, pin_len);
}

extern "C" VORPIN_API int32_t VORPIN_CDECL vorpin_gen_session_key(unsigned char* out,
                                                                  int32_t count) {
  static const char kOp[] = "vorpin_gen_session_key";
  const vorpin::CardLock lock;
  if (!CardReady(kOp)) return VORPIN_ERR_NOT_INITIALIZED;
  TokenSession session(kOp);
  if (int32_t rc = session.Open(); rc != VORPIN_OK) return rc;

  // The random seed: the current time as lower-case hex digits without leading
  // zeros, 8 of them for every time after July 1978.
  char random_seed[16];
  std::snprintf(random_seed, sizeof random_seed, "%x", static_cast<unsigned>(std::time(nullptr)));
  CK_RV rv = session.functions()->C_SeedRandom(session.handle(),
                                               reinterpret_cast<CK_BYTE*>(random_seed), 8);
  if (rv == CKR_RANDOM_SEED_NOT_SUPPORTED) {
    vorpin_trace("vorpin_gen_session_key(): random seed setting is NOT supported in %s",
                 kModuleFileName);
  } else if (rv != CKR_OK) {
    vorpin_trace(
        "vorpin_gen_session_key(): failed to set the random seed! PKCS#11 errcode == 0x%08x",
        static_cast<unsigned>(rv));
    return VORPIN_ERR_SEED_RANDOM;
  }

  // A negative count, or no buffer for a positive one, would let the token
  // write where the caller has no room: refused like a failed draw.
  if (count < 0 || (out == nullptr && count > 0) ||
      session.functions()->C_GenerateRandom(session.handle(), out, static_cast<CK_ULONG>(count)) !=
          CKR_OK) {
    vorpin_trace("vorpin_gen_session_key(): failed to generate random value!");
    return VORPIN_ERR_GENERATE_RANDOM;
  }
  return VORPIN_OK;
}

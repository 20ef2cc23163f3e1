// The operations with the card's private keys: vorpin_sign with the first
// RSA private key the token lists, vorpin_prikey_decrypt with the second.
// Both run in one session bracket per call; a length query is a full round
// trip of its own.
#include <climits>
#include <vector>

#include "alloc.h"
#include "digest.h"
#include "guard.h"
#include "outlen.h"
#include "session.h"
#include "trace.h"
#include "vorpin_cardlock.h"
#include "vorpin_dll.h"

namespace {

CK_MECHANISM RsaPkcs() noexcept { return CK_MECHANISM{CKM_RSA_PKCS, nullptr, 0}; }

int32_t SignSteps(const unsigned char* data, int32_t data_len, unsigned char* sig, int32_t* sig_len,
                  int32_t hash_type, const unsigned char* pin, int32_t pin_len) {
  TokenSession session("vorpin_sign");
  if (int32_t rc = session.Open(); rc != VORPIN_OK) return rc;
  if (int32_t rc = session.Login(pin, pin_len); rc != VORPIN_OK) return rc;
  FoundObjects keys;
  if (int32_t rc =
          session.Find(CKO_PRIVATE_KEY, CKA_KEY_TYPE, CKK_RSA,
                       {VORPIN_ERR_SIGN_KEY, VORPIN_ERR_SIGN_KEY, VORPIN_ERR_SIGN_KEY}, &keys);
      rc != VORPIN_OK) {
    return rc;
  }

  // The selector is looked at only now, after the login and the key search.
  const unsigned char* input = nullptr;
  size_t input_len = 0;
  std::vector<unsigned char> digest;
  if (int32_t rc = SelectValue("vorpin_sign", "signing", "vorpin_sign digest", hash_type, data,
                               data_len, &digest, &input, &input_len);
      rc != VORPIN_OK) {
    return rc;
  }

  CK_FUNCTION_LIST* p11 = session.functions();
  CK_MECHANISM mechanism = RsaPkcs();
  if (CK_RV rv = p11->C_SignInit(session.handle(), &mechanism, keys.handles[0]); rv != CKR_OK) {
    vorpin_trace("vorpin_sign(): failed to initialize sign object! PKCS#11 errcode == 0x%08x",
                 static_cast<unsigned>(rv));
    return VORPIN_ERR_SIGN_KEY;
  }
  CK_ULONG need = 0;
  CK_RV rv = p11->C_Sign(session.handle(), const_cast<CK_BYTE*>(input), input_len, nullptr, &need);
  if (rv == CKR_OK && need > INT32_MAX) rv = CKR_GENERAL_ERROR;
  if (rv != CKR_OK) {
    vorpin_trace(
        "vorpin_sign(): failed to get the length of the buffer to store signature! PKCS#11 "
        "errcode = 0x%08x",
        static_cast<unsigned>(rv));
    return VORPIN_ERR_SIGN_LENGTH;
  }
  vorpin_trace("vorpin_sign(): get the length of the buffer to store signature (length == %d).",
               static_cast<int>(need));
  if (!OutputFits(sig, sig_len, static_cast<int32_t>(need))) return VORPIN_ERR_BUFFER_TOO_SMALL;

  CK_ULONG written = need;
  rv = p11->C_Sign(session.handle(), const_cast<CK_BYTE*>(input), input_len, sig, &written);
  if (rv == CKR_OK && written > need) rv = CKR_GENERAL_ERROR;
  if (rv != CKR_OK) {
    vorpin_trace("vorpin_sign(): failed to make signature! PKCS#11 errcode = 0x%08x",
                 static_cast<unsigned>(rv));
    return VORPIN_ERR_SIGN;
  }
  *sig_len = static_cast<int32_t>(written);
  return VORPIN_OK;
}

int32_t DecryptSteps(const unsigned char* enc, int32_t enc_len, unsigned char* out,
                     int32_t* out_len, const unsigned char* pin, int32_t pin_len) {
  TokenSession session("vorpin_prikey_decrypt");
  if (int32_t rc = session.Open(); rc != VORPIN_OK) return rc;
  if (int32_t rc = session.Login(pin, pin_len); rc != VORPIN_OK) return rc;
  FoundObjects keys;
  if (int32_t rc = session.Find(
          CKO_PRIVATE_KEY, CKA_KEY_TYPE, CKK_RSA,
          {VORPIN_ERR_DECRYPT_KEY, VORPIN_ERR_DECRYPT_KEY, VORPIN_ERR_DECRYPT_KEY}, &keys);
      rc != VORPIN_OK) {
    return rc;
  }
  // A card with a single key has no decryption key: the search found no
  // second handle to use.
  if (!keys.Has(1)) {
    vorpin_trace("vorpin_prikey_decrypt(): failed to find key objects!");
    return VORPIN_ERR_DECRYPT_KEY;
  }

  CK_FUNCTION_LIST* p11 = session.functions();
  CK_MECHANISM mechanism = RsaPkcs();
  if (CK_RV rv = p11->C_DecryptInit(session.handle(), &mechanism, keys.handles[1]); rv != CKR_OK) {
    vorpin_trace(
        "vorpin_prikey_decrypt(): failed to initialize decrypt object! PKCS#11 errcode == 0x%08x",
        static_cast<unsigned>(rv));
    return VORPIN_ERR_DECRYPT_KEY;
  }
  CK_BYTE* input = const_cast<CK_BYTE*>(enc);
  const CK_ULONG input_len = static_cast<CK_ULONG>(enc_len);
  CK_ULONG need = 0;
  CK_RV rv = p11->C_Decrypt(session.handle(), input, input_len, nullptr, &need);
  if (rv == CKR_OK && need > INT32_MAX) rv = CKR_GENERAL_ERROR;
  if (rv != CKR_OK) {
    vorpin_trace(
        "vorpin_prikey_decrypt(): failed to get the length of the buffer to store decrypted data! "
        "PKCS#11 errcode = 0x%08x",
        static_cast<unsigned>(rv));
    return VORPIN_ERR_DECRYPT_LENGTH;
  }
  vorpin_trace(
      "vorpin_prikey_decrypt(): get the length of the buffer to store decrypted data (length == "
      "%d).",
      static_cast<int>(need));
  if (!OutputFits(out, out_len, static_cast<int32_t>(need))) return VORPIN_ERR_BUFFER_TOO_SMALL;

  CK_ULONG written = need;
  rv = p11->C_Decrypt(session.handle(), input, input_len, out, &written);
  // A token that claims more than the room it was given is not believed:
  // the caller's length must never exceed its buffer (likewise in signing).
  if (rv == CKR_OK && written > need) rv = CKR_GENERAL_ERROR;
  if (rv != CKR_OK) {
    vorpin_trace("vorpin_prikey_decrypt(): failed to decrypt data! PKCS#11 errcode = 0x%08x",
                 static_cast<unsigned>(rv));
    return VORPIN_ERR_DECRYPT;
  }
  *out_len = static_cast<int32_t>(written);
  return VORPIN_OK;
}

}  // namespace

extern "C" VORPIN_API int32_t VORPIN_CDECL vorpin_sign(const unsigned char* data, int32_t data_len,
                                                       unsigned char* sig, int32_t* sig_len,
                                                       int32_t hash_type, const unsigned char* pin,
                                                       int32_t pin_len) {
  const vorpin::CardLock lock;
  return Guarded([&]() -> int32_t {
    if (!CardReady("vorpin_sign")) return VORPIN_ERR_NOT_INITIALIZED;
    // A negative length cannot be handed to the token, which takes it as a
    // huge unsigned count and reads past the data.
    if (data == nullptr || data_len < 0) {
      vorpin_trace("vorpin_sign(): input a NULL data to be signed, something error!");
      return VORPIN_ERR_SIGN_NULL_DATA;
    }
    if (sig_len == nullptr) {
      vorpin_trace(
          "vorpin_sign(): input a NULL input/output buffer for getting signed data length!");
      return VORPIN_ERR_NULL_LENGTH;
    }
    return SignSteps(data, data_len, sig, sig_len, hash_type, pin, pin_len);
  });
}

extern "C" VORPIN_API int32_t VORPIN_CDECL
vorpin_prikey_decrypt(const unsigned char* enc, int32_t enc_len, unsigned char* out,
                      int32_t* out_len, const unsigned char* pin, int32_t pin_len) {
  const vorpin::CardLock lock;
  return Guarded([&]() -> int32_t {
    if (!CardReady("vorpin_prikey_decrypt")) return VORPIN_ERR_NOT_INITIALIZED;
    if (enc == nullptr || enc_len < 0) {
      vorpin_trace("vorpin_prikey_decrypt(): input a NULL data to be decrypted, something error!");
      return VORPIN_ERR_DECRYPT_NULL_DATA;
    }
    if (out_len == nullptr) {
      vorpin_trace(
          "vorpin_prikey_decrypt(): input a NULL input/output buffer for getting decrypted data "
          "length!");
      return VORPIN_ERR_NULL_LENGTH;
    }
    return DecryptSteps(enc, enc_len, out, out_len, pin, pin_len);
  });
}

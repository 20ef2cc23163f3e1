// Signing and decryption against the emulated card: every result and trace
// message of each step, the session bracket on every path, the key each
// operation uses and what it hands the token.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <cstring>

#include "emucard_fixture.h"

namespace emucard_test {
namespace {

using ::testing::ElementsAreArray;

const unsigned char kData[] = "data to sign";
constexpr int32_t kDataLen = sizeof kData - 1;

const unsigned char* WrongPin() { return reinterpret_cast<const unsigned char*>("654321"); }

// PKCS#1 v1.5 encryption of plain with the public key of id.
Bytes EncryptFor(const Identity& id, const Bytes& plain) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(id.key.get(), nullptr);
  Bytes out(128);
  size_t len = out.size();
  EXPECT_GT(EVP_PKEY_encrypt_init(ctx), 0);
  EXPECT_GT(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 0);
  EXPECT_GT(EVP_PKEY_encrypt(ctx, out.data(), &len, plain.data(), plain.size()), 0);
  EVP_PKEY_CTX_free(ctx);
  out.resize(len);
  return out;
}

// The value the public key of id recovers from sig, or nothing.
Bytes Recover(const Identity& id, const unsigned char* sig, size_t sig_len) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(id.key.get(), nullptr);
  Bytes out(128);
  size_t len = out.size();
  const bool ok = EVP_PKEY_verify_recover_init(ctx) > 0 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
                  EVP_PKEY_verify_recover(ctx, out.data(), &len, sig, sig_len) > 0;
  EVP_PKEY_CTX_free(ctx);
  out.resize(ok ? len : 0);
  return out;
}

const Bytes& Secret() {
  static const Bytes secret(16, 0x5C);
  return secret;
}
const Bytes& Block() {
  static const Bytes block = EncryptFor(Kit().enc, Secret());
  return block;
}

int32_t SignSha1() {
  static unsigned char sig[128];
  int32_t len = 128;
  return vorpin_sign(kData, kDataLen, sig, &len, VORPIN_HASH_SHA1,
                     reinterpret_cast<const unsigned char*>(kUserPin), 6);
}
int32_t SignQuery() {
  int32_t len = 0;
  return vorpin_sign(kData, kDataLen, nullptr, &len, VORPIN_HASH_SHA1,
                     reinterpret_cast<const unsigned char*>(kUserPin), 6);
}
int32_t SignUnknownSelector() {
  unsigned char sig[128];
  int32_t len = 128;
  return vorpin_sign(kData, kDataLen, sig, &len, 7,
                     reinterpret_cast<const unsigned char*>(kUserPin), 6);
}
int32_t SignWrongPin() {
  unsigned char sig[128];
  int32_t len = 128;
  return vorpin_sign(kData, kDataLen, sig, &len, 7, WrongPin(), 6);
}
int32_t Decrypt() {
  unsigned char out[128];
  int32_t len = 128;
  return vorpin_prikey_decrypt(Block().data(), 128, out, &len,
                               reinterpret_cast<const unsigned char*>(kUserPin), 6);
}
int32_t DecryptQuery() {
  int32_t len = 0;
  return vorpin_prikey_decrypt(Block().data(), 128, nullptr, &len,
                               reinterpret_cast<const unsigned char*>(kUserPin), 6);
}
int32_t DecryptWrongPin() {
  unsigned char out[128];
  int32_t len = 128;
  return vorpin_prikey_decrypt(Block().data(), 128, out, &len, WrongPin(), 6);
}

void StandardCard() { AddStandardCard(); }
void Nothing() {}
void OneKeyCard() {
  emucard_add_reader(kCardSlot, 1);
  emucard_add_certificate(kCardSlot, Kit().sign.cert_der.data(), Kit().sign.cert_der.size());
  emucard_add_private_key(kCardSlot,
                          reinterpret_cast<const unsigned char*>(Kit().sign.key_pem.data()),
                          Kit().sign.key_pem.size());
}
void CertificatesOnly() {
  AddCardWithCertificates(kCardSlot, {&Kit().sign.cert_der, &Kit().enc.cert_der});
}
void EmptyReaderOnly() { emucard_add_reader(kEmptySlot, 0); }
void PullOut() { emucard_set_token_present(kCardSlot, 0); }
void PinLocked() { emucard_set_pin_locked(kCardSlot, 1); }
void OpenSessionFails() { emucard_fail_nth(EMUCARD_C_OpenSession, 1, CKR_SESSION_COUNT); }
void FindInitFails() { emucard_fail_nth(EMUCARD_C_FindObjectsInit, 1, CKR_DEVICE_ERROR); }
void FindFails() { emucard_fail_nth(EMUCARD_C_FindObjects, 1, CKR_DEVICE_ERROR); }
void FindFinalFails() { emucard_fail_nth(EMUCARD_C_FindObjectsFinal, 1, CKR_DEVICE_ERROR); }

// One key operation on one emulated card: setup before vorpin_init,
// after_init between vorpin_init and the operation.
struct KeyCase {
  const char* name;
  void (*setup)();
  void (*after_init)();
  int32_t (*op)();
  int32_t result;
  std::vector<std::string> messages;
  const char* calls;
  friend void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }
};

const char kSha1Hashing[] = "vorpin_sign(): signing with SHA1 hashing.";
const char kHashSha1[] = "vorpin_hash(): SHA1 hashing...";
const char kHashValue[] = "vorpin_hash(): the hash value is \n\t(null)";
const char kSignLength[] =
    "vorpin_sign(): get the length of the buffer to store signature (length == 128).";
const char kDecryptLength[] =
    "vorpin_prikey_decrypt(): get the length of the buffer to store decrypted data (length == "
    "128).";

const KeyCase kKeyCases[] = {
    // vorpin_sign
    {"sign",
     StandardCard,
     Nothing,
     SignSha1,
     VORPIN_OK,
     {kSha1Hashing, kHashSha1, kHashValue, kSignLength},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_SignInit C_Sign "
     "C_Sign C_Logout C_CloseSession"},
    {"sign_length_query",
     StandardCard,
     Nothing,
     SignQuery,
     VORPIN_ERR_BUFFER_TOO_SMALL,
     {kSha1Hashing, kHashSha1, kHashValue, kSignLength},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_SignInit C_Sign "
     "C_Logout C_CloseSession"},
    {"sign_unknown_selector_after_login",
     StandardCard,
     Nothing,
     SignUnknownSelector,
     VORPIN_ERR_HASH_TYPE,
     {"vorpin_sign(): unknown hashing type!"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_Logout "
     "C_CloseSession"},
    {"sign_wrong_pin_before_selector",
     StandardCard,
     Nothing,
     SignWrongPin,
     VORPIN_ERR_PIN_INCORRECT,
     {"vorpin_sign(): the input pin code is incorrect!"},
     "C_OpenSession C_Login C_CloseSession"},
    {"sign_pin_locked",
     StandardCard,
     PinLocked,
     SignSha1,
     VORPIN_ERR_LOGIN,
     {"vorpin_sign(): failed to login Smart card!"},
     "C_OpenSession C_Login C_CloseSession"},
    {"sign_card_pulled_out",
     StandardCard,
     PullOut,
     SignSha1,
     VORPIN_ERR_OPEN_SESSION,
     {"vorpin_sign(): Smart Card is NOT presented in the Card Reader!"},
     "C_OpenSession"},
    {"sign_open_session_fails",
     StandardCard,
     OpenSessionFails,
     SignSha1,
     VORPIN_ERR_OPEN_SESSION,
     {"vorpin_sign(): failed to open session on Smart card!"},
     "C_OpenSession"},
    {"sign_reader_without_card",
     EmptyReaderOnly,
     Nothing,
     SignSha1,
     VORPIN_ERR_OPEN_SESSION,
     {"vorpin_sign(): Smart Card is NOT presented in the Card Reader!"},
     ""},
    {"sign_find_init_fails",
     StandardCard,
     FindInitFails,
     SignSha1,
     VORPIN_ERR_SIGN_KEY,
     {"vorpin_sign(): failed to initialize finding objects!"},
     "C_OpenSession C_Login C_FindObjectsInit C_Logout C_CloseSession"},
    {"sign_find_fails",
     StandardCard,
     FindFails,
     SignSha1,
     VORPIN_ERR_SIGN_KEY,
     {"vorpin_sign(): failed to find key objects!"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_Logout C_CloseSession"},
    {"sign_no_key_on_card",
     CertificatesOnly,
     Nothing,
     SignSha1,
     VORPIN_ERR_SIGN_KEY,
     {"vorpin_sign(): failed to find key objects!"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_Logout C_CloseSession"},
    {"sign_find_final_fails",
     StandardCard,
     FindFinalFails,
     SignSha1,
     VORPIN_ERR_SIGN_KEY,
     {"vorpin_sign(): failed to finalize finding objects!"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_Logout "
     "C_CloseSession"},
    {"sign_init_fails",
     StandardCard,
     [] { emucard_fail_nth(EMUCARD_C_SignInit, 1, CKR_KEY_FUNCTION_NOT_PERMITTED); },
     SignSha1,
     VORPIN_ERR_SIGN_KEY,
     {kSha1Hashing, kHashSha1, kHashValue,
      "vorpin_sign(): failed to initialize sign object! PKCS#11 errcode == 0x00000068"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_SignInit "
     "C_Logout C_CloseSession"},
    {"sign_length_fails",
     StandardCard,
     [] { emucard_fail_nth(EMUCARD_C_Sign, 1, CKR_DEVICE_ERROR); },
     SignSha1,
     VORPIN_ERR_SIGN_LENGTH,
     {kSha1Hashing, kHashSha1, kHashValue,
      "vorpin_sign(): failed to get the length of the buffer to store signature! PKCS#11 errcode "
      "= 0x00000030"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_SignInit C_Sign "
     "C_Logout C_CloseSession"},
    {"sign_fails",
     StandardCard,
     [] { emucard_fail_nth(EMUCARD_C_Sign, 2, CKR_DEVICE_REMOVED); },
     SignSha1,
     VORPIN_ERR_SIGN,
     {kSha1Hashing, kHashSha1, kHashValue, kSignLength,
      "vorpin_sign(): failed to make signature! PKCS#11 errcode = 0x00000032"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_SignInit C_Sign "
     "C_Sign C_Logout C_CloseSession"},

    // vorpin_prikey_decrypt
    {"decrypt",
     StandardCard,
     Nothing,
     Decrypt,
     VORPIN_OK,
     {kDecryptLength},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_DecryptInit "
     "C_Decrypt C_Decrypt C_Logout C_CloseSession"},
    {"decrypt_length_query",
     StandardCard,
     Nothing,
     DecryptQuery,
     VORPIN_ERR_BUFFER_TOO_SMALL,
     {kDecryptLength},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_DecryptInit "
     "C_Decrypt C_Logout C_CloseSession"},
    {"decrypt_card_with_one_key",
     OneKeyCard,
     Nothing,
     Decrypt,
     VORPIN_ERR_DECRYPT_KEY,
     {"vorpin_prikey_decrypt(): failed to find key objects!"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_Logout "
     "C_CloseSession"},
    {"decrypt_wrong_pin",
     StandardCard,
     Nothing,
     DecryptWrongPin,
     VORPIN_ERR_PIN_INCORRECT,
     {"vorpin_prikey_decrypt(): the input pin code is incorrect!"},
     "C_OpenSession C_Login C_CloseSession"},
    {"decrypt_pin_locked",
     StandardCard,
     PinLocked,
     Decrypt,
     VORPIN_ERR_LOGIN,
     {"vorpin_prikey_decrypt(): failed to login Smart card!"},
     "C_OpenSession C_Login C_CloseSession"},
    {"decrypt_card_pulled_out",
     StandardCard,
     PullOut,
     Decrypt,
     VORPIN_ERR_OPEN_SESSION,
     {"vorpin_prikey_decrypt(): Smart Card is NOT presented in the Card Reader!"},
     "C_OpenSession"},
    {"decrypt_open_session_fails",
     StandardCard,
     OpenSessionFails,
     Decrypt,
     VORPIN_ERR_OPEN_SESSION,
     {"vorpin_prikey_decrypt(): failed to open session on Smart card!"},
     "C_OpenSession"},
    {"decrypt_find_init_fails",
     StandardCard,
     FindInitFails,
     Decrypt,
     VORPIN_ERR_DECRYPT_KEY,
     {"vorpin_prikey_decrypt(): failed to initialize finding objects!"},
     "C_OpenSession C_Login C_FindObjectsInit C_Logout C_CloseSession"},
    {"decrypt_find_fails",
     StandardCard,
     FindFails,
     Decrypt,
     VORPIN_ERR_DECRYPT_KEY,
     {"vorpin_prikey_decrypt(): failed to find key objects!"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_Logout C_CloseSession"},
    {"decrypt_find_final_fails",
     StandardCard,
     FindFinalFails,
     Decrypt,
     VORPIN_ERR_DECRYPT_KEY,
     {"vorpin_prikey_decrypt(): failed to finalize finding objects!"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_Logout "
     "C_CloseSession"},
    {"decrypt_init_fails",
     StandardCard,
     [] { emucard_fail_nth(EMUCARD_C_DecryptInit, 1, CKR_KEY_FUNCTION_NOT_PERMITTED); },
     Decrypt,
     VORPIN_ERR_DECRYPT_KEY,
     {"vorpin_prikey_decrypt(): failed to initialize decrypt object! PKCS#11 errcode == "
      "0x00000068"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_DecryptInit "
     "C_Logout C_CloseSession"},
    {"decrypt_length_fails",
     StandardCard,
     [] { emucard_fail_nth(EMUCARD_C_Decrypt, 1, CKR_ENCRYPTED_DATA_LEN_RANGE); },
     Decrypt,
     VORPIN_ERR_DECRYPT_LENGTH,
     {"vorpin_prikey_decrypt(): failed to get the length of the buffer to store decrypted data! "
      "PKCS#11 errcode = 0x00000041"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_DecryptInit "
     "C_Decrypt C_Logout C_CloseSession"},
    {"decrypt_fails",
     StandardCard,
     [] { emucard_fail_nth(EMUCARD_C_Decrypt, 2, CKR_ENCRYPTED_DATA_INVALID); },
     Decrypt,
     VORPIN_ERR_DECRYPT,
     {kDecryptLength,
      "vorpin_prikey_decrypt(): failed to decrypt data! PKCS#11 errcode = 0x00000040"},
     "C_OpenSession C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_DecryptInit "
     "C_Decrypt C_Decrypt C_Logout C_CloseSession"},
};

class KeyOpTest : public EmuCardTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyOpTest, ResultMessagesAndSessionBracket) {
  const KeyCase& c = GetParam();
  Block();  // made before the log is read
  c.setup();
  InitReady();
  c.after_init();

  EXPECT_EQ(c.op(), c.result);
  EXPECT_THAT(Messages(), ElementsAreArray(c.messages));
  EXPECT_EQ(Describe(CallSequence()), c.calls);
  ExpectSessionDiscipline();
  ExpectSearchTemplate(CKO_PRIVATE_KEY, CKA_KEY_TYPE, CKK_RSA);
  for (const auto& open : CallsOf(EMUCARD_C_OpenSession)) EXPECT_EQ(open.slot, kCardSlot);
  for (const auto& login : CallsOf(EMUCARD_C_Login)) {
    EXPECT_EQ(login.user_type, static_cast<CK_USER_TYPE>(CKU_USER));
    EXPECT_EQ(login.count, 6u);
  }
  for (emucard_fn init : {EMUCARD_C_SignInit, EMUCARD_C_DecryptInit}) {
    for (const auto& call : CallsOf(init)) {
      EXPECT_EQ(call.mechanism, static_cast<CK_MECHANISM_TYPE>(CKM_RSA_PKCS));
      EXPECT_FALSE(call.mechanism_param);
    }
  }
  EXPECT_EQ(emucard_logged_in(kCardSlot), 0);
}

INSTANTIATE_TEST_SUITE_P(Emucard, KeyOpTest, ::testing::ValuesIn(kKeyCases), CaseName());

class CardKeysTest : public EmuCardTest {};

struct SelectorCase {
  const char* name;
  int32_t hash_type;
  size_t input_len;  // what the token is handed
};

const SelectorCase kSelectors[] = {
    {"none", VORPIN_HASH_NONE, kDataLen},
    {"md5", VORPIN_HASH_MD5, 16},
    {"sha1", VORPIN_HASH_SHA1, 20},
    {"md5_sha1", VORPIN_HASH_MD5_SHA1, 36},
};

class SignSelectorTest : public EmuCardTest, public ::testing::WithParamInterface<SelectorCase> {};

// The first key signs the bare digest (or the data as given), and the
// signature verifies with the signing certificate.
TEST_P(SignSelectorTest, FirstKeySignsTheBareDigest) {
  const SelectorCase& c = GetParam();
  AddStandardCard();
  InitReady();
  unsigned char sig[128];
  int32_t len = 128;
  ASSERT_EQ(vorpin_sign(kData, kDataLen, sig, &len, c.hash_type, Pin(), PinLen()), VORPIN_OK);
  EXPECT_EQ(len, 128);
  Bytes expected(kData, kData + kDataLen);
  if (c.hash_type != VORPIN_HASH_NONE) {
    expected.assign(36, 0);
    int32_t digest_len = 36;
    ASSERT_EQ(vorpin_hash(kData, kDataLen, expected.data(), &digest_len, c.hash_type), VORPIN_OK);
    expected.resize(static_cast<size_t>(digest_len));
  }
  EXPECT_EQ(Recover(Kit().sign, sig, 128), expected);
  for (const auto& call : CallsOf(EMUCARD_C_Sign)) EXPECT_EQ(call.count, c.input_len);
  const auto logins = CallsOf(EMUCARD_C_Login);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(Bytes(logins[0].bytes, logins[0].bytes + logins[0].bytes_len),
            Bytes(Pin(), Pin() + PinLen()));
  EXPECT_EQ(vorpin_verify_by_cert(kData, kDataLen, sig, 128, Kit().sign.cert_der.data(),
                                  static_cast<int32_t>(Kit().sign.cert_der.size()), c.hash_type),
            VORPIN_OK);
  ExpectSessionDiscipline();
}

INSTANTIATE_TEST_SUITE_P(Emucard, SignSelectorTest, ::testing::ValuesIn(kSelectors), CaseName());

TEST_F(CardKeysTest, LengthQueryAndSignatureAreTwoRoundTrips) {
  AddStandardCard();
  InitReady();
  int32_t len = 0;
  EXPECT_EQ(vorpin_sign(kData, kDataLen, nullptr, &len, VORPIN_HASH_MD5, Pin(), PinLen()),
            VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 128);
  Bytes sig(127, 0xEE);
  len = 127;
  EXPECT_EQ(vorpin_sign(kData, kDataLen, sig.data(), &len, VORPIN_HASH_MD5, Pin(), PinLen()),
            VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 128);
  EXPECT_EQ(sig, Bytes(127, 0xEE));
  sig.assign(200, 0xEE);
  len = 200;
  EXPECT_EQ(vorpin_sign(kData, kDataLen, sig.data(), &len, VORPIN_HASH_MD5, Pin(), PinLen()),
            VORPIN_OK);
  EXPECT_EQ(len, 128);
  EXPECT_EQ(sig[128], 0xEE);
  EXPECT_EQ(CallsOf(EMUCARD_C_Login).size(), 3u);
  EXPECT_EQ(CallsOf(EMUCARD_C_CloseSession).size(), 3u);
  // The real call hands the token the answered length as capacity.
  const auto signs = CallsOf(EMUCARD_C_Sign);
  ASSERT_EQ(signs.size(), 4u);
  EXPECT_TRUE(signs[0].null_arg);
  EXPECT_FALSE(signs[3].null_arg);
  EXPECT_EQ(signs[3].out_len, 128u);
  ExpectSessionDiscipline();
}

TEST_F(CardKeysTest, FailuresLeaveLengthAndBufferAlone) {
  AddStandardCard();
  InitReady();
  emucard_fail_nth(EMUCARD_C_Sign, 2, CKR_DEVICE_ERROR);
  Bytes sig(128, 0xEE);
  int32_t len = 128;
  EXPECT_EQ(vorpin_sign(kData, kDataLen, sig.data(), &len, VORPIN_HASH_SHA1, Pin(), PinLen()),
            VORPIN_ERR_SIGN);
  EXPECT_EQ(len, 128);
  EXPECT_EQ(sig, Bytes(128, 0xEE));
  Bytes out(128, 0xEE);
  len = 100;
  EXPECT_EQ(vorpin_prikey_decrypt(Block().data(), 128, out.data(), &len, WrongPin(), 6),
            VORPIN_ERR_PIN_INCORRECT);
  EXPECT_EQ(len, 100);
  EXPECT_EQ(out, Bytes(128, 0xEE));
}

TEST_F(CardKeysTest, SecondKeyDecryptsAndTheNeedDecides) {
  AddStandardCard();
  InitReady();
  // A buffer of exactly the plaintext's length is below the need.
  Bytes out(16);
  int32_t len = 16;
  EXPECT_EQ(vorpin_prikey_decrypt(Block().data(), 128, out.data(), &len, Pin(), PinLen()),
            VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 128);
  out.assign(128, 0);
  EXPECT_EQ(vorpin_prikey_decrypt(Block().data(), 128, out.data(), &len, Pin(), PinLen()),
            VORPIN_OK);
  EXPECT_EQ(len, 16);
  out.resize(16);
  EXPECT_EQ(out, Secret());
  // A block for the signing key is not for the decryption key.
  const Bytes for_sign = EncryptFor(Kit().sign, Secret());
  out.assign(128, 0);
  len = 128;
  EXPECT_EQ(vorpin_prikey_decrypt(for_sign.data(), 128, out.data(), &len, Pin(), PinLen()),
            VORPIN_ERR_DECRYPT);
  ExpectSessionDiscipline();
}

TEST_F(CardKeysTest, RepeatedWrongPinsLockTheCard) {
  AddStandardCard();
  emucard_set_pin_retry_limit(kCardSlot, 2);
  InitReady();
  EXPECT_EQ(SignWrongPin(), VORPIN_ERR_PIN_INCORRECT);
  EXPECT_EQ(DecryptWrongPin(), VORPIN_ERR_PIN_INCORRECT);
  EXPECT_EQ(SignSha1(), VORPIN_ERR_LOGIN);
  EXPECT_EQ(Decrypt(), VORPIN_ERR_LOGIN);
  ExpectSessionDiscipline();
}

TEST_F(CardKeysTest, ArgumentChecksComeAfterTheReadyCheckAndBeforeTheCard) {
  AddStandardCard();
  unsigned char buf[128];
  int32_t len = 128;
  EXPECT_EQ(vorpin_sign(nullptr, 0, nullptr, nullptr, 9, nullptr, 0), VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_EQ(vorpin_prikey_decrypt(nullptr, 0, nullptr, nullptr, nullptr, 0),
            VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_THAT(Messages(),
              ElementsAreArray({"vorpin_sign(): NOT initialize Smart Card module yet!",
                                "vorpin_prikey_decrypt(): NOT initialize Smart Card module yet!"}));
  EXPECT_EQ(emucard_call_count(), 0u);

  InitReady();
  EXPECT_EQ(vorpin_sign(nullptr, 20, buf, &len, 2, Pin(), PinLen()), VORPIN_ERR_SIGN_NULL_DATA);
  EXPECT_EQ(vorpin_sign(buf, -20, buf, &len, 0, Pin(), PinLen()), VORPIN_ERR_SIGN_NULL_DATA);
  EXPECT_EQ(vorpin_sign(buf, 20, buf, nullptr, 2, Pin(), PinLen()), VORPIN_ERR_NULL_LENGTH);
  EXPECT_EQ(vorpin_prikey_decrypt(nullptr, 128, buf, &len, Pin(), PinLen()),
            VORPIN_ERR_DECRYPT_NULL_DATA);
  EXPECT_EQ(vorpin_prikey_decrypt(buf, -1, buf, &len, Pin(), PinLen()),
            VORPIN_ERR_DECRYPT_NULL_DATA);
  EXPECT_EQ(vorpin_prikey_decrypt(buf, 128, buf, nullptr, Pin(), PinLen()), VORPIN_ERR_NULL_LENGTH);
  EXPECT_THAT(
      Messages(),
      ElementsAreArray(
          {"vorpin_sign(): input a NULL data to be signed, something error!",
           "vorpin_sign(): input a NULL data to be signed, something error!",
           "vorpin_sign(): input a NULL input/output buffer for getting signed data length!",
           "vorpin_prikey_decrypt(): input a NULL data to be decrypted, something error!",
           "vorpin_prikey_decrypt(): input a NULL data to be decrypted, something error!",
           "vorpin_prikey_decrypt(): input a NULL input/output buffer for getting decrypted data "
           "length!"}));
  EXPECT_EQ(emucard_call_count(), 0u);

  // A PIN the token would have to read outside of never reaches C_Login.
  EXPECT_EQ(vorpin_sign(buf, 20, buf, &len, 2, Pin(), -1), VORPIN_ERR_PIN_INCORRECT);
  EXPECT_EQ(vorpin_prikey_decrypt(buf, 128, buf, &len, nullptr, 6), VORPIN_ERR_PIN_INCORRECT);
  EXPECT_TRUE(CallsOf(EMUCARD_C_Login).empty());
  // An empty PIN is handed over as it is.
  EXPECT_EQ(vorpin_sign(buf, 20, buf, &len, 2, nullptr, 0), VORPIN_ERR_PIN_INCORRECT);
  EXPECT_EQ(CallsOf(EMUCARD_C_Login).size(), 1u);
  ExpectSessionDiscipline();
}

}  // namespace
}  // namespace emucard_test

namespace emucard_test {
namespace {

class CardFormsTest : public EmuCardTest {};

// vorpin_verify and vorpin_pubkey_encrypt read the card's certificate
// afresh (a size query and a read, each a session of its own, no login).
TEST_F(CardFormsTest, CardCertificatesGiveTheKeys) {
  AddStandardCard();
  InitReady();
  unsigned char sig[128];
  int32_t len = 128;
  ASSERT_EQ(vorpin_sign(kData, kDataLen, sig, &len, VORPIN_HASH_MD5_SHA1, Pin(), PinLen()),
            VORPIN_OK);
  emucard_clear_log();
  ClearMessages();
  EXPECT_EQ(vorpin_verify(kData, kDataLen, sig, 128, VORPIN_HASH_MD5_SHA1), VORPIN_OK);
  const std::string size = std::to_string(Kit().sign.cert_der.size());
  const std::vector<std::string> expected = {
      "vorpin_verify_internal(): get the RSA public key from Smart Card for verifying",
      "vorpin_getcert(): get the size of certificate, size == " + size,
      "vorpin_RSA_pubkey_get(): get the certificate size == " + size + " in the Smart Card.",
      "vorpin_getcert(): get the size of certificate, size == " + size,
      std::string("vorpin_RSA_pubkey_get(): get the certificate in the Smart Card OK."),
      std::string("vorpin_RSA_pubkey_get_by_cert(): get the public key from certificate OK."),
      std::string("vorpin_verify_internal(): verifying with MD5 + SHA1 hashing."),
      std::string("vorpin_hash(): MD5 + SHA1 hashing..."),
      std::string(kHashValue),
      std::string("vorpin_verify_internal(): the signature of data is correct.")};
  EXPECT_THAT(Messages(), ElementsAreArray(expected));
  EXPECT_EQ(CallsOf(EMUCARD_C_OpenSession).size(), 2u);
  EXPECT_TRUE(CallsOf(EMUCARD_C_Login).empty());

  // Encryption with the second certificate opens with the second key.
  const Bytes secret(24, 0x11);
  Bytes block(128);
  len = 128;
  ClearMessages();
  ASSERT_EQ(vorpin_pubkey_encrypt(secret.data(), 24, block.data(), &len), VORPIN_OK);
  EXPECT_EQ(Messages().front(),
            "vorpin_pubkey_encrypt_internal(): get the RSA public key from Smart Card for "
            "encryption...");
  Bytes out(128);
  len = 128;
  ASSERT_EQ(vorpin_prikey_decrypt(block.data(), 128, out.data(), &len, Pin(), PinLen()), VORPIN_OK);
  out.resize(static_cast<size_t>(len));
  EXPECT_EQ(out, secret);
  ExpectSessionDiscipline();
}

TEST_F(CardFormsTest, CertificateThatCannotBeReadGivesTheKeyFailure) {
  // One certificate: no encryption certificate to read.
  AddCardWithCertificates(kCardSlot, {&Kit().sign.cert_der});
  InitReady();
  Bytes block(128);
  int32_t len = 128;
  EXPECT_EQ(vorpin_pubkey_encrypt(kData, kDataLen, block.data(), &len),
            VORPIN_ERR_ENCRYPT_PUBLIC_KEY);
  EXPECT_THAT(Messages(),
              ::testing::Contains("vorpin_RSA_pubkey_get(): get the certificate size error!"));

  // The read after the size query fails.
  ClearMessages();
  emucard_fail_nth(EMUCARD_C_GetAttributeValue, 2, CKR_DEVICE_ERROR);
  unsigned char sig[128] = {0};
  EXPECT_EQ(vorpin_verify(kData, kDataLen, sig, 128, VORPIN_HASH_SHA1),
            VORPIN_ERR_VERIFY_PUBLIC_KEY);
  EXPECT_THAT(Messages(), ::testing::Contains(
                              "vorpin_RSA_pubkey_get(): failed to get the certificate in the Smart "
                              "Card!"));
  EXPECT_THAT(Messages(),
              ::testing::Contains("vorpin_verify_internal(): failed to get the RSA public key for "
                                  "verify!"));

  // A card pulled out.
  ClearMessages();
  emucard_set_token_present(kCardSlot, 0);
  EXPECT_EQ(vorpin_verify(kData, kDataLen, sig, 128, VORPIN_HASH_SHA1),
            VORPIN_ERR_VERIFY_PUBLIC_KEY);
  len = 0;
  EXPECT_EQ(vorpin_pubkey_encrypt(kData, kDataLen, nullptr, &len), VORPIN_ERR_ENCRYPT_PUBLIC_KEY);
  EXPECT_EQ(len, 0) << "no length answer without a key";
  ExpectSessionDiscipline();
}

}  // namespace
}  // namespace emucard_test

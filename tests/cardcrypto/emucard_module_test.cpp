// The emulated card itself, through its function list: the PKCS#11
// behaviour the card-key suites rely on (the two-call length convention of
// C_Sign and C_Decrypt, private objects after login, a pulled-out token,
// faults).
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>

#include "emucard_fixture.h"

namespace emucard_test {
namespace {

class EmulatedModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emucard_reset();
    ASSERT_EQ(C_GetFunctionList(&f_), CKR_OK);
    AddStandardCard();
    ASSERT_EQ(f_->C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(f_->C_OpenSession(kCardSlot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                &session_),
              CKR_OK);
  }
  void TearDown() override { emucard_reset(); }

  CK_RV Login() {
    std::string pin = kUserPin;
    return f_->C_Login(session_, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
  }

  std::vector<CK_OBJECT_HANDLE> FindKeys() {
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    CK_ATTRIBUTE templ[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &type, sizeof type}};
    EXPECT_EQ(f_->C_FindObjectsInit(session_, templ, 2), CKR_OK);
    CK_OBJECT_HANDLE handles[4];
    CK_ULONG n = 0;
    EXPECT_EQ(f_->C_FindObjects(session_, handles, 4, &n), CKR_OK);
    EXPECT_EQ(f_->C_FindObjectsFinal(session_), CKR_OK);
    return std::vector<CK_OBJECT_HANDLE>(handles, handles + n);
  }

  CK_FUNCTION_LIST* f_ = nullptr;
  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
};

bool VerifiesRaw(EVP_PKEY* key, const Bytes& sig, const Bytes& data) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                  EVP_PKEY_CTX_free);
  Bytes out(sig.size());
  size_t out_len = out.size();
  if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_verify_recover(ctx.get(), out.data(), &out_len, sig.data(), sig.size()) != 1)
    return false;
  out.resize(out_len);
  return out == data;
}

Bytes EncryptTo(EVP_PKEY* key, const Bytes& data) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                  EVP_PKEY_CTX_free);
  Bytes out(static_cast<size_t>(EVP_PKEY_get_size(key)));
  size_t out_len = out.size();
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), out.data(), &out_len, data.data(), data.size()) != 1)
    return {};
  out.resize(out_len);
  return out;
}

TEST_F(EmulatedModuleTest, PrivateKeysAreSeenOnlyAfterLogin) {
  EXPECT_TRUE(FindKeys().empty());
  ASSERT_EQ(Login(), CKR_OK);
  EXPECT_EQ(FindKeys().size(), 2u);
  EXPECT_EQ(f_->C_Logout(session_), CKR_OK);
  EXPECT_TRUE(FindKeys().empty());
}

TEST_F(EmulatedModuleTest, SignFollowsTheTwoCallLengthConvention) {
  ASSERT_EQ(Login(), CKR_OK);
  const auto keys = FindKeys();
  ASSERT_EQ(keys.size(), 2u);
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(f_->C_SignInit(session_, &mech, keys[0]), CKR_OK);
  Bytes data(20, 0x5A);
  CK_ULONG len = 0;
  ASSERT_EQ(f_->C_Sign(session_, data.data(), data.size(), nullptr, &len), CKR_OK);
  EXPECT_EQ(len, 128u);
  Bytes sig(len);
  len = 10;
  EXPECT_EQ(f_->C_Sign(session_, data.data(), data.size(), sig.data(), &len),
            static_cast<CK_RV>(CKR_BUFFER_TOO_SMALL));
  EXPECT_EQ(len, 128u);
  ASSERT_EQ(f_->C_Sign(session_, data.data(), data.size(), sig.data(), &len), CKR_OK);
  EXPECT_TRUE(VerifiesRaw(Kit().sign.key.get(), sig, data));
  // The operation ended with the signature.
  EXPECT_EQ(f_->C_Sign(session_, data.data(), data.size(), sig.data(), &len),
            static_cast<CK_RV>(CKR_OPERATION_NOT_INITIALIZED));

  // Too long for PKCS#1 padding with a 128-byte modulus.
  ASSERT_EQ(f_->C_SignInit(session_, &mech, keys[0]), CKR_OK);
  Bytes too_long(118);
  EXPECT_EQ(f_->C_Sign(session_, too_long.data(), too_long.size(), nullptr, &len),
            static_cast<CK_RV>(CKR_DATA_LEN_RANGE));
}

TEST_F(EmulatedModuleTest, DecryptAnswersTheNeedThenThePlaintextLength) {
  ASSERT_EQ(Login(), CKR_OK);
  const auto keys = FindKeys();
  ASSERT_EQ(keys.size(), 2u);
  const Bytes secret(16, 0xA5);
  Bytes enc = EncryptTo(Kit().enc.key.get(), secret);
  ASSERT_EQ(enc.size(), 128u);
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(f_->C_DecryptInit(session_, &mech, keys[1]), CKR_OK);
  CK_ULONG len = 0;
  ASSERT_EQ(f_->C_Decrypt(session_, enc.data(), enc.size(), nullptr, &len), CKR_OK);
  EXPECT_EQ(len, 128u);
  Bytes out(len);
  ASSERT_EQ(f_->C_Decrypt(session_, enc.data(), enc.size(), out.data(), &len), CKR_OK);
  EXPECT_EQ(len, secret.size());
  out.resize(len);
  EXPECT_EQ(out, secret);

  // The other key cannot open it; a block of the wrong length is refused.
  ASSERT_EQ(f_->C_DecryptInit(session_, &mech, keys[0]), CKR_OK);
  len = 128;
  EXPECT_EQ(f_->C_Decrypt(session_, enc.data(), enc.size(), out.data(), &len),
            static_cast<CK_RV>(CKR_ENCRYPTED_DATA_INVALID));
  ASSERT_EQ(f_->C_DecryptInit(session_, &mech, keys[1]), CKR_OK);
  EXPECT_EQ(f_->C_Decrypt(session_, enc.data(), 127, nullptr, &len),
            static_cast<CK_RV>(CKR_ENCRYPTED_DATA_LEN_RANGE));
}

TEST_F(EmulatedModuleTest, KeyOperationsNeedRsaPkcsWithoutParameter) {
  ASSERT_EQ(Login(), CKR_OK);
  const auto keys = FindKeys();
  ASSERT_EQ(keys.size(), 2u);
  CK_MECHANISM sha = {CKM_SHA1_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(f_->C_SignInit(session_, &sha, keys[0]), static_cast<CK_RV>(CKR_MECHANISM_INVALID));
  unsigned char param[4] = {};
  CK_MECHANISM with_param = {CKM_RSA_PKCS, param, sizeof param};
  EXPECT_EQ(f_->C_DecryptInit(session_, &with_param, keys[1]),
            static_cast<CK_RV>(CKR_MECHANISM_PARAM_INVALID));
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(f_->C_SignInit(session_, &mech, CK_INVALID_HANDLE),
            static_cast<CK_RV>(CKR_KEY_HANDLE_INVALID));
}

TEST_F(EmulatedModuleTest, PullingTheTokenOutClosesItsSessions) {
  ASSERT_EQ(Login(), CKR_OK);
  emucard_set_token_present(kCardSlot, 0);
  EXPECT_EQ(emucard_open_sessions(), 0);
  EXPECT_EQ(emucard_logged_in(kCardSlot), 0);
  EXPECT_EQ(f_->C_CloseSession(session_), static_cast<CK_RV>(CKR_SESSION_HANDLE_INVALID));
  CK_SESSION_HANDLE again;
  EXPECT_EQ(f_->C_OpenSession(kCardSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &again),
            static_cast<CK_RV>(CKR_TOKEN_NOT_PRESENT));
  emucard_set_token_present(kCardSlot, 1);
  EXPECT_EQ(f_->C_OpenSession(kCardSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &again), CKR_OK);
}

TEST_F(EmulatedModuleTest, NthFaultFiresOnceAndAlwaysFaultUntilLifted) {
  CK_BYTE buffer[4];
  emucard_fail_nth(EMUCARD_C_GenerateRandom, 2, CKR_DEVICE_ERROR);
  EXPECT_EQ(f_->C_GenerateRandom(session_, buffer, sizeof buffer), CKR_OK);
  EXPECT_EQ(f_->C_GenerateRandom(session_, buffer, sizeof buffer),
            static_cast<CK_RV>(CKR_DEVICE_ERROR));
  EXPECT_EQ(f_->C_GenerateRandom(session_, buffer, sizeof buffer), CKR_OK);

  emucard_fail_always(EMUCARD_C_GetFunctionList, CKR_GENERAL_ERROR);
  CK_FUNCTION_LIST* list = nullptr;
  EXPECT_EQ(C_GetFunctionList(&list), static_cast<CK_RV>(CKR_GENERAL_ERROR));
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(C_GetFunctionList(&list), static_cast<CK_RV>(CKR_GENERAL_ERROR));
  emucard_fail_always(EMUCARD_C_GetFunctionList, CKR_OK);
  EXPECT_EQ(C_GetFunctionList(&list), CKR_OK);

  const auto log = CallsOf(EMUCARD_C_GenerateRandom);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].rv, static_cast<CK_RV>(CKR_DEVICE_ERROR));
}

// Private keys come in the encodings the provisioning scripts and OpenSSL
// write; bytes that are no RSA key add no object.
std::string PemOf(int (*write)(BIO*, const EVP_PKEY*), EVP_PKEY* key) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || write(bio.get(), key) != 1) return {};
  char* data = nullptr;
  long len = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(len));
}

int WritePkcs1(BIO* bio, const EVP_PKEY* key) {
  return PEM_write_bio_PrivateKey_traditional(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
}
int WritePkcs8(BIO* bio, const EVP_PKEY* key) {
  return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
}

TEST_F(EmulatedModuleTest, PrivateKeyEncodings) {
  EVP_PKEY* key = Kit().other.key.get();
  Bytes der(static_cast<size_t>(i2d_PrivateKey(key, nullptr)));
  unsigned char* p = der.data();
  ASSERT_EQ(i2d_PrivateKey(key, &p), static_cast<int>(der.size()));
  const std::string pkcs1 = PemOf(WritePkcs1, key);
  const std::string pkcs8 = PemOf(WritePkcs8, key);
  ASSERT_NE(pkcs1.find("BEGIN RSA PRIVATE KEY"), std::string::npos);
  ASSERT_NE(pkcs8.find("BEGIN PRIVATE KEY"), std::string::npos);

  const std::pair<const char*, Bytes> encodings[] = {
      {"pkcs1_pem", Bytes(pkcs1.begin(), pkcs1.end())},
      {"pkcs8_pem", Bytes(pkcs8.begin(), pkcs8.end())},
      {"der", der}};
  ASSERT_EQ(Login(), CKR_OK);
  CK_MECHANISM mech = {CKM_RSA_PKCS, nullptr, 0};
  const Bytes data(20, 0x33);
  for (const auto& [name, bytes] : encodings) {
    SCOPED_TRACE(name);
    const CK_OBJECT_HANDLE h = emucard_add_private_key(kCardSlot, bytes.data(), bytes.size());
    ASSERT_NE(h, CK_INVALID_HANDLE);
    ASSERT_EQ(f_->C_SignInit(session_, &mech, h), CKR_OK);
    Bytes sig(128);
    CK_ULONG len = sig.size();
    ASSERT_EQ(
        f_->C_Sign(session_, const_cast<CK_BYTE*>(data.data()), data.size(), sig.data(), &len),
        CKR_OK);
    EXPECT_TRUE(VerifiesRaw(key, sig, data));
  }
  const Bytes garbage = {'n', 'o', ' ', 'k', 'e', 'y'};
  EXPECT_EQ(emucard_add_private_key(kCardSlot, garbage.data(), garbage.size()), CK_INVALID_HANDLE);
  EXPECT_EQ(emucard_add_private_key(kEmptySlot, der.data(), der.size()), CK_INVALID_HANDLE);
}

TEST_F(EmulatedModuleTest, UnusedEntriesAreNotSupported) {
  CK_INFO info;
  EXPECT_EQ(f_->C_GetInfo(&info), static_cast<CK_RV>(CKR_FUNCTION_NOT_SUPPORTED));
  CK_SLOT_INFO slot_info;
  EXPECT_EQ(f_->C_GetSlotInfo(kCardSlot, &slot_info),
            static_cast<CK_RV>(CKR_FUNCTION_NOT_SUPPORTED));
  EXPECT_EQ(f_->C_WaitForSlotEvent(0, nullptr, nullptr),
            static_cast<CK_RV>(CKR_FUNCTION_NOT_SUPPORTED));
}

}  // namespace
}  // namespace emucard_test

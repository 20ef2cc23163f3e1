// Signing, decryption, verification and encryption with the SoftHSM2 card,
// each proven byte for byte against the stock openssl command and the PEM
// keys the provisioning keeps in the card directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "test_support.h"
#include "vorpin_dll.h"

namespace {

using test_support::Bytes;
using test_support::FromHex;
using test_support::ReadFile;
using test_support::Shell;
using test_support::ToBytes;
using test_support::TraceLog;
using test_support::WriteFile;

const std::string kCardDir = test_support::Env("VORPIN_CARD_DIR");

Bytes Pin() { return ToBytes(test_support::Env("VORPIN_CARD_PIN")); }
Bytes BadPin() { return ToBytes("000000"); }

struct Result {
  int32_t rc;
  Bytes out;
};

// A length query, then the real call, as a host does it.
Result Sign(const Bytes& data, int32_t hash_type, const Bytes& pin = Pin()) {
  int32_t len = 0;
  int32_t rc = vorpin_sign(data.data(), static_cast<int32_t>(data.size()), nullptr, &len, hash_type,
                           pin.data(), static_cast<int32_t>(pin.size()));
  if (rc != VORPIN_ERR_BUFFER_TOO_SMALL) return {rc, {}};
  Bytes sig(static_cast<size_t>(len));
  rc = vorpin_sign(data.data(), static_cast<int32_t>(data.size()), sig.data(), &len, hash_type,
                   pin.data(), static_cast<int32_t>(pin.size()));
  sig.resize(rc == VORPIN_OK ? static_cast<size_t>(len) : 0);
  return {rc, sig};
}

Result Decrypt(const Bytes& enc, const Bytes& pin = Pin()) {
  Bytes out(128);
  int32_t len = static_cast<int32_t>(out.size());
  int32_t rc = vorpin_prikey_decrypt(enc.data(), static_cast<int32_t>(enc.size()), out.data(), &len,
                                     pin.data(), static_cast<int32_t>(pin.size()));
  out.resize(rc == VORPIN_OK ? static_cast<size_t>(len) : 0);
  return {rc, out};
}

int32_t Verify(const Bytes& data, const Bytes& sig, int32_t hash_type) {
  return vorpin_verify(data.data(), static_cast<int32_t>(data.size()), sig.data(),
                       static_cast<int32_t>(sig.size()), hash_type);
}

// Runs first, before any test starts the card.
TEST(CardKeysUnstarted, CardOperationsAnswerNotInitialized) {
  TraceLog::Get().Install();
  TraceLog::Get().Clear();
  EXPECT_EQ(vorpin_sign(nullptr, 0, nullptr, nullptr, 0, nullptr, 0), VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_EQ(vorpin_prikey_decrypt(nullptr, 0, nullptr, nullptr, nullptr, 0),
            VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_sign(): NOT initialize Smart Card module yet!"));
  // The card forms of the software side have no key to use.
  unsigned char buf[128] = {0};
  int32_t len = 128;
  EXPECT_EQ(vorpin_verify(buf, 20, buf, 128, VORPIN_HASH_SHA1), VORPIN_ERR_VERIFY_PUBLIC_KEY);
  EXPECT_EQ(vorpin_pubkey_encrypt(buf, 16, buf, &len), VORPIN_ERR_ENCRYPT_PUBLIC_KEY);
  EXPECT_EQ(len, 128);
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_RSA_pubkey_get(): get the certificate size error!"));
}

// SoftHSM2 lists a token's objects in an order that can change when the
// module is started again in the same process, and the card library tells
// the keys apart only by that order: the card is started once for all
// tests here and stopped when they are done.
class CardSession : public ::testing::Environment {
 public:
  static bool Start() {
    static const bool started = vorpin_init() == VORPIN_OK;
    return started;
  }
  void TearDown() override { vorpin_fini(); }
};
const auto* const kCardSession = ::testing::AddGlobalTestEnvironment(new CardSession);

class CardKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(kCardDir.empty()) << "run through ctest: VORPIN_CARD_DIR is not set";
    TraceLog::Get().Install();
    ASSERT_TRUE(CardSession::Start());
    char tmpl[] = "/tmp/card_keys.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    tmp_ = tmpl;
    TraceLog::Get().Clear();
  }
  void TearDown() override { Shell("rm -rf " + tmp_); }
  std::string Tmp(const std::string& name) const { return tmp_ + "/" + name; }
  static std::string Card(const std::string& name) { return test_support::CardFile(name); }

  std::string tmp_;
};

TEST_F(CardKeys, Sha1SignatureEqualsOpensslPkeyutlOverTheRawDigest) {
  const Bytes data = ToBytes("a document to be signed on the card");
  WriteFile(Tmp("data"), data);
  ASSERT_TRUE(Shell("openssl dgst -sha1 -binary -out " + Tmp("sha1") + " " + Tmp("data") +
                    " && openssl pkeyutl -sign -inkey " + Card("sign.key.pem") + " -in " +
                    Tmp("sha1") + " -out " + Tmp("sig")));
  Result r = Sign(data, VORPIN_HASH_SHA1);
  ASSERT_EQ(r.rc, VORPIN_OK) << TraceLog::Get().Joined();
  EXPECT_EQ(r.out, ReadFile(Tmp("sig")));
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_sign(): signing with SHA1 hashing."));
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_sign(): get the length of the buffer to store signature (length == 128)."));
  EXPECT_EQ(Verify(data, r.out, VORPIN_HASH_SHA1), VORPIN_OK);
}

TEST_F(CardKeys, DigestInfoSignedWithoutHashingEqualsOpensslDgstSign) {
  const Bytes data = ToBytes("content signed as a standard PKCS#1 v1.5 signature");
  WriteFile(Tmp("data"), data);
  ASSERT_TRUE(Shell("openssl dgst -sha256 -binary -out " + Tmp("sha256") + " " + Tmp("data") +
                    " && openssl dgst -sha256 -sign " + Card("sign.key.pem") + " -out " +
                    Tmp("sig") + " " + Tmp("data")));
  Bytes digest_info = FromHex("3031300d060960864801650304020105000420");
  Bytes digest = ReadFile(Tmp("sha256"));
  digest_info.insert(digest_info.end(), digest.begin(), digest.end());

  Result r = Sign(digest_info, VORPIN_HASH_NONE);
  ASSERT_EQ(r.rc, VORPIN_OK) << TraceLog::Get().Joined();
  EXPECT_EQ(r.out, ReadFile(Tmp("sig")));
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_sign(): signing without hashing."));
  WriteFile(Tmp("ours"), r.out);
  EXPECT_TRUE(Shell("openssl dgst -sha256 -prverify " + Card("sign.key.pem") + " -signature " +
                    Tmp("ours") + " " + Tmp("data") + " > /dev/null"));
}

TEST_F(CardKeys, DecryptOpensWhatOpensslEncryptedForTheEncryptionCertificate) {
  const Bytes key = FromHex("00112233445566778899aabbccddeeff");
  WriteFile(Tmp("key"), key);
  ASSERT_TRUE(Shell("openssl pkeyutl -encrypt -certin -inkey " + Card("enc.crt.pem") + " -in " +
                    Tmp("key") + " -out " + Tmp("enc")));
  const Bytes enc = ReadFile(Tmp("enc"));
  ASSERT_EQ(enc.size(), 128u);
  const Bytes pin = Pin();
  const int32_t pin_len = static_cast<int32_t>(pin.size());

  int32_t len = 0;
  EXPECT_EQ(vorpin_prikey_decrypt(enc.data(), 128, nullptr, &len, pin.data(), pin_len),
            VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 128);
  // A buffer of exactly the plaintext's length is not enough: the token's
  // answer to the length query decides.
  Bytes out(16);
  len = 16;
  EXPECT_EQ(vorpin_prikey_decrypt(enc.data(), 128, out.data(), &len, pin.data(), pin_len),
            VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 128);

  Result r = Decrypt(enc);
  ASSERT_EQ(r.rc, VORPIN_OK) << TraceLog::Get().Joined();
  EXPECT_EQ(r.out, key);
}

TEST_F(CardKeys, PublicKeyEncryptionOpensWithOpensslDecrypt) {
  const Bytes secret = ToBytes("a 24-byte session secret");
  const Bytes cert = ReadFile(Card("enc.crt.der"));
  Bytes card_block(128), cert_block(128), again(128);
  int32_t card_len = 128, cert_len = 128, again_len = 128;
  ASSERT_EQ(vorpin_pubkey_encrypt(secret.data(), 24, card_block.data(), &card_len), VORPIN_OK)
      << TraceLog::Get().Joined();
  ASSERT_EQ(vorpin_pubkey_encrypt_by_cert(secret.data(), 24, cert_block.data(), &cert_len,
                                          cert.data(), static_cast<int32_t>(cert.size())),
            VORPIN_OK);
  ASSERT_EQ(vorpin_pubkey_encrypt_by_cert(secret.data(), 24, again.data(), &again_len, cert.data(),
                                          static_cast<int32_t>(cert.size())),
            VORPIN_OK);
  EXPECT_EQ(card_len, 128);
  EXPECT_NE(cert_block, again) << "the padding is random";

  for (const Bytes* block : {&card_block, &cert_block}) {
    WriteFile(Tmp("enc"), *block);
    ASSERT_TRUE(Shell("openssl pkeyutl -decrypt -inkey " + Card("enc.key.pem") + " -in " +
                      Tmp("enc") + " -out " + Tmp("plain")));
    EXPECT_EQ(ReadFile(Tmp("plain")), secret);
  }
  EXPECT_EQ(Decrypt(card_block).out, secret);
}

TEST_F(CardKeys, SignLengthQueryNeedsTheLoginAndStoresTheModulusLength) {
  const Bytes data = ToBytes("x");
  const Bytes pin = Pin();
  int32_t len = 0;
  EXPECT_EQ(vorpin_sign(data.data(), 1, nullptr, &len, VORPIN_HASH_MD5, pin.data(),
                        static_cast<int32_t>(pin.size())),
            VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 128);
  Bytes sig(127);
  len = 127;
  EXPECT_EQ(vorpin_sign(data.data(), 1, sig.data(), &len, VORPIN_HASH_MD5, pin.data(),
                        static_cast<int32_t>(pin.size())),
            VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 128);
  const Bytes wrong = BadPin();
  len = 0;
  EXPECT_EQ(vorpin_sign(data.data(), 1, nullptr, &len, VORPIN_HASH_MD5, wrong.data(), 6),
            VORPIN_ERR_PIN_INCORRECT);
  EXPECT_EQ(len, 0);
}

struct PinCase {
  const char* name;
  int32_t hash_type;
  bool decrypt;
};

const PinCase kWrongPin[] = {
    {"sign_no_hash", VORPIN_HASH_NONE, false},
    {"sign_sha1", VORPIN_HASH_SHA1, false},
    {"sign_unknown_selector", 7, false},
    {"decrypt", 0, true},
};

class WrongPin : public CardKeys, public ::testing::WithParamInterface<PinCase> {};

TEST_P(WrongPin, GivesPinIncorrectWhateverTheSelector) {
  const PinCase& c = GetParam();
  Bytes data(128, 0x42);
  Result r = c.decrypt ? Decrypt(data, BadPin()) : Sign(data, c.hash_type, BadPin());
  EXPECT_EQ(r.rc, VORPIN_ERR_PIN_INCORRECT);
  const std::string op = c.decrypt ? "vorpin_prikey_decrypt" : "vorpin_sign";
  EXPECT_TRUE(TraceLog::Get().Contains(op + "(): the input pin code is incorrect!"))
      << TraceLog::Get().Joined();
}

INSTANTIATE_TEST_SUITE_P(CardKeys, WrongPin, ::testing::ValuesIn(kWrongPin),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(CardKeys, UnknownSelectorIsRefusedAfterTheLogin) {
  for (int32_t hash_type : {4, 7, -1}) {
    TraceLog::Get().Clear();
    EXPECT_EQ(Sign(ToBytes("data"), hash_type).rc, VORPIN_ERR_HASH_TYPE) << hash_type;
    EXPECT_TRUE(TraceLog::Get().Contains("vorpin_sign(): unknown hashing type!"));
  }
}

TEST_F(CardKeys, ArgumentsAreCheckedBeforeTheCard) {
  const Bytes pin = Pin();
  const int32_t pin_len = static_cast<int32_t>(pin.size());
  unsigned char buf[128];
  int32_t len = 128;
  EXPECT_EQ(vorpin_sign(nullptr, 0, buf, &len, 0, pin.data(), pin_len), VORPIN_ERR_SIGN_NULL_DATA);
  EXPECT_TRUE(
      TraceLog::Get().Contains("vorpin_sign(): input a NULL data to be signed, something error!"));
  EXPECT_EQ(vorpin_sign(buf, -1, buf, &len, 0, pin.data(), pin_len), VORPIN_ERR_SIGN_NULL_DATA);
  EXPECT_EQ(vorpin_sign(buf, 20, buf, nullptr, 2, pin.data(), pin_len), VORPIN_ERR_NULL_LENGTH);
  EXPECT_EQ(vorpin_prikey_decrypt(nullptr, 128, buf, &len, pin.data(), pin_len),
            VORPIN_ERR_DECRYPT_NULL_DATA);
  EXPECT_EQ(vorpin_prikey_decrypt(buf, -128, buf, &len, pin.data(), pin_len),
            VORPIN_ERR_DECRYPT_NULL_DATA);
  EXPECT_EQ(vorpin_prikey_decrypt(buf, 128, buf, nullptr, pin.data(), pin_len),
            VORPIN_ERR_NULL_LENGTH);
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_prikey_decrypt(): input a NULL input/output buffer for getting decrypted data "
      "length!"));
  // A PIN whose length would make the token read outside it is wrong.
  EXPECT_EQ(vorpin_sign(buf, 20, buf, &len, 2, pin.data(), -6), VORPIN_ERR_PIN_INCORRECT);
  EXPECT_EQ(vorpin_sign(buf, 20, buf, &len, 2, nullptr, 6), VORPIN_ERR_PIN_INCORRECT);
  EXPECT_EQ(len, 128);
}

TEST_F(CardKeys, TokenRefusalsOfTheOperationAreReported) {
  // 118 bytes are more than a 1024-bit key's PKCS#1 v1.5 block can hold.
  int32_t rc = Sign(Bytes(118, 1), VORPIN_HASH_NONE).rc;
  EXPECT_TRUE(rc == VORPIN_ERR_SIGN_LENGTH || rc == VORPIN_ERR_SIGN) << rc;
  // A block of the wrong length, and a block that is no PKCS#1 v1.5 block.
  rc = Decrypt(Bytes(127, 1)).rc;
  EXPECT_TRUE(rc == VORPIN_ERR_DECRYPT_LENGTH || rc == VORPIN_ERR_DECRYPT) << rc;
  rc = Decrypt(Bytes(128, 1)).rc;
  EXPECT_TRUE(rc == VORPIN_ERR_DECRYPT_LENGTH || rc == VORPIN_ERR_DECRYPT) << rc;
}

TEST_F(CardKeys, SignaturesVerifyOnlyForTheValueTheyWereMadeOver) {
  const Bytes data = ToBytes("verified with the card's signing certificate");
  Result md5 = Sign(data, VORPIN_HASH_MD5);
  Result sha1 = Sign(data, VORPIN_HASH_SHA1);
  Result both = Sign(data, VORPIN_HASH_MD5_SHA1);
  ASSERT_EQ(md5.rc | sha1.rc | both.rc, VORPIN_OK);

  EXPECT_EQ(Verify(data, md5.out, VORPIN_HASH_MD5), VORPIN_OK);
  EXPECT_EQ(Verify(data, both.out, VORPIN_HASH_MD5_SHA1), VORPIN_OK);
  EXPECT_TRUE(
      TraceLog::Get().Contains("vorpin_verify_internal(): the signature of data is correct."));
  // The recovered value must have the expected value's length: the MD5
  // part of an MD5+SHA-1 signature is no MD5 signature.
  EXPECT_EQ(Verify(data, both.out, VORPIN_HASH_MD5), VORPIN_ERR_VERIFY_MISMATCH);
  EXPECT_EQ(Verify(data, md5.out, VORPIN_HASH_MD5_SHA1), VORPIN_ERR_VERIFY_MISMATCH);
  EXPECT_EQ(Verify(data, sha1.out, VORPIN_HASH_MD5), VORPIN_ERR_VERIFY_MISMATCH);
  EXPECT_EQ(Verify(data, sha1.out, VORPIN_HASH_MD5_SHA1), VORPIN_ERR_VERIFY_MISMATCH);
  EXPECT_TRUE(
      TraceLog::Get().Contains("vorpin_verify_internal(): the signature of data is wrong."));

  // Without hashing: a signature over D + more, or over a prefix of D, is
  // no signature over D.
  const Bytes d = ToBytes("D");
  const Bytes longer = ToBytes("D and anything");
  Result over_longer = Sign(longer, VORPIN_HASH_NONE);
  Result over_d = Sign(d, VORPIN_HASH_NONE);
  ASSERT_EQ(over_longer.rc | over_d.rc, VORPIN_OK);
  EXPECT_EQ(Verify(d, over_d.out, VORPIN_HASH_NONE), VORPIN_OK);
  EXPECT_EQ(Verify(d, over_longer.out, VORPIN_HASH_NONE), VORPIN_ERR_VERIFY_MISMATCH);
  EXPECT_EQ(Verify(longer, over_d.out, VORPIN_HASH_NONE), VORPIN_ERR_VERIFY_MISMATCH);

  // The encryption certificate's key did not make it.
  const Bytes enc_cert = ReadFile(Card("enc.crt.der"));
  EXPECT_EQ(vorpin_verify_by_cert(data.data(), static_cast<int32_t>(data.size()), sha1.out.data(),
                                  128, enc_cert.data(), static_cast<int32_t>(enc_cert.size()),
                                  VORPIN_HASH_SHA1),
            VORPIN_ERR_VERIFY_MISMATCH);
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_verify_internal(): get the RSA public key from Smart Card for verifying"));
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_RSA_pubkey_get(): get the certificate in the Smart Card OK."));
}

}  // namespace

// The card frame against the default card, a SoftHSM2 token provisioned
// into VORPIN_CARD_DIR (user PIN in VORPIN_CARD_PIN), through the installed
// build of the card library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "vorpin_dll.h"

namespace {

using test_support::Bytes;
using test_support::Env;

Bytes ReadCardFile(const char* name) {
  return test_support::ReadFile(Env("VORPIN_CARD_DIR") + "/" + name);
}

class SoftHsmCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Env("VORPIN_CARD_DIR").empty()) << "run through ctest";
    ASSERT_EQ(vorpin_init(), VORPIN_OK);
  }
  void TearDown() override { EXPECT_EQ(vorpin_fini(), VORPIN_OK); }

  static int32_t CheckPin(const std::string& pin) {
    return vorpin_check_pin_valid(reinterpret_cast<const unsigned char*>(pin.data()),
                                  static_cast<int32_t>(pin.size()));
  }
};

// The certificate read of the output-length convention: a size query, the
// read, a larger buffer, a negative capacity. Returns the certificate.
Bytes ReadWithEveryCapacity(int32_t (*read)(unsigned char*, int32_t*)) {
  int32_t len = 0;
  EXPECT_EQ(read(nullptr, &len), VORPIN_ERR_BUFFER_TOO_SMALL);
  if (len <= 0) return {};
  const int32_t n = len;
  Bytes cert(static_cast<size_t>(n));
  EXPECT_EQ(read(cert.data(), &len), VORPIN_OK);
  EXPECT_EQ(len, n);

  Bytes larger(cert.size() + 64, 0xEE);
  len = static_cast<int32_t>(larger.size());
  EXPECT_EQ(read(larger.data(), &len), VORPIN_OK);
  EXPECT_EQ(len, n);
  EXPECT_TRUE(std::equal(cert.begin(), cert.end(), larger.begin()));
  EXPECT_EQ(larger[cert.size()], 0xEE);

  Bytes untouched(cert.size(), 0xEE);
  len = -1;
  EXPECT_EQ(read(untouched.data(), &len), VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, n);
  EXPECT_EQ(untouched, Bytes(cert.size(), 0xEE));
  return cert;
}

// SoftHSM2 lists its objects in an order fixed when the module first reads
// the token in a process; after C_Finalize and C_Initialize in the same
// process it may list them in another. Provisioning makes the signing
// objects come first at the first start, so the order is checked there, in
// a test entry of its own (FirstStart.*).
TEST(FirstStart, CertificatesAreTheProvisionedOnesInTheirOrder) {
  ASSERT_FALSE(Env("VORPIN_CARD_DIR").empty()) << "run through ctest";
  ASSERT_EQ(vorpin_init(), VORPIN_OK);
  const Bytes sign = ReadCardFile("sign.crt.der");
  const Bytes enc = ReadCardFile("enc.crt.der");
  ASSERT_FALSE(sign.empty());
  ASSERT_FALSE(enc.empty());
  EXPECT_EQ(ReadWithEveryCapacity(vorpin_getcert_for_sign), sign);
  EXPECT_EQ(ReadWithEveryCapacity(vorpin_getcert_for_enc), enc);
  EXPECT_EQ(vorpin_fini(), VORPIN_OK);
}

TEST_F(SoftHsmCardTest, PinRightAndWrong) {
  const std::string pin = Env("VORPIN_CARD_PIN");
  ASSERT_FALSE(pin.empty());
  EXPECT_EQ(CheckPin(pin), VORPIN_OK);
  EXPECT_EQ(CheckPin(pin + "9"), VORPIN_ERR_PIN_INCORRECT);
  // The token keeps no lock-out: the right PIN still opens it.
  EXPECT_EQ(CheckPin(pin), VORPIN_OK);
}

TEST_F(SoftHsmCardTest, RandomBytesDifferBetweenDraws) {
  unsigned char a[32] = {};
  unsigned char b[32] = {};
  ASSERT_EQ(vorpin_gen_session_key(a, sizeof a), VORPIN_OK);
  ASSERT_EQ(vorpin_gen_session_key(b, sizeof b), VORPIN_OK);
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
}

TEST_F(SoftHsmCardTest, InitFiniInitStartsAgain) {
  ASSERT_EQ(vorpin_fini(), VORPIN_OK);
  ASSERT_EQ(vorpin_init(), VORPIN_OK);
  EXPECT_EQ(CheckPin(Env("VORPIN_CARD_PIN")), VORPIN_OK);
  // Either of the card's certificates, whole (see FirstStart for the order).
  const Bytes cert = ReadWithEveryCapacity(vorpin_getcert_for_sign);
  EXPECT_TRUE(cert == ReadCardFile("sign.crt.der") || cert == ReadCardFile("enc.crt.der"));
}

}  // namespace

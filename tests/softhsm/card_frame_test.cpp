// The card frame against the default card, a SoftHSM2 token provisioned
// into VORPIN_CARD_DIR (user PIN in VORPIN_CARD_PIN), through the installed
// build of the card library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vorpin_dll.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

Bytes ReadCardFile(const char* name) {
  std::ifstream in(Env("VORPIN_CARD_DIR") + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

struct CertCase {
  const char* name;
  int32_t (*read)(unsigned char*, int32_t*);
  const char* file;
};

const CertCase kCerts[] = {
    {"signing", vorpin_getcert_for_sign, "sign.crt.der"},
    {"encryption", vorpin_getcert_for_enc, "enc.crt.der"},
};

class SoftHsmCertTest : public SoftHsmCardTest, public ::testing::WithParamInterface<CertCase> {};

TEST_P(SoftHsmCertTest, SizeQueryThenReadGivesTheProvisionedCertificate) {
  const CertCase& c = GetParam();
  const Bytes want = ReadCardFile(c.file);
  ASSERT_FALSE(want.empty()) << c.file;
  const auto n = static_cast<int32_t>(want.size());

  int32_t len = 0;
  ASSERT_EQ(c.read(nullptr, &len), VORPIN_ERR_BUFFER_TOO_SMALL);
  ASSERT_EQ(len, n);
  Bytes got(static_cast<size_t>(len));
  ASSERT_EQ(c.read(got.data(), &len), VORPIN_OK);
  EXPECT_EQ(len, n);
  EXPECT_EQ(got, want);

  Bytes larger(want.size() + 64, 0xEE);
  len = static_cast<int32_t>(larger.size());
  ASSERT_EQ(c.read(larger.data(), &len), VORPIN_OK);
  EXPECT_EQ(len, n);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), larger.begin()));

  Bytes untouched(want.size(), 0xEE);
  len = -1;
  EXPECT_EQ(c.read(untouched.data(), &len), VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, n);
  EXPECT_EQ(untouched, Bytes(want.size(), 0xEE));
}

INSTANTIATE_TEST_SUITE_P(SoftHsm, SoftHsmCertTest, ::testing::ValuesIn(kCerts),
                         [](const ::testing::TestParamInfo<CertCase>& row) {
                           return std::string(row.param.name);
                         });

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

TEST_F(SoftHsmCardTest, InitFiniInitWorksLikeTheFirstStart) {
  const Bytes want = ReadCardFile("sign.crt.der");
  ASSERT_EQ(vorpin_fini(), VORPIN_OK);
  ASSERT_EQ(vorpin_init(), VORPIN_OK);
  Bytes got(want.size());
  auto len = static_cast<int32_t>(got.size());
  EXPECT_EQ(vorpin_getcert_for_sign(got.data(), &len), VORPIN_OK);
  EXPECT_EQ(got, want);
}

}  // namespace

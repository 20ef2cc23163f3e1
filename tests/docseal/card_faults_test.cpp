// The signing entry points against the emulated card: each card fault gives
// its Docseal code, nothing is written, and the card is left closed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Docseal.h"
#include "emucard.h"
#include "soft_signer.h"
#include "test_util.h"

namespace {

using namespace docseal_test;

constexpr CK_SLOT_ID kSlot = 5;
constexpr char kPin[] = "123456";

// The card's signing identity, made once.
SoftSigner& CardIdentity() {
  static SoftSigner* signer = new SoftSigner("Emulated Card Signer");
  return *signer;
}

// A reader, with or without a token holding the signing certificate and
// key.
void AddCard(bool with_token = true) {
  ASSERT_EQ(emucard_add_reader(kSlot, with_token ? 1 : 0), 0);
  if (!with_token) return;
  const Bytes cert = CardIdentity().CertDer();
  const std::string key = CardIdentity().KeyPem();
  ASSERT_NE(emucard_add_certificate(kSlot, cert.data(), cert.size()), CK_INVALID_HANDLE);
  ASSERT_NE(emucard_add_private_key(kSlot, reinterpret_cast<const unsigned char*>(key.data()),
                                    key.size()),
            CK_INVALID_HANDLE);
}

class CardFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emucard_reset();
    WriteFile(tmp_ / "doc.txt", "document");
  }
  void TearDown() override {
    // Every way out of an entry point leaves the card library stopped.
    EXPECT_EQ(emucard_initialized(), 0);
    EXPECT_EQ(emucard_open_sessions(), 0);
    EXPECT_EQ(emucard_logged_in(kSlot), 0);
  }

  TempDir tmp_;
  std::vector<char> out_ = std::vector<char>(8192, '\0');
};

TEST_F(CardFaultTest, ReadyCardSignsAndTheSignatureVerifies) {
  AddCard();
  const std::string file = tmp_ / "doc.txt";
  ASSERT_EQ(Signature("signer", kPin, file.c_str(), ""), DOCSEAL_OK);
  EXPECT_EQ(Verify(out_.data(), file.c_str(), ""), DOCSEAL_OK);
  EXPECT_EQ(std::string(out_.data()), "signer");
  EXPECT_EQ(OpensslContent(file + ".sig"), ContentRecord(Sha1("document"), "", "signer"));
}

// A card fault and the code every signing entry point gives for it.
struct Fault {
  const char* name;
  void (*arrange)();
  const char* pin;
  int code;
};

const Fault kFaults[] = {
    {"card_absent", [] { AddCard(false); }, kPin, DOCSEAL_ERR_NO_CARD},
    {"wrong_pin", [] { AddCard(true); }, "654321", DOCSEAL_ERR_PIN},
    {"pin_locked",
     [] {
       AddCard(true);
       emucard_set_pin_locked(kSlot, 1);
     },
     kPin, DOCSEAL_ERR_LOGIN},
    {"sign_fails",
     [] {
       AddCard(true);
       emucard_fail_always(EMUCARD_C_Sign, CKR_DEVICE_ERROR);
     },
     kPin, DOCSEAL_ERR_CARD},
    {"no_certificate", [] { ASSERT_EQ(emucard_add_reader(kSlot, 1), 0); }, kPin, DOCSEAL_ERR_CARD},
    {"start_fails_after_initialize",
     [] {
       AddCard(true);
       emucard_fail_always(EMUCARD_C_GetSlotList, CKR_GENERAL_ERROR);
     },
     kPin, DOCSEAL_ERR_START},
    {"no_reader", [] {}, kPin, DOCSEAL_ERR_START},
};

class FaultTest : public CardFaultTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(FaultTest, EverySigningEntryPointGivesItsCode) {
  GetParam().arrange();
  const std::string file = tmp_ / "doc.txt";
  const char* pin = GetParam().pin;
  EXPECT_EQ(Signature("", pin, file.c_str(), ""), GetParam().code);
  EXPECT_EQ(SignMulti("", pin, file.c_str()), GetParam().code);
  EXPECT_EQ(Signature("", pin, tmp_.path().c_str(), ""), GetParam().code);
  out_[0] = '#';
  EXPECT_EQ(SignTimestamp(pin, out_.data()), GetParam().code);
  EXPECT_EQ(out_[0], '#');
  EXPECT_FALSE(Exists(file + ".sig"));
  EXPECT_FALSE(Exists(tmp_ / "dir.sig"));
}

INSTANTIATE_TEST_SUITE_P(Card, FaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(CardFaultTest, FailedStartDoesNotSpoilTheNextOne) {
  AddCard();
  // The start fails once the module is initialised; the card library must
  // be stopped again, or every later start would fail too.
  emucard_fail_nth(EMUCARD_C_GetSlotList, 1, CKR_GENERAL_ERROR);
  const std::string file = tmp_ / "doc.txt";
  EXPECT_EQ(Signature("", kPin, file.c_str(), ""), DOCSEAL_ERR_START);
  EXPECT_EQ(emucard_initialized(), 0);
  EXPECT_EQ(Signature("", kPin, file.c_str(), ""), DOCSEAL_OK);
  EXPECT_EQ(Verify(out_.data(), file.c_str(), ""), DOCSEAL_OK);
}

}  // namespace

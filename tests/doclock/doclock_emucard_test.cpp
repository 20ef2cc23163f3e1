// Doclock and the exchange library on the emulated card: the card bracket
// of each entry point, failed starts, and the card's refusals in the
// exchange library's codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Doclock.h"
#include "emucard_fixture.h"
#include "exchpack_dll.h"

namespace {

using emucard_test::AddCardWithCertificates;
using emucard_test::AddStandardCard;
using emucard_test::Bytes;
using emucard_test::CallsOf;
using emucard_test::CaseName;
using emucard_test::EmuCardTest;
using emucard_test::kCardSlot;
using emucard_test::Kit;
using emucard_test::kUserPin;

constexpr unsigned char kUntouched = 0xA5;

struct Result {
  int32_t rc;
  Bytes out;
  int32_t out_size;
  Bytes Written() const { return Bytes(out.begin(), out.begin() + out_size); }
  bool Untouched(int32_t capacity) const {
    return out_size == capacity && out == Bytes(static_cast<size_t>(capacity), kUntouched);
  }
};

Bytes Data() { return Bytes(300, 0x5C); }

Result Encrypt(int32_t capacity = 8192, const char* pin = kUserPin) {
  const Bytes& cert = Kit().enc.cert_der;
  const Bytes data = Data();
  Result r{0, Bytes(static_cast<size_t>(capacity), kUntouched), capacity};
  r.rc = ::Encrypt(pin, cert.data(), static_cast<int32_t>(cert.size()), data.data(),
                   static_cast<int32_t>(data.size()), r.out.data(), &r.out_size);
  return r;
}

Result Decrypt(const Bytes& p12, int32_t capacity = 1000, const char* pin = kUserPin) {
  Result r{0, Bytes(static_cast<size_t>(capacity), kUntouched), capacity};
  r.rc = ::Decrypt(pin, r.out.data(), &r.out_size, p12.data(), static_cast<int32_t>(p12.size()));
  return r;
}

class DoclockCard : public EmuCardTest {
 protected:
  // A structure for the card's encryption certificate, made on the card.
  Bytes Wrapped() {
    const Result r = Encrypt();
    EXPECT_EQ(r.rc, DOCLOCK_OK);
    emucard_clear_log();
    return r.Written();
  }

  static size_t Count(emucard_fn fn) { return CallsOf(fn).size(); }
};

TEST_F(DoclockCard, RoundTripBracketedByOneStartAndStop) {
  AddStandardCard();
  const Result wrapped = Encrypt();
  ASSERT_EQ(wrapped.rc, DOCLOCK_OK);
  EXPECT_EQ(Count(EMUCARD_C_Initialize), 1u);
  EXPECT_EQ(Count(EMUCARD_C_Finalize), 1u);
  EXPECT_EQ(Count(EMUCARD_C_Sign), 2u);  // the length query, then the signature
  ExpectSessionDiscipline();
  EXPECT_FALSE(emucard_initialized());

  emucard_clear_log();
  const Result unwrapped = Decrypt(wrapped.Written());
  ASSERT_EQ(unwrapped.rc, DOCLOCK_OK);
  EXPECT_EQ(unwrapped.Written(), Data());
  EXPECT_EQ(Count(EMUCARD_C_Initialize), 1u);
  EXPECT_EQ(Count(EMUCARD_C_Finalize), 1u);
  EXPECT_EQ(Count(EMUCARD_C_Decrypt), 2u);
  ExpectSessionDiscipline();
  EXPECT_FALSE(emucard_initialized());
}

// The records come first: one that cannot be made ends the call before the
// card library is started.
TEST_F(DoclockCard, RecordFailureComesBeforeTheCard) {
  AddStandardCard();
  const Bytes& cert = Kit().enc.cert_der;
  unsigned char buf[16] = {};
  int32_t negative = -1;
  EXPECT_EQ(
      ::Encrypt(kUserPin, cert.data(), static_cast<int32_t>(cert.size()), buf, 16, buf, &negative),
      DOCLOCK_ERR_RECORD);
  EXPECT_EQ(::Decrypt(kUserPin, buf, &negative, buf, 16), DOCLOCK_ERR_RECORD);
  EXPECT_EQ(Count(EMUCARD_C_Initialize), 0u);
}

// A start that fails after C_Initialize (here the slot count query): -23,
// no card work, and the card library is stopped (C_Finalize), by Decrypt as
// well as by Encrypt, so that the next start works.
TEST_F(DoclockCard, FailedStartIsStoppedByBothEntryPoints) {
  AddStandardCard();
  const Bytes p12 = Wrapped();
  for (bool decrypt : {false, true}) {
    emucard_clear_log();
    emucard_fail_nth(EMUCARD_C_GetSlotList, 1, CKR_DEVICE_ERROR);
    const Result r = decrypt ? Decrypt(p12) : Encrypt();
    EXPECT_EQ(r.rc, DOCLOCK_ERR_CARD_START) << decrypt;
    EXPECT_TRUE(r.Untouched(decrypt ? 1000 : 8192));
    EXPECT_EQ(Count(EMUCARD_C_OpenSession), 0u);
    EXPECT_EQ(Count(EMUCARD_C_Finalize), 1u) << decrypt;
    EXPECT_FALSE(emucard_initialized());
    EXPECT_EQ(vorpin_init(), VORPIN_OK);
    vorpin_fini();
  }
}

// The card's refusals, each in the exchange library's code, with the
// session discipline kept and the host's buffers untouched.
struct Refusal {
  const char* name;
  bool decrypt;
  void (*scenario)();
  int32_t rc;
};

const Refusal kRefusals[] = {
    {"wrap_wrong_pin", false, [] { emucard_set_user_pin(kCardSlot, "999999", 6); },
     EXCHPACK_ERR_PIN},
    {"wrap_pin_locked", false, [] { emucard_set_pin_locked(kCardSlot, 1); }, EXCHPACK_ERR_LOGIN},
    {"wrap_card_pulled", false, [] { emucard_set_token_present(kCardSlot, 0); }, EXCHPACK_ERR_CARD},
    {"wrap_sign_fails", false, [] { emucard_fail_always(EMUCARD_C_Sign, CKR_DEVICE_ERROR); },
     EXCHPACK_ERR_SIGN},
    {"wrap_certificate_unreadable", false,
     [] { emucard_fail_always(EMUCARD_C_GetAttributeValue, CKR_DEVICE_ERROR); },
     EXCHPACK_ERR_CARD_CERT},
    {"unwrap_wrong_pin", true, [] { emucard_set_user_pin(kCardSlot, "999999", 6); },
     EXCHPACK_ERR_PIN},
    {"unwrap_pin_locked", true, [] { emucard_set_pin_locked(kCardSlot, 1); }, EXCHPACK_ERR_LOGIN},
    {"unwrap_card_pulled", true, [] { emucard_set_token_present(kCardSlot, 0); },
     EXCHPACK_ERR_CARD},
    {"unwrap_decrypt_fails", true,
     [] { emucard_fail_always(EMUCARD_C_Decrypt, CKR_ENCRYPTED_DATA_INVALID); },
     EXCHPACK_ERR_KEY_DECRYPT},
};

class CardRefusal : public DoclockCard, public testing::WithParamInterface<Refusal> {};

TEST_P(CardRefusal, IsPassedOnAndNothingIsWritten) {
  AddStandardCard();
  const Bytes p12 = GetParam().decrypt ? Wrapped() : Bytes();
  GetParam().scenario();
  const Result r = GetParam().decrypt ? Decrypt(p12) : Encrypt();
  EXPECT_EQ(r.rc, GetParam().rc);
  EXPECT_TRUE(r.Untouched(GetParam().decrypt ? 1000 : 8192));
  EXPECT_EQ(Count(EMUCARD_C_Finalize), 1u);
  ExpectSessionDiscipline();
}

INSTANTIATE_TEST_SUITE_P(Cases, CardRefusal, testing::ValuesIn(kRefusals), CaseName());

// A card holding only its signing certificate: a structure can be made,
// but the card has no encryption certificate to unwrap it for.
TEST_F(DoclockCard, CardWithoutEncryptionCertificate) {
  AddStandardCard();
  const Bytes p12 = Wrapped();
  emucard_reset();
  AddCardWithCertificates(kCardSlot, {&Kit().sign.cert_der});
  EXPECT_EQ(Decrypt(p12).rc, EXCHPACK_ERR_CARD_CERT);
  emucard_reset();
  AddCardWithCertificates(kCardSlot, {});
  EXPECT_EQ(Encrypt().rc, EXCHPACK_ERR_CARD_CERT);
}

}  // namespace

// The emulated card in gtest: a fixture for tests of the card library
// (vorpin_dll_traced) against the project's emulated PKCS#11 module.
//
// Link the target emucard_fixture and register the test with
// vorpin_emucard_test(name command...), which puts the module's folder on
// the loader's path. Then:
//
//   class MyTest : public EmuCardTest {};
//   TEST_F(MyTest, PinLockedGives1025) {
//     AddStandardCard();                       // reader kCardSlot, 2 certs, 2 keys
//     emucard_set_pin_locked(kCardSlot, 1);    // the scenario, in one line
//     ASSERT_EQ(vorpin_init(), VORPIN_OK);
//     EXPECT_EQ(vorpin_check_pin_valid(Pin(), PinLen()), VORPIN_ERR_LOGIN);
//     EXPECT_THAT(Messages(), Contains("vorpin_check_pin_valid(): failed to login Smart card!"));
//     ExpectSessionDiscipline();
//   }
//
// SetUp empties the card (emucard_reset), empties the message list and
// installs the trace sink; TearDown calls vorpin_fini (so every test starts
// unbound) and removes the sink. Faults: emucard_fail_nth /
// emucard_fail_always of emucard.h. The call log is read with Calls() and
// CallsOf(); the Expect* helpers check the session discipline that every
// card operation must keep, whatever path it took. For the card keys:
// ExpectSearchTemplate(CKO_PRIVATE_KEY, CKA_KEY_TYPE, CKK_RSA), and
// Kit().sign.key / Kit().enc.key check with OpenSSL what the card signed or
// make what it decrypts.
#ifndef TESTS_EMUCARD_FIXTURE_H
#define TESTS_EMUCARD_FIXTURE_H

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "cardcrypto/test_support.h"
#include "emucard.h"
#include "vorpin_dll.h"

namespace emucard_test {

using test_support::Bytes;

// Slot ids of the ready-made cards: not 0, 1 or 2, so that a slot index
// used as an id shows.
inline constexpr CK_SLOT_ID kCardSlot = 17;
inline constexpr CK_SLOT_ID kEmptySlot = 23;
inline constexpr char kUserPin[] = "123456";

// An RSA-1024 key with a self-signed X.509 certificate.
struct Identity {
  std::shared_ptr<EVP_PKEY> key;  // private and public key
  std::string key_pem;            // PKCS#8 PEM of the private key
  std::string public_pem;         // SubjectPublicKeyInfo PEM
  Bytes cert_der;                 // the certificate, DER
};

// Made once per process with OpenSSL: the card's signing and encryption
// identities and a third one (a certificate the card library must never
// return, or a foreign key).
struct CardKit {
  Identity sign;
  Identity enc;
  Identity other;
};
const CardKit& Kit();

// The log of the emulated card, oldest call first.
std::vector<emucard_call> Calls();
std::vector<emucard_call> CallsOf(emucard_fn fn);
// The functions called, in order.
std::vector<emucard_fn> CallSequence();
std::string Describe(const std::vector<emucard_fn>& sequence);

// A reader with a token holding, in listing order: the signing
// certificate, the signing key, the encryption certificate, the encryption
// key; user PIN kUserPin.
void AddStandardCard(CK_SLOT_ID slot = kCardSlot);
// A reader with a token holding only the given certificates, in that order.
void AddCardWithCertificates(CK_SLOT_ID slot, const std::vector<const Bytes*>& certs);

// Names the rows of a TEST_P table by their name field.
struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& row) const {
    return row.param.name;
  }
};

class EmuCardTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  static const std::vector<std::string>& Messages() {
    return test_support::TraceLog::Get().messages();
  }
  static void ClearMessages() { test_support::TraceLog::Get().Clear(); }

  static const unsigned char* Pin() { return reinterpret_cast<const unsigned char*>(kUserPin); }
  static int32_t PinLen() { return static_cast<int32_t>(sizeof kUserPin - 1); }

  // vorpin_init must succeed; then messages and call log are emptied, so
  // that a test sees only what its card operation did.
  static void InitReady();

  // Every C_OpenSession asked for CKF_SERIAL_SESSION | CKF_RW_SESSION with
  // null application and notify; every session opened was closed; every
  // successful C_Login was followed by C_Logout on that session before it
  // was closed; no call used a session after its close; nothing is left
  // open or logged in.
  static void ExpectSessionDiscipline();
  // Every C_FindObjectsInit got exactly {CKA_CLASS = object_class,
  // second_type = second_value}, values CK_ULONG wide; every C_FindObjects
  // asked for at most 2 handles.
  static void ExpectSearchTemplate(CK_OBJECT_CLASS object_class, CK_ATTRIBUTE_TYPE second_type,
                                   CK_ULONG second_value);
  // Every C_Initialize and C_Finalize got a null argument.
  static void ExpectNullInitArguments();
};

}  // namespace emucard_test

#endif

// ICCertificate and the card entry points against the emulated card: the
// start failure that must not stick, every card fault's code, untouched
// outputs after a failure, the issuer cache and the field capacities.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Docseal.h"
#include "card_codes.h"
#include "emucard_fixture.h"
#include "test_certs.h"

namespace {

using emucard_test::CaseName;
using emucard_test::EmuCardTest;
using emucard_test::kCardSlot;
using emucard_test::kEmptySlot;
using emucard_test::kUserPin;

std::vector<unsigned char> DecodeBase64(const std::string& text) {
  std::vector<unsigned char> out(text.size() + 1);
  const int32_t n = B64Decode(text.c_str(), out.data(), static_cast<uint32_t>(out.size()));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

void AddCardWith(const test_certs::Issued& issued) {
  ASSERT_EQ(emucard_add_reader(kCardSlot, 1), 0);
  ASSERT_NE(emucard_add_certificate(kCardSlot, issued.der.data(), issued.der.size()),
            CK_INVALID_HANDLE);
  ASSERT_NE(emucard_add_private_key(kCardSlot, issued.key_pem.data(), issued.key_pem.size()),
            CK_INVALID_HANDLE);
}

// All eight outputs of GetSignCertificateFromICCard, pre-filled.
struct Outputs {
  Outputs() {
    for (std::string* s : {&cert, &issuer, &serial, &subject, &email, &notBefore, &notAfter, &tail})
      s->assign(4095, '\0').replace(0, 9, "untouched");
  }
  int32_t ReadAll() {
    return GetSignCertificateFromICCard(&cert[0], &issuer[0], &serial[0], &subject[0], &email[0],
                                        &notBefore[0], &notAfter[0], &tail[0]);
  }
  int32_t ReadInfos() {
    return GetInfosFromICCard(&subject[0], &email[0], &notBefore[0], &notAfter[0], &tail[0]);
  }
  static std::string Text(const std::string& buffer) { return buffer.c_str(); }
  std::string cert, issuer, serial, subject, email, notBefore, notAfter, tail;
};

class CardEntryOnEmuCard : public EmuCardTest {};

// No reader at all: vorpin_init fails after Cryptoki was initialised. Each
// entry point stops the card library again, so once a reader is there the
// next call succeeds.
TEST_F(CardEntryOnEmuCard, FailedStartIsStoppedSoThatALaterCallSucceeds) {
  Outputs out;
  EXPECT_EQ(out.ReadInfos(), 11);
  EXPECT_EQ(emucard_initialized(), 0);
  EXPECT_EQ(VerifyPIN(kUserPin), 11);
  EXPECT_EQ(emucard_initialized(), 0);
  ICCertificate cert;
  EXPECT_EQ(cert.getSignCert(), 11);
  EXPECT_EQ(emucard_initialized(), 0);
  EXPECT_EQ(Outputs::Text(out.subject), "untouched");

  AddCardWith(test_certs::Issue("Late Reader", {}));
  EXPECT_EQ(VerifyPIN(kUserPin), 0);
  EXPECT_EQ(out.ReadInfos(), 0);
  EXPECT_EQ(Outputs::Text(out.subject), "CN=Late Reader");
  EXPECT_EQ(cert.getSignCert(), 0);
  ExpectSessionDiscipline();
}

// Card faults and what the three card readers answer.
struct ReadFault {
  const char* name;
  std::function<void()> scenario;
  int32_t expected;
};

const ReadFault kReadFaults[] = {
    {"no_reader", [] {}, 11},
    {"initialize_device_error",
     [] {
       emucard_test::AddStandardCard();
       emucard_fail_always(EMUCARD_C_Initialize, CKR_DEVICE_ERROR);
     },
     11},
    {"reader_without_card", [] { emucard_add_reader(kEmptySlot, 0); }, 12},
    {"open_session_token_not_present",
     [] {
       emucard_test::AddStandardCard();
       emucard_fail_always(EMUCARD_C_OpenSession, CKR_TOKEN_NOT_PRESENT);
     },
     12},
    {"no_certificate_on_the_card", [] { emucard_test::AddCardWithCertificates(kCardSlot, {}); },
     15},
    {"certificate_value_unreadable",
     [] {
       emucard_test::AddStandardCard();
       emucard_fail_always(EMUCARD_C_GetAttributeValue, CKR_DEVICE_ERROR);
     },
     15},
    {"find_objects_fails",
     [] {
       emucard_test::AddStandardCard();
       emucard_fail_always(EMUCARD_C_FindObjectsInit, CKR_DEVICE_ERROR);
     },
     15},
};

class CardReadFault : public EmuCardTest, public ::testing::WithParamInterface<ReadFault> {};

TEST_P(CardReadFault, EveryReaderGivesTheCodeAndWritesNothing) {
  GetParam().scenario();
  Outputs out;
  EXPECT_EQ(out.ReadAll(), GetParam().expected);
  EXPECT_EQ(out.ReadInfos(), GetParam().expected);
  for (const std::string* s : {&out.cert, &out.issuer, &out.serial, &out.subject, &out.email,
                               &out.notBefore, &out.notAfter, &out.tail}) {
    EXPECT_EQ(Outputs::Text(*s), "untouched");
  }

  ICCertificate cert;
  EXPECT_EQ(cert.getSignCert(), GetParam().expected);
  EXPECT_EQ(cert.getB64Cert4Sign(), "");
  EXPECT_EQ(cert.getIssure4Sign(""), "");
  EXPECT_EQ(cert.getSerial4Sign(), "");
  EXPECT_EQ(emucard_initialized(), 0);
  ExpectSessionDiscipline();
}

INSTANTIATE_TEST_SUITE_P(Faults, CardReadFault, ::testing::ValuesIn(kReadFaults), CaseName());

// VerifyPIN's codes.
struct PinCase {
  const char* name;
  std::function<void()> scenario;
  const char* pin;
  int32_t expected;
};

const PinCase kPinCases[] = {
    {"card_pin", [] { emucard_test::AddStandardCard(); }, kUserPin, 0},
    {"wrong_pin", [] { emucard_test::AddStandardCard(); }, "999999", 13},
    {"empty_pin", [] { emucard_test::AddStandardCard(); }, "", 13},
    {"pin_locked",
     [] {
       emucard_test::AddStandardCard();
       emucard_set_pin_locked(kCardSlot, 1);
     },
     kUserPin, 18},
    {"login_device_error",
     [] {
       emucard_test::AddStandardCard();
       emucard_fail_always(EMUCARD_C_Login, CKR_DEVICE_ERROR);
     },
     kUserPin, 18},
    {"reader_without_card", [] { emucard_add_reader(kEmptySlot, 0); }, kUserPin, 12},
    {"open_session_token_not_present",
     [] {
       emucard_test::AddStandardCard();
       emucard_fail_always(EMUCARD_C_OpenSession, CKR_TOKEN_NOT_PRESENT);
     },
     kUserPin, 12},
    {"no_reader", [] {}, kUserPin, 11},
};

class VerifyPinCode : public EmuCardTest, public ::testing::WithParamInterface<PinCase> {};

TEST_P(VerifyPinCode, MapsTheCardsAnswer) {
  GetParam().scenario();
  EXPECT_EQ(VerifyPIN(GetParam().pin), GetParam().expected);
  EXPECT_EQ(emucard_initialized(), 0);
  ExpectSessionDiscipline();
}

INSTANTIATE_TEST_SUITE_P(Pins, VerifyPinCode, ::testing::ValuesIn(kPinCases), CaseName());

TEST_F(CardEntryOnEmuCard, EmptyPinNeverReachesTheCard) {
  emucard_test::AddStandardCard();
  EXPECT_EQ(VerifyPIN(""), 13);
  EXPECT_TRUE(emucard_test::Calls().empty());
}

// The card library's codes as Docseal reports them, including those no
// card scenario can reach through an entry point (512 after a good start).
struct CodeRow {
  const char* name;
  int32_t card_code;
  int32_t read_code;
  int32_t pin_code;
};

const CodeRow kCodeRows[] = {
    {"ok", VORPIN_OK, 0, 0},
    {"open_session", VORPIN_ERR_OPEN_SESSION, 12, 12},
    {"login", VORPIN_ERR_LOGIN, 15, 18},
    {"pin_incorrect", VORPIN_ERR_PIN_INCORRECT, 15, 13},
    {"not_initialized", VORPIN_ERR_NOT_INITIALIZED, 15, 15},
    {"cert_find", VORPIN_ERR_CERT_FIND, 15, 15},
    {"cert_value", VORPIN_ERR_CERT_VALUE, 15, 15},
    {"buffer_too_small", VORPIN_ERR_BUFFER_TOO_SMALL, 15, 15},
};

class CardCodeMapping : public ::testing::TestWithParam<CodeRow> {};

TEST_P(CardCodeMapping, NeverPassesACardCodeOn) {
  EXPECT_EQ(docseal::MapCardReadCode(GetParam().card_code), GetParam().read_code);
  EXPECT_EQ(docseal::MapPinCheckCode(GetParam().card_code), GetParam().pin_code);
}

INSTANTIATE_TEST_SUITE_P(Codes, CardCodeMapping, ::testing::ValuesIn(kCodeRows), CaseName());

class ICCertificateOnEmuCard : public EmuCardTest {};

TEST_F(ICCertificateOnEmuCard, FailedReadHoldsNothingAndALaterOneReadsAfresh) {
  const test_certs::Issued issued = test_certs::Issue("Alice", {}, "Issuer A");
  AddCardWith(issued);
  emucard_fail_always(EMUCARD_C_OpenSession, CKR_TOKEN_NOT_PRESENT);
  ICCertificate cert;
  ASSERT_EQ(cert.getSignCert(), 12);
  EXPECT_EQ(cert.getB64Cert4Sign(), "");
  EXPECT_EQ(cert.getIssure4Sign(""), "");  // tries the card again, still absent

  emucard_fail_always(EMUCARD_C_OpenSession, CKR_OK);
  emucard_clear_log();
  EXPECT_EQ(cert.getIssure4Sign(""), "C=XX,O=Issuer A");
  EXPECT_FALSE(emucard_test::CallsOf(EMUCARD_C_OpenSession).empty());
  EXPECT_EQ(DecodeBase64(cert.getB64Cert4Sign()), issued.der);
  EXPECT_EQ(cert.getSerial4Sign(), test_certs::SerialText());
}

TEST_F(ICCertificateOnEmuCard, CachedIssuerAndSerialOutliveACardChange) {
  const test_certs::Issued first = test_certs::Issue("Alice", {}, "Issuer A", 0x11);
  const test_certs::Issued second = test_certs::Issue("Bob", {}, "Issuer B", 0x61);
  AddCardWith(first);
  ICCertificate cert;
  ASSERT_EQ(cert.getSerial4Sign(), test_certs::SerialText(0x11));

  emucard_reset();
  AddCardWith(second);
  EXPECT_EQ(cert.getIssure4Sign("anything"), "C=XX,O=Issuer A");
  EXPECT_EQ(cert.getSerial4Sign(), test_certs::SerialText(0x11));
  EXPECT_TRUE(emucard_test::Calls().empty());  // answered from the cache

  ASSERT_EQ(cert.getSignCert(), 0);
  EXPECT_EQ(DecodeBase64(cert.getB64Cert4Sign()), second.der);
  EXPECT_EQ(cert.getIssure4Sign(""), "C=XX,O=Issuer A");  // not refreshed
  EXPECT_EQ(cert.getSerial4Sign(), test_certs::SerialText(0x11));

  ICCertificate fresh;  // nothing is cached across objects
  EXPECT_EQ(fresh.getIssure4Sign(""), "C=XX,O=Issuer B");
}

// The five fields as the entry point copies them, from certificates whose
// texts fit their capacities or not.
struct FieldCase {
  const char* name;
  std::string common_name;
  std::vector<test_certs::Extension> extensions;
  std::string subject, email, tail;
};

const std::string kLongName(100, 'n');
const std::string kLongAddress = "alice@" + std::string(84, 'x') + ".org";

const FieldCase kFieldCases[] = {
    {"profile", "Alice Emu", test_certs::Profile("alice@example.org", "EM01"), "CN=Alice Emu",
     "alice@example.org", "EM01"},
    {"subject_over_80_is_cut", kLongName, test_certs::Profile("a@b.c", "EM02"),
     ("CN=" + kLongName.substr(0, 64) + ",CN=" + kLongName.substr(64)).substr(0, 80), "a@b.c",
     "EM02"},
    {"email_over_80_is_cut", "Alice", test_certs::Profile(kLongAddress, "EM03"), "CN=Alice",
     kLongAddress.substr(0, 80), "EM03"},
    {"no_extensions", "Alice", {}, "CN=Alice", "", ""},
    {"extension_6_without_an_address", "Alice",
     [] {
       std::vector<test_certs::Extension> exts = test_certs::Profile("x@y.z", "EM04");
       exts[6] = test_certs::Printable("1.3.6.1.4.1.55555.9.7", "no address here");
       return exts;
     }(),
     "CN=Alice", "@@", "here"},
};

class CardFields : public EmuCardTest, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(CardFields, AreHeldToTheirCapacities) {
  AddCardWith(test_certs::Issue(GetParam().common_name, GetParam().extensions));
  Outputs out;
  ASSERT_EQ(out.ReadAll(), 0);
  EXPECT_EQ(Outputs::Text(out.subject), GetParam().subject);
  EXPECT_EQ(Outputs::Text(out.email), GetParam().email);
  EXPECT_EQ(Outputs::Text(out.tail), GetParam().tail);
  EXPECT_EQ(Outputs::Text(out.notBefore), "Mar  5 09:04:05 2007 GMT");
  EXPECT_EQ(Outputs::Text(out.notAfter), "Dec 31 23:59:59 2030 GMT");
  EXPECT_EQ(Outputs::Text(out.issuer), "C=XX,O=Emulated CA");
  EXPECT_EQ(Outputs::Text(out.serial), test_certs::SerialText());
}

INSTANTIATE_TEST_SUITE_P(Fields, CardFields, ::testing::ValuesIn(kFieldCases), CaseName());

}  // namespace

// The card operations without a private key (certificate read, PIN check,
// random bytes) against the emulated card: every result, every trace
// message, and the session bracket on every path.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "emucard_fixture.h"

namespace emucard_test {
namespace {

using ::testing::ElementsAreArray;

constexpr int32_t kBufferSize = 4096;

int32_t GetSignCert() {
  static unsigned char buffer[kBufferSize];
  int32_t len = kBufferSize;
  return vorpin_getcert_for_sign(buffer, &len);
}
int32_t GetEncCert() {
  static unsigned char buffer[kBufferSize];
  int32_t len = kBufferSize;
  return vorpin_getcert_for_enc(buffer, &len);
}
int32_t CheckRightPin() {
  return vorpin_check_pin_valid(reinterpret_cast<const unsigned char*>(kUserPin), 6);
}
int32_t CheckWrongPin() {
  return vorpin_check_pin_valid(reinterpret_cast<const unsigned char*>("654321"), 6);
}
int32_t DrawRandom() {
  unsigned char buffer[16];
  return vorpin_gen_session_key(buffer, sizeof buffer);
}

void StandardCard() { AddStandardCard(); }

// One card operation on one emulated card: setup before vorpin_init,
// after_init between vorpin_init and the operation. Messages may hold
// {sign} and {enc} for the sizes of the ready-made certificates.
struct OpCase {
  const char* name;
  void (*setup)();
  void (*after_init)();
  int32_t (*op)();
  int32_t result;
  std::vector<std::string> messages;
  const char* calls;
  friend void PrintTo(const OpCase& c, std::ostream* os) { *os << c.name; }
};

void Nothing() {}
void PullOut() { emucard_set_token_present(kCardSlot, 0); }
void OpenSessionFails() { emucard_fail_nth(EMUCARD_C_OpenSession, 1, CKR_SESSION_COUNT); }
void EmptyReaderOnly() { emucard_add_reader(kEmptySlot, 0); }
void CardInSecondReader() {
  emucard_add_reader(kEmptySlot, 0);
  AddStandardCard();
}
void KeysOnly() {
  emucard_add_reader(kCardSlot, 1);
  const CardKit& kit = Kit();
  emucard_add_private_key(kCardSlot,
                          reinterpret_cast<const unsigned char*>(kit.sign.key_pem.data()),
                          kit.sign.key_pem.size());
}
void SignCertOnly() {
  emucard_add_reader(kCardSlot, 1);
  emucard_add_certificate(kCardSlot, Kit().sign.cert_der.data(), Kit().sign.cert_der.size());
}

const char kCertRead[] =
    "C_OpenSession C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_GetAttributeValue "
    "C_GetAttributeValue C_CloseSession";
const char kNotPresent[] = "(): Smart Card is NOT presented in the Card Reader!";
const char kOpenFailed[] = "(): failed to open session on Smart card!";

std::string Op(const char* op, const char* rest) { return std::string(op) + rest; }

const OpCase kOpCases[] = {
    // vorpin_getcert
    {"cert_sign",
     StandardCard,
     Nothing,
     GetSignCert,
     VORPIN_OK,
     {"vorpin_getcert(): get the size of certificate, size == {sign}"},
     kCertRead},
    {"cert_enc",
     StandardCard,
     Nothing,
     GetEncCert,
     VORPIN_OK,
     {"vorpin_getcert(): get the size of certificate, size == {enc}"},
     kCertRead},
    {"cert_card_in_second_reader",
     CardInSecondReader,
     Nothing,
     GetSignCert,
     VORPIN_OK,
     {"vorpin_getcert(): get the size of certificate, size == {sign}"},
     kCertRead},
    {"cert_none_on_card",
     KeysOnly,
     Nothing,
     GetSignCert,
     VORPIN_ERR_CERT_FIND,
     {"vorpin_getcert(): failed to find key objects!"},
     "C_OpenSession C_FindObjectsInit C_FindObjects C_CloseSession"},
    {"cert_enc_missing_on_one_cert_card",
     SignCertOnly,
     Nothing,
     GetEncCert,
     VORPIN_ERR_CERT_SIZE,
     {"vorpin_getcert(): failed to get the size of certificate!"},
     "C_OpenSession C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_CloseSession"},
    {"cert_find_objects_init_fails",
     StandardCard,
     [] { emucard_fail_nth(EMUCARD_C_FindObjectsInit, 1, CKR_DEVICE_ERROR); },
     GetSignCert,
     VORPIN_ERR_CERT_FIND_INIT,
     {"vorpin_getcert(): failed to initialize finding objects!"},
     "C_OpenSession C_FindObjectsInit C_CloseSession"},
    {"cert_find_objects_fails",
     StandardCard,
     [] { emucard_fail_nth(EMUCARD_C_FindObjects, 1, CKR_DEVICE_ERROR); },
     GetSignCert,
     VORPIN_ERR_CERT_FIND,
     {"vorpin_getcert(): failed to find key objects!"},
     "C_OpenSession C_FindObjectsInit C_FindObjects C_CloseSession"},
    {"cert_find_objects_final_fails",
     StandardCard,
     [] { emucard_fail_nth(EMUCARD_C_FindObjectsFinal, 1, CKR_DEVICE_ERROR); },
     GetEncCert,
     VORPIN_ERR_CERT_FIND_FINAL,
     {"vorpin_getcert(): failed to finalize finding objects!"},
     "C_OpenSession C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_CloseSession"},
    {"cert_get_attribute_size_fails",
     StandardCard,
     [] { emucard_fail_nth(EMUCARD_C_GetAttributeValue, 1, CKR_ATTRIBUTE_TYPE_INVALID); },
     GetSignCert,
     VORPIN_ERR_CERT_SIZE,
     {"vorpin_getcert(): failed to get the size of certificate!"},
     "C_OpenSession C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_GetAttributeValue "
     "C_CloseSession"},
    {"cert_get_attribute_value_fails",
     StandardCard,
     [] { emucard_fail_nth(EMUCARD_C_GetAttributeValue, 2, CKR_DEVICE_ERROR); },
     GetEncCert,
     VORPIN_ERR_CERT_VALUE,
     {"vorpin_getcert(): get the size of certificate, size == {enc}",
      "vorpin_getcert(): failed to get the certificate from Smart Card!"},
     kCertRead},
    {"cert_card_pulled_out",
     StandardCard,
     PullOut,
     GetSignCert,
     VORPIN_ERR_OPEN_SESSION,
     {Op("vorpin_getcert", kNotPresent)},
     "C_OpenSession"},
    {"cert_open_session_fails",
     StandardCard,
     OpenSessionFails,
     GetEncCert,
     VORPIN_ERR_OPEN_SESSION,
     {Op("vorpin_getcert", kOpenFailed)},
     "C_OpenSession"},
    {"cert_reader_without_card",
     EmptyReaderOnly,
     Nothing,
     GetSignCert,
     VORPIN_ERR_OPEN_SESSION,
     {Op("vorpin_getcert", kNotPresent)},
     ""},

    // vorpin_check_pin_valid
    {"pin_right",
     StandardCard,
     Nothing,
     CheckRightPin,
     VORPIN_OK,
     {},
     "C_OpenSession C_Login C_Logout C_CloseSession"},
    {"pin_right_card_in_second_reader",
     CardInSecondReader,
     Nothing,
     CheckRightPin,
     VORPIN_OK,
     {},
     "C_OpenSession C_Login C_Logout C_CloseSession"},
    {"pin_wrong",
     StandardCard,
     Nothing,
     CheckWrongPin,
     VORPIN_ERR_PIN_INCORRECT,
     {"vorpin_check_pin_valid(): the input pin code is incorrect!"},
     "C_OpenSession C_Login C_CloseSession"},
    {"pin_locked",
     StandardCard,
     [] { emucard_set_pin_locked(kCardSlot, 1); },
     CheckRightPin,
     VORPIN_ERR_LOGIN,
     {"vorpin_check_pin_valid(): failed to login Smart card!"},
     "C_OpenSession C_Login C_CloseSession"},
    {"pin_card_pulled_out",
     StandardCard,
     PullOut,
     CheckRightPin,
     VORPIN_ERR_OPEN_SESSION,
     {Op("vorpin_check_pin_valid", kNotPresent)},
     "C_OpenSession"},
    {"pin_open_session_fails",
     StandardCard,
     OpenSessionFails,
     CheckRightPin,
     VORPIN_ERR_OPEN_SESSION,
     {Op("vorpin_check_pin_valid", kOpenFailed)},
     "C_OpenSession"},
    {"pin_reader_without_card",
     EmptyReaderOnly,
     Nothing,
     CheckRightPin,
     VORPIN_ERR_OPEN_SESSION,
     {Op("vorpin_check_pin_valid", kNotPresent)},
     ""},

    // vorpin_gen_session_key
    {"random",
     StandardCard,
     Nothing,
     DrawRandom,
     VORPIN_OK,
     {},
     "C_OpenSession C_SeedRandom C_GenerateRandom C_CloseSession"},
    {"random_seed_not_supported",
     StandardCard,
     [] { emucard_fail_always(EMUCARD_C_SeedRandom, CKR_RANDOM_SEED_NOT_SUPPORTED); },
     DrawRandom,
     VORPIN_OK,
     {"vorpin_gen_session_key(): random seed setting is NOT supported in aetpkss1.dll"},
     "C_OpenSession C_SeedRandom C_GenerateRandom C_CloseSession"},
    {"random_seed_fails",
     StandardCard,
     [] { emucard_fail_always(EMUCARD_C_SeedRandom, CKR_DEVICE_ERROR); },
     DrawRandom,
     VORPIN_ERR_SEED_RANDOM,
     {"vorpin_gen_session_key(): failed to set the random seed! PKCS#11 errcode == 0x00000030"},
     "C_OpenSession C_SeedRandom C_CloseSession"},
    {"random_generate_fails",
     StandardCard,
     [] { emucard_fail_always(EMUCARD_C_GenerateRandom, CKR_DEVICE_ERROR); },
     DrawRandom,
     VORPIN_ERR_GENERATE_RANDOM,
     {"vorpin_gen_session_key(): failed to generate random value!"},
     "C_OpenSession C_SeedRandom C_GenerateRandom C_CloseSession"},
    {"random_card_pulled_out",
     StandardCard,
     PullOut,
     DrawRandom,
     VORPIN_ERR_OPEN_SESSION,
     {Op("vorpin_gen_session_key", kNotPresent)},
     "C_OpenSession"},
    {"random_open_session_fails",
     StandardCard,
     OpenSessionFails,
     DrawRandom,
     VORPIN_ERR_OPEN_SESSION,
     {Op("vorpin_gen_session_key", kOpenFailed)},
     "C_OpenSession"},
    {"random_reader_without_card",
     EmptyReaderOnly,
     Nothing,
     DrawRandom,
     VORPIN_ERR_OPEN_SESSION,
     {Op("vorpin_gen_session_key", kNotPresent)},
     ""},
};

std::string WithSizes(std::string text) {
  const std::pair<const char*, size_t> sizes[] = {{"{sign}", Kit().sign.cert_der.size()},
                                                  {"{enc}", Kit().enc.cert_der.size()}};
  for (const auto& [token, size] : sizes) {
    size_t at = text.find(token);
    if (at != std::string::npos) text.replace(at, std::strlen(token), std::to_string(size));
  }
  return text;
}

class CardOpTest : public EmuCardTest, public ::testing::WithParamInterface<OpCase> {};

TEST_P(CardOpTest, ResultMessagesAndSessionBracket) {
  const OpCase& c = GetParam();
  c.setup();
  InitReady();
  c.after_init();

  EXPECT_EQ(c.op(), c.result);
  std::vector<std::string> expected;
  for (const auto& m : c.messages) expected.push_back(WithSizes(m));
  EXPECT_THAT(Messages(), ElementsAreArray(expected));
  EXPECT_EQ(Describe(CallSequence()), c.calls);
  ExpectSessionDiscipline();
  ExpectSearchTemplate(CKO_CERTIFICATE, CKA_CERTIFICATE_TYPE, CKC_X_509);
  for (const auto& open : CallsOf(EMUCARD_C_OpenSession)) EXPECT_EQ(open.slot, kCardSlot);
  EXPECT_EQ(emucard_logged_in(kCardSlot), 0);
}

INSTANTIATE_TEST_SUITE_P(Emucard, CardOpTest, ::testing::ValuesIn(kOpCases), CaseName());

class CardFrameTest : public EmuCardTest {};

TEST_F(CardFrameTest, EveryOperationAnswers512BeforeInitWithoutTouchingArguments) {
  AddStandardCard();
  int32_t len = 77;
  EXPECT_EQ(vorpin_getcert_for_sign(nullptr, nullptr), VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_EQ(vorpin_getcert_for_enc(nullptr, &len), VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_EQ(vorpin_check_pin_valid(nullptr, 0), VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_EQ(vorpin_gen_session_key(nullptr, 5), VORPIN_ERR_NOT_INITIALIZED);
  EXPECT_EQ(len, 77);
  EXPECT_THAT(Messages(), ElementsAreArray({
                              "vorpin_getcert(): NOT initialize Smart Card module yet!",
                              "vorpin_getcert(): NOT initialize Smart Card module yet!",
                              "vorpin_check_pin_valid(): NOT initialize Smart Card module yet!",
                              "vorpin_gen_session_key(): NOT initialize Smart Card module yet!",
                          }));
  EXPECT_EQ(emucard_call_count(), 0u);
}

TEST_F(CardFrameTest, NullLengthGives3WithoutCardCall) {
  AddStandardCard();
  InitReady();
  unsigned char buffer[16];
  EXPECT_EQ(vorpin_getcert_for_sign(buffer, nullptr), VORPIN_ERR_NULL_LENGTH);
  EXPECT_THAT(Messages(),
              ElementsAreArray(
                  {"vorpin_getcert(): input a NULL input/output buffer for getting certificate "
                   "size!"}));
  EXPECT_EQ(emucard_call_count(), 0u);
}

// The output-length convention: a size query, then the read; a larger
// buffer; too small and negative capacities leave the buffer unwritten.
TEST_F(CardFrameTest, CertificateSizeQueryThenRead) {
  AddStandardCard();
  InitReady();
  const Bytes& der = Kit().sign.cert_der;
  const int32_t n = static_cast<int32_t>(der.size());

  int32_t len = 0;
  EXPECT_EQ(vorpin_getcert_for_sign(nullptr, &len), VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, n);
  const auto queries = CallsOf(EMUCARD_C_GetAttributeValue);
  ASSERT_EQ(queries.size(), 1u);
  ASSERT_EQ(queries[0].attr_count, 1u);
  EXPECT_EQ(queries[0].attrs[0].type, static_cast<CK_ATTRIBUTE_TYPE>(CKA_VALUE));
  EXPECT_TRUE(queries[0].attrs[0].value_null);
  EXPECT_EQ(queries[0].attrs[0].value_len, 0u);

  emucard_clear_log();
  Bytes exact(der.size());
  EXPECT_EQ(vorpin_getcert_for_sign(exact.data(), &len), VORPIN_OK);
  EXPECT_EQ(len, n);
  EXPECT_EQ(exact, der);
  const auto reads = CallsOf(EMUCARD_C_GetAttributeValue);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_FALSE(reads[1].attrs[0].value_null);
  EXPECT_EQ(reads[1].attrs[0].value_len, der.size());

  Bytes larger(der.size() + 100, 0xEE);
  len = static_cast<int32_t>(larger.size());
  EXPECT_EQ(vorpin_getcert_for_sign(larger.data(), &len), VORPIN_OK);
  EXPECT_EQ(len, n);
  EXPECT_TRUE(std::equal(der.begin(), der.end(), larger.begin()));
  EXPECT_EQ(larger[der.size()], 0xEE);

  for (int32_t capacity : {n - 1, -1, INT32_MIN}) {
    SCOPED_TRACE(capacity);
    Bytes small(der.size(), 0xEE);
    len = capacity;
    EXPECT_EQ(vorpin_getcert_for_sign(small.data(), &len), VORPIN_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, n);
    EXPECT_EQ(small, Bytes(der.size(), 0xEE));
  }
  ExpectSessionDiscipline();
}

TEST_F(CardFrameTest, FailedReadLeavesLengthAndBufferAlone) {
  AddStandardCard();
  InitReady();
  emucard_fail_nth(EMUCARD_C_GetAttributeValue, 2, CKR_DEVICE_ERROR);
  Bytes buffer(kBufferSize, 0xEE);
  int32_t len = kBufferSize;
  EXPECT_EQ(vorpin_getcert_for_sign(buffer.data(), &len), VORPIN_ERR_CERT_VALUE);
  EXPECT_EQ(len, kBufferSize);
  EXPECT_EQ(buffer, Bytes(kBufferSize, 0xEE));
}

Bytes ReadCert(int32_t (*read)(unsigned char*, int32_t*)) {
  Bytes out(kBufferSize);
  int32_t len = kBufferSize;
  if (read(out.data(), &len) != VORPIN_OK) return {};
  out.resize(static_cast<size_t>(len));
  return out;
}

// Only the token's listing order tells the certificates apart; a third one
// is never returned, and objects of other kinds are not in the search.
struct OrderCase {
  const char* name;
  std::vector<const Bytes*> certs;
  const Bytes* want_sign;
  const Bytes* want_enc;
  friend void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }
};

const OrderCase kOrderCases[] = {
    {"sign_then_enc",
     {&Kit().sign.cert_der, &Kit().enc.cert_der},
     &Kit().sign.cert_der,
     &Kit().enc.cert_der},
    {"enc_first",
     {&Kit().enc.cert_der, &Kit().sign.cert_der},
     &Kit().enc.cert_der,
     &Kit().sign.cert_der},
    {"three_certificates",
     {&Kit().sign.cert_der, &Kit().enc.cert_der, &Kit().other.cert_der},
     &Kit().sign.cert_der,
     &Kit().enc.cert_der},
};

class CertificateOrderTest : public EmuCardTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(CertificateOrderTest, FirstIsSigningSecondIsEncryption) {
  const OrderCase& c = GetParam();
  AddCardWithCertificates(kCardSlot, c.certs);
  InitReady();
  EXPECT_EQ(ReadCert(vorpin_getcert_for_sign), *c.want_sign);
  EXPECT_EQ(ReadCert(vorpin_getcert_for_enc), *c.want_enc);
  ExpectSessionDiscipline();
}

INSTANTIATE_TEST_SUITE_P(Emucard, CertificateOrderTest, ::testing::ValuesIn(kOrderCases),
                         CaseName());

TEST_F(CardFrameTest, OtherObjectsAreNotTakenForCertificates) {
  emucard_add_reader(kCardSlot, 1);
  const CardKit& kit = Kit();
  emucard_add_public_key(kCardSlot,
                         reinterpret_cast<const unsigned char*>(kit.other.public_pem.data()),
                         kit.other.public_pem.size());
  CK_OBJECT_CLASS data_class = CKO_DATA;
  CK_BBOOL no = CK_FALSE;
  unsigned char value[] = {1, 2, 3};
  CK_ATTRIBUTE data[] = {{CKA_CLASS, &data_class, sizeof data_class},
                         {CKA_PRIVATE, &no, sizeof no},
                         {CKA_VALUE, value, sizeof value}};
  emucard_add_object(kCardSlot, data, 3);
  // A certificate of another type than X.509.
  CK_OBJECT_CLASS cert_class = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE attr_cert = CKC_X_509_ATTR_CERT;
  CK_ATTRIBUTE attribute_cert[] = {{CKA_CLASS, &cert_class, sizeof cert_class},
                                   {CKA_CERTIFICATE_TYPE, &attr_cert, sizeof attr_cert},
                                   {CKA_VALUE, value, sizeof value}};
  emucard_add_object(kCardSlot, attribute_cert, 3);
  emucard_add_certificate(kCardSlot, kit.sign.cert_der.data(), kit.sign.cert_der.size());
  emucard_add_private_key(kCardSlot,
                          reinterpret_cast<const unsigned char*>(kit.sign.key_pem.data()),
                          kit.sign.key_pem.size());
  emucard_add_certificate(kCardSlot, kit.enc.cert_der.data(), kit.enc.cert_der.size());
  InitReady();
  EXPECT_EQ(ReadCert(vorpin_getcert_for_sign), kit.sign.cert_der);
  EXPECT_EQ(ReadCert(vorpin_getcert_for_enc), kit.enc.cert_der);
}

TEST_F(CardFrameTest, PinGoesToTheTokenAsGivenAndIsLoggedOutAgain) {
  AddStandardCard();
  InitReady();
  // Only pin_len bytes count: no terminator is needed or looked for.
  const unsigned char typed[] = {'1', '2', '3', '4', '5', '6', '7'};
  EXPECT_EQ(vorpin_check_pin_valid(typed, 6), VORPIN_OK);
  const auto logins = CallsOf(EMUCARD_C_Login);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].user_type, static_cast<CK_USER_TYPE>(CKU_USER));
  EXPECT_EQ(logins[0].count, 6u);
  EXPECT_EQ(std::memcmp(logins[0].bytes, "123456", 6), 0);
  EXPECT_EQ(emucard_logged_in(kCardSlot), 0);
  ExpectSessionDiscipline();
}

// PIN arguments the token cannot be given are refused before C_Login; an
// empty PIN is the token's to judge.
struct PinArgumentCase {
  const char* name;
  const unsigned char* pin;
  int32_t pin_len;
  bool reaches_token;
  friend void PrintTo(const PinArgumentCase& c, std::ostream* os) { *os << c.name; }
};

const unsigned char kSixDigits[] = {'1', '2', '3', '4', '5', '6'};
const PinArgumentCase kPinArguments[] = {
    {"negative_length", kSixDigits, -1, false},
    {"most_negative_length", kSixDigits, INT32_MIN, false},
    {"null_pin_with_length", nullptr, 6, false},
    {"null_pin_empty", nullptr, 0, true},
    {"empty_pin", kSixDigits, 0, true},
};

class PinArgumentTest : public EmuCardTest,
                        public ::testing::WithParamInterface<PinArgumentCase> {};

TEST_P(PinArgumentTest, UnreadablePinIsIncorrect) {
  const PinArgumentCase& c = GetParam();
  AddStandardCard();
  InitReady();
  EXPECT_EQ(vorpin_check_pin_valid(c.pin, c.pin_len), VORPIN_ERR_PIN_INCORRECT);
  EXPECT_THAT(Messages(),
              ElementsAreArray({"vorpin_check_pin_valid(): the input pin code is incorrect!"}));
  EXPECT_EQ(Describe(CallSequence()), c.reaches_token ? "C_OpenSession C_Login C_CloseSession"
                                                      : "C_OpenSession C_CloseSession");
  ExpectSessionDiscipline();
}

INSTANTIATE_TEST_SUITE_P(Emucard, PinArgumentTest, ::testing::ValuesIn(kPinArguments), CaseName());

TEST_F(CardFrameTest, TokenRetryLimitTurnsWrongPinsIntoLockedPin) {
  AddStandardCard();
  emucard_set_pin_retry_limit(kCardSlot, 3);
  InitReady();
  const auto* wrong = reinterpret_cast<const unsigned char*>("000000");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(vorpin_check_pin_valid(wrong, 6), VORPIN_ERR_PIN_INCORRECT);
  EXPECT_EQ(vorpin_check_pin_valid(Pin(), PinLen()), VORPIN_ERR_LOGIN);
  ExpectSessionDiscipline();
}

// The random seed is the current time as 8 lower-case hex digits.
TEST_F(CardFrameTest, RandomIsSeededWithTheTimeInHex) {
  AddStandardCard();
  InitReady();
  const auto before = static_cast<unsigned long>(std::time(nullptr));
  unsigned char a[32] = {};
  unsigned char b[32] = {};
  ASSERT_EQ(vorpin_gen_session_key(a, sizeof a), VORPIN_OK);
  ASSERT_EQ(vorpin_gen_session_key(b, sizeof b), VORPIN_OK);
  const auto after = static_cast<unsigned long>(std::time(nullptr));
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);

  const auto seeds = CallsOf(EMUCARD_C_SeedRandom);
  ASSERT_EQ(seeds.size(), 2u);
  for (const auto& random_seed : seeds) {
    ASSERT_EQ(random_seed.count, 8u);
    const std::string text(reinterpret_cast<const char*>(random_seed.bytes), 8);
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
    const unsigned long t = std::stoul(text, nullptr, 16);
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
  }
  const auto draws = CallsOf(EMUCARD_C_GenerateRandom);
  ASSERT_EQ(draws.size(), 2u);
  EXPECT_EQ(draws[0].count, sizeof a);
}

TEST_F(CardFrameTest, RandomOfZeroBytesStillAsksTheToken) {
  AddStandardCard();
  InitReady();
  EXPECT_EQ(vorpin_gen_session_key(nullptr, 0), VORPIN_OK);
  EXPECT_EQ(Describe(CallSequence()), "C_OpenSession C_SeedRandom C_GenerateRandom C_CloseSession");
  EXPECT_EQ(CallsOf(EMUCARD_C_GenerateRandom)[0].count, 0u);

  emucard_clear_log();
  emucard_fail_nth(EMUCARD_C_GenerateRandom, 1, CKR_DEVICE_ERROR);
  EXPECT_EQ(vorpin_gen_session_key(nullptr, 0), VORPIN_ERR_GENERATE_RANDOM);
  ExpectSessionDiscipline();
}

// Counts the token cannot be given: no room behind a null buffer, and a
// negative count that would become a huge unsigned one.
TEST_F(CardFrameTest, RandomRefusesCountsWithoutRoom) {
  AddStandardCard();
  InitReady();
  unsigned char buffer[4];
  EXPECT_EQ(vorpin_gen_session_key(nullptr, 16), VORPIN_ERR_GENERATE_RANDOM);
  EXPECT_EQ(vorpin_gen_session_key(buffer, -1), VORPIN_ERR_GENERATE_RANDOM);
  EXPECT_TRUE(CallsOf(EMUCARD_C_GenerateRandom).empty());
  ExpectSessionDiscipline();
}

}  // namespace
}  // namespace emucard_test

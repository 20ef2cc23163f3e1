// Fault sweep on the emulated card: every card operation is run once to
// record the PKCS#11 calls it makes, then run again once for each of those
// calls with exactly that call failing. Each time the operation must give
// the code its table assigns to that step (C_Logout and C_CloseSession
// failing are ignored), every session it opened must have been closed after
// a logout where a login had succeeded, and the very next operation must
// work again.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "emucard_fixture.h"

namespace emucard_test {
namespace {

constexpr CK_RV kFault = CKR_DEVICE_ERROR;
constexpr int32_t kCertRoom = 4096;
const unsigned char kData[] = "the quick brown fox jumps over the lazy dog";
constexpr int32_t kDataLen = sizeof kData - 1;

// Inputs that some operations need, made once with the card working.
struct Inputs {
  Bytes signature;   // vorpin_sign of kData with SHA-1, for the card form of verify
  Bytes ciphertext;  // a 16-byte key encrypted for the card's encryption certificate
};
Inputs& Made() {
  static Inputs inputs;
  return inputs;
}

void MakeSignature() {
  Bytes& sig = Made().signature;
  sig.assign(256, 0);
  int32_t len = static_cast<int32_t>(sig.size());
  ASSERT_EQ(vorpin_sign(kData, kDataLen, sig.data(), &len, VORPIN_HASH_SHA1,
                        reinterpret_cast<const unsigned char*>(kUserPin), 6),
            VORPIN_OK);
  sig.resize(static_cast<size_t>(len));
}

void MakeCiphertext() {
  const Bytes& cert = Kit().enc.cert_der;
  Bytes& enc = Made().ciphertext;
  enc.assign(256, 0);
  int32_t len = static_cast<int32_t>(enc.size());
  ASSERT_EQ(vorpin_pubkey_encrypt_by_cert(kData, 16, enc.data(), &len, cert.data(),
                                          static_cast<int32_t>(cert.size())),
            VORPIN_OK);
  enc.resize(static_cast<size_t>(len));
}

const unsigned char* Pin() { return reinterpret_cast<const unsigned char*>(kUserPin); }

int32_t GetCert(int32_t (*get)(unsigned char*, int32_t*), bool query) {
  static unsigned char buffer[kCertRoom];
  int32_t len = kCertRoom;
  return get(query ? nullptr : buffer, &len);
}

int32_t CertSign() { return GetCert(vorpin_getcert_for_sign, false); }
int32_t CertSignQuery() { return GetCert(vorpin_getcert_for_sign, true); }
int32_t CertEnc() { return GetCert(vorpin_getcert_for_enc, false); }
int32_t CheckPin() { return vorpin_check_pin_valid(Pin(), 6); }
int32_t Random() {
  unsigned char key[24];
  return vorpin_gen_session_key(key, sizeof key);
}
int32_t Sign(bool query, int32_t hash_type) {
  unsigned char sig[256];
  int32_t len = sizeof sig;
  return vorpin_sign(kData, kDataLen, query ? nullptr : sig, &len, hash_type, Pin(), 6);
}
int32_t SignSha1() { return Sign(false, VORPIN_HASH_SHA1); }
int32_t SignRaw() { return Sign(false, VORPIN_HASH_NONE); }
int32_t SignQuery() { return Sign(true, VORPIN_HASH_MD5_SHA1); }
int32_t Decrypt(bool query) {
  const Bytes& enc = Made().ciphertext;
  unsigned char out[256];
  int32_t len = sizeof out;
  return vorpin_prikey_decrypt(enc.data(), static_cast<int32_t>(enc.size()), query ? nullptr : out,
                               &len, Pin(), 6);
}
int32_t DecryptFull() { return Decrypt(false); }
int32_t DecryptQuery() { return Decrypt(true); }
int32_t VerifyOnCard() {
  const Bytes& sig = Made().signature;
  return vorpin_verify(kData, kDataLen, sig.data(), static_cast<int32_t>(sig.size()),
                       VORPIN_HASH_SHA1);
}
int32_t EncryptOnCard() {
  unsigned char out[128];
  int32_t len = sizeof out;
  return vorpin_pubkey_encrypt(kData, 16, out, &len);
}

// The code expected when the nth call (counted from 1 within the
// operation) of fn fails; nth 0 stands for every call of fn.
struct StepCode {
  emucard_fn fn;
  unsigned nth;
  int32_t code;
};

struct SweepCase {
  const char* name;
  void (*prepare)();  // after vorpin_init, before the recording
  int32_t (*op)();
  int32_t ok;  // the operation's answer with the card working
  std::vector<StepCode> codes;
  friend void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.name; }
};

void Nothing() {}

// The bracket's own steps, ignored answers included.
std::vector<StepCode> Bracket(std::vector<StepCode> own) {
  own.push_back({EMUCARD_C_OpenSession, 0, VORPIN_ERR_OPEN_SESSION});
  own.push_back({EMUCARD_C_Login, 0, VORPIN_ERR_LOGIN});
  own.push_back({EMUCARD_C_Logout, 0, VORPIN_OK});
  own.push_back({EMUCARD_C_CloseSession, 0, VORPIN_OK});
  return own;
}

std::vector<StepCode> CertSteps() {
  return Bracket({{EMUCARD_C_FindObjectsInit, 0, VORPIN_ERR_CERT_FIND_INIT},
                  {EMUCARD_C_FindObjects, 0, VORPIN_ERR_CERT_FIND},
                  {EMUCARD_C_FindObjectsFinal, 0, VORPIN_ERR_CERT_FIND_FINAL},
                  {EMUCARD_C_GetAttributeValue, 1, VORPIN_ERR_CERT_SIZE},
                  {EMUCARD_C_GetAttributeValue, 2, VORPIN_ERR_CERT_VALUE}});
}

std::vector<StepCode> SignSteps() {
  return Bracket({{EMUCARD_C_FindObjectsInit, 0, VORPIN_ERR_SIGN_KEY},
                  {EMUCARD_C_FindObjects, 0, VORPIN_ERR_SIGN_KEY},
                  {EMUCARD_C_FindObjectsFinal, 0, VORPIN_ERR_SIGN_KEY},
                  {EMUCARD_C_SignInit, 0, VORPIN_ERR_SIGN_KEY},
                  {EMUCARD_C_Sign, 1, VORPIN_ERR_SIGN_LENGTH},
                  {EMUCARD_C_Sign, 2, VORPIN_ERR_SIGN}});
}

std::vector<StepCode> DecryptSteps() {
  return Bracket({{EMUCARD_C_FindObjectsInit, 0, VORPIN_ERR_DECRYPT_KEY},
                  {EMUCARD_C_FindObjects, 0, VORPIN_ERR_DECRYPT_KEY},
                  {EMUCARD_C_FindObjectsFinal, 0, VORPIN_ERR_DECRYPT_KEY},
                  {EMUCARD_C_DecryptInit, 0, VORPIN_ERR_DECRYPT_KEY},
                  {EMUCARD_C_Decrypt, 1, VORPIN_ERR_DECRYPT_LENGTH},
                  {EMUCARD_C_Decrypt, 2, VORPIN_ERR_DECRYPT}});
}

// The card forms read the certificate in two bracketed rounds; any card
// failure there means no public key.
std::vector<StepCode> PublicKeySteps(int32_t no_key) {
  return Bracket({{EMUCARD_C_OpenSession, 0, no_key},
                  {EMUCARD_C_FindObjectsInit, 0, no_key},
                  {EMUCARD_C_FindObjects, 0, no_key},
                  {EMUCARD_C_FindObjectsFinal, 0, no_key},
                  {EMUCARD_C_GetAttributeValue, 0, no_key}});
}

const SweepCase kCases[] = {
    {"getcert_for_sign", Nothing, CertSign, VORPIN_OK, CertSteps()},
    {"getcert_for_sign_length_query", Nothing, CertSignQuery, VORPIN_ERR_BUFFER_TOO_SMALL,
     CertSteps()},
    {"getcert_for_enc", Nothing, CertEnc, VORPIN_OK, CertSteps()},
    {"check_pin_valid", Nothing, CheckPin, VORPIN_OK, Bracket({})},
    {"gen_session_key", Nothing, Random, VORPIN_OK,
     Bracket({{EMUCARD_C_SeedRandom, 0, VORPIN_ERR_SEED_RANDOM},
              {EMUCARD_C_GenerateRandom, 0, VORPIN_ERR_GENERATE_RANDOM}})},
    {"sign_sha1", Nothing, SignSha1, VORPIN_OK, SignSteps()},
    {"sign_without_hash", Nothing, SignRaw, VORPIN_OK, SignSteps()},
    {"sign_length_query", Nothing, SignQuery, VORPIN_ERR_BUFFER_TOO_SMALL, SignSteps()},
    {"prikey_decrypt", MakeCiphertext, DecryptFull, VORPIN_OK, DecryptSteps()},
    {"prikey_decrypt_length_query", MakeCiphertext, DecryptQuery, VORPIN_ERR_BUFFER_TOO_SMALL,
     DecryptSteps()},
    {"verify_with_card_certificate", MakeSignature, VerifyOnCard, VORPIN_OK,
     PublicKeySteps(VORPIN_ERR_VERIFY_PUBLIC_KEY)},
    {"pubkey_encrypt_with_card_certificate", Nothing, EncryptOnCard, VORPIN_OK,
     PublicKeySteps(VORPIN_ERR_ENCRYPT_PUBLIC_KEY)},
};

// The first matching row wins, so an operation's own rows come before the
// bracket's defaults.
bool CodeFor(const std::vector<StepCode>& codes, emucard_fn fn, unsigned nth, int32_t* code) {
  for (const StepCode& s : codes) {
    if (s.fn == fn && (s.nth == 0 || s.nth == nth)) {
      *code = s.code;
      return true;
    }
  }
  return false;
}

class CardFaultSweep : public EmuCardTest, public ::testing::WithParamInterface<SweepCase> {
 protected:
  // Every session opened by the operation got C_CloseSession, after
  // C_Logout when its C_Login succeeded; no call used a session after it
  // was closed or one that was never opened.
  static void ExpectBracketKept() {
    std::map<CK_SESSION_HANDLE, std::pair<bool, bool>> sessions;  // closed, logged in
    for (const emucard_call& c : Calls()) {
      if (c.fn == EMUCARD_C_OpenSession) {
        if (c.rv == CKR_OK) sessions[c.session] = {false, false};
        continue;
      }
      auto it = sessions.find(c.session);
      if (it == sessions.end()) {
        ADD_FAILURE() << emucard_fn_name(c.fn) << " on a session the operation never opened";
        continue;
      }
      auto& [closed, logged_in] = it->second;
      EXPECT_FALSE(closed) << emucard_fn_name(c.fn) << " after C_CloseSession";
      if (c.fn == EMUCARD_C_Login && c.rv == CKR_OK) logged_in = true;
      if (c.fn == EMUCARD_C_Logout) logged_in = false;
      if (c.fn == EMUCARD_C_CloseSession) {
        EXPECT_FALSE(logged_in) << "closed without C_Logout";
        closed = true;
      }
    }
    for (const auto& s : sessions) EXPECT_TRUE(s.second.first) << "a session was never closed";
  }
};

TEST_P(CardFaultSweep, EveryCallFailingInTurn) {
  const SweepCase& row = GetParam();
  AddStandardCard();
  ASSERT_NO_FATAL_FAILURE(InitReady());
  ASSERT_NO_FATAL_FAILURE(row.prepare());

  // The calls of a run with the card working.
  emucard_clear_log();
  ASSERT_EQ(row.op(), row.ok);
  ExpectBracketKept();
  const std::vector<emucard_fn> recorded = CallSequence();
  ASSERT_FALSE(recorded.empty());

  std::map<emucard_fn, unsigned> seen;
  for (size_t i = 0; i < recorded.size(); ++i) {
    const emucard_fn fn = recorded[i];
    const unsigned nth = ++seen[fn];
    int32_t expected = 0;
    ASSERT_TRUE(CodeFor(row.codes, fn, nth, &expected))
        << "no code in the table for call " << nth << " of " << emucard_fn_name(fn);
    if (expected == VORPIN_OK) expected = row.ok;
    SCOPED_TRACE(std::string("call ") + std::to_string(i) + " (" + emucard_fn_name(fn) + " #" +
                 std::to_string(nth) + ") failing");

    // A fresh start for each failure, so that a session the token failed
    // to close does not carry over into the next case.
    vorpin_fini();
    ASSERT_NO_FATAL_FAILURE(InitReady());
    emucard_fail_nth(fn, nth, kFault);
    EXPECT_EQ(row.op(), expected);
    ExpectBracketKept();
    const int lingering = fn == EMUCARD_C_CloseSession ? 1 : 0;
    EXPECT_EQ(emucard_open_sessions(), lingering);
    EXPECT_FALSE(emucard_logged_in(kCardSlot));

    // The operation did not make the call sequence longer than the
    // working run, and nothing it left behind stops the next one.
    EXPECT_LE(emucard_call_count(), recorded.size());
    emucard_clear_log();
    EXPECT_EQ(row.op(), row.ok);
    ExpectBracketKept();
    EXPECT_EQ(emucard_open_sessions(), lingering);
  }
}

INSTANTIATE_TEST_SUITE_P(CardOperations, CardFaultSweep, ::testing::ValuesIn(kCases), CaseName());

}  // namespace
}  // namespace emucard_test

// Memory exhaustion: each allocation an operation of the card library makes
// (its own buffers through the test build's allocation hook, OpenSSL's
// through OpenSSL's memory functions) is made to fail in turn. A refused
// buffer of the library's own gives the code its table names (1 for the
// slot list and the digest buffers); any other refusal gives one of the
// operation's documented codes; nothing crashes, the session bracket is
// kept, and the next call works.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "emucard_fixture.h"

extern "C" void vorpin_test_set_allocation_hook(int (*refuse)(const char* what));

namespace emucard_test {
namespace {

// Counts the allocations between Start and Stop and refuses the nth.
class Injector {
 public:
  static Injector& Get() {
    static Injector injector;
    return injector;
  }
  void Start(size_t fail_at) {
    count_ = 0;
    fail_at_ = fail_at;
    refused_.clear();
    active_ = true;
  }
  size_t Stop() {
    active_ = false;
    return count_;
  }
  bool refused() const { return refused_at_ != 0 && fail_at_ != 0; }
  // The library's own name of the refused buffer, or "" for OpenSSL's.
  const std::string& refused_what() const { return refused_; }

  bool Refuse(const char* what) {
    if (!active_) return false;
    if (++count_ != fail_at_) return false;
    refused_at_ = count_;
    refused_ = what != nullptr ? what : "";
    return true;
  }
  void ClearRefusal() { refused_at_ = 0; }

 private:
  bool active_ = false;
  size_t count_ = 0;
  size_t fail_at_ = 0;
  size_t refused_at_ = 0;
  std::string refused_;
};

int LibraryHook(const char* what) { return Injector::Get().Refuse(what) ? 1 : 0; }

void* Malloc(size_t n, const char*, int) {
  return Injector::Get().Refuse(nullptr) ? nullptr : std::malloc(n);
}
void* Realloc(void* p, size_t n, const char*, int) {
  return Injector::Get().Refuse(nullptr) ? nullptr : std::realloc(p, n);
}
void Free(void* p, const char*, int) { std::free(p); }

const unsigned char kData[] = "sixteen byte key and then some more";
constexpr int32_t kDataLen = sizeof kData - 1;
const unsigned char* Pin() { return reinterpret_cast<const unsigned char*>(kUserPin); }

struct Made {
  Bytes sha1_signature;  // by the card's signing key over kData
  Bytes ciphertext;      // 16 bytes of kData for the card's encryption key
};
Made& Inputs() {
  static Made made;
  return made;
}

int32_t Init() { return vorpin_init(); }
int32_t Sign(int32_t hash_type) {
  unsigned char sig[256];
  int32_t len = sizeof sig;
  return vorpin_sign(kData, kDataLen, sig, &len, hash_type, Pin(), 6);
}
int32_t SignSha1() { return Sign(VORPIN_HASH_SHA1); }
int32_t SignMd5Sha1() { return Sign(VORPIN_HASH_MD5_SHA1); }
int32_t Decrypt() {
  const Bytes& enc = Inputs().ciphertext;
  unsigned char out[256];
  int32_t len = sizeof out;
  return vorpin_prikey_decrypt(enc.data(), static_cast<int32_t>(enc.size()), out, &len, Pin(), 6);
}
int32_t Hash() {
  unsigned char digest[36];
  int32_t len = sizeof digest;
  return vorpin_hash(kData, kDataLen, digest, &len, VORPIN_HASH_MD5_SHA1);
}
int32_t VerifyByCert() {
  const Bytes& cert = Kit().sign.cert_der;
  const Bytes& sig = Inputs().sha1_signature;
  return vorpin_verify_by_cert(kData, kDataLen, sig.data(), static_cast<int32_t>(sig.size()),
                               cert.data(), static_cast<int32_t>(cert.size()), VORPIN_HASH_SHA1);
}
int32_t VerifyOnCard() {
  const Bytes& sig = Inputs().sha1_signature;
  return vorpin_verify(kData, kDataLen, sig.data(), static_cast<int32_t>(sig.size()),
                       VORPIN_HASH_SHA1);
}
int32_t EncryptByCert() {
  const Bytes& cert = Kit().enc.cert_der;
  unsigned char out[128];
  int32_t len = sizeof out;
  return vorpin_pubkey_encrypt_by_cert(kData, 16, out, &len, cert.data(),
                                       static_cast<int32_t>(cert.size()));
}
int32_t EncryptOnCard() {
  unsigned char out[128];
  int32_t len = sizeof out;
  return vorpin_pubkey_encrypt(kData, 16, out, &len);
}

// The certificate texts: a call that answers 0 must have written the same
// texts as a call with all the memory it wanted.
constexpr int32_t kWrongText = -1;
int32_t CompareTexts(const std::string& kind, const std::string& texts) {
  static std::map<std::string, std::string> references;
  auto [it, first] = references.emplace(kind, texts);
  return first || it->second == texts ? VORPIN_OK : kWrongText;
}
int32_t IssuerSerial() {
  const Bytes& cert = Kit().sign.cert_der;
  char issuer[512];
  char serial[33];
  int32_t issuer_len = sizeof issuer;
  int32_t serial_len = sizeof serial;
  const int32_t rc = issure_serial_get_by_cert(cert.data(), static_cast<int32_t>(cert.size()),
                                               issuer, &issuer_len, serial, &serial_len);
  if (rc != VORPIN_OK) return rc;
  return CompareTexts(
      "issuer", std::string(issuer, static_cast<size_t>(issuer_len)) + " " + std::string(serial));
}
int32_t Informations() {
  const Bytes& cert = Kit().sign.cert_der;
  char subject[512];
  char email[64] = {0};
  char tail[4];
  char from[32];
  char to[32];
  int32_t subject_len = sizeof subject;
  int32_t email_len = sizeof email;
  int32_t tail_len = sizeof tail;
  int32_t from_len = sizeof from;
  int32_t to_len = sizeof to;
  const int32_t rc = imformations_get_by_cert(cert.data(), static_cast<int32_t>(cert.size()),
                                              subject, &subject_len, email, &email_len, tail,
                                              &tail_len, from, &from_len, to, &to_len);
  if (rc != VORPIN_OK) return rc;
  auto text = [](const char* p, int32_t n) { return std::string(p, static_cast<size_t>(n)); };
  return CompareTexts("informations", text(subject, subject_len) + "|" + text(email, email_len) +
                                          "|" + text(tail, tail_len) + "|" + text(from, from_len) +
                                          "|" + text(to, to_len));
}

// The code and the trace message (null: none) for a refused buffer of the
// library's own, by its name.
struct OwnCode {
  const char* what;
  int32_t code;
  const char* message;
};

struct AllocCase {
  const char* name;
  bool ready;  // vorpin_init before the operation (else the operation starts it)
  int32_t (*op)();
  std::vector<OwnCode> own;      // each must be reached and refused once
  std::set<int32_t> documented;  // any other refusal gives one of these
  friend void PrintTo(const AllocCase& c, std::ostream* os) { *os << c.name; }
};

const AllocCase kCases[] = {
    {"init",
     false,
     Init,
     {{"vorpin_init slot list", VORPIN_ERR_MEMORY,
       "vorpin_init(): allocate a buffer to store slot list error!"}},
     {VORPIN_OK}},
    {"sign_sha1",
     true,
     SignSha1,
     {{"vorpin_sign digest", VORPIN_ERR_MEMORY,
       "vorpin_sign(): allocate a buffer to store hash value error!"}},
     {VORPIN_OK, VORPIN_ERR_HASH_TYPE, VORPIN_ERR_SIGN_KEY, VORPIN_ERR_SIGN_LENGTH,
      VORPIN_ERR_SIGN}},
    {"sign_md5_sha1",
     true,
     SignMd5Sha1,
     {{"vorpin_sign digest", VORPIN_ERR_MEMORY,
       "vorpin_sign(): allocate a buffer to store hash value error!"}},
     {VORPIN_OK, VORPIN_ERR_HASH_TYPE, VORPIN_ERR_SIGN_KEY, VORPIN_ERR_SIGN_LENGTH,
      VORPIN_ERR_SIGN}},
    {"prikey_decrypt",
     true,
     Decrypt,
     {},
     {VORPIN_OK, VORPIN_ERR_DECRYPT_KEY, VORPIN_ERR_DECRYPT_LENGTH, VORPIN_ERR_DECRYPT}},
    {"hash", false, Hash, {}, {VORPIN_OK, VORPIN_ERR_HASH_TYPE}},
    {"verify_by_cert",
     false,
     VerifyByCert,
     {{"vorpin_verify_internal digest", VORPIN_ERR_MEMORY,
       "vorpin_verify_internal(): allocate a buffer to store hash value error!"},
      {"vorpin_verify_internal recovered value", VORPIN_ERR_MEMORY, nullptr}},
     {VORPIN_OK, VORPIN_ERR_HASH_TYPE, VORPIN_ERR_VERIFY_PUBLIC_KEY, VORPIN_ERR_VERIFY_MISMATCH}},
    {"verify_with_card_certificate",
     true,
     VerifyOnCard,
     {{"vorpin_RSA_pubkey_get certificate", VORPIN_ERR_VERIFY_PUBLIC_KEY,
       "vorpin_RSA_pubkey_get(): allocate a buffer for storing certificate error!"},
      {"vorpin_verify_internal digest", VORPIN_ERR_MEMORY,
       "vorpin_verify_internal(): allocate a buffer to store hash value error!"},
      {"vorpin_verify_internal recovered value", VORPIN_ERR_MEMORY, nullptr}},
     {VORPIN_OK, VORPIN_ERR_HASH_TYPE, VORPIN_ERR_VERIFY_PUBLIC_KEY, VORPIN_ERR_VERIFY_MISMATCH}},
    {"issuer_serial", false, IssuerSerial, {}, {VORPIN_OK, VORPIN_ERR_MEMORY, 1280}},
    {"informations", false, Informations, {}, {VORPIN_OK, VORPIN_ERR_MEMORY, 1280}},
    {"pubkey_encrypt_by_cert",
     false,
     EncryptByCert,
     {},
     {VORPIN_OK, VORPIN_ERR_ENCRYPT_PUBLIC_KEY}},
    {"pubkey_encrypt_with_card_certificate",
     true,
     EncryptOnCard,
     {{"vorpin_RSA_pubkey_get certificate", VORPIN_ERR_ENCRYPT_PUBLIC_KEY,
       "vorpin_RSA_pubkey_get(): allocate a buffer for storing certificate error!"}},
     {VORPIN_OK, VORPIN_ERR_ENCRYPT_PUBLIC_KEY}},
};

class AllocationFailure : public EmuCardTest, public ::testing::WithParamInterface<AllocCase> {
 protected:
  void SetUp() override {
    EmuCardTest::SetUp();
    vorpin_test_set_allocation_hook(LibraryHook);
  }
  void TearDown() override {
    Injector::Get().Stop();
    vorpin_test_set_allocation_hook(nullptr);
    EmuCardTest::TearDown();
  }
};

TEST_P(AllocationFailure, EachAllocationRefusedInTurn) {
  const AllocCase& row = GetParam();
  AddStandardCard();
  ASSERT_EQ(vorpin_init(), VORPIN_OK);
  {
    Made& made = Inputs();
    made.sha1_signature.assign(128, 0);
    int32_t len = 128;
    ASSERT_EQ(
        vorpin_sign(kData, kDataLen, made.sha1_signature.data(), &len, VORPIN_HASH_SHA1, Pin(), 6),
        VORPIN_OK);
    const Bytes& cert = Kit().enc.cert_der;
    made.ciphertext.assign(128, 0);
    len = 128;
    ASSERT_EQ(vorpin_pubkey_encrypt_by_cert(kData, 16, made.ciphertext.data(), &len, cert.data(),
                                            static_cast<int32_t>(cert.size())),
              VORPIN_OK);
  }
  if (!row.ready) vorpin_fini();
  auto after = [&] {
    if (!row.ready) vorpin_fini();
  };

  // Once to fill OpenSSL's caches, once to count.
  ASSERT_EQ(row.op(), VORPIN_OK);
  after();
  Injector& injector = Injector::Get();
  injector.Start(0);
  ASSERT_EQ(row.op(), VORPIN_OK);
  const size_t total = injector.Stop();
  after();

  std::set<std::string> own_refused;
  for (size_t k = 1; k <= total; ++k) {
    injector.ClearRefusal();
    injector.Start(k);
    ClearMessages();
    const int32_t rc = row.op();
    injector.Stop();
    SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(total) + " (" +
                 (injector.refused_what().empty() ? "OpenSSL" : injector.refused_what()) +
                 ") refused");
    if (injector.refused()) {
      const std::string& what = injector.refused_what();
      auto own = std::find_if(row.own.begin(), row.own.end(),
                              [&](const OwnCode& o) { return what == o.what; });
      if (!what.empty()) {
        ASSERT_NE(own, row.own.end()) << "a buffer the table does not name";
        EXPECT_EQ(rc, own->code);
        if (own->message != nullptr) {
          EXPECT_NE(std::find(Messages().begin(), Messages().end(), own->message), Messages().end())
              << own->message;
        }
        own_refused.insert(what);
      } else {
        EXPECT_TRUE(row.documented.count(rc)) << "code " << rc;
      }
    }
    after();
    EXPECT_EQ(emucard_open_sessions(), 0);
    EXPECT_FALSE(emucard_logged_in(kCardSlot));
    EXPECT_EQ(row.op(), VORPIN_OK) << "the next call after the refusal";
    after();
    if (HasFailure()) break;
  }
  for (const OwnCode& o : row.own)
    EXPECT_TRUE(own_refused.count(o.what)) << o.what << " never reached";
  ExpectSessionDiscipline();
}

INSTANTIATE_TEST_SUITE_P(CardLibrary, AllocationFailure, ::testing::ValuesIn(kCases), CaseName());

}  // namespace
}  // namespace emucard_test

int main(int argc, char** argv) {
  // Before OpenSSL's first allocation, or it keeps its own functions.
  if (!CRYPTO_set_mem_functions(emucard_test::Malloc, emucard_test::Realloc, emucard_test::Free)) {
    std::fprintf(stderr, "OpenSSL's memory functions could not be replaced\n");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

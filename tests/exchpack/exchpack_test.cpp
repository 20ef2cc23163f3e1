// The exchange library on the SoftHSM2 card: records, the recipient
// certificate's forms, capacities, and every way a structure is refused.
// Structures that the library cannot make itself (validly signed, but with
// a damaged inside) are built with the stock openssl command and the soft
// keys the provisioning keeps beside the card.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <valgrind/valgrind.h>

#include <cstring>
#include <string>

#include "exchpack_dll.h"
#include "test_support.h"
#include "vorpin_dll.h"

namespace {

using test_support::Bytes;
using test_support::ReadFile;
using test_support::Shell;
using test_support::ToBytes;
using test_support::WriteFile;

const std::string kCardDir = test_support::Env("VORPIN_CARD_DIR");
const std::string kPin = test_support::Env("VORPIN_CARD_PIN");

std::string Card(const std::string& name) { return test_support::CardFile(name); }

std::string Temp(const std::string& name) {
  return testing::TempDir() + "exchpack_test." + std::to_string(getpid()) + "." + name;
}

struct Result {
  int32_t rc;
  Bytes out;
};

// A record made by RAW_DATA_new holding bytes.
class Record {
 public:
  explicit Record(int32_t n) { EXPECT_EQ(RAW_DATA_new(&r_, n), EXCHPACK_OK); }
  explicit Record(const Bytes& bytes) : Record(static_cast<int32_t>(bytes.size())) {
    if (!bytes.empty()) std::memcpy(r_.data, bytes.data(), bytes.size());
  }
  ~Record() { RAW_DATA_delete(&r_); }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  raw_data_st* get() { return &r_; }
  Bytes bytes() const { return Bytes(r_.data, r_.data + r_.length); }

 private:
  raw_data_st r_{};
};

Result Wrap(const Bytes& data, const Bytes& cert, int32_t capacity = 1 << 21,
            const std::string& pin = kPin) {
  Record in(data);
  Record out(capacity);
  const int32_t rc = DatatoP12_withcert(in.get(), out.get(), test_support::Ptr(cert),
                                        static_cast<int32_t>(cert.size()), pin.c_str());
  return {rc, rc == EXCHPACK_OK ? out.bytes() : Bytes()};
}

Result Unwrap(const Bytes& structure, int32_t capacity = 1 << 21, const std::string& pin = kPin) {
  Record in(structure);
  Record out(capacity);
  const int32_t rc = P12toData_for_file_exchange(out.get(), in.get(), nullptr, 0, pin.c_str());
  return {rc, rc == EXCHPACK_OK ? out.bytes() : Bytes()};
}

Bytes EncCertDer() { return ReadFile(Card("enc.crt.der")); }

Bytes Sample(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 7 + 3);
  return b;
}

// The stock openssl command's EnvelopedData of data for a recipient.
Bytes OpensslEnvelope(const Bytes& data, const std::string& recipient_pem) {
  WriteFile(Temp("plain"), data);
  EXPECT_TRUE(Shell("openssl cms -encrypt -aes256 -binary -outform DER -in " + Temp("plain") +
                    " -out " + Temp("env") + " " + recipient_pem));
  return ReadFile(Temp("env"));
}

// The stock openssl command's SignedData over content, with the card
// holder's soft signing key; extra are further options of `openssl cms`.
Bytes OpensslSigned(const Bytes& content, const std::string& extra = "") {
  WriteFile(Temp("content"), content);
  EXPECT_TRUE(Shell("openssl cms -sign -nodetach -binary -outform DER -in " + Temp("content") +
                    " -signer " + Card("sign.crt.pem") + " -inkey " + Card("sign.key.pem") + " " +
                    extra + " -out " + Temp("signed")));
  return ReadFile(Temp("signed"));
}

// ---- Records ---------------------------------------------------------------

TEST(Records, NewGivesAZeroedBlockAndDeleteClears) {
  for (int32_t n : {0, 1, 4096}) {
    raw_data_st r{-5, nullptr};
    ASSERT_EQ(RAW_DATA_new(&r, n), EXCHPACK_OK);
    EXPECT_EQ(r.length, n);
    ASSERT_NE(r.data, nullptr);  // also for 0 bytes: copying 0 bytes in is valid
    for (int32_t i = 0; i < n; ++i) ASSERT_EQ(r.data[i], 0);
    RAW_DATA_delete(&r);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.length, 0);
    RAW_DATA_delete(&r);  // a cleared record is left alone
  }
  RAW_DATA_delete(nullptr);
}

TEST(Records, RefusesNullRecordAndNegativeSize) {
  EXPECT_EQ(RAW_DATA_new(nullptr, 4), EXCHPACK_ERR_ARGUMENT);
  raw_data_st r{7, reinterpret_cast<unsigned char*>(&r)};
  EXPECT_EQ(RAW_DATA_new(&r, -1), EXCHPACK_ERR_ARGUMENT);
  EXPECT_EQ(r.length, 0);
  EXPECT_EQ(r.data, nullptr);
}

TEST(Records, ReportsAnAllocationFailure) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a limit on the data segment does not combine with the address sanitizer";
#else
  // valgrind serves allocations from mappings of its own, which the limit
  // on the data segment does not bound.
  if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "a limit on the data segment does not bind valgrind";
  // In a child whose data segment is limited, 1 GiB cannot be had.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{256u << 20, 256u << 20};
    setrlimit(RLIMIT_DATA, &limit);
    raw_data_st r{};
    const int32_t rc = RAW_DATA_new(&r, 1 << 30);
    _exit(rc == EXCHPACK_ERR_MEMORY && r.data == nullptr && r.length == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
}

// ---- With the card -------------------------------------------------------------

class CardTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(vorpin_init(), VORPIN_OK); }
  void TearDown() override { vorpin_fini(); }
};

// The recipient certificate is taken as DER, PEM or Base64 text (with or
// without line breaks).
struct CertForm {
  const char* name;
  Bytes (*make)();
};

const CertForm kCertForms[] = {
    {"der", [] { return EncCertDer(); }},
    {"pem", [] { return ReadFile(Card("enc.crt.pem")); }},
    {"base64_lines",
     [] {
       // The PEM body alone: Base64 with line breaks.
       const Bytes file = ReadFile(Card("enc.crt.pem"));
       const std::string pem(file.begin(), file.end());
       const size_t begin = pem.find('\n') + 1;
       const size_t end = pem.find("-----END");
       return ToBytes(pem.substr(begin, end - begin));
     }},
    {"base64_one_line",
     [] {
       const Bytes der = EncCertDer();
       std::string text(2 * der.size() + 4, '\0');
       const int32_t n = B64Encode(der.data(), static_cast<uint32_t>(der.size()), &text[0],
                                   static_cast<uint32_t>(text.size()));
       text.resize(n > 0 ? static_cast<size_t>(n) : 0);
       return ToBytes(text);
     }},
};

class RecipientCertForm : public CardTest, public testing::WithParamInterface<CertForm> {};

TEST_P(RecipientCertForm, WrapsForTheCardAndUnwraps) {
  const Bytes data = Sample(1000);
  const Result wrapped = Wrap(data, GetParam().make());
  ASSERT_EQ(wrapped.rc, EXCHPACK_OK);
  const Result unwrapped = Unwrap(wrapped.out);
  ASSERT_EQ(unwrapped.rc, EXCHPACK_OK);
  EXPECT_EQ(unwrapped.out, data);
}

INSTANTIATE_TEST_SUITE_P(Forms, RecipientCertForm, testing::ValuesIn(kCertForms),
                         [](const testing::TestParamInfo<CertForm>& row) {
                           return std::string(row.param.name);
                         });

TEST_F(CardTest, RefusesWhatIsNotAnRsaRecipientCertificate) {
  EXPECT_EQ(Wrap(Sample(10), ToBytes("not a certificate")).rc, EXCHPACK_ERR_RECIPIENT_CERT);
  Bytes cut = EncCertDer();
  cut.pop_back();
  EXPECT_EQ(Wrap(Sample(10), cut).rc, EXCHPACK_ERR_RECIPIENT_CERT);
  ASSERT_TRUE(
      Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "
            "/CN=ec -keyout " +
            Temp("ec.key") + " -outform DER -out " + Temp("ec.der") + " 2>/dev/null"));
  EXPECT_EQ(Wrap(Sample(10), ReadFile(Temp("ec.der"))).rc, EXCHPACK_ERR_RECIPIENT_CERT);
}

TEST_F(CardTest, RefusesNullArguments) {
  Record in(Sample(4));
  Record out(4096);
  const Bytes cert = EncCertDer();
  const auto c = static_cast<int32_t>(cert.size());
  EXPECT_EQ(DatatoP12_withcert(nullptr, out.get(), cert.data(), c, kPin.c_str()),
            EXCHPACK_ERR_ARGUMENT);
  EXPECT_EQ(DatatoP12_withcert(in.get(), nullptr, cert.data(), c, kPin.c_str()),
            EXCHPACK_ERR_ARGUMENT);
  EXPECT_EQ(DatatoP12_withcert(in.get(), out.get(), nullptr, c, kPin.c_str()),
            EXCHPACK_ERR_ARGUMENT);
  EXPECT_EQ(DatatoP12_withcert(in.get(), out.get(), cert.data(), c, nullptr),
            EXCHPACK_ERR_ARGUMENT);
  raw_data_st negative{-1, in.get()->data};
  EXPECT_EQ(DatatoP12_withcert(&negative, out.get(), cert.data(), c, kPin.c_str()),
            EXCHPACK_ERR_ARGUMENT);
  EXPECT_EQ(P12toData_for_file_exchange(nullptr, in.get(), nullptr, 0, kPin.c_str()),
            EXCHPACK_ERR_ARGUMENT);
  EXPECT_EQ(P12toData_for_file_exchange(out.get(), in.get(), cert.data(), c, kPin.c_str()),
            EXCHPACK_ERR_ARGUMENT);
  EXPECT_EQ(P12toData_for_file_exchange(out.get(), in.get(), nullptr, 0, nullptr),
            EXCHPACK_ERR_ARGUMENT);
  EXPECT_EQ(GetSignCertFromP12(in.get(), nullptr), EXCHPACK_ERR_ARGUMENT);
}

// The capacity decides before anything is written: exactly enough works,
// one byte less leaves the record as it was.
TEST_F(CardTest, OutputCapacityExactAndOneShort) {
  const Bytes data = Sample(333);
  const Result wrapped = Wrap(data, EncCertDer());
  ASSERT_EQ(wrapped.rc, EXCHPACK_OK);
  const auto size = static_cast<int32_t>(wrapped.out.size());
  EXPECT_EQ(Wrap(data, EncCertDer(), size).rc, EXCHPACK_OK);
  EXPECT_EQ(Unwrap(wrapped.out, 333).out, data);

  for (bool unwrap : {false, true}) {
    Record in(unwrap ? wrapped.out : data);
    Record out(unwrap ? 332 : size - 1);
    std::memset(out.get()->data, 0xA5, static_cast<size_t>(out.get()->length));
    const Bytes before = out.bytes();
    const Bytes cert = EncCertDer();
    const int32_t rc =
        unwrap ? P12toData_for_file_exchange(out.get(), in.get(), nullptr, 0, kPin.c_str())
               : DatatoP12_withcert(in.get(), out.get(), cert.data(),
                                    static_cast<int32_t>(cert.size()), kPin.c_str());
    EXPECT_EQ(rc, EXCHPACK_ERR_OUTPUT_TOO_SMALL) << unwrap;
    EXPECT_EQ(out.bytes(), before) << unwrap;
  }
}

TEST_F(CardTest, WrongPinIsTold) {
  const Result wrapped = Wrap(Sample(20), EncCertDer());
  ASSERT_EQ(wrapped.rc, EXCHPACK_OK);
  EXPECT_EQ(Wrap(Sample(20), EncCertDer(), 1 << 16, "000000").rc, EXCHPACK_ERR_PIN);
  EXPECT_EQ(Unwrap(wrapped.out, 1 << 16, "000000").rc, EXCHPACK_ERR_PIN);

  // The card refuses after the content is known: the output's block is
  // left as it was, for the wrap as for the unwrap.
  const Bytes cert = EncCertDer();
  for (bool unwrap : {false, true}) {
    Record in(unwrap ? wrapped.out : Sample(20));
    Record out(1 << 16);
    std::memset(out.get()->data, 0xA5, static_cast<size_t>(out.get()->length));
    const Bytes before = out.bytes();
    const int32_t rc = unwrap
                           ? P12toData_for_file_exchange(out.get(), in.get(), nullptr, 0, "000000")
                           : DatatoP12_withcert(in.get(), out.get(), cert.data(),
                                                static_cast<int32_t>(cert.size()), "000000");
    EXPECT_EQ(rc, EXCHPACK_ERR_PIN) << unwrap;
    EXPECT_EQ(out.bytes(), before) << unwrap;
  }
}

TEST(WithoutCard, CardWorkNeedsTheCardLibraryStarted) {
  EXPECT_EQ(Wrap(Sample(20), EncCertDer()).rc, EXCHPACK_ERR_CARD);
}

TEST_F(CardTest, AnotherRecipientIsTold) {
  const Result wrapped = Wrap(Sample(20), ReadFile(Card("ca.crt.der")));
  ASSERT_EQ(wrapped.rc, EXCHPACK_OK);
  EXPECT_EQ(Unwrap(wrapped.out).rc, EXCHPACK_ERR_NOT_RECIPIENT);
}

// Validly signed structures whose inside is damaged.
TEST_F(CardTest, DamagedInsideOfAValidSignature) {
  const Bytes env = OpensslEnvelope(Sample(100), Card("enc.crt.pem"));
  ASSERT_FALSE(env.empty());
  ASSERT_EQ(Unwrap(OpensslSigned(env)).out, Sample(100));

  // The ciphertext ends the envelope; turning the last byte of the block
  // before the last one turns the padding's last byte (12) into 243.
  Bytes bad_padding = env;
  bad_padding[bad_padding.size() - 17] ^= 0xFF;
  EXPECT_EQ(Unwrap(OpensslSigned(bad_padding)).rc, EXCHPACK_ERR_CONTENT);

  // The 128 bytes of the encrypted content key follow "04 81 80".
  Bytes bad_key = env;
  const unsigned char marker[] = {0x04, 0x81, 0x80};
  auto at = std::search(bad_key.begin(), bad_key.end(), marker, marker + 3);
  ASSERT_NE(at, bad_key.end());
  at[3 + 60] ^= 0x01;
  EXPECT_EQ(Unwrap(OpensslSigned(bad_key)).rc, EXCHPACK_ERR_KEY_DECRYPT);
}

struct NotAStructure {
  const char* name;
  Bytes (*make)();
};

const NotAStructure kNotStructures[] = {
    {"empty", [] { return Bytes(); }},
    {"text", [] { return ToBytes("this is not an exchange structure"); }},
    {"envelope_alone", [] { return OpensslEnvelope(Sample(50), Card("enc.crt.pem")); }},
    {"signed_plain_data", [] { return OpensslSigned(Sample(50)); }},
    {"truncated",
     [] {
       Bytes b = OpensslSigned(OpensslEnvelope(Sample(50), Card("enc.crt.pem")));
       b.pop_back();
       return b;
     }},
    {"trailing_byte",
     [] {
       Bytes b = OpensslSigned(OpensslEnvelope(Sample(50), Card("enc.crt.pem")));
       b.push_back(0);
       return b;
     }},
    // Content cut into 3-byte segments: the bookkeeping of so many segments
    // would be many times the structure's own size.
    {"content_in_tiny_segments",
     [] {
       const auto tlv = [](uint8_t tag, const Bytes& content) {
         Bytes out{tag};
         const size_t n = content.size();
         if (n < 0x80) {
           out.push_back(static_cast<uint8_t>(n));
         } else {
           out.insert(out.end(), {0x83, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                                  static_cast<uint8_t>(n)});
         }
         out.insert(out.end(), content.begin(), content.end());
         return out;
       };
       Bytes segments{0x24, 0x80};
       for (int i = 0; i < 100000; ++i) segments.insert(segments.end(), {0x04, 0x01, 0x41});
       segments.insert(segments.end(), {0x00, 0x00});
       const Bytes data_oid = tlv(0x06, {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01});
       Bytes encap = data_oid;
       const Bytes wrapped = tlv(0xA0, segments);
       encap.insert(encap.end(), wrapped.begin(), wrapped.end());
       Bytes sd = tlv(0x02, {0x01});
       for (const Bytes& part : {tlv(0x31, {}), tlv(0x30, encap), tlv(0x31, {})}) {
         sd.insert(sd.end(), part.begin(), part.end());
       }
       Bytes ci = tlv(0x06, {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02});
       const Bytes body = tlv(0xA0, tlv(0x30, sd));
       ci.insert(ci.end(), body.begin(), body.end());
       return tlv(0x30, ci);
     }},
    {"detached_content",
     [] {
       WriteFile(Temp("content"), OpensslEnvelope(Sample(50), Card("enc.crt.pem")));
       Shell("openssl cms -sign -binary -outform DER -in " + Temp("content") + " -signer " +
             Card("sign.crt.pem") + " -inkey " + Card("sign.key.pem") + " -out " +
             Temp("detached"));
       return ReadFile(Temp("detached"));
     }},
};

class NotStructure : public CardTest, public testing::WithParamInterface<NotAStructure> {};

TEST_P(NotStructure, IsRefused) {
  EXPECT_EQ(Unwrap(GetParam().make()).rc, EXCHPACK_ERR_NOT_STRUCTURE);
}

INSTANTIATE_TEST_SUITE_P(Cases, NotStructure, testing::ValuesIn(kNotStructures),
                         [](const testing::TestParamInfo<NotAStructure>& row) {
                           return std::string(row.param.name);
                         });

// Every single flipped byte of a structure this library made is refused
// before the card is asked for anything: either the walk or the signature
// (the signing certificate's hash among the signed attributes binds the
// certificate carried) catches it.
TEST(FlippedByte, AnywhereIsRefusedBeforeTheCard) {
  Bytes structure;
  {
    ASSERT_EQ(vorpin_init(), VORPIN_OK);
    const Result wrapped = Wrap(Sample(1), EncCertDer());
    vorpin_fini();
    ASSERT_EQ(wrapped.rc, EXCHPACK_OK);
    structure = wrapped.out;
  }
  // The card library is stopped: an unwrap that got as far as the card
  // would answer EXCHPACK_ERR_CARD.
  for (size_t i = 0; i < structure.size(); ++i) {
    Bytes flipped = structure;
    flipped[i] ^= 0x01;
    // A flipped algorithm identifier may name one that is refused or not
    // implemented; that is a refusal before the card as well.
    const int32_t rc = Unwrap(flipped, 64).rc;
    ASSERT_TRUE(rc == EXCHPACK_ERR_NOT_STRUCTURE || rc == EXCHPACK_ERR_BAD_SIGNATURE ||
                rc == EXCHPACK_ERR_UNSUPPORTED || rc == EXCHPACK_ERR_WEAK_DIGEST ||
                rc == EXCHPACK_ERR_WEAK_CIPHER)
        << "byte " << i << " of " << structure.size() << ": " << rc;
  }
  EXPECT_EQ(Unwrap(structure, 64).rc, EXCHPACK_ERR_CARD);
}

TEST_F(CardTest, BadSignatureIsTold) {
  Result wrapped = Wrap(Sample(100), EncCertDer());
  ASSERT_EQ(wrapped.rc, EXCHPACK_OK);
  wrapped.out.back() ^= 0x40;  // inside the signature value
  EXPECT_EQ(Unwrap(wrapped.out).rc, EXCHPACK_ERR_BAD_SIGNATURE);
}

// ---- Structures of other writers ------------------------------------------------------

// A signer other than the card holder's soft key: a key and a certificate
// made once per run with the stock command.
std::string OtherSigner(const std::string& kind) {
  const std::string key = Temp(kind + ".key");
  const std::string cert = Temp(kind + ".crt");
  if (access(cert.c_str(), F_OK) != 0) {
    const std::string newkey =
        kind == "ec" ? "-newkey ec -pkeyopt ec_paramgen_curve:P-256" : "-newkey rsa:512";
    EXPECT_TRUE(Shell("openssl req -x509 " + newkey + " -nodes -subj /CN=" + kind + " -keyout " +
                      key + " -out " + cert + " 2>/dev/null"));
  }
  return " -signer " + cert + " -inkey " + key;
}

struct Writer {
  const char* name;
  const char* encrypt;  // options of `openssl cms -encrypt`
  const char* sign;     // options of `openssl cms -sign`
  const char* signer;   // "" for the card holder's soft key, else a kind of OtherSigner
  size_t size;
  int32_t rc;
};

// The stock command encrypts for the card's encryption certificate and
// signs, piped as a writer does it; -stream makes BER with indefinite
// lengths and the content in 4096-byte segments, so that the envelope's
// own segments straddle those of the signed content.
const Writer kWriters[] = {
    {"der_aes256", "-aes256", "", "", 1000, EXCHPACK_OK},
    {"streamed_aes256", "-stream -aes256", "-stream", "", 10000, EXCHPACK_OK},
    {"streamed_aes128", "-stream -aes128", "-stream", "", 10000, EXCHPACK_OK},
    {"streamed_aes192", "-stream -aes192", "-stream", "", 10000, EXCHPACK_OK},
    {"streamed_empty", "-stream -aes128", "-stream", "", 0, EXCHPACK_OK},
    {"streamed_block_multiple", "-stream -aes256", "-stream", "", 8192, EXCHPACK_OK},
    {"der_aes128", "-aes128", "", "", 33, EXCHPACK_OK},
    {"der_aes192", "-aes192", "", "", 33, EXCHPACK_OK},
    {"key_ids", "-stream -aes128 -keyid", "-stream -keyid", "", 5000, EXCHPACK_OK},
    {"extra_certificates", "-aes256", "-certfile {card}/ca.crt.pem -certfile {card}/enc.crt.pem",
     "", 100, EXCHPACK_OK},
    {"no_signed_attributes", "-stream -aes256", "-stream -noattr", "", 9000, EXCHPACK_OK},
    {"sha512", "-aes256", "-md sha512", "", 100, EXCHPACK_OK},
    {"ec_signer", "-stream -aes192", "-stream", "ec", 7000, EXCHPACK_OK},
    {"triple_des", "-des3", "", "", 100, EXCHPACK_ERR_WEAK_CIPHER},
    {"sha1", "-aes256", "-md sha1", "", 100, EXCHPACK_ERR_WEAK_DIGEST},
    {"rsa512_signer", "-aes256", "", "rsa512", 100, EXCHPACK_ERR_WEAK_KEY},
    {"rsa_oaep", "-aes256 -keyopt rsa_padding_mode:oaep", "", "", 100, EXCHPACK_ERR_UNSUPPORTED},
    {"rsa_pss", "-aes256", "-keyopt rsa_padding_mode:pss", "", 100, EXCHPACK_ERR_UNSUPPORTED},
    {"aes_gcm", "-aes-256-gcm", "", "", 100, EXCHPACK_ERR_UNSUPPORTED},
    {"camellia", "-camellia256", "", "", 100, EXCHPACK_ERR_UNSUPPORTED},
};

std::string WithCardDir(std::string options) {
  for (size_t at; (at = options.find("{card}")) != std::string::npos;) {
    options.replace(at, 6, kCardDir);
  }
  return options;
}

class OtherWriter : public CardTest, public testing::WithParamInterface<Writer> {};

TEST_P(OtherWriter, OpensOrIsRefusedWithItsCode) {
  const Writer& w = GetParam();
  const Bytes data = Sample(w.size);
  WriteFile(Temp("plain"), data);
  const std::string signer =
      *w.signer != '\0' ? OtherSigner(w.signer)
                        : " -signer " + Card("sign.crt.pem") + " -inkey " + Card("sign.key.pem");
  // Key options apply to the recipient or signer named before them.
  ASSERT_TRUE(Shell("openssl cms -encrypt -binary -outform DER -in " + Temp("plain") + " -recip " +
                    Card("enc.crt.pem") + " " + WithCardDir(w.encrypt) +
                    " | openssl cms -sign -nodetach -binary -outform DER" + signer + " " +
                    WithCardDir(w.sign) + " -out " + Temp("other")));
  const Bytes structure = ReadFile(Temp("other"));
  const Result r = Unwrap(structure, static_cast<int32_t>(w.size));
  ASSERT_EQ(r.rc, w.rc);
  if (w.rc != EXCHPACK_OK) return;
  EXPECT_EQ(r.out, data);
  // One byte short of the data is refused before anything is written.
  if (w.size > 0) {
    EXPECT_EQ(Unwrap(structure, static_cast<int32_t>(w.size) - 1).rc,
              EXCHPACK_ERR_OUTPUT_TOO_SMALL);
  }
  // The signer's certificate comes out of every form.
  if (*w.signer == '\0') {
    Record in(structure);
    Record out(1500);
    ASSERT_EQ(GetSignCertFromP12(in.get(), out.get()), EXCHPACK_OK);
    EXPECT_EQ(out.bytes(), ReadFile(Card("sign.crt.der")));
  }
}

INSTANTIATE_TEST_SUITE_P(Structures, OtherWriter, testing::ValuesIn(kWriters),
                         [](const testing::TestParamInfo<Writer>& row) {
                           return std::string(row.param.name);
                         });

// A streamed structure whose signed content was altered in one segment, or
// cut inside its last segment, is refused before the card.
TEST(StreamedStructure, DamageIsRefusedBeforeTheCard) {
  WriteFile(Temp("plain"), Sample(10000));
  ASSERT_TRUE(Shell(
      "openssl cms -encrypt -stream -binary -outform DER -aes128 -in " + Temp("plain") + " " +
      Card("enc.crt.pem") + " | openssl cms -sign -stream -nodetach -binary -outform DER -signer " +
      Card("sign.crt.pem") + " -inkey " + Card("sign.key.pem") + " -out " + Temp("streamed")));
  const Bytes structure = ReadFile(Temp("streamed"));
  Bytes altered = structure;
  altered[6000] ^= 0x01;  // inside the second segment of ciphertext
  EXPECT_EQ(Unwrap(altered).rc, EXCHPACK_ERR_BAD_SIGNATURE);
  // Cut at the end of the content: the end-of-contents octets are missing.
  const unsigned char eoc[] = {0x00, 0x00, 0x00, 0x00};
  const auto at = std::search(structure.begin() + 10000, structure.end(), eoc, eoc + 4);
  ASSERT_NE(at, structure.end());
  EXPECT_EQ(Unwrap(Bytes(structure.begin(), at)).rc, EXCHPACK_ERR_NOT_STRUCTURE);
  // The card library is not started: the intact one gets as far as the card.
  EXPECT_EQ(Unwrap(structure).rc, EXCHPACK_ERR_CARD);
}

// ---- The signer's certificate ---------------------------------------------------------

Result SignerCert(const Bytes& structure, int32_t capacity = 1500) {
  Record in(structure);
  Record out(capacity);
  const int32_t rc = GetSignCertFromP12(in.get(), out.get());
  return {rc, rc == EXCHPACK_OK ? out.bytes() : Bytes()};
}

TEST_F(CardTest, SignerCertificateOfOwnAndOpensslStructures) {
  const Bytes sign_der = ReadFile(Card("sign.crt.der"));
  const Result wrapped = Wrap(Sample(5), EncCertDer());
  ASSERT_EQ(wrapped.rc, EXCHPACK_OK);
  vorpin_fini();  // no card needed
  EXPECT_EQ(SignerCert(wrapped.out).out, sign_der);
  const Bytes openssl_made = OpensslSigned(OpensslEnvelope(Sample(5), Card("enc.crt.pem")),
                                           "-certfile " + Card("ca.crt.pem"));
  EXPECT_EQ(SignerCert(openssl_made).out, sign_der);

  const auto n = static_cast<int32_t>(sign_der.size());
  EXPECT_EQ(SignerCert(wrapped.out, n).rc, EXCHPACK_OK);
  EXPECT_EQ(SignerCert(wrapped.out, n - 1).rc, EXCHPACK_ERR_OUTPUT_TOO_SMALL);
  EXPECT_EQ(SignerCert(ToBytes("nothing")).rc, EXCHPACK_ERR_NOT_STRUCTURE);
}

TEST(SignerCertificate, MissingFromTheStructure) {
  // The CA's certificate is carried, the signer's is not.
  const Bytes structure = OpensslSigned(OpensslEnvelope(Sample(5), Card("enc.crt.pem")),
                                        "-nocerts -certfile " + Card("ca.crt.pem"));
  EXPECT_EQ(SignerCert(structure).rc, EXCHPACK_ERR_NO_SIGNER_CERT);
  EXPECT_EQ(Unwrap(structure).rc, EXCHPACK_ERR_BAD_SIGNATURE);
}

}  // namespace

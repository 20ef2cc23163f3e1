// Doclock's entry points on the SoftHSM2 card: round trips, both proofs
// against the stock openssl command, capacities, refused structures, the
// signer's certificate as Base64, and the card library stopped after a
// failed start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "Doclock.h"
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
  return testing::TempDir() + "doclock_test." + std::to_string(getpid()) + "." + name;
}

Bytes Sample(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 131) >> 3);
  return b;
}

constexpr unsigned char kUntouched = 0xA5;

// A call's result with the host's buffer and size as the call left them.
struct Result {
  int32_t rc;
  Bytes out;         // the whole buffer, capacity bytes
  int32_t out_size;  // the value behind outSize
  Bytes Written() const { return Bytes(out.begin(), out.begin() + out_size); }
  bool Untouched(int32_t capacity) const {
    return out_size == capacity && out == Bytes(static_cast<size_t>(capacity), kUntouched);
  }
};

Result Encrypt(const Bytes& data, const Bytes& cert, int32_t capacity,
               const std::string& pin = kPin) {
  Result r{0, Bytes(static_cast<size_t>(capacity), kUntouched), capacity};
  r.rc = ::Encrypt(pin.c_str(), test_support::Ptr(cert), static_cast<int32_t>(cert.size()),
                   test_support::Ptr(data), static_cast<int32_t>(data.size()), r.out.data(),
                   &r.out_size);
  return r;
}

Result Decrypt(const Bytes& p12, int32_t capacity, const std::string& pin = kPin) {
  Result r{0, Bytes(static_cast<size_t>(capacity), kUntouched), capacity};
  r.rc = ::Decrypt(pin.c_str(), r.out.data(), &r.out_size, test_support::Ptr(p12),
                   static_cast<int32_t>(p12.size()));
  return r;
}

Bytes EncCert() { return ReadFile(Card("enc.crt.der")); }

// Wraps data for the card's own encryption certificate.
Bytes Wrapped(const Bytes& data) {
  const Result r = Encrypt(data, EncCert(), static_cast<int32_t>(data.size()) + 8192);
  EXPECT_EQ(r.rc, DOCLOCK_OK);
  return r.Written();
}

// ---- Round trips ----------------------------------------------------------------

struct Size {
  const char* name;
  size_t bytes;
};

const Size kSizes[] = {{"empty", 0}, {"one_byte", 1}, {"one_block", 16}, {"one_mib", 1 << 20}};

class RoundTrip : public testing::TestWithParam<Size> {};

TEST_P(RoundTrip, EncryptThenDecrypt) {
  const Bytes data = Sample(GetParam().bytes);
  const Bytes p12 = Wrapped(data);
  ASSERT_FALSE(p12.empty());
  // The size written is the structure's, below the capacity given.
  const auto capacity = static_cast<int32_t>(data.size()) + 100;
  const Result r = Decrypt(p12, capacity);
  ASSERT_EQ(r.rc, DOCLOCK_OK);
  EXPECT_EQ(r.Written(), data);
  EXPECT_EQ(Bytes(r.out.begin() + r.out_size, r.out.end()),
            Bytes(static_cast<size_t>(capacity - r.out_size), kUntouched));
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip, testing::ValuesIn(kSizes),
                         [](const testing::TestParamInfo<Size>& row) {
                           return std::string(row.param.name);
                         });

// ---- The stock openssl command --------------------------------------------------

TEST(Openssl, OpensWhatEncryptMakes) {
  const Bytes data = Sample(5000);
  WriteFile(Temp("p12"), Wrapped(data));
  ASSERT_TRUE(Shell("openssl cms -verify -inform DER -binary -noverify -in " + Temp("p12") +
                    " -out " + Temp("env") + " 2>/dev/null"));
  ASSERT_TRUE(Shell("openssl cms -decrypt -inform DER -binary -in " + Temp("env") + " -recip " +
                    Card("enc.crt.pem") + " -inkey " + Card("enc.key.pem") + " -out " +
                    Temp("plain")));
  EXPECT_EQ(ReadFile(Temp("plain")), data);
  // The signer's chain is sound as well.
  EXPECT_TRUE(Shell("openssl cms -verify -inform DER -binary -CAfile " + Card("ca.crt.pem") +
                    " -purpose any -in " + Temp("p12") + " -out /dev/null 2>/dev/null"));
}

TEST(Openssl, DecryptOpensWhatOpensslMakes) {
  const Bytes data = Sample(5000);
  WriteFile(Temp("plain"), data);
  ASSERT_TRUE(Shell("openssl cms -encrypt -aes256 -binary -outform DER -in " + Temp("plain") +
                    " -out " + Temp("env") + " " + Card("enc.crt.pem")));
  ASSERT_TRUE(Shell("openssl cms -sign -nodetach -binary -outform DER -in " + Temp("env") +
                    " -signer " + Card("sign.crt.pem") + " -inkey " + Card("sign.key.pem") +
                    " -out " + Temp("p12")));
  const Result r = Decrypt(ReadFile(Temp("p12")), 5000);
  ASSERT_EQ(r.rc, DOCLOCK_OK);
  EXPECT_EQ(r.Written(), data);
}

// ---- Capacities and refusals leave the host's buffers as they were ----------------

TEST(Capacity, ExactlyEnoughAndOneByteShort) {
  const Bytes data = Sample(1000);
  const Bytes p12 = Wrapped(data);
  const auto size = static_cast<int32_t>(p12.size());

  const Result exact = Encrypt(data, EncCert(), size);
  EXPECT_EQ(exact.rc, DOCLOCK_OK);
  EXPECT_EQ(exact.out_size, size);
  const Result short_out = Encrypt(data, EncCert(), size - 1);
  EXPECT_EQ(short_out.rc, EXCHPACK_ERR_OUTPUT_TOO_SMALL);
  EXPECT_TRUE(short_out.Untouched(size - 1));

  EXPECT_EQ(Decrypt(p12, 1000).Written(), data);
  const Result short_data = Decrypt(p12, 999);
  EXPECT_EQ(short_data.rc, EXCHPACK_ERR_OUTPUT_TOO_SMALL);
  EXPECT_TRUE(short_data.Untouched(999));
}

TEST(Refusals, AnotherRecipientWrongPinAndNotAStructure) {
  const Result other = Encrypt(Sample(10), ReadFile(Card("ca.crt.der")), 8192);
  ASSERT_EQ(other.rc, DOCLOCK_OK);
  const Result not_mine = Decrypt(other.Written(), 64);
  EXPECT_EQ(not_mine.rc, EXCHPACK_ERR_NOT_RECIPIENT);
  EXPECT_TRUE(not_mine.Untouched(64));

  const Bytes p12 = Wrapped(Sample(10));
  const Result wrong_pin = Decrypt(p12, 64, "000000");
  EXPECT_EQ(wrong_pin.rc, EXCHPACK_ERR_PIN);
  EXPECT_TRUE(wrong_pin.Untouched(64));
  const Result wrong_pin_wrap = Encrypt(Sample(10), EncCert(), 8192, "000000");
  EXPECT_EQ(wrong_pin_wrap.rc, EXCHPACK_ERR_PIN);
  EXPECT_TRUE(wrong_pin_wrap.Untouched(8192));

  const Result junk = Decrypt(ToBytes("plainly not a structure"), 64);
  EXPECT_EQ(junk.rc, EXCHPACK_ERR_NOT_STRUCTURE);
  EXPECT_TRUE(junk.Untouched(64));
  EXPECT_EQ(Encrypt(Sample(10), ToBytes("no certificate"), 8192).rc, EXCHPACK_ERR_RECIPIENT_CERT);
}

// A flipped byte in each part of the structure (the exchange library's
// tests flip every byte): the header, the enveloped content, the
// certificate, the signature.
struct Flip {
  const char* name;
  double where;  // fraction of the structure's size
};

const Flip kFlips[] = {{"header", 0.0},       {"envelope", 0.35},    {"ciphertext", 0.5},
                       {"certificate", 0.75}, {"signer_info", 0.93}, {"signature", 0.999}};

class FlippedByte : public testing::TestWithParam<Flip> {};

TEST_P(FlippedByte, IsRefusedAndNothingIsWritten) {
  Bytes p12 = Wrapped(Sample(600));
  p12[static_cast<size_t>(GetParam().where * static_cast<double>(p12.size() - 1))] ^= 0x08;
  const Result r = Decrypt(p12, 1000);
  EXPECT_TRUE(r.rc == EXCHPACK_ERR_NOT_STRUCTURE || r.rc == EXCHPACK_ERR_BAD_SIGNATURE) << r.rc;
  EXPECT_TRUE(r.Untouched(1000));
}

INSTANTIATE_TEST_SUITE_P(Parts, FlippedByte, testing::ValuesIn(kFlips),
                         [](const testing::TestParamInfo<Flip>& row) {
                           return std::string(row.param.name);
                         });

TEST(HostBuffers, CertificateIsNeverModified) {
  const Bytes cert = ReadFile(Card("enc.crt.pem"));
  Bytes host = cert;
  const Bytes data = Sample(100);
  int32_t size = 8192;
  Bytes out(static_cast<size_t>(size));
  ASSERT_EQ(::Encrypt(kPin.c_str(), host.data(), static_cast<int32_t>(host.size()), data.data(),
                      static_cast<int32_t>(data.size()), out.data(), &size),
            DOCLOCK_OK);
  EXPECT_EQ(host, cert);
}

// A host may wrap and unwrap in place: the output buffer is the input's.
TEST(HostBuffers, InPlaceWrapAndUnwrap) {
  const Bytes cert = EncCert();
  const Bytes data = Sample(200000);
  Bytes buf = data;
  buf.resize(data.size() + 8192);
  int32_t size = static_cast<int32_t>(buf.size());
  ASSERT_EQ(::Encrypt(kPin.c_str(), cert.data(), static_cast<int32_t>(cert.size()), buf.data(),
                      static_cast<int32_t>(data.size()), buf.data(), &size),
            DOCLOCK_OK);
  const Bytes wrapped(buf.begin(), buf.begin() + size);
  EXPECT_EQ(Decrypt(wrapped, static_cast<int32_t>(data.size())).Written(), data);
  int32_t out_size = static_cast<int32_t>(buf.size());
  ASSERT_EQ(::Decrypt(kPin.c_str(), buf.data(), &out_size, buf.data(), size), DOCLOCK_OK);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + out_size), data);
}

// A record that cannot be made (a negative size, no size at all) gives -1;
// nothing is written.
TEST(Records, NegativeSizesGiveMinusOne) {
  const Bytes cert = EncCert();
  const auto cert_size = static_cast<int32_t>(cert.size());
  unsigned char buf[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
  int32_t negative = -1;
  EXPECT_EQ(::Encrypt(kPin.c_str(), cert.data(), cert_size, buf, 4, buf, &negative),
            DOCLOCK_ERR_RECORD);
  EXPECT_EQ(::Decrypt(kPin.c_str(), buf, &negative, buf, 4), DOCLOCK_ERR_RECORD);
  EXPECT_EQ(negative, -1);
  int32_t size = 4;
  EXPECT_EQ(::Encrypt(kPin.c_str(), cert.data(), cert_size, buf, -4, buf, &size),
            DOCLOCK_ERR_RECORD);
  EXPECT_EQ(::Encrypt(kPin.c_str(), cert.data(), -1, buf, 4, buf, &size), DOCLOCK_ERR_RECORD);
  EXPECT_EQ(::Decrypt(kPin.c_str(), buf, &size, buf, -4), DOCLOCK_ERR_RECORD);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(::Encrypt(kPin.c_str(), cert.data(), cert_size, buf, 4, buf, nullptr),
            DOCLOCK_ERR_RECORD);
  EXPECT_EQ(::Decrypt(kPin.c_str(), buf, nullptr, buf, 4), DOCLOCK_ERR_RECORD);
  EXPECT_EQ(Bytes(buf, buf + 4), Bytes(4, kUntouched));
  char text[8] = "unset";
  EXPECT_EQ(GetSignCertificateFromP12(buf, -4, text), DOCLOCK_ERR_RECORD);
  EXPECT_STREQ(text, "unset");
}

// ---- The card library after a failed start -------------------------------------------

// The host has started the card library itself, so the entry point's own
// vorpin_init fails (C_Initialize answers "already initialized"): -23, and
// the card library is stopped all the same, so that the next start works.
TEST(FailedStart, BothEntryPointsStopTheCardLibrary) {
  const Bytes p12 = Wrapped(Sample(10));
  for (bool decrypt : {false, true}) {
    ASSERT_EQ(vorpin_init(), VORPIN_OK);
    const Result r = decrypt ? Decrypt(p12, 64) : Encrypt(Sample(10), EncCert(), 8192);
    EXPECT_EQ(r.rc, DOCLOCK_ERR_CARD_START) << decrypt;
    EXPECT_TRUE(r.Untouched(decrypt ? 64 : 8192));
    EXPECT_EQ(vorpin_init(), VORPIN_OK) << decrypt;
    vorpin_fini();
  }
}

// Run without the card's module on the loader's path (a test of its own).
TEST(NoModule, BothEntryPointsGiveMinus23) {
  const Result wrap = Encrypt(Sample(10), ToBytes("any"), 64);
  EXPECT_EQ(wrap.rc, DOCLOCK_ERR_CARD_START);
  EXPECT_TRUE(wrap.Untouched(64));
  const Result unwrap = Decrypt(Sample(10), 64);
  EXPECT_EQ(unwrap.rc, DOCLOCK_ERR_CARD_START);
  EXPECT_TRUE(unwrap.Untouched(64));
}

// ---- The signer's certificate as Base64 --------------------------------------------

TEST(SignCertificate, Base64OfTheSignerCertificateInTwiceItsSize) {
  const Bytes sign_der = ReadFile(Card("sign.crt.der"));
  const Bytes p12 = Wrapped(Sample(10));
  std::string text(4000, 'Z');
  ASSERT_EQ(GetSignCertificateFromP12(p12.data(), static_cast<int32_t>(p12.size()), &text[0]),
            DOCLOCK_OK);
  const size_t n = sign_der.size();
  EXPECT_EQ(text.find_first_not_of('Z', 2 * n), std::string::npos);  // 2 x n bytes written
  Bytes decoded(n + 1);
  EXPECT_EQ(B64Decode(text.c_str(), decoded.data(), static_cast<uint32_t>(decoded.size())),
            static_cast<int32_t>(n));
  decoded.resize(n);
  EXPECT_EQ(decoded, sign_der);
  EXPECT_EQ(std::strlen(text.c_str()), (n + 2) / 3 * 4);

  std::string untouched(64, 'Z');
  EXPECT_EQ(GetSignCertificateFromP12(sign_der.data(), static_cast<int32_t>(n), &untouched[0]),
            EXCHPACK_ERR_NOT_STRUCTURE);
  EXPECT_EQ(untouched, std::string(64, 'Z'));
}

TEST(SignCertificate, LargerThanTheRecordOf1500Bytes) {
  const std::string names(1400, 'a');
  ASSERT_TRUE(Shell(
      "openssl req -x509 -newkey rsa:1024 -nodes -subj /CN=large -days 2 "
      "-addext subjectAltName=DNS:" +
      names.substr(0, 60) + ",DNS:" + names.substr(0, 60) + "b,DNS:" + std::string(1300, 'c') +
      ".example -keyout " + Temp("large.key") + " -out " + Temp("large.crt") + " 2>/dev/null"));
  WriteFile(Temp("content"), Sample(10));
  ASSERT_TRUE(Shell("openssl cms -sign -nodetach -binary -outform DER -in " + Temp("content") +
                    " -signer " + Temp("large.crt") + " -inkey " + Temp("large.key") + " -out " +
                    Temp("large.p12")));
  const Bytes p12 = ReadFile(Temp("large.p12"));
  std::string text(4000, 'Z');
  EXPECT_EQ(GetSignCertificateFromP12(p12.data(), static_cast<int32_t>(p12.size()), &text[0]),
            EXCHPACK_ERR_OUTPUT_TOO_SMALL);
  EXPECT_EQ(text, std::string(4000, 'Z'));
}

}  // namespace

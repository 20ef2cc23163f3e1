// The software side of the card library without a card: digests, and
// verification and encryption with a given DER certificate.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>
#include <string>

#include "cert_factory.h"
#include "test_support.h"
#include "vorpin_dll.h"

namespace {

using cert_factory::Key;
using test_support::Bytes;
using test_support::Ptr;
using test_support::ToBytes;
using test_support::TraceLog;

int32_t Len(const Bytes& b) { return static_cast<int32_t>(b.size()); }

Bytes Hash(const Bytes& data, int32_t hash_type) {
  Bytes out(36);
  int32_t len = 36;
  EXPECT_EQ(vorpin_hash(Ptr(data), Len(data), out.data(), &len, hash_type), VORPIN_OK);
  out.resize(static_cast<size_t>(len));
  return out;
}

// A PKCS#1 v1.5 type 1 block over the bytes as given, the form the card
// makes with CKM_RSA_PKCS.
Bytes RawSign(EVP_PKEY* key, const Bytes& input) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  Bytes sig(static_cast<size_t>(EVP_PKEY_get_size(key)));
  size_t len = sig.size();
  EXPECT_GT(EVP_PKEY_sign_init(ctx), 0);
  EXPECT_GT(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 0);
  EXPECT_GT(EVP_PKEY_sign(ctx, sig.data(), &len, input.data(), input.size()), 0);
  EVP_PKEY_CTX_free(ctx);
  sig.resize(len);
  return sig;
}

Bytes RawDecrypt(EVP_PKEY* key, const Bytes& block) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  Bytes out(static_cast<size_t>(EVP_PKEY_get_size(key)));
  size_t len = out.size();
  bool ok = EVP_PKEY_decrypt_init(ctx) > 0 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
            EVP_PKEY_decrypt(ctx, out.data(), &len, block.data(), block.size()) > 0;
  EVP_PKEY_CTX_free(ctx);
  out.resize(ok ? len : 0);
  return out;
}

std::string Pem(const Bytes& der) {
  const unsigned char* p = der.data();
  X509* x509 = d2i_X509(nullptr, &p, Len(der));
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, x509);
  char* text = nullptr;
  long n = BIO_get_mem_data(bio, &text);
  std::string out(text, static_cast<size_t>(n));
  BIO_free(bio);
  X509_free(x509);
  return out;
}

// ---- vorpin_hash ----------------------------------------------------------

struct DigestVector {
  const char* name;
  const char* data;
  int32_t hash_type;
  const char* hex;
};

const DigestVector kDigests[] = {
    {"md5_empty", "", VORPIN_HASH_MD5, "d41d8cd98f00b204e9800998ecf8427e"},
    {"md5_abc", "abc", VORPIN_HASH_MD5, "900150983cd24fb0d6963f7d28e17f72"},
    {"sha1_empty", "", VORPIN_HASH_SHA1, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {"sha1_abc", "abc", VORPIN_HASH_SHA1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"md5_then_sha1_abc", "abc", VORPIN_HASH_MD5_SHA1,
     "900150983cd24fb0d6963f7d28e17f72a9993e364706816aba3e25717850c26c9cd0d89d"},
};

class DigestVectors : public ::testing::TestWithParam<DigestVector> {};

TEST_P(DigestVectors, GiveTheBareDigest) {
  const DigestVector& v = GetParam();
  EXPECT_EQ(test_support::ToHex(Hash(ToBytes(v.data), v.hash_type)), v.hex);
}

INSTANTIATE_TEST_SUITE_P(Hash, DigestVectors, ::testing::ValuesIn(kDigests),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(Hash, OutputLengthConvention) {
  TraceLog::Get().Install();
  TraceLog::Get().Clear();
  const Bytes data = ToBytes("abc");
  unsigned char out[36];
  int32_t len = 0;
  EXPECT_EQ(vorpin_hash(data.data(), 3, nullptr, &len, VORPIN_HASH_MD5),
            VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 16);
  len = 15;
  EXPECT_EQ(vorpin_hash(data.data(), 3, out, &len, VORPIN_HASH_MD5), VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 16);
  EXPECT_TRUE(
      TraceLog::Get().Contains("vorpin_hash(): the output buffer size is NOT large enough."));
  len = 35;
  EXPECT_EQ(vorpin_hash(data.data(), 3, out, &len, VORPIN_HASH_MD5_SHA1),
            VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 36);
  len = -1;
  EXPECT_EQ(vorpin_hash(data.data(), 3, out, &len, VORPIN_HASH_SHA1), VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 20);
  len = 16;
  EXPECT_EQ(vorpin_hash(data.data(), 3, out, &len, VORPIN_HASH_MD5), VORPIN_OK);
  EXPECT_EQ(len, 16);
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_hash(): MD5 hashing..."));
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_hash(): MD5 + SHA1 hashing..."));
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_hash(): SHA1 hashing..."));
  EXPECT_EQ(vorpin_hash(data.data(), 3, out, nullptr, VORPIN_HASH_MD5), VORPIN_ERR_NULL_LENGTH);
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_hash(): input a NULL input/output buffer for getting hash value length!"));
}

TEST(Hash, RefusesMissingDataAndUnknownSelectors) {
  TraceLog::Get().Install();
  TraceLog::Get().Clear();
  unsigned char out[36];
  int32_t len = 36;
  EXPECT_EQ(vorpin_hash(nullptr, 0, out, &len, VORPIN_HASH_MD5), VORPIN_ERR_HASH_NULL_DATA);
  EXPECT_EQ(vorpin_hash(out, -1, out, &len, VORPIN_HASH_MD5), VORPIN_ERR_HASH_NULL_DATA);
  EXPECT_TRUE(
      TraceLog::Get().Contains("vorpin_hash(): input a NULL data to be hashed, something error!"));
  for (int32_t hash_type : {0, 4, -1}) {
    EXPECT_EQ(vorpin_hash(out, 1, out, &len, hash_type), VORPIN_ERR_HASH_TYPE) << hash_type;
  }
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_hash(): unknown hashing type, not supported yet!"));
  EXPECT_EQ(len, 36);
}

// ---- Verification and encryption with a given certificate ------------------

class WithCertificate : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rsa1024_ = cert_factory::RsaKey(1024).release();
    rsa2048_ = cert_factory::RsaKey(2048).release();
    ec_ = cert_factory::EcKey().release();
    dsa_ = cert_factory::DsaKey().release();
    cert1024_ = new Bytes(cert_factory::Make({}, rsa1024_));
    cert2048_ = new Bytes(cert_factory::Make({}, rsa2048_));
    ec_cert_ = new Bytes(cert_factory::Make({}, ec_));
    dsa_cert_ = new Bytes(cert_factory::Make({}, dsa_, ec_));
  }
  static void TearDownTestSuite() {
    for (EVP_PKEY* k : {rsa1024_, rsa2048_, ec_, dsa_}) EVP_PKEY_free(k);
    for (Bytes* b : {cert1024_, cert2048_, ec_cert_, dsa_cert_}) delete b;
  }
  void SetUp() override {
    TraceLog::Get().Install();
    TraceLog::Get().Clear();
  }

  static int32_t VerifyWith(const Bytes& cert, const Bytes& data, const Bytes& sig,
                            int32_t hash_type) {
    return vorpin_verify_by_cert(Ptr(data), Len(data), Ptr(sig), Len(sig), cert.data(), Len(cert),
                                 hash_type);
  }

  static EVP_PKEY* rsa1024_;
  static EVP_PKEY* rsa2048_;
  static EVP_PKEY* ec_;
  static EVP_PKEY* dsa_;
  static Bytes* cert1024_;
  static Bytes* cert2048_;
  static Bytes* ec_cert_;
  static Bytes* dsa_cert_;
};

EVP_PKEY* WithCertificate::rsa1024_;
EVP_PKEY* WithCertificate::rsa2048_;
EVP_PKEY* WithCertificate::ec_;
EVP_PKEY* WithCertificate::dsa_;
Bytes* WithCertificate::cert1024_;
Bytes* WithCertificate::cert2048_;
Bytes* WithCertificate::ec_cert_;
Bytes* WithCertificate::dsa_cert_;

// A signature made over the digest of one selector, checked with another.
struct SelectorCase {
  const char* name;
  int32_t signed_with;
  int32_t checked_with;
  int32_t result;
};

const SelectorCase kSelectors[] = {
    {"md5", VORPIN_HASH_MD5, VORPIN_HASH_MD5, VORPIN_OK},
    {"sha1", VORPIN_HASH_SHA1, VORPIN_HASH_SHA1, VORPIN_OK},
    {"md5_sha1", VORPIN_HASH_MD5_SHA1, VORPIN_HASH_MD5_SHA1, VORPIN_OK},
    // The MD5 part of an MD5+SHA-1 signature is no MD5 signature: the
    // recovered value is longer than the expected one.
    {"md5_sha1_checked_as_md5", VORPIN_HASH_MD5_SHA1, VORPIN_HASH_MD5, VORPIN_ERR_VERIFY_MISMATCH},
    {"md5_checked_as_md5_sha1", VORPIN_HASH_MD5, VORPIN_HASH_MD5_SHA1, VORPIN_ERR_VERIFY_MISMATCH},
    {"sha1_checked_as_md5", VORPIN_HASH_SHA1, VORPIN_HASH_MD5, VORPIN_ERR_VERIFY_MISMATCH},
    {"sha1_checked_as_md5_sha1", VORPIN_HASH_SHA1, VORPIN_HASH_MD5_SHA1,
     VORPIN_ERR_VERIFY_MISMATCH},
    {"sha1_checked_unhashed", VORPIN_HASH_SHA1, VORPIN_HASH_NONE, VORPIN_ERR_VERIFY_MISMATCH},
};

class VerifySelectors : public WithCertificate,
                        public ::testing::WithParamInterface<SelectorCase> {};

TEST_P(VerifySelectors, RecoveredValueMustBeTheExpectedOne) {
  const SelectorCase& c = GetParam();
  const Bytes data = ToBytes("signed content");
  const Bytes sig = RawSign(rsa1024_, Hash(data, c.signed_with));
  EXPECT_EQ(VerifyWith(*cert1024_, data, sig, c.checked_with), c.result);
}

INSTANTIATE_TEST_SUITE_P(WithCertificate, VerifySelectors, ::testing::ValuesIn(kSelectors),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(WithCertificate, UnhashedValueMustMatchInLengthAndBytes) {
  const Bytes d = ToBytes("D");
  const Bytes longer = ToBytes("D and anything after it");
  const Bytes zero_padded = {'D', 0, 0};
  EXPECT_EQ(VerifyWith(*cert1024_, d, RawSign(rsa1024_, d), VORPIN_HASH_NONE), VORPIN_OK);
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_verify_internal(): get the RSA public key from the input certificate for verifying"));
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_verify_internal(): verifying without hashing."));
  EXPECT_TRUE(
      TraceLog::Get().Contains("vorpin_verify_internal(): the signature of data is correct."));
  // Over a longer value, over a shorter one, and the zero bytes that follow
  // a shorter value in the block.
  EXPECT_EQ(VerifyWith(*cert1024_, d, RawSign(rsa1024_, longer), VORPIN_HASH_NONE),
            VORPIN_ERR_VERIFY_MISMATCH);
  EXPECT_EQ(VerifyWith(*cert1024_, longer, RawSign(rsa1024_, d), VORPIN_HASH_NONE),
            VORPIN_ERR_VERIFY_MISMATCH);
  EXPECT_EQ(VerifyWith(*cert1024_, zero_padded, RawSign(rsa1024_, d), VORPIN_HASH_NONE),
            VORPIN_ERR_VERIFY_MISMATCH);
  EXPECT_TRUE(
      TraceLog::Get().Contains("vorpin_verify_internal(): the signature of data is wrong."));
  // More than a block of data never matches; a signature longer than the
  // modulus, or cut short, is no signature.
  const Bytes sig = RawSign(rsa1024_, d);
  Bytes too_long = sig;
  too_long.push_back(0);
  EXPECT_EQ(VerifyWith(*cert1024_, Bytes(129, 'D'), sig, VORPIN_HASH_NONE),
            VORPIN_ERR_VERIFY_MISMATCH);
  EXPECT_EQ(VerifyWith(*cert1024_, d, too_long, VORPIN_HASH_NONE), VORPIN_ERR_VERIFY_MISMATCH);
  EXPECT_EQ(VerifyWith(*cert1024_, d, Bytes(sig.begin(), sig.begin() + 64), VORPIN_HASH_NONE),
            VORPIN_ERR_VERIFY_MISMATCH);
  EXPECT_EQ(VerifyWith(*cert1024_, d, Bytes(), VORPIN_HASH_NONE), VORPIN_ERR_VERIFY_MISMATCH);
}

TEST_F(WithCertificate, LargerKeyRecoversIntoItsOwnSizeThenHoldsTheBlockLimit) {
  // A 2048-bit key recovers up to 245 bytes: more than the 128-byte block
  // gives 1, a value that fits verifies.
  const Bytes big(200, 0x5A);
  EXPECT_EQ(VerifyWith(*cert2048_, big, RawSign(rsa2048_, big), VORPIN_HASH_NONE),
            VORPIN_ERR_MEMORY);
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_verify_internal(): Memory error!"));
  const Bytes small(128, 0x5A);
  EXPECT_EQ(VerifyWith(*cert2048_, small, RawSign(rsa2048_, small), VORPIN_HASH_NONE), VORPIN_OK);
  const Bytes data = ToBytes("x");
  EXPECT_EQ(VerifyWith(*cert2048_, data, RawSign(rsa2048_, Hash(data, 3)), VORPIN_HASH_MD5_SHA1),
            VORPIN_OK);
}

TEST_F(WithCertificate, VerificationArgumentsInTheirOrder) {
  const Bytes data = ToBytes("data");
  const Bytes sig = RawSign(rsa1024_, Hash(data, VORPIN_HASH_SHA1));
  const Bytes& cert = *cert1024_;
  // The certificate is looked at first, then the data, the signature, the
  // key and the selector.
  EXPECT_EQ(vorpin_verify_by_cert(nullptr, 0, nullptr, 0, nullptr, 10, 9),
            VORPIN_ERR_VERIFY_EMPTY_CERT);
  EXPECT_EQ(vorpin_verify_by_cert(nullptr, 0, nullptr, 0, cert.data(), 0, 9),
            VORPIN_ERR_VERIFY_EMPTY_CERT);
  EXPECT_EQ(vorpin_verify_by_cert(nullptr, 0, nullptr, 0, cert.data(), -5, 9),
            VORPIN_ERR_VERIFY_EMPTY_CERT);
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_verify_by_cert(): input a empty certificate!"));
  EXPECT_EQ(vorpin_verify_by_cert(nullptr, 4, sig.data(), 128, cert.data(), Len(cert), 2),
            VORPIN_ERR_VERIFY_NULL_DATA);
  EXPECT_EQ(vorpin_verify_by_cert(data.data(), -4, sig.data(), 128, cert.data(), Len(cert), 2),
            VORPIN_ERR_VERIFY_NULL_DATA);
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_verify_internal(): input a NULL data to be verified, something error!"));
  EXPECT_EQ(vorpin_verify_by_cert(data.data(), 4, nullptr, 128, cert.data(), Len(cert), 2),
            VORPIN_ERR_VERIFY_NULL_SIGNATURE);
  EXPECT_EQ(vorpin_verify_by_cert(data.data(), 4, sig.data(), -1, cert.data(), Len(cert), 2),
            VORPIN_ERR_VERIFY_NULL_SIGNATURE);
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_verify_internal(): input a NULL signature of data, something error!"));
  EXPECT_EQ(
      vorpin_verify_by_cert(data.data(), 4, sig.data(), 128, ec_cert_->data(), Len(*ec_cert_), 9),
      VORPIN_ERR_VERIFY_PUBLIC_KEY);
  for (int32_t hash_type : {4, -1, 0x7fffffff}) {
    EXPECT_EQ(VerifyWith(cert, data, sig, hash_type), VORPIN_ERR_HASH_TYPE) << hash_type;
  }
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_verify_internal(): unknown hashing type!"));
  EXPECT_EQ(VerifyWith(cert, data, sig, VORPIN_HASH_SHA1), VORPIN_OK);
}

// Certificate bytes that hold no RSA key.
struct BadCertificate {
  const char* name;
  Bytes (*make)(const Bytes& rsa_cert, const Bytes& dsa_cert, const Bytes& ec_cert);
  const char* message;
};

const char kNotDer[] =
    "vorpin_RSA_pubkey_get_by_cert(): failed to convert the certificate to OpenSSL internal "
    "structure!";
const char kNotRsa[] = "vorpin_RSA_pubkey_get_by_cert(): Certificate is not RSA type!";

const BadCertificate kBadCertificates[] = {
    {"pem_text", [](const Bytes& c, const Bytes&, const Bytes&) { return ToBytes(Pem(c)); },
     kNotDer},
    {"base64_text",
     [](const Bytes& c, const Bytes&, const Bytes&) {
       std::string text(c.size() * 2 + 4, '\0');
       text.resize(static_cast<size_t>(B64Encode(c.data(), static_cast<uint32_t>(c.size()),
                                                 &text[0], static_cast<uint32_t>(text.size()))));
       return ToBytes(text);
     },
     kNotDer},
    {"truncated_der",
     [](const Bytes& c, const Bytes&, const Bytes&) { return Bytes(c.begin(), c.end() - 1); },
     kNotDer},
    {"one_byte",
     [](const Bytes& c, const Bytes&, const Bytes&) { return Bytes(c.begin(), c.begin() + 1); },
     kNotDer},
    {"random_bytes", [](const Bytes&, const Bytes&, const Bytes&) { return Bytes(300, 0xA5); },
     kNotDer},
    {"dsa_key", [](const Bytes&, const Bytes& dsa, const Bytes&) { return dsa; }, kNotRsa},
    {"ec_key", [](const Bytes&, const Bytes&, const Bytes& ec) { return ec; }, kNotRsa},
};

class NoRsaKey : public WithCertificate, public ::testing::WithParamInterface<BadCertificate> {};

TEST_P(NoRsaKey, GivesTheKeyFailureOfEachOperation) {
  const BadCertificate& c = GetParam();
  // The bytes are copied into a buffer of exactly their length, so the
  // sanitizer build sees any read past them.
  const Bytes cert = c.make(*cert1024_, *dsa_cert_, *ec_cert_);
  const Bytes data = ToBytes("data");
  const Bytes sig(128, 1);
  EXPECT_EQ(VerifyWith(cert, data, sig, VORPIN_HASH_SHA1), VORPIN_ERR_VERIFY_PUBLIC_KEY);
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_verify_internal(): failed to get the RSA public key for verify!"));
  unsigned char out[128];
  int32_t len = 128;
  EXPECT_EQ(vorpin_pubkey_encrypt_by_cert(data.data(), 4, out, &len, cert.data(), Len(cert)),
            VORPIN_ERR_ENCRYPT_PUBLIC_KEY);
  EXPECT_EQ(len, 128);
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_pubkey_encrypt_internal(): failed to get the RSA public key for encryption!"));
  EXPECT_TRUE(TraceLog::Get().Contains(c.message)) << TraceLog::Get().Joined();
}

INSTANTIATE_TEST_SUITE_P(WithCertificate, NoRsaKey, ::testing::ValuesIn(kBadCertificates),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(WithCertificate, BytesAfterTheCertificateAreIgnored) {
  Bytes cert = *cert1024_;
  cert.insert(cert.end(), {0x30, 0x03, 0x02, 0x01, 0x00, 0xFF});
  const Bytes data = ToBytes("data");
  EXPECT_EQ(VerifyWith(cert, data, RawSign(rsa1024_, Hash(data, 2)), VORPIN_HASH_SHA1), VORPIN_OK);
  Bytes out(128);
  int32_t len = 128;
  EXPECT_EQ(vorpin_pubkey_encrypt_by_cert(data.data(), 4, out.data(), &len, cert.data(), Len(cert)),
            VORPIN_OK);
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_RSA_pubkey_get_by_cert(): get the public key from certificate OK."));
}

TEST_F(WithCertificate, EncryptionMakesABlockThePrivateKeyOpens) {
  const Bytes& cert = *cert1024_;
  for (size_t size : {size_t{0}, size_t{16}, size_t{117}}) {
    const Bytes data(size, 0x33);
    Bytes a(128), b(128);
    int32_t a_len = 128, b_len = 200;
    b.resize(200);
    ASSERT_EQ(vorpin_pubkey_encrypt_by_cert(Ptr(data), Len(data), a.data(), &a_len, cert.data(),
                                            Len(cert)),
              VORPIN_OK)
        << size;
    ASSERT_EQ(vorpin_pubkey_encrypt_by_cert(Ptr(data), Len(data), b.data(), &b_len, cert.data(),
                                            Len(cert)),
              VORPIN_OK);
    EXPECT_EQ(a_len, 128);
    EXPECT_EQ(b_len, 128);
    b.resize(128);
    EXPECT_NE(a, b) << "the padding is random";
    EXPECT_EQ(RawDecrypt(rsa1024_, a), data);
  }
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_pubkey_encrypt_internal(): get the RSA public key from the input certificate..."));
}

TEST_F(WithCertificate, EncryptionLengthsAndFailures) {
  const Bytes& cert = *cert1024_;
  const Bytes data(16, 7);
  Bytes out(256, 0xEE);
  int32_t len = 0;
  EXPECT_EQ(vorpin_pubkey_encrypt_by_cert(data.data(), 16, nullptr, &len, cert.data(), Len(cert)),
            VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 128);
  len = 127;
  EXPECT_EQ(
      vorpin_pubkey_encrypt_by_cert(data.data(), 16, out.data(), &len, cert.data(), Len(cert)),
      VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 128);
  EXPECT_EQ(
      vorpin_pubkey_encrypt_by_cert(data.data(), 16, out.data(), nullptr, cert.data(), Len(cert)),
      VORPIN_ERR_NULL_LENGTH);
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_pubkey_encrypt_internal(): input a NULL input/output buffer for getting encrypted "
      "data length!"));
  EXPECT_EQ(vorpin_pubkey_encrypt_by_cert(nullptr, 16, out.data(), &len, cert.data(), Len(cert)),
            VORPIN_ERR_ENCRYPT_NULL_DATA);
  EXPECT_TRUE(TraceLog::Get().Contains(
      "vorpin_pubkey_encrypt_internal(): input a NULL data to be encrypted, something error!"));
  EXPECT_EQ(
      vorpin_pubkey_encrypt_by_cert(data.data(), -1, out.data(), &len, cert.data(), Len(cert)),
      VORPIN_ERR_ENCRYPT_NULL_DATA);
  EXPECT_EQ(vorpin_pubkey_encrypt_by_cert(data.data(), 16, out.data(), &len, nullptr, 10),
            VORPIN_ERR_ENCRYPT_EMPTY_CERT);
  EXPECT_EQ(vorpin_pubkey_encrypt_by_cert(data.data(), 16, out.data(), &len, cert.data(), 0),
            VORPIN_ERR_ENCRYPT_EMPTY_CERT);
  EXPECT_TRUE(
      TraceLog::Get().Contains("vorpin_pubkey_encrypt_by_cert(): input a empty certificate!"));

  // Data over the key's limit (117 bytes for 1024 bits) is a failure, and
  // the length and buffer stay as they were.
  const Bytes too_long(118, 7);
  len = 256;
  EXPECT_EQ(
      vorpin_pubkey_encrypt_by_cert(too_long.data(), 118, out.data(), &len, cert.data(), Len(cert)),
      VORPIN_ERR_ENCRYPT_PUBLIC_KEY);
  EXPECT_EQ(len, 256);

  // A 2048-bit key's block does not fit 128 bytes: 1, and nothing written.
  len = 128;
  EXPECT_EQ(vorpin_pubkey_encrypt_by_cert(data.data(), 16, out.data(), &len, cert2048_->data(),
                                          Len(*cert2048_)),
            VORPIN_ERR_MEMORY);
  EXPECT_EQ(len, 128);
  EXPECT_EQ(out, Bytes(256, 0xEE));
  EXPECT_TRUE(TraceLog::Get().Contains("vorpin_pubkey_encrypt_internal(): Memory error!"));
  len = 256;
  EXPECT_EQ(vorpin_pubkey_encrypt_by_cert(data.data(), 16, out.data(), &len, cert2048_->data(),
                                          Len(*cert2048_)),
            VORPIN_OK);
  EXPECT_EQ(len, 256);
  EXPECT_EQ(RawDecrypt(rsa2048_, out), data);
}

}  // namespace

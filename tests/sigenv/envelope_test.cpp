// The SignedData of the PKCS#7 library, made with a software signer: what it
// holds, what the stock openssl tool reads from it, and how parsing and
// verification treat damaged and hostile bytes.
#include "envelope.h"

#include <gtest/gtest.h>
#include <openssl/pkcs7.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "soft_signer.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Pkcs7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, Pkcs7Free>;

Bytes Sign(SoftSigner* signer, const std::string& content) {
  Bytes der;
  EXPECT_EQ(sigenv::MakeSignedData(reinterpret_cast<const unsigned char*>(content.data()),
                                   content.size(), "1234", signer, &der),
            SIGENV_OK);
  return der;
}

Pkcs7Ptr Parse(const Bytes& der) {
  return Pkcs7Ptr(sigenv::ParseSignedData(der.data(), der.size()));
}

Bytes Encode(PKCS7* p7) {
  int len = i2d_PKCS7(p7, nullptr);
  Bytes der(static_cast<size_t>(len));
  unsigned char* p = der.data();
  i2d_PKCS7(p7, &p);
  return der;
}

std::string TempPath(const char* tag) {
  return std::string(::testing::TempDir()) + "sigenv_" + tag + "_" + std::to_string(getpid());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class EnvelopeTest : public ::testing::Test {
 protected:
  SoftSigner signer_;
};

TEST_F(EnvelopeTest, RoundTripKeepsContentCertificateAndVerifies) {
  const char kContent[] = "\x01\x02\0content with a NUL\xff";
  const std::string content(kContent, sizeof kContent - 1);
  Bytes der = Sign(&signer_, content);
  Pkcs7Ptr p7 = Parse(der);
  ASSERT_NE(p7, nullptr);

  const unsigned char* data = nullptr;
  size_t size = 0;
  ASSERT_TRUE(sigenv::EmbeddedContent(p7.get(), &data, &size));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size), content);

  ASSERT_GE(sk_X509_num(p7->d.sign->cert), 1);
  X509* first = sk_X509_value(p7->d.sign->cert, 0);
  unsigned char* first_der = nullptr;
  int first_len = i2d_X509(first, &first_der);
  EXPECT_EQ(Bytes(first_der, first_der + first_len), signer_.CertDer());
  OPENSSL_free(first_der);

  bool ok[1] = {false};
  EXPECT_EQ(sigenv::VerifySigners(p7.get(), ok), SIGENV_OK);
  EXPECT_TRUE(ok[0]);

  // The card signs a DER DigestInfo of SHA-256 (over the signed attributes).
  ASSERT_EQ(signer_.last_digest_info.size(), 51u);
  EXPECT_EQ(signer_.last_digest_info[0], 0x30);
  EXPECT_EQ(signer_.last_digest_info[14], 0x01);  // the last byte of the SHA-256 OID

  // Signed attributes: content type, signing time, message digest.
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
  EXPECT_NE(PKCS7_get_signed_attribute(si, NID_pkcs9_contentType), nullptr);
  EXPECT_NE(PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime), nullptr);
  EXPECT_NE(PKCS7_digest_from_attributes(si->auth_attr), nullptr);
}

TEST_F(EnvelopeTest, StockOpensslVerifiesAndPrintsTheContent) {
  const char kContent[] = "signed content \xa5\x5c\x00 end";
  const std::string content(kContent, sizeof kContent - 1);
  const std::string sig = TempPath("sig"), out = TempPath("out");
  WriteFile(sig, Sign(&signer_, content));
  const std::string cmd = "openssl cms -verify -inform DER -noverify -binary -in '" + sig +
                          "' -out '" + out + "' 2>/dev/null";
  EXPECT_EQ(system(cmd.c_str()), 0);
  EXPECT_EQ(ReadFile(out), content);
  unlink(sig.c_str());
  unlink(out.c_str());
}

TEST_F(EnvelopeTest, EmptyContentSignsAndVerifies) {
  Pkcs7Ptr p7 = Parse(Sign(&signer_, ""));
  ASSERT_NE(p7, nullptr);
  bool ok[1] = {false};
  EXPECT_EQ(sigenv::VerifySigners(p7.get(), ok), SIGENV_OK);
}

TEST_F(EnvelopeTest, CardAnswersPassThrough) {
  Bytes der;
  signer_.sign_answer = SIGENV_ERR_LOGIN;
  EXPECT_EQ(sigenv::MakeSignedData(nullptr, 0, "1234", &signer_, &der), SIGENV_ERR_LOGIN);
  signer_.sign_answer = SIGENV_OK;
  EXPECT_EQ(sigenv::MakeSignedData(nullptr, 0, "0000", &signer_, &der), SIGENV_ERR_PIN);
  // A card whose key does not belong to its certificate.
  EVP_PKEY* other = EVP_RSA_gen(1024);
  signer_.wrong_key = other;
  EXPECT_EQ(sigenv::MakeSignedData(nullptr, 0, "1234", &signer_, &der), SIGENV_ERR_CARD_SIGN);
  signer_.wrong_key = nullptr;
  EVP_PKEY_free(other);
  signer_.cert_fails = true;
  EXPECT_EQ(sigenv::MakeSignedData(nullptr, 0, "1234", &signer_, &der), SIGENV_ERR_CERTIFICATE);
  EXPECT_TRUE(der.empty());
}

// A valid signature changed after parsing: each change must make the signer
// fail, never crash.
struct Tamper {
  const char* name;
  void (*apply)(PKCS7* p7, X509* other_cert);
};

const Tamper kTampers[] = {
    {"content_byte", [](PKCS7* p7, X509*) { p7->d.sign->contents->d.data->data[0] ^= 1; }},
    {"signature_byte",
     [](PKCS7* p7, X509*) {
       sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0)->enc_digest->data[5] ^= 1;
     }},
    {"content_dropped",
     [](PKCS7* p7, X509*) {
       ASN1_OCTET_STRING_free(p7->d.sign->contents->d.data);
       p7->d.sign->contents->d.data = nullptr;
     }},
    {"certificates_dropped",
     [](PKCS7* p7, X509*) {
       sk_X509_pop_free(p7->d.sign->cert, X509_free);
       p7->d.sign->cert = nullptr;
     }},
    {"certificate_replaced",
     [](PKCS7* p7, X509* other) {
       sk_X509_pop_free(p7->d.sign->cert, X509_free);
       p7->d.sign->cert = sk_X509_new_null();
       X509_up_ref(other);
       sk_X509_push(p7->d.sign->cert, other);
     }},
    {"attribute_digest_changed",
     [](PKCS7* p7, X509*) {
       PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0);
       PKCS7_digest_from_attributes(si->auth_attr)->data[0] ^= 1;
     }},
};

class TamperTest : public ::testing::TestWithParam<Tamper> {};

TEST_P(TamperTest, SignerNoLongerVerifies) {
  SoftSigner signer, other("Other Signer");
  Pkcs7Ptr p7 = Parse(Sign(&signer, "the content"));
  ASSERT_NE(p7, nullptr);
  X509* other_cert = nullptr;
  Bytes other_der = other.CertDer();
  const unsigned char* p = other_der.data();
  other_cert = d2i_X509(nullptr, &p, static_cast<long>(other_der.size()));
  GetParam().apply(p7.get(), other_cert);
  X509_free(other_cert);

  bool ok[1] = {true};
  EXPECT_NE(sigenv::VerifySigners(p7.get(), ok), SIGENV_OK);
  EXPECT_FALSE(ok[0]);
  // The same after a trip through DER, as a signature file would come.
  Bytes der = Encode(p7.get());
  Pkcs7Ptr again = Parse(der);
  if (again != nullptr) {
    ok[0] = true;
    EXPECT_NE(sigenv::VerifySigners(again.get(), ok), SIGENV_OK);
    EXPECT_FALSE(ok[0]);
  }
}

INSTANTIATE_TEST_SUITE_P(Envelope, TamperTest, ::testing::ValuesIn(kTampers),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(EnvelopeTest, SecondSignerIsCheckedToo) {
  Pkcs7Ptr p7 = Parse(Sign(&signer_, "two signers"));
  ASSERT_NE(p7, nullptr);
  // A copy of the first signer whose signature is broken.
  PKCS7_SIGNER_INFO* first = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0);
  PKCS7_SIGNER_INFO* copy =
      reinterpret_cast<PKCS7_SIGNER_INFO*>(ASN1_item_dup(ASN1_ITEM_rptr(PKCS7_SIGNER_INFO), first));
  copy->enc_digest->data[0] ^= 0x40;
  sk_PKCS7_SIGNER_INFO_push(p7->d.sign->signer_info, copy);
  bool ok[2] = {false, true};
  EXPECT_EQ(sigenv::VerifySigners(p7.get(), ok), SIGENV_ERR_NOT_VERIFIED);
  EXPECT_TRUE(ok[0]);
  EXPECT_FALSE(ok[1]);
}

TEST_F(EnvelopeTest, NoSignersIsNeverVerified) {
  Pkcs7Ptr p7 = Parse(Sign(&signer_, "x"));
  ASSERT_NE(p7, nullptr);
  sk_PKCS7_SIGNER_INFO_pop_free(p7->d.sign->signer_info, PKCS7_SIGNER_INFO_free);
  p7->d.sign->signer_info = sk_PKCS7_SIGNER_INFO_new_null();
  Pkcs7Ptr again = Parse(Encode(p7.get()));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(sigenv::VerifySigners(again.get(), nullptr), SIGENV_ERR_NO_SIGNER);
}

TEST_F(EnvelopeTest, EveryTruncationAndTrailingByteIsRefused) {
  Bytes der = Sign(&signer_, "a content long enough to be cut at many places");
  for (size_t n = 0; n < der.size(); ++n) {
    EXPECT_EQ(sigenv::ParseSignedData(der.data(), n), nullptr) << "length " << n;
  }
  Bytes longer = der;
  longer.push_back(0);
  EXPECT_EQ(sigenv::ParseSignedData(longer.data(), longer.size()), nullptr);
}

struct Hostile {
  const char* name;
  Bytes bytes;
};

Bytes Der(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<unsigned char>(b));
  return out;
}

const Hostile kHostile[] = {
    {"empty", {}},
    {"one_byte", Der({0x30})},
    {"huge_length", Der({0x30, 0x84, 0x7f, 0xff, 0xff, 0xff, 0x06, 0x09})},
    {"indefinite_unterminated", Der({0x30, 0x80, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d,
                                     0x01, 0x07, 0x02, 0xa0, 0x80})},
    // ContentInfo of type data.
    {"data_content_info", Der({0x30, 0x0f, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01,
                               0x07, 0x01, 0xa0, 0x02, 0x04, 0x00})},
    // SignedData type with an empty body.
    {"signed_without_body",
     Der({0x30, 0x0b, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02})},
    {"text", Bytes{'n', 'o', 't', ' ', 'a', ' ', 's', 'i', 'g'}},
};

class HostileTest : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileTest, IsNoSignature) {
  const Bytes& b = GetParam().bytes;
  EXPECT_EQ(sigenv::ParseSignedData(b.empty() ? nullptr : b.data(), b.size()), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Envelope, HostileTest, ::testing::ValuesIn(kHostile),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(EnvelopeTest, OtherInnerContentTypeIsRefused) {
  Pkcs7Ptr p7 = Parse(Sign(&signer_, "x"));
  ASSERT_NE(p7, nullptr);
  PKCS7* inner = p7->d.sign->contents;
  ASN1_OCTET_STRING_free(inner->d.data);
  inner->d.data = nullptr;
  inner->type = OBJ_nid2obj(NID_pkcs7_digest);
  inner->d.ptr = nullptr;
  Bytes der = Encode(p7.get());
  EXPECT_EQ(sigenv::ParseSignedData(der.data(), der.size()), nullptr);
}

TEST_F(EnvelopeTest, CertificateIsNoSignature) {
  Bytes cert = signer_.CertDer();
  EXPECT_EQ(sigenv::ParseSignedData(cert.data(), cert.size()), nullptr);
}

}  // namespace

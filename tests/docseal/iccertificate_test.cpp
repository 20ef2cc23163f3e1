// ICCertificate on the SoftHSM card: reading, the cache and the Base64 text.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "Docseal.h"
#include "softhsm_card.h"
#include "vorpin_dll.h"

static_assert(!std::is_copy_constructible_v<ICCertificate>, "the object owns its certificate");
static_assert(!std::is_copy_assignable_v<ICCertificate>, "the object owns its certificate");

namespace {

std::vector<unsigned char> DecodeBase64(const std::string& text) {
  std::vector<unsigned char> out(text.size() + 1);
  const int32_t n = B64Decode(text.c_str(), out.data(), static_cast<uint32_t>(out.size()));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

TEST(ICCertificateOnCard, NewObjectHoldsNoCertificateText) {
  ICCertificate cert;
  EXPECT_EQ(cert.getB64Cert4Sign(), "");
}

TEST(ICCertificateOnCard, ReadCertificateEncodesToTheCardsDer) {
  ICCertificate cert;
  ASSERT_EQ(cert.getSignCert(), 0);
  EXPECT_EQ(DecodeBase64(cert.getB64Cert4Sign()), softhsm_card::SignCertDer());
  // A second read replaces the first with the same bytes.
  ASSERT_EQ(cert.getSignCert(), 0);
  EXPECT_EQ(DecodeBase64(cert.getB64Cert4Sign()), softhsm_card::SignCertDer());
}

TEST(ICCertificateOnCard, IssuerOnANewObjectReadsTheCardItself) {
  ICCertificate cert;
  EXPECT_EQ(cert.getIssure4Sign(""), softhsm_card::OpensslField("issuer"));
  EXPECT_EQ(cert.getSerial4Sign(), softhsm_card::OpensslField("serial"));
  EXPECT_EQ(DecodeBase64(cert.getB64Cert4Sign()), softhsm_card::SignCertDer());
  EXPECT_EQ(cert.getIssure4Sign("any text at all"), softhsm_card::OpensslField("issuer"));
}

TEST(ICCertificateOnCard, SerialOnANewObjectReadsTheCardItself) {
  ICCertificate cert;
  EXPECT_EQ(cert.getSerial4Sign(), softhsm_card::OpensslField("serial"));
  EXPECT_EQ(cert.getIssure4Sign(""), softhsm_card::OpensslField("issuer"));
}

}  // namespace

// The card entry points on the SoftHSM card: the texts they copy out are
// those the stock openssl command reads from the provisioned certificate.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Docseal.h"
#include "softhsm_card.h"
#include "vorpin_dll.h"

namespace {

std::vector<unsigned char> DecodeBase64(const char* text) {
  const int32_t n = B64Decode(text, nullptr, 0);
  if (n < 0) return {};
  std::vector<unsigned char> out(static_cast<size_t>(n) + 1);
  const int32_t m = B64Decode(text, out.data(), static_cast<uint32_t>(out.size()));
  out.resize(m < 0 ? 0 : static_cast<size_t>(m));
  return out;
}

// Host buffers of the documented bounds, pre-filled so that a missing
// terminator or a write into the wrong output shows.
struct Outputs {
  Outputs() {
    Fill(cert), Fill(issuer), Fill(serial), Fill(subject), Fill(email);
    Fill(notBefore), Fill(notAfter), Fill(tail);
  }
  template <size_t N>
  static void Fill(char (&buffer)[N]) {
    std::memset(buffer, '#', N - 1);
    buffer[N - 1] = '\0';
  }
  char cert[4096];
  char issuer[512];
  char serial[33];
  char subject[81];
  char email[81];
  char notBefore[31];
  char notAfter[31];
  char tail[5];
};

void ExpectProfileFields(const Outputs& out) {
  EXPECT_EQ(std::string(out.subject), softhsm_card::OpensslField("subject"));
  EXPECT_STREQ(out.email, "alice.demo@example.org");
  EXPECT_EQ(std::string(out.notBefore), softhsm_card::OpensslField("startdate"));
  EXPECT_EQ(std::string(out.notAfter), softhsm_card::OpensslField("enddate"));
  EXPECT_STREQ(out.tail, "HC01");
}

TEST(GetSignCertificateFromICCard, CopiesTheCertificateAndEveryField) {
  Outputs out;
  ASSERT_EQ(GetSignCertificateFromICCard(out.cert, out.issuer, out.serial, out.subject, out.email,
                                         out.notBefore, out.notAfter, out.tail),
            0);
  EXPECT_EQ(DecodeBase64(out.cert), softhsm_card::SignCertDer());
  EXPECT_EQ(std::strlen(out.cert) % 4, 0u);
  EXPECT_EQ(std::string(out.issuer), softhsm_card::OpensslField("issuer"));
  EXPECT_EQ(std::string(out.serial), softhsm_card::OpensslField("serial"));
  EXPECT_EQ(std::strlen(out.serial), 32u);
  ExpectProfileFields(out);
}

TEST(GetSignCertificateFromICCard, SkipsNullOptionalOutputs) {
  Outputs out;
  ASSERT_EQ(GetSignCertificateFromICCard(out.cert, out.issuer, out.serial, nullptr, nullptr,
                                         nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(DecodeBase64(out.cert), softhsm_card::SignCertDer());
  EXPECT_EQ(std::string(out.serial), softhsm_card::OpensslField("serial"));
}

TEST(GetInfosFromICCard, CopiesTheFiveFieldsWithTheTailLast) {
  Outputs out;
  ASSERT_EQ(GetInfosFromICCard(out.subject, out.email, out.notBefore, out.notAfter, out.tail), 0);
  ExpectProfileFields(out);
}

TEST(GetInfosFromICCard, WithEveryOutputNullReadsTheCard) {
  EXPECT_EQ(GetInfosFromICCard(nullptr, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(GetInfosFromICCard, WritesOnlyTheOutputsGiven) {
  Outputs out;
  ASSERT_EQ(GetInfosFromICCard(nullptr, out.email, nullptr, nullptr, nullptr), 0);
  EXPECT_STREQ(out.email, "alice.demo@example.org");
}

struct PinCase {
  const char* name;
  std::string pin;
  int32_t expected;
};

const PinCase kPinCases[] = {
    {"card_pin", softhsm_card::Pin(), 0},
    {"wrong_pin", "654321", 13},
    {"empty_pin", "", 13},
    {"card_pin_with_a_byte_more", softhsm_card::Pin() + "0", 13},
};

class VerifyPINOnCard : public ::testing::TestWithParam<PinCase> {};

TEST_P(VerifyPINOnCard, GivesTheCodeOfThePin) {
  EXPECT_EQ(VerifyPIN(GetParam().pin.c_str()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Pins, VerifyPINOnCard, ::testing::ValuesIn(kPinCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(VerifyPINOnCard, AWrongPinDoesNotSpoilTheNextCheck) {
  EXPECT_EQ(VerifyPIN("000000"), 13);
  EXPECT_EQ(VerifyPIN(softhsm_card::Pin().c_str()), 0);
}

}  // namespace

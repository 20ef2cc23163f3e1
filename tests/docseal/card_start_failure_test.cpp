// Run with no PKCS#11 module on the loader's path: the card library cannot
// start, and every card reader says so without writing an output.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Docseal.h"

namespace {

TEST(CardStartFailure, EntryPointsGive11AndLeaveTheOutputsAlone) {
  char text[8][64];
  for (auto& t : text) std::strcpy(t, "untouched");
  EXPECT_EQ(VerifyPIN("123456"), 11);
  EXPECT_EQ(GetInfosFromICCard(text[0], text[1], text[2], text[3], text[4]), 11);
  EXPECT_EQ(GetSignCertificateFromICCard(text[0], text[1], text[2], text[3], text[4], text[5],
                                         text[6], text[7]),
            11);
  for (auto& t : text) EXPECT_STREQ(t, "untouched");
}

TEST(CardStartFailure, EmptyPinIsRefusedBeforeTheCard) { EXPECT_EQ(VerifyPIN(""), 13); }

TEST(CardStartFailure, ObjectGives11AndEmptyTexts) {
  ICCertificate cert;
  EXPECT_EQ(cert.getSignCert(), 11);
  EXPECT_EQ(cert.getB64Cert4Sign(), "");
  EXPECT_EQ(cert.getIssure4Sign(""), "");
  EXPECT_EQ(cert.getSerial4Sign(), "");
}

}  // namespace

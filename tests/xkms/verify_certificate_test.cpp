// VerifyCertificate, the flat entry point, against a loopback service.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Docseal.h"
#include "loopback_server.h"

namespace {

class VerifyCertificateEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(name);
    }
  }
};

TEST_F(VerifyCertificateEntry, EmptyCertificateGives17WithoutTraffic) {
  LoopbackServer server(LoopbackServer::Mode::kAnswer);
  EXPECT_EQ(VerifyCertificate(server.Url().c_str(), ""), 17);
  EXPECT_EQ(VerifyCertificate("", ""), 17);
  EXPECT_EQ(server.connections(), 0);
}

TEST_F(VerifyCertificateEntry, EmptyOrHttpsAddressGives21WithoutTraffic) {
  LoopbackServer server(LoopbackServer::Mode::kAnswer);
  EXPECT_EQ(VerifyCertificate("", "MIIB"), 21);
  const std::string https = "https://127.0.0.1:" + std::to_string(server.port()) + "/xkms";
  EXPECT_EQ(VerifyCertificate(https.c_str(), "MIIB"), 21);
  EXPECT_EQ(server.connections(), 0);
}

TEST_F(VerifyCertificateEntry, ReturnsTheServicesVerdict) {
  {
    LoopbackServer server(
        LoopbackServer::Mode::kAnswer,
        {LoopbackServer::Answer("<Result>Success</Result><Status>Valid</Status>")});
    EXPECT_EQ(VerifyCertificate(server.Url().c_str(), "MIIBcert=="), 0);
    const std::string raw = server.request();
    EXPECT_NE(raw.find("<ds:X509Certificate>MIIBcert==</ds:X509Certificate>"), std::string::npos);
  }
  {
    LoopbackServer server(LoopbackServer::Mode::kAnswer,
                          {LoopbackServer::Answer("<Result>Success</Result><Status>Invalid</Status>"
                                                  "<Reason>ValidateInterval</Reason>")});
    EXPECT_EQ(VerifyCertificate(server.Url().c_str(), "MIIBcert=="), 25);
  }
}

TEST_F(VerifyCertificateEntry, ClassMethodSpeaksTheSameExchange) {
  LoopbackServer server(LoopbackServer::Mode::kAnswer,
                        {LoopbackServer::Answer("<Result>Success</Result><Status>Invalid</Status>"
                                                "<Reason>Signature</Reason>")});
  ICCertificate cert;
  EXPECT_EQ(cert.validate(server.Url(), "MIIB"), 26);
  EXPECT_EQ(cert.getB64Cert4Sign(), "");  // the card is not read
}

}  // namespace

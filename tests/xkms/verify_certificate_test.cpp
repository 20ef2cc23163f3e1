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

struct Verdict {
  const char* name;
  const char* body;
  int32_t expected;
};

const Verdict kVerdicts[] = {
    {"valid", "<Result>Success</Result><Status>Valid</Status>", 0},
    {"no_success", "<Result>Failure</Result>", 22},
    {"issuer_trust", "<Result>Success</Result><Status>Invalid</Status><Reason>IssureTrust</Reason>",
     23},
    {"status", "<Result>Success</Result><Status>Invalid</Status><Reason>Status</Reason>", 24},
    {"validity_interval",
     "<Result>Success</Result><Status>Invalid</Status><Reason>ValidateInterval</Reason>", 25},
    {"signature", "<Result>Success</Result><Status>Invalid</Status><Reason>Signature</Reason>", 26},
    {"no_known_reason", "<Result>Success</Result><Status>Invalid</Status>", 27},
};

class VerifyCertificateVerdict : public VerifyCertificateEntry,
                                 public ::testing::WithParamInterface<Verdict> {};

TEST_P(VerifyCertificateVerdict, IsTheServicesAnswer) {
  LoopbackServer server(LoopbackServer::Mode::kAnswer, {LoopbackServer::Answer(GetParam().body)});
  EXPECT_EQ(VerifyCertificate(server.Url().c_str(), "MIIBcert=="), GetParam().expected);
  EXPECT_NE(server.request().find("<ds:X509Certificate>MIIBcert==</ds:X509Certificate>"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Answers, VerifyCertificateVerdict, ::testing::ValuesIn(kVerdicts),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(VerifyCertificateEntry, ClassMethodSpeaksTheSameExchange) {
  LoopbackServer server(LoopbackServer::Mode::kAnswer,
                        {LoopbackServer::Answer("<Result>Success</Result><Status>Invalid</Status>"
                                                "<Reason>Signature</Reason>")});
  ICCertificate cert;
  EXPECT_EQ(cert.validate(server.Url(), "MIIB"), 26);
  EXPECT_EQ(cert.getB64Cert4Sign(), "");  // the card is not read
}

}  // namespace

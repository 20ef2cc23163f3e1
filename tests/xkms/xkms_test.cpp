// The XKMS exchange against a loopback service of the test's own: the exact
// request on the wire, the judging of answers, and every way the exchange
// can fail.
#include <gtest/gtest.h>
#include <strings.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Docseal.h"
#include "loopback_server.h"
#include "xkms.h"

using namespace std::string_literals;
using docseal::CheckValidateResponse;
using docseal::ValidateCertificate;

namespace {

const std::string kValidBody =
    "<?xml version=\"1.0\"?><ValidateResult><Result>Success</Result>"
    "<Answer><Status>Valid</Status></Answer></ValidateResult>";

// Short bounds for the tests that wait for a silent or missing peer.
platform::HttpLimits ShortLimits() {
  platform::HttpLimits limits;
  limits.connect_timeout_ms = 2000;
  limits.idle_timeout_ms = 300;
  return limits;
}

class XkmsExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    // The client honours proxy settings from the environment; the loopback
    // service must be reached directly.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(name);
    }
  }
};

std::vector<std::string> Lines(const std::string& head) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = head.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(head.substr(start, end - start));
  }
  return lines;
}

TEST_F(XkmsExchange, PostsTheValidateDocumentByteForByteWithOnlyTheClientsHeaders) {
  LoopbackServer server(LoopbackServer::Mode::kAnswer, {LoopbackServer::Answer(kValidBody)});
  const std::string cert = "MIIBkTCB+wIJAKHHIG/x==";
  ASSERT_EQ(ValidateCertificate(server.Url("/xkms/service.asmx?op=validate"), cert), 0);

  const std::string raw = server.request();
  const size_t split = raw.find("\r\n\r\n");
  ASSERT_NE(split, std::string::npos) << raw;
  const std::string body = raw.substr(split + 4);
  EXPECT_EQ(body,
            "<?xml version=\"1.0\" encoding=\"BIG5\"?><Validate "
            "xmlns=\"http://www.xkms.org/schema/xkms-2001-01-20\"  "
            "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"><Query><Status>Valid</Status>"
            "<ds:KeyInfo><ds:X509Data><ds:X509Certificate>MIIBkTCB+wIJAKHHIG/x=="
            "</ds:X509Certificate></ds:X509Data></ds:KeyInfo></Query><Respond><string>KeyName"
            "</string></Respond></Validate>");
  EXPECT_EQ(body.size(), 329 + cert.size());

  const std::vector<std::string> lines = Lines(raw.substr(0, split + 2));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "POST /xkms/service.asmx?op=validate HTTP/1.0");
  std::vector<std::string> headers(lines.begin() + 1, lines.end());
  std::sort(headers.begin(), headers.end());
  const std::vector<std::string> expected = {
      "Content-Length: " + std::to_string(329 + cert.size()),
      "Host: 127.0.0.1:" + std::to_string(server.port()),
      "User-Agent: ICCertificate",
  };
  EXPECT_EQ(headers, expected);  // no Content-Type, Accept or Expect
}

// Credentials written into the address never reach the wire.
TEST_F(XkmsExchange, UserPartOfTheAddressIsDropped) {
  for (const char* user : {"user:secret@", "user@", ":secret@"}) {
    LoopbackServer server(LoopbackServer::Mode::kAnswer, {LoopbackServer::Answer(kValidBody)});
    std::string url = server.Url();
    url.insert(url.find("//") + 2, user);
    ASSERT_EQ(ValidateCertificate(url, "MIIB"), 0) << url;
    const std::string raw = server.request();
    const size_t split = raw.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos) << raw;
    std::vector<std::string> headers = Lines(raw.substr(0, split + 2));
    headers.erase(headers.begin());
    std::sort(headers.begin(), headers.end());
    const std::vector<std::string> expected = {
        "Content-Length: 333",
        "Host: 127.0.0.1:" + std::to_string(server.port()),
        "User-Agent: ICCertificate",
    };
    EXPECT_EQ(headers, expected) << url;
    EXPECT_EQ(raw.find("secret"), std::string::npos) << url;
    EXPECT_EQ(raw.find("user"), std::string::npos) << url;
  }
}

TEST_F(XkmsExchange, EmptyCertificateTextIsSentAsItIs) {
  LoopbackServer server(LoopbackServer::Mode::kAnswer, {LoopbackServer::Answer(kValidBody)});
  ASSERT_EQ(ValidateCertificate(server.Url(), ""), 0);
  const std::string raw = server.request();
  EXPECT_EQ(raw.size() - raw.find("\r\n\r\n") - 4, 329u);
}

// Answers of a reachable service, as they travel on the wire.
struct WireCase {
  const char* name;
  std::vector<std::string> pieces;
  int32_t expected;
};

const std::string kFiller(700, 'x');

const WireCase kWireCases[] = {
    {"long_body_key_split_across_reads",
     {"HTTP/1.0 200 OK\r\n\r\n" + kFiller + "<Result>Succ",
      "ess</Result>" + kFiller + "<Status>Val", "id</Status>" + kFiller},
     0},
    {"headers_and_body_in_separate_reads",
     {"HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n", "\r\n", kValidBody},
     0},
    {"error_status_with_a_success_body",
     {LoopbackServer::Answer(kValidBody, "500 Internal Server Error")},
     0},
    {"not_found_page", {LoopbackServer::Answer("<html>Not Found</html>", "404 Not Found")}, 22},
    {"nul_before_the_key_text", {LoopbackServer::Answer("<x>\0"s + kValidBody)}, 22},
    {"invalid_issuer_trust",
     {LoopbackServer::Answer("<Result>Success</Result><Status>Invalid</Status>"
                             "<Reason>IssureTrust</Reason>")},
     23},
    {"invalid_status",
     {LoopbackServer::Answer("<Result>Success</Result><Status>Invalid</Status>"
                             "<Reason>Status</Reason>")},
     24},
    {"invalid_validity_interval",
     {LoopbackServer::Answer("<Result>Success</Result><Status>Invalid</Status>"
                             "<Reason>ValidateInterval</Reason>")},
     25},
    {"invalid_signature",
     {LoopbackServer::Answer("<Result>Success</Result><Status>Invalid</Status>"
                             "<Reason>Signature</Reason>")},
     26},
    {"success_without_a_status", {LoopbackServer::Answer("<Result>Success</Result>")}, 27},
    {"body_shorter_than_its_length",
     {"HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + kValidBody},
     21},
};

class XkmsAnswer : public XkmsExchange, public ::testing::WithParamInterface<WireCase> {};

TEST_P(XkmsAnswer, IsJudgedAsAWhole) {
  LoopbackServer server(LoopbackServer::Mode::kAnswer, GetParam().pieces);
  EXPECT_EQ(ValidateCertificate(server.Url(), "MIIB"), GetParam().expected);
  EXPECT_EQ(server.connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(Wire, XkmsAnswer, ::testing::ValuesIn(kWireCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(XkmsExchange, ClosedConnectionWithoutAnAnswerGives21) {
  LoopbackServer server(LoopbackServer::Mode::kClose);
  EXPECT_EQ(ValidateCertificate(server.Url(), "MIIB"), 21);
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(XkmsExchange, SilentServiceEndsAtTheIdleTimeOut) {
  LoopbackServer server(LoopbackServer::Mode::kStall);
  EXPECT_EQ(ValidateCertificate(server.Url(), "MIIB", ShortLimits()), 21);
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(XkmsExchange, ServiceThatFallsSilentMidBodyEndsAtTheIdleTimeOut) {
  // Headers promise more than is sent; the server then keeps the line open.
  LoopbackServer server(LoopbackServer::Mode::kStall,
                        {"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n<Result>Succ"});
  EXPECT_EQ(ValidateCertificate(server.Url(), "MIIB", ShortLimits()), 21);
}

TEST_F(XkmsExchange, BodyOverTheCapGives21AndOneAtTheCapIsRead) {
  platform::HttpLimits limits = ShortLimits();
  const std::string body = kValidBody + std::string(4096 - kValidBody.size(), ' ');
  limits.max_body = body.size();
  {
    LoopbackServer server(LoopbackServer::Mode::kAnswer, {LoopbackServer::Answer(body)});
    EXPECT_EQ(ValidateCertificate(server.Url(), "MIIB", limits), 0);
  }
  {
    LoopbackServer server(LoopbackServer::Mode::kAnswer, {LoopbackServer::Answer(body + " ")});
    EXPECT_EQ(ValidateCertificate(server.Url(), "MIIB", limits), 21);
  }
}

TEST_F(XkmsExchange, RefusedPortAndUnknownHostGive21) {
  EXPECT_EQ(ValidateCertificate("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/xkms",
                                "MIIB", ShortLimits()),
            21);
  EXPECT_EQ(ValidateCertificate("http://no-such-host.invalid/xkms", "MIIB", ShortLimits()), 21);
}

// Addresses refused before any traffic; %d stands for the live server's port.
struct RefusedUrl {
  const char* name;
  const char* url;
};

const RefusedUrl kRefusedUrls[] = {
    {"https", "https://127.0.0.1:%d/xkms"},
    {"no_scheme_ip", "127.0.0.1:%d/xkms"},
    {"no_scheme_host", "localhost:%d/xkms"},
    {"ftp", "ftp://127.0.0.1:%d/xkms"},
    {"empty", ""},
    {"garbage", "http://[127.0.0.1:%d/xkms"},
};

class XkmsRefusedUrl : public XkmsExchange, public ::testing::WithParamInterface<RefusedUrl> {};

TEST_P(XkmsRefusedUrl, Gives21WithoutTraffic) {
  LoopbackServer server(LoopbackServer::Mode::kAnswer, {LoopbackServer::Answer(kValidBody)});
  std::string url = GetParam().url;
  const size_t mark = url.find("%d");
  if (mark != std::string::npos) url.replace(mark, 2, std::to_string(server.port()));
  EXPECT_EQ(ValidateCertificate(url, "MIIB", ShortLimits()), 21);
  EXPECT_EQ(server.connections(), 0);
}

INSTANTIATE_TEST_SUITE_P(Urls, XkmsRefusedUrl, ::testing::ValuesIn(kRefusedUrls),
                         [](const auto& row) { return std::string(row.param.name); });

// The judging rules over response texts.
struct JudgeCase {
  const char* name;
  std::string_view response;
  int32_t expected;
};

using namespace std::string_view_literals;

const JudgeCase kJudgeCases[] = {
    {"valid", "<Result>Success</Result><Status>Valid</Status>"sv, 0},
    {"valid_before_success", "<Status>Valid</Status><Result>Success</Result>"sv, 0},
    {"no_success", "<Result>Failure</Result><Status>Valid</Status>"sv, 22},
    {"empty", ""sv, 22},
    {"success_in_lower_case", "<Result>success</result><Status>Valid</Status>"sv, 22},
    {"nul_hides_success", "<Status>Valid</Status>\0<Result>Success</Result>"sv, 22},
    {"nul_hides_valid", "<Result>Success</Result>\0<Status>Valid</Status>"sv, 27},
    {"valid_at_offset_zero", "Valid</Status><Result>Success</Result>"sv, 27},
    {"neither_status", "<Result>Success</Result>"sv, 27},
    {"invalid_without_reason", "<Result>Success</Result><Status>Invalid</Status>"sv, 27},
    {"invalid_at_offset_zero",
     "Invalid</Status><Result>Success</Result><Reason>Signature</Reason>"sv, 27},
    {"invalid_issuer_trust",
     "<Result>Success</Result><Status>Invalid</Status><Reason>IssureTrust</Reason>"sv, 23},
    {"invalid_status", "<Result>Success</Result><Status>Invalid</Status><Reason>Status</Reason>"sv,
     24},
    {"invalid_validity_interval",
     "<Result>Success</Result><Status>Invalid</Status><Reason>ValidateInterval</Reason>"sv, 25},
    {"invalid_signature",
     "<Result>Success</Result><Status>Invalid</Status><Reason>Signature</Reason>"sv, 26},
    {"signature_listed_before_issuer_trust",
     "<Result>Success</Result><Status>Invalid</Status><Reason>Signature</Reason>"
     "<Reason>IssureTrust</Reason>"sv,
     23},
    {"validity_listed_before_status",
     "<Result>Success</Result><Status>Invalid</Status><Reason>ValidateInterval</Reason>"
     "<Reason>Status</Reason>"sv,
     24},
    {"reason_before_the_invalid_status",
     "<Reason>Signature</Reason><Result>Success</Result><Status>Invalid</Status>"sv, 27},
    {"reason_ending_in_status",
     "<Result>Success</Result><Status>Invalid</Status><Reason>RevocationStatus</Reason>"sv, 24},
    {"unknown_reason", "<Result>Success</Result><Status>Invalid</Status><Reason>Revoked</Reason>"sv,
     27},
    {"reason_word_in_other_case",
     "<Result>Success</Result><Status>Invalid</Status><Reason>signature</Reason>"sv, 27},
    {"valid_and_invalid",
     "<Result>Success</Result><Status>Invalid</Status><Status>Valid</Status>"sv, 0},
};

class XkmsJudge : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(XkmsJudge, GivesTheCodeOfItsRule) {
  EXPECT_EQ(CheckValidateResponse(std::string(GetParam().response)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rules, XkmsJudge, ::testing::ValuesIn(kJudgeCases),
                         [](const auto& row) { return std::string(row.param.name); });

// Under a Big5 locale a key text never starts on the second byte of a
// double-byte character; without one every byte is a character.
struct LocaleCase {
  const char* name;
  std::string_view response;
  int32_t in_c_locale;
  int32_t in_big5_locale;
};

const LocaleCase kLocaleCases[] = {
    // 0xA4 0x53 is one Big5 character whose second byte is "S".
    {"success_behind_a_lead_byte", "\xA4Success</Result><Status>Valid</Status>"sv, 0, 22},
    // 0xA4 0x56: second byte "V".
    {"valid_behind_a_lead_byte", "<Result>Success</Result>\xA4Valid</Status>"sv, 0, 27},
    {"reason_behind_a_lead_byte",
     "<Result>Success</Result><Status>Invalid</Status>\xA4Signature</Reason>"sv, 26, 27},
    // 0xA4 0xA4 is a whole character: the key after it is found.
    {"key_after_a_whole_character", "\xA4\xA4Success</Result><Status>Valid</Status>"sv, 0, 0},
    {"key_after_a_whole_character_with_a_trail_like_S",
     "\xA4Sx<Result>Success</Result>\xA4\xA4<Status>Valid</Status>"sv, 0, 0},
};

class XkmsLocale : public ::testing::TestWithParam<LocaleCase> {
 protected:
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_P(XkmsLocale, StepsOverDoubleByteCharacters) {
  const std::string response(GetParam().response);
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  EXPECT_EQ(CheckValidateResponse(response), GetParam().in_c_locale);
  if (std::setlocale(LC_ALL, "zh_TW.BIG5") == nullptr) {
    GTEST_SKIP() << "no zh_TW.BIG5 locale (LOCPATH)";
  }
  EXPECT_EQ(CheckValidateResponse(response), GetParam().in_big5_locale);
}

INSTANTIATE_TEST_SUITE_P(Big5, XkmsLocale, ::testing::ValuesIn(kLocaleCases),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace

// issure_serial_get_by_cert and imformations_get_by_cert over certificates
// made for the purpose: name forms, serials, the e-mail and extension-tail
// rules, validity texts, and bytes that are no certificate.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cert_factory.h"
#include "test_support.h"
#include "vorpin_dll.h"

namespace {

using cert_factory::Attribute;
using cert_factory::CertProfile;
using cert_factory::Extension;
using test_support::Bytes;
using test_support::ToBytes;
using test_support::TraceLog;

EVP_PKEY* SharedKey() {
  static EVP_PKEY* key = cert_factory::RsaKey(1024).release();
  return key;
}

Bytes Make(const CertProfile& profile) { return cert_factory::Make(profile, SharedKey()); }

int32_t Len(const Bytes& b) { return static_cast<int32_t>(b.size()); }

std::string Issuer(const Bytes& cert) {
  char text[1024];
  int32_t len = sizeof text;
  char serial[64];
  int32_t serial_len = sizeof serial;
  EXPECT_EQ(issure_serial_get_by_cert(cert.data(), Len(cert), text, &len, serial, &serial_len),
            VORPIN_OK);
  return std::string(text, static_cast<size_t>(len));
}

// Every output of imformations_get_by_cert with generous room.
struct Infos {
  int32_t rc;
  std::string subject, email, tail, from, to;
  int32_t email_len;
};

Infos Informations(const Bytes& cert, int32_t email_capacity = 256) {
  char subject[1024], email[256], tail[4], from[64], to[64];
  std::memset(email, 'x', sizeof email);
  int32_t subject_len = sizeof subject, email_len = email_capacity, tail_len = 4,
          from_len = sizeof from, to_len = sizeof to;
  Infos out;
  out.rc = imformations_get_by_cert(cert.data(), Len(cert), subject, &subject_len, email,
                                    &email_len, tail, &tail_len, from, &from_len, to, &to_len);
  out.subject.assign(subject, static_cast<size_t>(subject_len));
  out.email.assign(email, static_cast<size_t>(email_capacity));
  out.email_len = email_len;
  out.tail.assign(tail, static_cast<size_t>(tail_len));
  out.from.assign(from, static_cast<size_t>(from_len));
  out.to.assign(to, static_cast<size_t>(to_len));
  return out;
}

// The holder profile: nine extensions, index 6 a subjectAltName with one
// e-mail address, index 7 a value ending in a four-character code.
std::vector<Extension> HolderExtensions(const Bytes& ext6) {
  std::vector<Extension> e;
  for (int i = 0; i < 6; ++i) {
    e.push_back({"1.3.6.1.4.1.55555.9." + std::to_string(i), cert_factory::Printable("ext")});
  }
  e.push_back({"2.5.29.17", ext6});
  e.push_back({"1.3.6.1.4.1.55555.2.1", cert_factory::Printable("HC01")});
  e.push_back({"1.3.6.1.4.1.55555.9.8", cert_factory::Printable("last")});
  return e;
}

// ---- Name texts -------------------------------------------------------------

struct NameCase {
  const char* name;
  std::vector<Attribute> attributes;
  const char* text;
};

const NameCase kNames[] = {
    {"two_rdns",
     {{"C", V_ASN1_PRINTABLESTRING, "XX"}, {"O", V_ASN1_PRINTABLESTRING, "Example CA"}},
     "C=XX,O=Example CA"},
    {"stored_order_not_reversed",
     {{"CN", V_ASN1_UTF8STRING, "Alice"},
      {"OU", V_ASN1_UTF8STRING, "Demo"},
      {"C", V_ASN1_PRINTABLESTRING, "XX"}},
     "CN=Alice,OU=Demo,C=XX"},
    {"multi_valued_rdn",
     {{"O", V_ASN1_UTF8STRING, "Org"},
      {"CN", V_ASN1_UTF8STRING, "A"},
      {"serialNumber", V_ASN1_PRINTABLESTRING, "42", true}},
     "O=Org,CN=A+serialNumber=42"},
    {"utf8_copied",
     {{"CN", V_ASN1_UTF8STRING, "Zo\xc3\xab \xe4\xb8\xad"}},
     "CN=Zo\xc3\xab \xe4\xb8\xad"},
    {"bmp_decoded",
     {{"CN", V_ASN1_BMPSTRING, std::string("\x00Z\x00o\x00\xeb\x00 \x4e\x2d", 10)}},
     "CN=Zo\xc3\xab \xe4\xb8\xad"},
    {"universal_decoded",
     {{"CN", V_ASN1_UNIVERSALSTRING,
       std::string("\x00\x00\x00"
                   "A\x00\x01\xf6\x00",
                   8)}},
     "CN=A\xf0\x9f\x98\x80"},
    {"latin1_widened", {{"O", V_ASN1_T61STRING, "Caf\xe9"}}, "O=Caf\xc3\xa9"},
    {"ia5_latin1", {{"emailAddress", V_ASN1_IA5STRING, "a@b.example"}}, "emailAddress=a@b.example"},
    {"unknown_type_dotted", {{"1.2.3.4.5", V_ASN1_UTF8STRING, "value"}}, "1.2.3.4.5=value"},
    {"leading_space", {{"CN", V_ASN1_UTF8STRING, " lead"}}, "CN=\\ lead"},
    {"two_leading_spaces", {{"CN", V_ASN1_UTF8STRING, "  two"}}, "CN=\\  two"},
    {"trailing_space", {{"CN", V_ASN1_UTF8STRING, "trail "}}, "CN=trail\\ "},
    {"leading_hash", {{"CN", V_ASN1_UTF8STRING, "#tag"}}, "CN=\\#tag"},
    {"inner_and_trailing_hash", {{"CN", V_ASN1_UTF8STRING, "a#b#"}}, "CN=a#b#"},
    {"single_space", {{"CN", V_ASN1_UTF8STRING, " "}}, "CN=\\ "},
    {"single_hash", {{"CN", V_ASN1_UTF8STRING, "#"}}, "CN=#"},
    {"bmp_leading_space", {{"CN", V_ASN1_BMPSTRING, std::string("\x00 \x00x", 4)}}, "CN=\\ x"},
    {"no_other_escapes", {{"O", V_ASN1_UTF8STRING, "a,b+c=\"d\"<e>;\\"}}, "O=a,b+c=\"d\"<e>;\\"},
    {"empty_value", {{"CN", V_ASN1_UTF8STRING, ""}, {"O", V_ASN1_UTF8STRING, "x"}}, "CN=,O=x"},
};

class NameTexts : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameTexts, IssuerAndSubjectPrintTheSame) {
  const NameCase& c = GetParam();
  CertProfile profile;
  profile.issuer = c.attributes;
  profile.subject = c.attributes;
  const Bytes cert = Make(profile);
  EXPECT_EQ(Issuer(cert), c.text);
  EXPECT_EQ(Informations(cert).subject, c.text);
}

INSTANTIATE_TEST_SUITE_P(CertText, NameTexts, ::testing::ValuesIn(kNames),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- Issuer and serial --------------------------------------------------------

TEST(CertText, IssuerAndSerialLengths) {
  const Bytes cert = Make({});
  const std::string issuer = "C=XX,O=Example CA";
  const int32_t n = static_cast<int32_t>(issuer.size());

  int32_t issuer_len = 0, serial_len = 0;
  EXPECT_EQ(
      issure_serial_get_by_cert(cert.data(), Len(cert), nullptr, &issuer_len, nullptr, &serial_len),
      VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(issuer_len, n);
  EXPECT_EQ(serial_len, 33);

  // Exactly the name's length: no NUL of its own; the byte after it stays.
  char text[64];
  char serial[40];
  std::memset(text, '!', sizeof text);
  std::memset(serial, '!', sizeof serial);
  issuer_len = n;
  serial_len = 33;
  EXPECT_EQ(
      issure_serial_get_by_cert(cert.data(), Len(cert), text, &issuer_len, serial, &serial_len),
      VORPIN_OK);
  EXPECT_EQ(std::string(text, static_cast<size_t>(n)), issuer);
  EXPECT_EQ(text[n], '!');
  EXPECT_STREQ(serial, "0102030405060708090A0B0C0D0E0F10");
  EXPECT_EQ(serial[33], '!');
  EXPECT_EQ(issuer_len, n);
  EXPECT_EQ(serial_len, 33);

  // One byte less for the name, 32 for the serial: 2, the needs stored,
  // the other output still written.
  issuer_len = n - 1;
  serial_len = 40;
  std::memset(serial, '!', sizeof serial);
  EXPECT_EQ(
      issure_serial_get_by_cert(cert.data(), Len(cert), text, &issuer_len, serial, &serial_len),
      VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(issuer_len, n);
  EXPECT_EQ(serial_len, 40) << "unchanged after a written serial";
  EXPECT_STREQ(serial, "0102030405060708090A0B0C0D0E0F10");
  issuer_len = n;
  serial_len = 32;
  EXPECT_EQ(
      issure_serial_get_by_cert(cert.data(), Len(cert), text, &issuer_len, serial, &serial_len),
      VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(serial_len, 33);
  for (int32_t capacity : {0, -1}) {
    serial_len = capacity;
    EXPECT_EQ(
        issure_serial_get_by_cert(cert.data(), Len(cert), text, &issuer_len, serial, &serial_len),
        VORPIN_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(serial_len, 33);
  }
  // A missing length pointer makes its output missing.
  EXPECT_EQ(issure_serial_get_by_cert(cert.data(), Len(cert), text, nullptr, serial, &serial_len),
            VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(issure_serial_get_by_cert(cert.data(), Len(cert), text, &issuer_len, serial, nullptr),
            VORPIN_ERR_BUFFER_TOO_SMALL);
}

struct SerialCase {
  const char* name;
  Bytes serial;
  const char* digits;
  int32_t need;
};

const SerialCase kSerials[] = {
    {"one_byte", {0x0A}, "0A", 33},
    {"leading_high_bit", {0x80, 0x01}, "8001", 33},
    {"sixteen_bytes",
     {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xFF},
     "F00102030405060708090A0B0C0D0EFF",
     33},
    {"twenty_bytes", Bytes(20, 0xAB), "ABABABABABABABABABABABABABABABABABABABAB", 41},
};

class SerialTexts : public ::testing::TestWithParam<SerialCase> {};

TEST_P(SerialTexts, AllBytesTwoDigitsEachWithinTheNeed) {
  const SerialCase& c = GetParam();
  CertProfile profile;
  profile.serial = c.serial;
  const Bytes cert = Make(profile);
  char issuer[64];
  int32_t issuer_len = sizeof issuer;
  int32_t serial_len = 33;
  std::vector<char> serial(64, '!');
  if (c.need > 33) {
    EXPECT_EQ(issure_serial_get_by_cert(cert.data(), Len(cert), issuer, &issuer_len, serial.data(),
                                        &serial_len),
              VORPIN_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(serial_len, c.need);
    EXPECT_EQ(serial[0], '!') << "nothing written";
  }
  serial_len = c.need;
  ASSERT_EQ(issure_serial_get_by_cert(cert.data(), Len(cert), issuer, &issuer_len, serial.data(),
                                      &serial_len),
            VORPIN_OK);
  EXPECT_STREQ(serial.data(), c.digits);
}

INSTANTIATE_TEST_SUITE_P(CertText, SerialTexts, ::testing::ValuesIn(kSerials),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- Bytes that are no certificate ------------------------------------------------

TEST(CertText, NonCertificatesGive1280) {
  TraceLog::Get().Install();
  TraceLog::Get().Clear();
  const Bytes cert = Make({});
  std::string b64(cert.size() * 2, '\0');
  b64.resize(static_cast<size_t>(B64Encode(cert.data(), static_cast<uint32_t>(cert.size()), &b64[0],
                                           static_cast<uint32_t>(b64.size()))));
  const Bytes inputs[] = {ToBytes(b64), Bytes(cert.begin(), cert.end() - 1),
                          Bytes(cert.begin(), cert.begin() + 4), Bytes(64, 0)};
  char text[256];
  for (const Bytes& input : inputs) {
    int32_t a = sizeof text, b = sizeof text, c = 4, d = sizeof text, e = sizeof text,
            f = sizeof text;
    EXPECT_EQ(issure_serial_get_by_cert(input.data(), Len(input), text, &a, text, &b),
              VORPIN_ERR_CERT_FIND_INIT);
    EXPECT_EQ(imformations_get_by_cert(input.data(), Len(input), text, &a, text, &b, text, &c, text,
                                       &d, text, &e),
              VORPIN_ERR_CERT_FIND_INIT);
    EXPECT_EQ(a + b + c + d + e + f, 5 * static_cast<int32_t>(sizeof text) + 4) << "untouched";
  }
  EXPECT_TRUE(TraceLog::Get().Contains(
      "issure_serial_get_by_cert(): failed to convert the certificate to OpenSSL internal "
      "structure!"));
  int32_t a = 1, b = 1;
  EXPECT_EQ(issure_serial_get_by_cert(nullptr, 100, text, &a, text, &b), VORPIN_ERR_CERT_FIND_INIT);
  EXPECT_EQ(issure_serial_get_by_cert(cert.data(), -1, text, &a, text, &b),
            VORPIN_ERR_CERT_FIND_INIT);
  EXPECT_TRUE(TraceLog::Get().Contains(
      "issure_serial_get_by_cert(): failed to put certificate into OpenSSL BIO!"));
  EXPECT_EQ(imformations_get_by_cert(cert.data(), 0, text, &a, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr),
            VORPIN_ERR_CERT_FIND_INIT);
  // Bytes after the certificate are ignored.
  Bytes padded = cert;
  padded.insert(padded.end(), 16, 0xEE);
  EXPECT_EQ(Issuer(padded), "C=XX,O=Example CA");
}

// ---- Subject, e-mail, extension tail, validity ---------------------------------------

TEST(CertText, HolderProfileGivesEveryText) {
  CertProfile profile;
  profile.subject = {{"C", V_ASN1_PRINTABLESTRING, "XX"}, {"CN", V_ASN1_UTF8STRING, "Alice Demo"}};
  profile.extensions = HolderExtensions(cert_factory::EmailAltName("alice@example.org"));
  const Infos i = Informations(Make(profile));
  EXPECT_EQ(i.rc, VORPIN_OK);
  EXPECT_EQ(i.subject, "C=XX,CN=Alice Demo");
  EXPECT_EQ(i.email_len, 17);
  EXPECT_EQ(i.email.substr(0, 18), "alice@example.orgx") << "no NUL after an address";
  EXPECT_EQ(i.tail, "HC01");
  EXPECT_EQ(i.from, "Mar  5 09:04:05 2007 GMT");
  EXPECT_EQ(i.to, "Dec 31 23:59:59 2037 GMT");
}

TEST(CertText, TooSmallSubjectStillGivesTheOtherTexts) {
  CertProfile profile;
  profile.extensions = HolderExtensions(cert_factory::EmailAltName("alice@example.org"));
  const Bytes cert = Make(profile);
  char subject[4], email[64], tail[4], from[30], to[10];
  int32_t subject_len = 4, email_len = 64, tail_len = 4, from_len = 30, to_len = 10;
  EXPECT_EQ(imformations_get_by_cert(cert.data(), Len(cert), subject, &subject_len, email,
                                     &email_len, tail, &tail_len, from, &from_len, to, &to_len),
            VORPIN_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(subject_len, 9);  // "CN=Holder"
  EXPECT_EQ(std::string(email, 17), "alice@example.org");
  EXPECT_EQ(std::string(tail, 4), "HC01");
  EXPECT_EQ(from_len, 24);
  EXPECT_EQ(std::string(from, 24), "Mar  5 09:04:05 2007 GMT");
  // A validity buffer too small for the text gets its first characters.
  EXPECT_EQ(to_len, 10);
  EXPECT_EQ(std::string(to, 10), "Dec 31 23:");
  // A null validity buffer gets nothing; the count is stored.
  from_len = 5;
  subject_len = 64;
  char big_subject[64];
  EXPECT_EQ(
      imformations_get_by_cert(cert.data(), Len(cert), big_subject, &subject_len, nullptr, nullptr,
                               nullptr, nullptr, nullptr, &from_len, nullptr, nullptr),
      VORPIN_OK);
  EXPECT_EQ(from_len, 5);
}

TEST(CertText, EmailIsCutToItsBuffer) {
  CertProfile profile;
  profile.extensions = HolderExtensions(cert_factory::EmailAltName("alice@example.org"));
  const Infos i = Informations(Make(profile), 8);
  EXPECT_EQ(i.email_len, 8);
  EXPECT_EQ(i.email, "alice@ex");
  EXPECT_EQ(i.tail, "HC01");
}

TEST(CertText, ExtensionSixWithoutAddressGivesTheMarkerAndItsTail) {
  CertProfile profile;
  // A DNS name, no "@": the marker, cleared over the characters read, and
  // the tail of extension 6 itself.
  Bytes dns = {0x30, 0x0D, 0x82, 0x0B};
  const std::string host = "example.org";
  dns.insert(dns.end(), host.begin(), host.end());
  profile.extensions = HolderExtensions(dns);
  const Infos i = Informations(Make(profile), 20);
  EXPECT_EQ(i.email_len, 11);
  EXPECT_EQ(i.email, std::string("@@\0\0\0\0\0\0\0\0\0xxxxxxxxx", 20));
  EXPECT_EQ(i.tail, ".org");
}

TEST(CertText, FewerThanSevenExtensionsGiveTheMarkerAndNoTail) {
  CertProfile profile;
  profile.extensions = {{"2.5.29.19", {0x30, 0x00}}};
  const Infos i = Informations(Make(profile), 10);
  EXPECT_EQ(i.email_len, 0);
  EXPECT_EQ(i.email, std::string("@@\0xxxxxxx", 10));
  EXPECT_EQ(i.tail, "");
  // The marker is bounded by a buffer too small for it.
  const Bytes cert = Make(profile);
  char email[3] = {'x', 'x', 'x'};
  int32_t email_len = 2;
  char subject[64];
  int32_t subject_len = 64;
  EXPECT_EQ(
      imformations_get_by_cert(cert.data(), Len(cert), subject, &subject_len, email, &email_len,
                               nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
      VORPIN_OK);
  EXPECT_EQ(std::string(email, 3), "@@x");
}

struct TailCase {
  const char* name;
  std::string printed;  // the value of extension 7
  const char* tail;
};

const TailCase kTails[] = {
    {"four", "HC01", "HC01"},
    {"fewer_than_four", "AB", "AB"},
    {"control_bytes_as_dots", std::string("ab\x01\xff", 4), "ab.."},
    {"window_of_512", std::string(508, 'a') + "WXYZ" + "beyond", "WXYZ"},
};

class ExtensionTails : public ::testing::TestWithParam<TailCase> {};

TEST_P(ExtensionTails, LastFourOfTheFirst512Characters) {
  CertProfile profile;
  profile.extensions = HolderExtensions(cert_factory::EmailAltName("a@b"));
  profile.extensions[7].der_value = Bytes(GetParam().printed.begin(), GetParam().printed.end());
  EXPECT_EQ(Informations(Make(profile)).tail, GetParam().tail);
}

INSTANTIATE_TEST_SUITE_P(CertText, ExtensionTails, ::testing::ValuesIn(kTails),
                         [](const auto& row) { return std::string(row.param.name); });

struct TimeCase {
  const char* name;
  cert_factory::Time time;
  const char* text;
};

const TimeCase kTimes[] = {
    {"utc_with_z", {V_ASN1_UTCTIME, "070305090405Z"}, "Mar  5 09:04:05 2007 GMT"},
    {"utc_year_50_is_1950", {V_ASN1_UTCTIME, "501224000000Z"}, "Dec 24 00:00:00 1950 GMT"},
    {"utc_year_49_is_2049", {V_ASN1_UTCTIME, "491001120000Z"}, "Oct  1 12:00:00 2049 GMT"},
    {"generalized", {V_ASN1_GENERALIZEDTIME, "20510615101112Z"}, "Jun 15 10:11:12 2051 GMT"},
    {"utc_without_seconds", {V_ASN1_UTCTIME, "0703050904Z"}, "Mar  5 09:04:00 2007 GMT"},
    {"utc_without_zone", {V_ASN1_UTCTIME, "070305090405"}, "Mar  5 09:04:05 2007"},
    {"utc_with_offset", {V_ASN1_UTCTIME, "070305090405+0100"}, "Mar  5 09:04:05 2007"},
    {"generalized_fraction_not_shown",
     {V_ASN1_GENERALIZEDTIME, "20510615101112.25Z"},
     "Jun 15 10:11:12 2051 GMT"},
    {"generalized_without_seconds",
     {V_ASN1_GENERALIZEDTIME, "205106151011Z"},
     "Jun 15 10:11:00 2051 GMT"},
    {"bad_month", {V_ASN1_UTCTIME, "071305090405Z"}, "Bad time value"},
    {"month_zero", {V_ASN1_UTCTIME, "070005090405Z"}, "Bad time value"},
    {"non_digit", {V_ASN1_UTCTIME, "07030509x405Z"}, "Bad time value"},
    {"too_short", {V_ASN1_UTCTIME, "07030509Z"}, "Bad time value"},
    {"generalized_too_short", {V_ASN1_GENERALIZEDTIME, "2051061510Z"}, "Bad time value"},
};

class ValidityTexts : public ::testing::TestWithParam<TimeCase> {};

TEST_P(ValidityTexts, PrintInTheMonthDayTimeYearForm) {
  CertProfile profile;
  profile.not_before = GetParam().time;
  profile.not_after = GetParam().time;
  const Infos i = Informations(Make(profile));
  EXPECT_EQ(i.from, GetParam().text);
  EXPECT_EQ(i.to, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(CertText, ValidityTexts, ::testing::ValuesIn(kTimes),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace

// A corpus no one here wrote: every certificate of the system CA bundle
// (/etc/ssl/certs, Debian ca-certificates) must give the issuer and subject
// texts that the stock openssl x509 prints with the matching name options,
// wherever the two printers follow the same rules, and the validity texts
// of its -startdate and -enddate.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include "test_support.h"
#include "vorpin_dll.h"

namespace {

using test_support::Bytes;

struct Expected {
  std::string issuer, subject, from, to;
};

// What openssl prints for each certificate file.
std::map<std::string, Expected> OpensslTexts(const std::string& dir) {
  const std::string listing = test_support::Capture(
      "for f in " + dir +
      "/*.pem; do echo \"== $f\"; openssl x509 -in \"$f\" -noout -issuer -subject -startdate "
      "-enddate -nameopt sep_comma_plus,utf8; done");
  std::map<std::string, Expected> out;
  std::istringstream lines(listing);
  std::string line, file;
  auto take = [&line](const char* prefix, std::string* field) {
    const size_t n = std::strlen(prefix);
    if (line.compare(0, n, prefix) == 0) *field = line.substr(n);
  };
  while (std::getline(lines, line)) {
    if (line.compare(0, 3, "== ") == 0) {
      file = line.substr(3);
      continue;
    }
    Expected& e = out[file];
    take("issuer=", &e.issuer);
    take("subject=", &e.subject);
    take("notBefore=", &e.from);
    take("notAfter=", &e.to);
  }
  return out;
}

// The two printers differ on a value that begins with a space or "#" or
// ends with a space (escaped here, not by OpenSSL 3 without RFC 2253
// escaping) and on strings OpenSSL 3 refuses to decode.
bool SameRules(const X509_NAME* name) {
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    unsigned char* utf8 = nullptr;
    const int n =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
    const bool differs =
        n < 0 || (n > 0 && (utf8[0] == ' ' || utf8[0] == '#' || utf8[n - 1] == ' '));
    OPENSSL_free(utf8);
    if (differs) return false;
  }
  return true;
}

TEST(CaBundle, TextsEqualOpensslX509) {
  const std::string dir = "/etc/ssl/certs";
  const std::map<std::string, Expected> expected = OpensslTexts(dir);
  ASSERT_FALSE(expected.empty()) << "no certificates in " << dir << " (ca-certificates)";
  int names_compared = 0;
  for (const auto& [file, e] : expected) {
    SCOPED_TRACE(file);
    BIO* bio = BIO_new_file(file.c_str(), "r");
    ASSERT_NE(bio, nullptr);
    X509* x509 = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ASSERT_NE(x509, nullptr);
    unsigned char* der_bytes = nullptr;
    const int der_len = i2d_X509(x509, &der_bytes);
    const Bytes der(der_bytes, der_bytes + der_len);
    OPENSSL_free(der_bytes);

    char issuer[4096], subject[4096], serial[128], from[64], to[64];
    int32_t issuer_len = sizeof issuer, subject_len = sizeof subject, serial_len = sizeof serial,
            from_len = sizeof from, to_len = sizeof to;
    ASSERT_EQ(
        issure_serial_get_by_cert(der.data(), der_len, issuer, &issuer_len, serial, &serial_len),
        VORPIN_OK);
    ASSERT_EQ(imformations_get_by_cert(der.data(), der_len, subject, &subject_len, nullptr, nullptr,
                                       nullptr, nullptr, from, &from_len, to, &to_len),
              VORPIN_OK);
    if (SameRules(X509_get_issuer_name(x509))) {
      EXPECT_EQ(std::string(issuer, static_cast<size_t>(issuer_len)), e.issuer);
      ++names_compared;
    }
    if (SameRules(X509_get_subject_name(x509))) {
      EXPECT_EQ(std::string(subject, static_cast<size_t>(subject_len)), e.subject);
      ++names_compared;
    }
    EXPECT_EQ(std::string(from, static_cast<size_t>(from_len)), e.from);
    EXPECT_EQ(std::string(to, static_cast<size_t>(to_len)), e.to);
    X509_free(x509);
  }
  EXPECT_GT(names_compared, 0);
}

}  // namespace

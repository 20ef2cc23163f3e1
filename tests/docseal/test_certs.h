// Certificates made on the spot for the emulated card: an RSA-1024 key and
// a certificate whose subject and extension list the test chooses.
#ifndef TESTS_DOCSEAL_TEST_CERTS_H
#define TESTS_DOCSEAL_TEST_CERTS_H

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_certs {

struct Deleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
  void operator()(ASN1_STRING* p) const { ASN1_STRING_free(p); }  // integers, octet strings
  void operator()(BIGNUM* p) const { BN_free(p); }
  void operator()(BIO* p) const { BIO_free_all(p); }
};
template <class T>
using Ptr = std::unique_ptr<T, Deleter>;

struct Issued {
  std::vector<unsigned char> der;      // the certificate
  std::vector<unsigned char> key_pem;  // its private key, PKCS#8 PEM
};

// An extension by dotted OID whose DER value is given as is.
struct Extension {
  std::string oid;
  std::string der_value;
};

// A private extension whose value prints as the given characters.
inline Extension Printable(const std::string& oid, const std::string& text) {
  std::string der;
  der.push_back(0x13);  // PrintableString
  der.push_back(static_cast<char>(text.size()));
  return {oid, der + text};
}

// A subjectAltName holding one rfc822Name (short form lengths).
inline Extension EmailAltName(const std::string& address) {
  std::string inner;
  inner.push_back(static_cast<char>(0x81));
  inner.push_back(static_cast<char>(address.size()));
  inner += address;
  std::string der;
  der.push_back(0x30);
  der.push_back(static_cast<char>(inner.size()));
  return {"2.5.29.17", der + inner};
}

// The provisioned profile's shape: six plain extensions, the e-mail at
// index 6 and a four-character code at the end of extension 7.
inline std::vector<Extension> Profile(const std::string& email, const std::string& code) {
  std::vector<Extension> exts;
  for (int i = 1; i <= 6; ++i)
    exts.push_back(Printable("1.3.6.1.4.1.55555.9." + std::to_string(i), "x"));
  exts.push_back(EmailAltName(email));
  exts.push_back(Printable("1.3.6.1.4.1.55555.2.1", code));
  return exts;
}

// Issuer "C=XX,O=<issuer_org>", subject "CN=<common_name>", serial the 16
// bytes serial_first, serial_first + 1, ..., valid from 5 March 2007
// 09:04:05 to 31 December 2030 23:59:59 (UTC).
inline Issued Issue(const std::string& common_name, const std::vector<Extension>& exts,
                    const std::string& issuer_org = "Emulated CA",
                    unsigned char serial_first = 0x42) {
  Ptr<EVP_PKEY> key(EVP_RSA_gen(1024));
  Ptr<X509> cert(X509_new());
  if (!key || !cert) throw std::runtime_error("openssl");
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  for (int i = 0; i < 16; ++i) serial[i] = static_cast<unsigned char>(serial_first + i);
  Ptr<BIGNUM> bn(BN_bin2bn(serial, sizeof serial, nullptr));
  Ptr<ASN1_INTEGER> sn(BN_to_ASN1_INTEGER(bn.get(), nullptr));
  X509_set_serialNumber(cert.get(), sn.get());
  X509_NAME* issuer = X509_get_issuer_name(cert.get());
  X509_NAME_add_entry_by_txt(issuer, "C", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("XX"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(issuer, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(issuer_org.c_str()), -1, -1, 0);
  // A common name holds at most 64 characters: a longer one becomes
  // several CN entries of 64.
  X509_NAME* subject = X509_get_subject_name(cert.get());
  for (size_t at = 0; at < common_name.size() || at == 0; at += 64) {
    const std::string part = common_name.substr(at, 64);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(part.c_str()), -1, -1, 0);
  }
  ASN1_TIME_set_string(X509_getm_notBefore(cert.get()), "20070305090405Z");
  ASN1_TIME_set_string(X509_getm_notAfter(cert.get()), "20301231235959Z");
  X509_set_pubkey(cert.get(), key.get());
  for (const Extension& e : exts) {
    ASN1_OBJECT* oid = OBJ_txt2obj(e.oid.c_str(), 1);
    Ptr<ASN1_OCTET_STRING> value(ASN1_OCTET_STRING_new());
    ASN1_OCTET_STRING_set(value.get(), reinterpret_cast<const unsigned char*>(e.der_value.data()),
                          static_cast<int>(e.der_value.size()));
    Ptr<X509_EXTENSION> ext(X509_EXTENSION_create_by_OBJ(nullptr, oid, 0, value.get()));
    ASN1_OBJECT_free(oid);
    X509_add_ext(cert.get(), ext.get(), -1);
  }
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) throw std::runtime_error("sign");

  Issued out;
  const int n = i2d_X509(cert.get(), nullptr);
  out.der.resize(static_cast<size_t>(n));
  unsigned char* p = out.der.data();
  i2d_X509(cert.get(), &p);
  Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio.get(), &data);
  out.key_pem.assign(data, data + len);
  return out;
}

// The serial text of a certificate from Issue.
inline std::string SerialText(unsigned char serial_first = 0x42) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    const unsigned v = static_cast<unsigned char>(serial_first + i);
    text += kHex[v >> 4];
    text += kHex[v & 15];
  }
  return text;
}

}  // namespace test_certs

#endif

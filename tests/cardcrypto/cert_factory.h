// Certificates made for the tests: names with any string type and
// multi-valued RDNs, serials, raw validity times and extensions given by OID
// and DER value, over an RSA, EC or DSA key.
#ifndef TESTS_CARDCRYPTO_CERT_FACTORY_H
#define TESTS_CARDCRYPTO_CERT_FACTORY_H

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

namespace cert_factory {

using test_support::Bytes;

struct KeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

inline Key RsaKey(unsigned bits) {
  return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
}
inline Key EcKey() { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")); }
inline Key DsaKey() {
  EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
  EVP_PKEY* params = nullptr;
  EVP_PKEY* key = nullptr;
  if (pctx != nullptr && EVP_PKEY_paramgen_init(pctx) > 0 &&
      EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx, 1024) > 0 && EVP_PKEY_paramgen(pctx, &params) > 0) {
    EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_from_pkey(nullptr, params, nullptr);
    if (kctx != nullptr && EVP_PKEY_keygen_init(kctx) > 0) EVP_PKEY_keygen(kctx, &key);
    EVP_PKEY_CTX_free(kctx);
  }
  EVP_PKEY_free(params);
  EVP_PKEY_CTX_free(pctx);
  return Key(key);
}

// The public key of a DER SubjectPublicKeyInfo.
inline Key PublicKey(const Bytes& spki) {
  const unsigned char* p = spki.data();
  return Key(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
}

// One attribute of a name: the type as a short name or dotted OID, the
// ASN.1 string type, the raw value bytes, and whether it joins the previous
// attribute's RDN.
struct Attribute {
  std::string type;
  int string_type;
  std::string value;
  bool same_rdn = false;
};

struct Extension {
  std::string oid;
  Bytes der_value;  // the content of the extension's OCTET STRING
};

struct Time {
  int type;  // V_ASN1_UTCTIME or V_ASN1_GENERALIZEDTIME
  std::string text;
};

struct CertProfile {
  std::vector<Attribute> issuer = {{"C", V_ASN1_PRINTABLESTRING, "XX"},
                                   {"O", V_ASN1_PRINTABLESTRING, "Example CA"}};
  std::vector<Attribute> subject = {{"CN", V_ASN1_UTF8STRING, "Holder"}};
  Bytes serial = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                  0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};
  Time not_before = {V_ASN1_UTCTIME, "070305090405Z"};
  Time not_after = {V_ASN1_UTCTIME, "371231235959Z"};
  std::vector<Extension> extensions;
};

inline void AddNames(X509_NAME* name, const std::vector<Attribute>& attributes) {
  for (const Attribute& a : attributes) {
    ASN1_OBJECT* obj = OBJ_txt2obj(a.type.c_str(), 0);
    // A plain string type (no MBSTRING_ flag) keeps the bytes as given.
    X509_NAME_add_entry_by_OBJ(name, obj, a.string_type,
                               reinterpret_cast<const unsigned char*>(a.value.data()),
                               static_cast<int>(a.value.size()), -1, a.same_rdn ? -1 : 0);
    ASN1_OBJECT_free(obj);
  }
}

inline void SetTime(X509* x509, const Time& t, bool before) {
  ASN1_TIME* time = ASN1_STRING_type_new(t.type);
  ASN1_STRING_set(time, t.text.data(), static_cast<int>(t.text.size()));
  if (before) {
    X509_set1_notBefore(x509, time);
  } else {
    X509_set1_notAfter(x509, time);
  }
  ASN1_STRING_free(time);
}

// The DER certificate of profile over subject_key, signed by signer_key (the
// subject key when null).
inline Bytes Make(const CertProfile& profile, EVP_PKEY* subject_key,
                  EVP_PKEY* signer_key = nullptr) {
  X509* x509 = X509_new();
  X509_set_version(x509, 2);
  ASN1_INTEGER* serial = ASN1_INTEGER_new();
  ASN1_STRING_set(serial, profile.serial.data(), static_cast<int>(profile.serial.size()));
  X509_set_serialNumber(x509, serial);
  ASN1_INTEGER_free(serial);
  AddNames(X509_get_issuer_name(x509), profile.issuer);
  AddNames(X509_get_subject_name(x509), profile.subject);
  SetTime(x509, profile.not_before, true);
  SetTime(x509, profile.not_after, false);
  X509_set_pubkey(x509, subject_key);
  for (const Extension& e : profile.extensions) {
    ASN1_OBJECT* obj = OBJ_txt2obj(e.oid.c_str(), 1);
    ASN1_OCTET_STRING* data = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(data, e.der_value.data(), static_cast<int>(e.der_value.size()));
    X509_EXTENSION* ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, 0, data);
    X509_add_ext(x509, ext, -1);
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(data);
    ASN1_OBJECT_free(obj);
  }
  EVP_PKEY* signer = signer_key != nullptr ? signer_key : subject_key;
  if (X509_sign(x509, signer, EVP_sha256()) <= 0) {
    X509_free(x509);
    throw std::runtime_error("X509_sign failed");
  }
  unsigned char* der = nullptr;
  int len = i2d_X509(x509, &der);
  X509_free(x509);
  if (len <= 0) throw std::runtime_error("i2d_X509 failed");
  Bytes out(der, der + len);
  OPENSSL_free(der);
  return out;
}

// DER of a subjectAltName holding one rfc822Name.
inline Bytes EmailAltName(const std::string& address) {
  Bytes out = {0x30, static_cast<unsigned char>(address.size() + 2), 0x81,
               static_cast<unsigned char>(address.size())};
  out.insert(out.end(), address.begin(), address.end());
  return out;
}

// DER of a PrintableString.
inline Bytes Printable(const std::string& text) {
  Bytes out = {0x13, static_cast<unsigned char>(text.size())};
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

}  // namespace cert_factory

#endif

#include "signer_check.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "common/ssl_ptr.h"

namespace signer_check {
namespace {

// The content the card signs for a time-stamp: an empty list (its 32-bit
// length) and the Big5 text 時戳簽章, no file digest.
const char kTimestampContent[] = "\0\0\0\0\xae\xc9\xc2\x57\xc3\xb1\xb3\xb9";

SslPtr<PKCS7> Parse(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  SslPtr<PKCS7> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  if (p7 == nullptr || !PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr) return nullptr;
  return p7;
}

std::string NameText(const X509_NAME* name) {
  SslPtr<BIO> bio(BIO_new(BIO_s_mem()));
  const unsigned long flags = (XN_FLAG_ONELINE | ASN1_STRFLGS_UTF8_CONVERT) & ~ASN1_STRFLGS_ESC_MSB;
  if (bio == nullptr || X509_NAME_print_ex(bio.get(), name, 0, flags) < 0) return "";
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

std::string TimeText(const ASN1_TYPE* attr) {
  if (attr == nullptr) return "";
  const ASN1_TIME* t = nullptr;
  if (attr->type == V_ASN1_UTCTIME) t = attr->value.utctime;
  if (attr->type == V_ASN1_GENERALIZEDTIME) t = attr->value.generalizedtime;
  std::tm tm{};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return "";
  char buf[64];
  return std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm) > 0 ? buf : "";
}

std::string CertDer(X509* cert) {
  unsigned char* out = nullptr;
  int n = i2d_X509(cert, &out);
  SslPtr<unsigned char> owner(out);
  return n > 0 ? std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n)) : "";
}

// The signer's certificate, found as the library finds it: by the issuer
// and serial the signer information names.
X509* SignerCertificate(PKCS7* p7, PKCS7_SIGNER_INFO* si) {
  STACK_OF(X509)* certs = p7->d.sign->cert;
  if (certs == nullptr || si->issuer_and_serial == nullptr) return nullptr;
  return X509_find_by_issuer_and_serial(certs, si->issuer_and_serial->issuer,
                                        si->issuer_and_serial->serial);
}

// Loads one CA file (PEM with one or more certificates, or one DER one).
bool LoadCaFile(X509_STORE* store, const std::string& path, std::string* error) {
  if (X509_STORE_load_file(store, path.c_str()) == 1) return true;
  ERR_clear_error();
  SslPtr<BIO> bio(BIO_new_file(path.c_str(), "rb"));
  SslPtr<X509> cert(bio != nullptr ? d2i_X509_bio(bio.get(), nullptr) : nullptr);
  if (cert != nullptr && X509_STORE_add_cert(store, cert.get()) == 1) return true;
  ERR_clear_error();
  *error = "the CA file '" + path + "' holds no certificate that can be read";
  return false;
}

// Why cert may not sign, or empty: a key usage that allows neither digital
// signatures nor non-repudiation.
std::string KeyUsageProblem(X509* cert) {
  if ((X509_get_extension_flags(cert) & EXFLAG_KUSAGE) == 0) return "";
  if ((X509_get_key_usage(cert) & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)) != 0) return "";
  return "the certificate's key usage does not allow signing";
}

}  // namespace

bool Read(const std::string& der, Facts* facts, std::string* error) {
  *facts = Facts();
  SslPtr<PKCS7> p7 = Parse(der);
  if (p7 == nullptr) {
    *error = "not a PKCS#7 signature";
    return false;
  }
  PKCS7* inner = p7->d.sign->contents;
  if (inner != nullptr && PKCS7_type_is_data(inner) && inner->d.data != nullptr) {
    facts->content.assign(reinterpret_cast<const char*>(inner->d.data->data),
                          static_cast<size_t>(inner->d.data->length));
  }
  facts->timestamp = facts->content == std::string(kTimestampContent, sizeof kTimestampContent - 1);
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
  for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(infos); ++i) {
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, i);
    Signer s;
    s.signing_time = TimeText(PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime));
    if (X509* cert = SignerCertificate(p7.get(), si)) {
      s.subject = NameText(X509_get_subject_name(cert));
      s.issuer = NameText(X509_get_issuer_name(cert));
      s.cert_der = CertDer(cert);
    }
    facts->signers.push_back(s);
  }
  return true;
}

bool CheckTrust(const std::string& der, const std::vector<std::string>& ca_files, Facts* facts,
                std::string* error) {
  SslPtr<X509_STORE> store(X509_STORE_new());
  if (store == nullptr || X509_STORE_set_default_paths(store.get()) != 1) {
    *error = "cannot open the system's trust store";
    return false;
  }
  ERR_clear_error();
  for (const auto& path : ca_files) {
    if (!LoadCaFile(store.get(), path, error)) return false;
  }
  SslPtr<PKCS7> p7 = Parse(der);
  if (p7 == nullptr) {
    *error = "not a PKCS#7 signature";
    return false;
  }
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
  const int n = sk_PKCS7_SIGNER_INFO_num(infos);
  if (n != static_cast<int>(facts->signers.size())) {
    *error = "the signature changed while it was read";
    return false;
  }
  for (int i = 0; i < n; ++i) {
    Signer& s = facts->signers[static_cast<size_t>(i)];
    X509* cert = SignerCertificate(p7.get(), sk_PKCS7_SIGNER_INFO_value(infos, i));
    s.trusted = false;
    if (cert == nullptr) {
      s.trust_error = "the signature file lacks the signer's certificate";
      continue;
    }
    SslPtr<X509_STORE_CTX> ctx(X509_STORE_CTX_new());
    if (ctx == nullptr ||
        X509_STORE_CTX_init(ctx.get(), store.get(), cert, p7->d.sign->cert) != 1) {
      s.trust_error = "cannot check the certificate chain";
      continue;
    }
    if (X509_verify_cert(ctx.get()) != 1) {
      s.trust_error = X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
      continue;
    }
    s.trust_error = KeyUsageProblem(cert);
    s.trusted = s.trust_error.empty();
  }
  ERR_clear_error();
  return true;
}

bool SignaturesVerify(const std::string& der) {
  SslPtr<PKCS7> p7 = Parse(der);
  if (p7 == nullptr || sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7.get())) <= 0) {
    return false;
  }
  // The chain is CheckTrust's: here only the signatures over the content.
  const bool ok = PKCS7_verify(p7.get(), nullptr, nullptr, nullptr, nullptr, PKCS7_NOVERIFY) == 1;
  ERR_clear_error();
  return ok;
}

bool AllTrusted(const Facts& facts) {
  if (facts.signers.empty()) return false;
  for (const auto& s : facts.signers) {
    if (!s.trusted) return false;
  }
  return true;
}

}  // namespace signer_check

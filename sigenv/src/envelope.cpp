#include "envelope.h"

#include <limits.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <string.h>

#include "ossl.h"
#include "sigenv_dll.h"

namespace sigenv {

namespace {

// DER prefix of a DigestInfo for SHA-256; the 32 digest bytes follow.
const unsigned char kSha256DigestInfoPrefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                 0x01, 0x05, 0x00, 0x04, 0x20};

// The DER of a signer's signed attributes, in the form the signature covers.
bool EncodeAttributes(PKCS7_SIGNER_INFO* si, const ASN1_ITEM* form,
                      std::vector<unsigned char>* out) {
  unsigned char* der = nullptr;
  int len = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &der, form);
  SslPtr<unsigned char> owner(der);
  if (len <= 0) return false;
  out->assign(der, der + len);
  return true;
}

bool VerifyOne(PKCS7_SIGNER_INFO* si, STACK_OF(X509) * certs, const unsigned char* content,
               size_t size) {
  if (si == nullptr || si->issuer_and_serial == nullptr || si->digest_alg == nullptr ||
      si->enc_digest == nullptr || certs == nullptr) {
    return false;
  }
  X509* cert = X509_find_by_issuer_and_serial(certs, si->issuer_and_serial->issuer,
                                              si->issuer_and_serial->serial);
  if (cert == nullptr) return false;
  EVP_PKEY* key = X509_get0_pubkey(cert);
  const EVP_MD* md = EVP_get_digestbyobj(si->digest_alg->algorithm);
  if (key == nullptr || md == nullptr) return false;

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  if (EVP_Digest(content, size, digest, &digest_len, md, nullptr) != 1) return false;

  std::vector<unsigned char> attributes;
  const unsigned char* signed_bytes = content;
  size_t signed_size = size;
  if (sk_X509_ATTRIBUTE_num(si->auth_attr) > 0) {
    ASN1_OCTET_STRING* claimed = PKCS7_digest_from_attributes(si->auth_attr);
    if (claimed == nullptr || claimed->length != static_cast<int>(digest_len) ||
        memcmp(claimed->data, digest, digest_len) != 0) {
      return false;
    }
    ASN1_TYPE* type = PKCS7_get_signed_attribute(si, NID_pkcs9_contentType);
    if (type == nullptr || type->type != V_ASN1_OBJECT ||
        OBJ_obj2nid(type->value.object) != NID_pkcs7_data) {
      return false;
    }
    if (!EncodeAttributes(si, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY), &attributes)) return false;
    signed_bytes = attributes.data();
    signed_size = attributes.size();
  }

  SslPtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  return ctx != nullptr && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), si->enc_digest->data,
                          static_cast<size_t>(si->enc_digest->length), signed_bytes,
                          signed_size) == 1;
}

}  // namespace

int MakeSignedData(const unsigned char* content, size_t size, const char* pin, CardSigner* signer,
                   std::vector<unsigned char>* der) {
  if (size > static_cast<size_t>(INT_MAX)) return SIGENV_ERR_ARGUMENT;
  std::vector<unsigned char> cert_der;
  int rc = signer->Certificate(&cert_der);
  if (rc != SIGENV_OK) return rc;
  const unsigned char* p = cert_der.data();
  SslPtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(cert_der.size())));
  if (cert == nullptr || p != cert_der.data() + cert_der.size()) return SIGENV_ERR_CERTIFICATE;
  EVP_PKEY* key = X509_get0_pubkey(cert.get());
  if (key == nullptr) return SIGENV_ERR_CERTIFICATE;

  SslPtr<PKCS7> p7(PKCS7_new());
  if (p7 == nullptr) return SIGENV_ERR_MEMORY;
  if (PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1 ||
      PKCS7_content_new(p7.get(), NID_pkcs7_data) != 1 ||
      ASN1_OCTET_STRING_set(p7->d.sign->contents->d.data, content, static_cast<int>(size)) != 1 ||
      PKCS7_add_certificate(p7.get(), cert.get()) != 1) {
    return SIGENV_ERR_ENCODE;
  }
  // The signer information stays with p7.
  PKCS7_SIGNER_INFO* si = PKCS7_add_signature(p7.get(), cert.get(), key, EVP_sha256());
  if (si == nullptr) return SIGENV_ERR_ENCODE;

  unsigned char digest[32];
  unsigned int digest_len = 0;
  if (EVP_Digest(content, size, digest, &digest_len, EVP_sha256(), nullptr) != 1 ||
      PKCS7_add_attrib_content_type(si, nullptr) != 1 ||
      PKCS7_add0_attrib_signing_time(si, nullptr) != 1 ||
      PKCS7_add1_attrib_digest(si, digest, static_cast<int>(digest_len)) != 1) {
    return SIGENV_ERR_ENCODE;
  }

  std::vector<unsigned char> attributes;
  if (!EncodeAttributes(si, ASN1_ITEM_rptr(PKCS7_ATTR_SIGN), &attributes) ||
      EVP_Digest(attributes.data(), attributes.size(), digest, &digest_len, EVP_sha256(),
                 nullptr) != 1) {
    return SIGENV_ERR_ENCODE;
  }
  std::vector<unsigned char> digest_info(sizeof kSha256DigestInfoPrefix + 32);
  memcpy(digest_info.data(), kSha256DigestInfoPrefix, sizeof kSha256DigestInfoPrefix);
  memcpy(digest_info.data() + sizeof kSha256DigestInfoPrefix, digest, 32);

  std::vector<unsigned char> signature;
  rc = signer->SignDigestInfo(digest_info, pin, &signature);
  if (rc != SIGENV_OK) return rc;
  if (signature.empty() || signature.size() > static_cast<size_t>(INT_MAX) ||
      ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(signature.size())) != 1) {
    return SIGENV_ERR_ENCODE;
  }
  // A card that signed with another key than its certificate's would give
  // a signature file that never verifies; it is refused here instead.
  if (!VerifyOne(si, p7->d.sign->cert, content, size)) return SIGENV_ERR_CARD_SIGN;

  int len = i2d_PKCS7(p7.get(), nullptr);
  if (len <= 0) return SIGENV_ERR_ENCODE;
  der->resize(static_cast<size_t>(len));
  unsigned char* out = der->data();
  if (i2d_PKCS7(p7.get(), &out) != len) return SIGENV_ERR_ENCODE;
  return SIGENV_OK;
}

PKCS7* ParseSignedData(const unsigned char* bytes, size_t size) {
  if (bytes == nullptr || size == 0 || size > static_cast<size_t>(LONG_MAX)) return nullptr;
  const unsigned char* p = bytes;
  SslPtr<PKCS7> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(size)));
  if (p7 == nullptr || p != bytes + size) return nullptr;
  if (!PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr) return nullptr;
  PKCS7* inner = p7->d.sign->contents;
  if (inner == nullptr || !PKCS7_type_is_data(inner)) return nullptr;
  return p7.release();
}

bool EmbeddedContent(PKCS7* p7, const unsigned char** data, size_t* size) {
  if (p7 == nullptr || !PKCS7_type_is_signed(p7) || p7->d.sign == nullptr) return false;
  PKCS7* inner = p7->d.sign->contents;
  if (inner == nullptr || !PKCS7_type_is_data(inner) || inner->d.data == nullptr) return false;
  *data = inner->d.data->data;
  *size = static_cast<size_t>(inner->d.data->length);
  return true;
}

int VerifySigners(PKCS7* p7, bool* ok) {
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  const int n = signers == nullptr ? 0 : sk_PKCS7_SIGNER_INFO_num(signers);
  if (n <= 0) return SIGENV_ERR_NO_SIGNER;
  const unsigned char* content = nullptr;
  size_t size = 0;
  const bool has_content = EmbeddedContent(p7, &content, &size);
  bool all = has_content;
  for (int i = 0; i < n; ++i) {
    bool valid = has_content &&
                 VerifyOne(sk_PKCS7_SIGNER_INFO_value(signers, i), p7->d.sign->cert, content, size);
    if (ok != nullptr) ok[i] = valid;
    all = all && valid;
  }
  if (!has_content) return SIGENV_ERR_NO_CONTENT;
  return all ? SIGENV_OK : SIGENV_ERR_NOT_VERIFIED;
}

}  // namespace sigenv

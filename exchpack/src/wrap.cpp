// DatatoP12_withcert: the data enveloped for the recipient, then signed with
// the card. The whole structure's size is known before anything is written,
// so it is checked against the output record's capacity first. The content
// is enciphered twice in cache-sized steps: once for the digest that the
// card signs, then straight into the output, which is written only once the
// card has signed.
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common.h"
#include "vorpin_dll.h"

namespace {

constexpr size_t kKeySize = 32;    // AES-256
constexpr size_t kBlockSize = 16;  // AES block and IV
constexpr int kChunk = 1 << 16;    // bytes enciphered and digested at a time

// Wipes the content key on every way out.
struct KeyMaterial {
  uint8_t key[kKeySize];
  uint8_t iv[kBlockSize];
  ~KeyMaterial() { OPENSSL_cleanse(key, sizeof key); }
};

der::Bytes AlgorithmWithNull(const der::Bytes& oid) {
  const der::Bytes id = der::Tlv(der::kOid, oid);
  const der::Bytes null = {der::kNull, 0x00};
  return der::Tlv(der::kSequence, der::Cat({&id, &null}));
}

der::Bytes Attribute(const der::Bytes& oid, const der::Bytes& value) {
  const der::Bytes id = der::Tlv(der::kOid, oid);
  const der::Bytes values = der::Tlv(der::kSet, value);
  return der::Tlv(der::kSequence, der::Cat({&id, &values}));
}

// The signing time: UTCTime for the years 1950 to 2049, GeneralizedTime
// otherwise.
der::Bytes SigningTime(std::time_t now) {
  std::tm tm{};
  gmtime_r(&now, &tm);
  const int year = tm.tm_year + 1900;
  char text[32];
  if (year >= 1950 && year < 2050) {
    std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", year % 100, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return der::Tlv(der::kUtcTime, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
  }
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", year, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return der::Tlv(der::kGeneralizedTime, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

// The content of the signed attributes (a DER SET OF, sorted by encoding):
// content type, signing time, message digest, and the signing certificate's
// SHA-256 hash so that the certificate carried cannot be exchanged.
der::Bytes SignedAttributes(const der::Bytes& time, const uint8_t* digest,
                            const uint8_t* cert_hash) {
  const der::Bytes data = der::Tlv(der::kOid, oid::kData);
  const der::Bytes digest_value = der::Tlv(der::kOctetString, digest, SHA256_DIGEST_LENGTH);
  const der::Bytes cert_id =
      der::Tlv(der::kSequence, der::Tlv(der::kOctetString, cert_hash, SHA256_DIGEST_LENGTH));
  const der::Bytes signing_cert = der::Tlv(der::kSequence, der::Tlv(der::kSequence, cert_id));
  std::vector<der::Bytes> attributes = {Attribute(oid::kContentType, data),
                                        Attribute(oid::kSigningTime, time),
                                        Attribute(oid::kMessageDigest, digest_value),
                                        Attribute(oid::kSigningCertificateV2, signing_cert)};
  std::sort(attributes.begin(), attributes.end());
  der::Bytes content;
  for (const der::Bytes& a : attributes) content.insert(content.end(), a.begin(), a.end());
  return content;
}

// The content key encrypted for the recipient, RSA PKCS#1 v1.5.
int32_t EncryptKey(EVP_PKEY* recipient, const uint8_t* key, der::Bytes* out) {
  SslPtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(recipient, nullptr));
  size_t len = 0;
  if (ctx == nullptr || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_encrypt(ctx.get(), nullptr, &len, key, kKeySize) <= 0) {
    return EXCHPACK_ERR_RECIPIENT_CERT;
  }
  out->resize(len);
  if (EVP_PKEY_encrypt(ctx.get(), out->data(), &len, key, kKeySize) <= 0) {
    return EXCHPACK_ERR_INTERNAL;
  }
  out->resize(len);
  return EXCHPACK_OK;
}

// A cipher context for the content, AES-256-CBC with PKCS#7 padding.
SslPtr<EVP_CIPHER_CTX> Encipher(const KeyMaterial& km) {
  SslPtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (ctx == nullptr ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, km.key, km.iv) != 1) {
    return nullptr;
  }
  return ctx;
}

// Enciphers n bytes of plain in cache-sized steps; sink(p, len) takes each
// piece of ciphertext. scratch (kChunk + kBlockSize bytes) receives the
// pieces, or null to encipher straight into out. Returns the bytes
// produced, or -1.
template <class Sink>
long long EncipherSteps(EVP_CIPHER_CTX* ctx, const uint8_t* plain, size_t n, uint8_t* scratch,
                        uint8_t* out, Sink sink) {
  size_t written = 0;
  for (size_t done = 0; done < n;) {
    const int step = static_cast<int>(std::min<size_t>(kChunk, n - done));
    uint8_t* to = scratch != nullptr ? scratch : out + written;
    int len = 0;
    if (EVP_EncryptUpdate(ctx, to, &len, plain + done, step) != 1) return -1;
    if (!sink(to, static_cast<size_t>(len))) return -1;
    written += static_cast<size_t>(len);
    done += static_cast<size_t>(step);
  }
  uint8_t* to = scratch != nullptr ? scratch : out + written;
  int len = 0;
  if (EVP_EncryptFinal_ex(ctx, to, &len) != 1 || !sink(to, static_cast<size_t>(len))) return -1;
  return static_cast<long long>(written) + len;
}

uint8_t* Put(uint8_t* p, const der::Bytes& bytes) {
  std::memcpy(p, bytes.data(), bytes.size());
  return p + bytes.size();
}

int32_t Wrap(raw_data_st* in, raw_data_st* out, const unsigned char* cert, int32_t cert_len,
             const char* pin) {
  if (!RecordUsable(in) || !RecordUsable(out) || cert == nullptr || cert_len <= 0 ||
      pin == nullptr) {
    return EXCHPACK_ERR_ARGUMENT;
  }

  SslPtr<X509> recipient = ParseCertificate(cert, cert_len);
  if (recipient == nullptr) return EXCHPACK_ERR_RECIPIENT_CERT;
  EVP_PKEY* recipient_key = X509_get0_pubkey(recipient.get());
  // PKCS#1 v1.5 needs 11 bytes of the modulus besides the content key.
  if (recipient_key == nullptr || EVP_PKEY_get_base_id(recipient_key) != EVP_PKEY_RSA ||
      EVP_PKEY_get_size(recipient_key) < static_cast<int>(kKeySize) + 11) {
    return EXCHPACK_ERR_RECIPIENT_CERT;
  }
  const der::Bytes rid = IssuerAndSerial(recipient.get());
  if (rid.empty()) return EXCHPACK_ERR_RECIPIENT_CERT;

  SslPtr<X509> signer;
  der::Bytes signer_der;
  if (int32_t rc = ReadCardCertificate(0, &signer, &signer_der); rc != EXCHPACK_OK) return rc;
  EVP_PKEY* signer_key = X509_get0_pubkey(signer.get());
  if (signer_key == nullptr || EVP_PKEY_get_base_id(signer_key) != EVP_PKEY_RSA) {
    return EXCHPACK_ERR_CARD_CERT;
  }
  const size_t sig_len = static_cast<size_t>(EVP_PKEY_get_size(signer_key));
  const der::Bytes sid = IssuerAndSerial(signer.get());
  if (sid.empty()) return EXCHPACK_ERR_CARD_CERT;

  KeyMaterial km;
  if (RAND_bytes(km.key, sizeof km.key) != 1 || RAND_bytes(km.iv, sizeof km.iv) != 1) {
    return EXCHPACK_ERR_INTERNAL;
  }
  der::Bytes encrypted_key;
  if (int32_t rc = EncryptKey(recipient_key, km.key, &encrypted_key); rc != EXCHPACK_OK) {
    return rc;
  }

  // ---- The EnvelopedData: everything before the ciphertext, then its size.
  const size_t n = static_cast<size_t>(in->length);
  const size_t ct_len = (n / kBlockSize + 1) * kBlockSize;
  const der::Bytes version0 = {der::kInteger, 0x01, 0x00};
  const der::Bytes key_alg = AlgorithmWithNull(oid::kRsaEncryption);
  const der::Bytes key_value = der::Tlv(der::kOctetString, encrypted_key);
  const der::Bytes recipient_infos = der::Tlv(
      der::kSet, der::Tlv(der::kSequence, der::Cat({&version0, &rid, &key_alg, &key_value})));
  const der::Bytes data_oid = der::Tlv(der::kOid, oid::kData);
  const der::Bytes iv = der::Tlv(der::kOctetString, km.iv, sizeof km.iv);
  const der::Bytes aes_oid = der::Tlv(der::kOid, oid::kAes256Cbc);
  const der::Bytes content_alg = der::Tlv(der::kSequence, der::Cat({&aes_oid, &iv}));
  const der::Bytes ct_header = der::Header(der::kContext0Prim, ct_len);
  const size_t eci_len = data_oid.size() + content_alg.size() + ct_header.size() + ct_len;
  const size_t env_len = version0.size() + recipient_infos.size() + der::TlvSize(eci_len);
  const der::Bytes enveloped_oid = der::Tlv(der::kOid, oid::kEnvelopedData);
  const size_t env_ci_len = enveloped_oid.size() + der::TlvSize(der::TlvSize(env_len));
  const der::Bytes env_ci_header = der::Header(der::kSequence, env_ci_len);
  const der::Bytes env_a0_header = der::Header(der::kContext0, der::TlvSize(env_len));
  const der::Bytes env_header = der::Header(der::kSequence, env_len);
  const der::Bytes eci_header = der::Header(der::kSequence, eci_len);
  const der::Bytes env_prefix =
      der::Cat({&env_ci_header, &enveloped_oid, &env_a0_header, &env_header, &version0,
                &recipient_infos, &eci_header, &data_oid, &content_alg, &ct_header});
  const size_t env_total = env_prefix.size() + ct_len;

  // ---- The SignedData around it.
  uint8_t cert_hash[SHA256_DIGEST_LENGTH];
  if (!Sha256(signer_der.data(), signer_der.size(), cert_hash)) return EXCHPACK_ERR_INTERNAL;
  const der::Bytes time = SigningTime(std::time(nullptr));
  uint8_t digest[SHA256_DIGEST_LENGTH] = {};
  const size_t attrs_len = SignedAttributes(time, digest, cert_hash).size();

  const der::Bytes version1 = {der::kInteger, 0x01, 0x01};
  const der::Bytes digest_alg = AlgorithmWithNull(oid::kSha256);
  const der::Bytes digest_algs = der::Tlv(der::kSet, digest_alg);
  const der::Bytes certificates = der::Tlv(der::kContext0, signer_der);
  const der::Bytes sig_alg = AlgorithmWithNull(oid::kRsaEncryption);
  const size_t si_len = version1.size() + sid.size() + digest_alg.size() + der::TlvSize(attrs_len) +
                        sig_alg.size() + der::TlvSize(sig_len);
  const size_t infos_len = der::TlvSize(si_len);
  const size_t encap_len = data_oid.size() + der::TlvSize(der::TlvSize(env_total));
  const size_t sd_len = version1.size() + digest_algs.size() + der::TlvSize(encap_len) +
                        certificates.size() + der::TlvSize(infos_len);
  const der::Bytes signed_oid = der::Tlv(der::kOid, oid::kSignedData);
  const size_t ci_len = signed_oid.size() + der::TlvSize(der::TlvSize(sd_len));
  const size_t total = der::TlvSize(ci_len);
  if (total > static_cast<size_t>(out->length)) return EXCHPACK_ERR_OUTPUT_TOO_SMALL;

  // ---- Digest the content: a first pass enciphers into a small scratch
  // buffer, so that nothing is written before the card has signed (a
  // refusal leaves the output as it was). Both cipher contexts are made
  // before the card is asked, so the second pass, straight into the output,
  // allocates nothing.
  SslPtr<EVP_CIPHER_CTX> digest_pass = Encipher(km);
  SslPtr<EVP_CIPHER_CTX> write_pass = Encipher(km);
  SslPtr<EVP_MD_CTX> sha(EVP_MD_CTX_new());
  der::Bytes scratch(static_cast<size_t>(kChunk) + kBlockSize);
  if (digest_pass == nullptr || write_pass == nullptr || sha == nullptr ||
      EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(sha.get(), env_prefix.data(), env_prefix.size()) != 1) {
    return EXCHPACK_ERR_INTERNAL;
  }
  const long long digested = EncipherSteps(
      digest_pass.get(), in->data, n, scratch.data(), nullptr,
      [&](const uint8_t* c, size_t len) { return EVP_DigestUpdate(sha.get(), c, len) == 1; });
  if (digested != static_cast<long long>(ct_len) ||
      EVP_DigestFinal_ex(sha.get(), digest, nullptr) != 1) {
    return EXCHPACK_ERR_INTERNAL;
  }

  // ---- Sign the attributes on the card: a DER DigestInfo of their SHA-256
  // hash with selector 0 gives the standard PKCS#1 v1.5 signature.
  const der::Bytes attrs = SignedAttributes(time, digest, cert_hash);
  if (attrs.size() != attrs_len) return EXCHPACK_ERR_INTERNAL;
  const der::Bytes attrs_set = der::Tlv(der::kSet, attrs);
  uint8_t attrs_hash[SHA256_DIGEST_LENGTH];
  if (!Sha256(attrs_set.data(), attrs_set.size(), attrs_hash)) return EXCHPACK_ERR_INTERNAL;
  const der::Bytes hash_value = der::Tlv(der::kOctetString, attrs_hash, sizeof attrs_hash);
  const der::Bytes digest_info = der::Tlv(der::kSequence, der::Cat({&digest_alg, &hash_value}));
  der::Bytes signature(sig_len);
  int32_t produced = static_cast<int32_t>(signature.size());
  const int32_t rc =
      vorpin_sign(digest_info.data(), static_cast<int32_t>(digest_info.size()), signature.data(),
                  &produced, VORPIN_HASH_NONE, reinterpret_cast<const unsigned char*>(pin),
                  static_cast<int32_t>(std::strlen(pin)));
  if (rc != VORPIN_OK) return CardCode(rc, EXCHPACK_ERR_SIGN);
  if (static_cast<size_t>(produced) != sig_len) return EXCHPACK_ERR_SIGN;

  // ---- Write the structure.
  uint8_t* p = out->data;
  p = der::PutHeader(p, der::kSequence, ci_len);
  p = Put(p, signed_oid);
  p = der::PutHeader(p, der::kContext0, der::TlvSize(sd_len));
  p = der::PutHeader(p, der::kSequence, sd_len);
  p = Put(p, version1);
  p = Put(p, digest_algs);
  p = der::PutHeader(p, der::kSequence, encap_len);
  p = Put(p, data_oid);
  p = der::PutHeader(p, der::kContext0, der::TlvSize(env_total));
  p = der::PutHeader(p, der::kOctetString, env_total);
  p = Put(p, env_prefix);
  const long long enciphered = EncipherSteps(write_pass.get(), in->data, n, nullptr, p,
                                             [](const uint8_t*, size_t) { return true; });
  if (enciphered != static_cast<long long>(ct_len)) return EXCHPACK_ERR_INTERNAL;
  p += ct_len;

  // ---- The certificate and the signer information.
  p = Put(p, certificates);
  p = der::PutHeader(p, der::kSet, infos_len);
  p = der::PutHeader(p, der::kSequence, si_len);
  p = Put(p, version1);
  p = Put(p, sid);
  p = Put(p, digest_alg);
  p = der::PutHeader(p, der::kContext0, attrs.size());
  p = Put(p, attrs);
  p = Put(p, sig_alg);
  p = der::PutHeader(p, der::kOctetString, sig_len);
  p = Put(p, signature);
  if (static_cast<size_t>(p - out->data) != total) return EXCHPACK_ERR_INTERNAL;
  out->length = static_cast<int32_t>(total);
  return EXCHPACK_OK;
}

}  // namespace

extern "C" EXCHPACK_API int32_t EXCHPACK_CDECL DatatoP12_withcert(raw_data_st* in, raw_data_st* out,
                                                                  const unsigned char* cert,
                                                                  int32_t cert_len,
                                                                  const char* pin) {
  return Guarded([&] { return Wrap(in, out, cert, cert_len, pin); });
}

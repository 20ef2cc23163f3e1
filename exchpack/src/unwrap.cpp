// P12toData_for_file_exchange and GetSignCertFromP12: reading the exchange
// structure. The outer SignedData is walked strictly (every field the
// signature does not cover is checked against the one form this library
// makes), its signature is checked with OpenSSL's CMS verifier, and the
// EnvelopedData inside is opened with the card's encryption key.
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common.h"
#include "vorpin_dll.h"

namespace {

constexpr size_t kKeySize = 32;
constexpr size_t kBlockSize = 16;
constexpr int kChunk = 1 << 16;

// An AlgorithmIdentifier whose parameters are absent or NULL; its OID
// content goes to oid_out.
bool PlainAlgorithm(const der::Element& alg, der::Span* oid_out) {
  if (alg.tag != der::kSequence) return false;
  der::Reader r(alg.content);
  der::Element id, params;
  if (!r.Expect(der::kOid, &id)) return false;
  if (!r.AtEnd() && (!r.Expect(der::kNull, &params) || params.content.n != 0)) return false;
  *oid_out = id.content;
  return r.AtEnd();
}

bool IsOid(const der::Span& s, const der::Bytes& oid) { return s.Equals(oid.data(), oid.size()); }

// The parts of the outer SignedData that the readers need.
struct Layout {
  der::Span whole;
  der::Span econtent;     // the DER EnvelopedData ContentInfo
  der::Span signer_cert;  // the DER certificate of the one signer
  der::Span attrs;        // content of the signed attributes, when present
  bool has_attrs = false;
};

// Finds the certificate that sid names among the certificates.
bool FindSignerCertificate(const der::Element& certs, const der::Element& sid, der::Span* out) {
  der::Reader r(certs.content);
  while (!r.AtEnd()) {
    der::Element e;
    if (!r.Next(&e)) return false;
    if (e.tag != der::kSequence) continue;  // other certificate choices
    const unsigned char* p = e.whole.p;
    SslPtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(e.whole.n)));
    if (cert == nullptr || p != e.whole.p + e.whole.n) continue;
    if (sid.tag == der::kSequence) {
      const der::Bytes ias = IssuerAndSerial(cert.get());
      if (sid.whole.Equals(ias.data(), ias.size())) {
        *out = e.whole;
        return true;
      }
    } else {
      const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(cert.get());
      if (ski != nullptr && sid.content.Equals(ASN1_STRING_get0_data(ski),
                                               static_cast<size_t>(ASN1_STRING_length(ski)))) {
        *out = e.whole;
        return true;
      }
    }
  }
  return false;
}

// 0, NOT_STRUCTURE or NO_SIGNER_CERT.
int32_t ReadLayout(der::Span whole, Layout* out) {
  constexpr int32_t kBad = EXCHPACK_ERR_NOT_STRUCTURE;
  der::Element ci, type, a0, sd;
  der::Reader top(whole);
  if (!top.Expect(der::kSequence, &ci) || !top.AtEnd()) return kBad;
  der::Reader rci(ci.content);
  if (!rci.Expect(der::kOid, &type) || !IsOid(type.content, oid::kSignedData) ||
      !rci.Expect(der::kContext0, &a0) || !rci.AtEnd()) {
    return kBad;
  }
  der::Reader ra0(a0.content);
  if (!ra0.Expect(der::kSequence, &sd) || !ra0.AtEnd()) return kBad;

  der::Element version, digest_algs, encap, certs, infos;
  der::Reader rsd(sd.content);
  if (!rsd.Next(&version) || der::SmallInteger(version) != 1 ||
      !rsd.Expect(der::kSet, &digest_algs) || !rsd.Expect(der::kSequence, &encap) ||
      !rsd.Expect(der::kContext0, &certs) || !rsd.Expect(der::kSet, &infos) || !rsd.AtEnd()) {
    return kBad;
  }

  der::Element etype, explicit0, econtent;
  der::Reader renc(encap.content);
  if (!renc.Expect(der::kOid, &etype) || !IsOid(etype.content, oid::kData) ||
      !renc.Expect(der::kContext0, &explicit0) || !renc.AtEnd()) {
    return kBad;
  }
  der::Reader rexp(explicit0.content);
  if (!rexp.Expect(der::kOctetString, &econtent) || !rexp.AtEnd()) return kBad;

  // Exactly one signer.
  der::Element si;
  der::Reader rinfos(infos.content);
  if (!rinfos.Expect(der::kSequence, &si) || !rinfos.AtEnd()) return kBad;
  der::Element si_version, sid, digest_alg, attrs, sig_alg, signature;
  der::Reader rsi(si.content);
  if (!rsi.Next(&si_version) || !rsi.Next(&sid)) return kBad;
  const int v = der::SmallInteger(si_version);
  if (!((v == 1 && sid.tag == der::kSequence) || (v == 3 && sid.tag == der::kContext0Prim))) {
    return kBad;
  }
  der::Span oid_unused;
  if (!rsi.Expect(der::kSequence, &digest_alg) || !PlainAlgorithm(digest_alg, &oid_unused)) {
    return kBad;
  }
  out->has_attrs = rsi.PeekTag() == der::kContext0;
  if (out->has_attrs && !rsi.Next(&attrs)) return kBad;
  if (!rsi.Expect(der::kSequence, &sig_alg) || !PlainAlgorithm(sig_alg, &oid_unused) ||
      !rsi.Expect(der::kOctetString, &signature) || !rsi.AtEnd()) {
    return kBad;  // unsigned attributes are never part of the structure
  }

  // The SignedData's digest algorithm list names the signer's, once.
  der::Reader rdigests(digest_algs.content);
  der::Element listed;
  if (!rdigests.Next(&listed) || listed.whole != digest_alg.whole || !rdigests.AtEnd()) {
    return kBad;
  }

  if (!FindSignerCertificate(certs, sid, &out->signer_cert)) return EXCHPACK_ERR_NO_SIGNER_CERT;
  out->whole = whole;
  out->econtent = econtent.content;
  out->attrs = attrs.content;
  return EXCHPACK_OK;
}

// When the signed attributes carry the signing certificate's hash
// (signingCertificateV2, SHA-256), the certificate carried must match it.
bool SigningCertificateMatches(const Layout& layout) {
  if (!layout.has_attrs) return true;
  der::Reader r(layout.attrs);
  while (!r.AtEnd()) {
    der::Element attr, type, values;
    if (!r.Expect(der::kSequence, &attr)) return false;
    der::Reader ra(attr.content);
    if (!ra.Expect(der::kOid, &type) || !ra.Expect(der::kSet, &values)) return false;
    if (!IsOid(type.content, oid::kSigningCertificateV2)) continue;
    // SigningCertificateV2 ::= SEQUENCE { certs SEQUENCE OF ESSCertIDv2, ... }
    // ESSCertIDv2 ::= SEQUENCE { hashAlgorithm DEFAULT sha256, certHash, ... }
    der::Element value, list, first, item;
    der::Reader rv(values.content);
    if (!rv.Expect(der::kSequence, &value)) return false;
    der::Reader rval(value.content);
    if (!rval.Expect(der::kSequence, &list)) return false;
    der::Reader rlist(list.content);
    if (!rlist.Expect(der::kSequence, &first)) return false;
    der::Reader rid(first.content);
    if (!rid.Next(&item)) return false;
    if (item.tag == der::kSequence) {
      der::Span alg;
      if (!PlainAlgorithm(item, &alg) || !IsOid(alg, oid::kSha256) || !rid.Next(&item)) {
        return false;
      }
    }
    uint8_t hash[32];
    if (item.tag != der::kOctetString ||
        !Sha256(layout.signer_cert.p, layout.signer_cert.n, hash)) {
      return false;
    }
    return item.content.Equals(hash, sizeof hash);
  }
  return true;
}

// The signature, checked by OpenSSL's CMS verifier with the certificate the
// structure carries (no trust decision).
int32_t VerifySignature(const Layout& layout) {
  const unsigned char* p = layout.whole.p;
  SslPtr<CMS_ContentInfo> cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(layout.whole.n)));
  if (cms == nullptr || p != layout.whole.p + layout.whole.n) return EXCHPACK_ERR_NOT_STRUCTURE;
  const int ok = CMS_verify(cms.get(), nullptr, nullptr, nullptr, nullptr,
                            CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY);
  ERR_clear_error();
  if (ok != 1 || !SigningCertificateMatches(layout)) return EXCHPACK_ERR_BAD_SIGNATURE;
  return EXCHPACK_OK;
}

struct Recipient {
  der::Element rid;
  der::Span encrypted_key;
  bool rsa_pkcs1 = false;
};

struct Envelope {
  std::vector<Recipient> recipients;
  der::Span iv;
  der::Span ciphertext;
};

int32_t ReadEnvelope(der::Span econtent, Envelope* env) {
  constexpr int32_t kBad = EXCHPACK_ERR_NOT_STRUCTURE;
  der::Element ci, type, a0, ed;
  der::Reader top(econtent);
  if (!top.Expect(der::kSequence, &ci) || !top.AtEnd()) return kBad;
  der::Reader rci(ci.content);
  if (!rci.Expect(der::kOid, &type) || !IsOid(type.content, oid::kEnvelopedData) ||
      !rci.Expect(der::kContext0, &a0) || !rci.AtEnd()) {
    return kBad;
  }
  der::Reader ra0(a0.content);
  if (!ra0.Expect(der::kSequence, &ed) || !ra0.AtEnd()) return kBad;

  der::Element version, originator, infos, eci, unprotected;
  der::Reader red(ed.content);
  if (!red.Next(&version) || der::SmallInteger(version) < 0) return kBad;
  if (red.PeekTag() == der::kContext0 && !red.Next(&originator)) return kBad;
  if (!red.Expect(der::kSet, &infos) || !red.Expect(der::kSequence, &eci)) return kBad;
  if (red.PeekTag() == der::kContext1 && !red.Next(&unprotected)) return kBad;
  if (!red.AtEnd()) return kBad;

  der::Reader rinfos(infos.content);
  while (!rinfos.AtEnd()) {
    der::Element info;
    if (!rinfos.Next(&info)) return kBad;
    if (info.tag != der::kSequence) continue;  // not a key transport recipient
    Recipient rcp;
    der::Element ri_version, alg, key;
    der::Reader ri(info.content);
    if (!ri.Next(&ri_version) || der::SmallInteger(ri_version) < 0 || !ri.Next(&rcp.rid) ||
        (rcp.rid.tag != der::kSequence && rcp.rid.tag != der::kContext0Prim) ||
        !ri.Expect(der::kSequence, &alg) || !ri.Expect(der::kOctetString, &key) || !ri.AtEnd()) {
      return kBad;
    }
    der::Span alg_oid;
    rcp.rsa_pkcs1 = PlainAlgorithm(alg, &alg_oid) && IsOid(alg_oid, oid::kRsaEncryption);
    rcp.encrypted_key = key.content;
    env->recipients.push_back(rcp);
  }

  der::Element ctype, content_alg, ciphertext;
  der::Reader reci(eci.content);
  if (!reci.Expect(der::kOid, &ctype) || !IsOid(ctype.content, oid::kData) ||
      !reci.Expect(der::kSequence, &content_alg) || !reci.Expect(der::kContext0Prim, &ciphertext) ||
      !reci.AtEnd()) {
    return kBad;
  }
  der::Element aes, iv;
  der::Reader ralg(content_alg.content);
  if (!ralg.Expect(der::kOid, &aes) || !IsOid(aes.content, oid::kAes256Cbc) ||
      !ralg.Expect(der::kOctetString, &iv) || iv.content.n != kBlockSize || !ralg.AtEnd()) {
    return kBad;
  }
  env->iv = iv.content;
  env->ciphertext = ciphertext.content;
  return EXCHPACK_OK;
}

// The recipient entry of the card's encryption certificate, or null.
const Recipient* FindRecipient(const Envelope& env, X509* card_cert) {
  const der::Bytes ias = IssuerAndSerial(card_cert);
  const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(card_cert);
  for (const Recipient& r : env.recipients) {
    if (r.rid.tag == der::kSequence && r.rid.whole.Equals(ias.data(), ias.size())) return &r;
    if (r.rid.tag == der::kContext0Prim && ski != nullptr &&
        r.rid.content.Equals(ASN1_STRING_get0_data(ski),
                             static_cast<size_t>(ASN1_STRING_length(ski)))) {
      return &r;
    }
  }
  return nullptr;
}

struct ContentKey {
  uint8_t bytes[512];
  int32_t len = sizeof bytes;
  ~ContentKey() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

bool DecipherBlocks(const uint8_t* key, const uint8_t* iv, const uint8_t* in, size_t n,
                    uint8_t* out) {
  SslPtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (ctx == nullptr || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, iv) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
    return false;
  }
  size_t written = 0;
  for (size_t done = 0; done < n;) {
    const int step = static_cast<int>(std::min<size_t>(kChunk, n - done));
    int len = 0;
    if (EVP_DecryptUpdate(ctx.get(), out + written, &len, in + done, step) != 1) return false;
    written += static_cast<size_t>(len);
    done += static_cast<size_t>(step);
  }
  int len = 0;
  return EVP_DecryptFinal_ex(ctx.get(), out + written, &len) == 1 && written + len == n;
}

int32_t Unwrap(raw_data_st* out, raw_data_st* in, const unsigned char* reserved,
               int32_t reserved_len, const char* pin) {
  if (!RecordUsable(out) || !RecordUsable(in) || reserved != nullptr || reserved_len != 0 ||
      pin == nullptr) {
    return EXCHPACK_ERR_ARGUMENT;
  }
  Layout layout;
  if (int32_t rc = ReadLayout({in->data, static_cast<size_t>(in->length)}, &layout);
      rc != EXCHPACK_OK) {
    // Without its signer's certificate the signature cannot be checked.
    return rc == EXCHPACK_ERR_NO_SIGNER_CERT ? EXCHPACK_ERR_BAD_SIGNATURE : rc;
  }
  if (int32_t rc = VerifySignature(layout); rc != EXCHPACK_OK) return rc;
  Envelope env;
  if (int32_t rc = ReadEnvelope(layout.econtent, &env); rc != EXCHPACK_OK) return rc;

  SslPtr<X509> card_cert;
  der::Bytes card_der;
  if (int32_t rc = ReadCardCertificate(1, &card_cert, &card_der); rc != EXCHPACK_OK) return rc;
  const Recipient* recipient = FindRecipient(env, card_cert.get());
  if (recipient == nullptr) return EXCHPACK_ERR_NOT_RECIPIENT;
  if (!recipient->rsa_pkcs1) return EXCHPACK_ERR_NOT_STRUCTURE;

  ContentKey key;
  const int32_t rc = vorpin_prikey_decrypt(
      recipient->encrypted_key.p, static_cast<int32_t>(recipient->encrypted_key.n), key.bytes,
      &key.len, reinterpret_cast<const unsigned char*>(pin),
      static_cast<int32_t>(std::strlen(pin)));
  if (rc != VORPIN_OK) return CardCode(rc, EXCHPACK_ERR_KEY_DECRYPT);
  if (key.len != static_cast<int32_t>(kKeySize)) return EXCHPACK_ERR_KEY_DECRYPT;

  // The last block first: its padding gives the plaintext's length, so a
  // corrupted end or a result too large for the record is refused before
  // anything is written.
  const der::Span ct = env.ciphertext;
  if (ct.n == 0 || ct.n % kBlockSize != 0) return EXCHPACK_ERR_CONTENT;
  const uint8_t* last_iv = ct.n == kBlockSize ? env.iv.p : ct.p + ct.n - 2 * kBlockSize;
  uint8_t last[kBlockSize];
  if (!DecipherBlocks(key.bytes, last_iv, ct.p + ct.n - kBlockSize, kBlockSize, last)) {
    return EXCHPACK_ERR_INTERNAL;
  }
  const size_t pad = last[kBlockSize - 1];
  bool padding_ok = pad >= 1 && pad <= kBlockSize;
  for (size_t i = 0; padding_ok && i < pad; ++i) padding_ok = last[kBlockSize - 1 - i] == pad;
  if (!padding_ok) {
    OPENSSL_cleanse(last, sizeof last);
    return EXCHPACK_ERR_CONTENT;
  }
  const size_t plain_len = ct.n - pad;
  if (plain_len > static_cast<size_t>(out->length)) {
    OPENSSL_cleanse(last, sizeof last);
    return EXCHPACK_ERR_OUTPUT_TOO_SMALL;
  }

  const size_t body = ct.n - kBlockSize;
  const bool ok = body == 0 || DecipherBlocks(key.bytes, env.iv.p, ct.p, body, out->data);
  if (plain_len > body) std::memcpy(out->data + body, last, plain_len - body);
  OPENSSL_cleanse(last, sizeof last);
  if (!ok) {
    OPENSSL_cleanse(out->data, body);
    return EXCHPACK_ERR_INTERNAL;
  }
  out->length = static_cast<int32_t>(plain_len);
  return EXCHPACK_OK;
}

int32_t SignerCertificate(raw_data_st* in, raw_data_st* out) {
  if (!RecordUsable(in) || !RecordUsable(out)) return EXCHPACK_ERR_ARGUMENT;
  Layout layout;
  if (int32_t rc = ReadLayout({in->data, static_cast<size_t>(in->length)}, &layout);
      rc != EXCHPACK_OK) {
    return rc;
  }
  if (layout.signer_cert.n > static_cast<size_t>(out->length)) {
    return EXCHPACK_ERR_OUTPUT_TOO_SMALL;
  }
  std::memcpy(out->data, layout.signer_cert.p, layout.signer_cert.n);
  out->length = static_cast<int32_t>(layout.signer_cert.n);
  return EXCHPACK_OK;
}

}  // namespace

extern "C" EXCHPACK_API int32_t EXCHPACK_CDECL
P12toData_for_file_exchange(raw_data_st* out, raw_data_st* in, const unsigned char* reserved,
                            int32_t reserved_len, const char* pin) {
  return Guarded([&] { return Unwrap(out, in, reserved, reserved_len, pin); });
}

extern "C" EXCHPACK_API int32_t EXCHPACK_CDECL GetSignCertFromP12(raw_data_st* in,
                                                                  raw_data_st* out) {
  return Guarded([&] { return SignerCertificate(in, out); });
}

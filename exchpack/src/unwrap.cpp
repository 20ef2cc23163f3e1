// P12toData_for_file_exchange and GetSignCertFromP12: reading the exchange
// structure as this library and other CMS writers make it. The outer
// SignedData and the EnvelopedData inside it are read as BER (definite or
// indefinite lengths, OCTET STRINGs in one piece or in segments) where they
// lie in the input, without a copy of the content; only the signed
// attributes, which the signature covers, must be DER. The signature is
// checked with the signer's certificate the structure carries, the content
// key is decrypted with the card's encryption key and the content is
// deciphered straight into the output.
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "ber.h"
#include "common.h"
#include "vorpin_dll.h"

namespace {

using ber::Element;
using ber::Pieces;
using ber::Reader;

constexpr size_t kBlockSize = 16;
constexpr size_t kChunk = 1 << 16;  // bytes deciphered at a time, so they stay in cache

// ---- Algorithms ---------------------------------------------------------

namespace alg {
// 1.2.840.113549.2.5 and 1.3.14.3.2.26
const der::Bytes kMd5 = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05};
const der::Bytes kSha1 = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
// 2.16.840.1.101.3.4.2.4 / .2 / .3
const der::Bytes kSha224 = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04};
const der::Bytes kSha384 = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
const der::Bytes kSha512 = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};
// 1.2.840.113549.1.1.n: md5, sha1, sha256, sha384, sha512, sha224 with RSA,
// RSASSA-PSS and RSAES-OAEP
const der::Bytes kMd5Rsa = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04};
const der::Bytes kSha1Rsa = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05};
const der::Bytes kSha256Rsa = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
const der::Bytes kSha384Rsa = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0C};
const der::Bytes kSha512Rsa = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0D};
const der::Bytes kSha224Rsa = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0E};
const der::Bytes kRsaPss = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0A};
// 1.2.840.10045.2.1, 1.2.840.10045.4.1 and 1.2.840.10045.4.3.1 to .4
const der::Bytes kEcPublicKey = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
const der::Bytes kEcdsaSha1 = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x01};
const der::Bytes kEcdsaSha224 = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x01};
const der::Bytes kEcdsaSha256 = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02};
const der::Bytes kEcdsaSha384 = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x03};
const der::Bytes kEcdsaSha512 = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x04};
// 2.16.840.1.101.3.4.1.2 / .22 / .42
const der::Bytes kAes128Cbc = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x02};
const der::Bytes kAes192Cbc = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01, 0x16};
// 1.3.14.3.2.7, 1.2.840.113549.3.7 / .2 / .4
const der::Bytes kDesCbc = {0x2B, 0x0E, 0x03, 0x02, 0x07};
const der::Bytes kDesEde3Cbc = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x07};
const der::Bytes kRc2Cbc = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x02};
const der::Bytes kRc4 = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x04};
// 1.2.840.113549.1.9.16.1.23
const der::Bytes kAuthEnvelopedData = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D,
                                       0x01, 0x09, 0x10, 0x01, 0x17};
}  // namespace alg

struct DigestRow {
  const der::Bytes* oid;
  const EVP_MD* (*md)();  // null: refused as unsafe
};

const DigestRow kDigests[] = {
    {&oid::kSha256, EVP_sha256}, {&alg::kSha384, EVP_sha384}, {&alg::kSha512, EVP_sha512},
    {&alg::kSha224, EVP_sha224}, {&alg::kSha1, nullptr},      {&alg::kMd5, nullptr},
};

// The digest an OID names: 0, WEAK_DIGEST or UNSUPPORTED.
int32_t DigestOf(const der::Bytes& oid, const EVP_MD** md) {
  for (const DigestRow& row : kDigests) {
    if (*row.oid != oid) continue;
    if (row.md == nullptr) return EXCHPACK_ERR_WEAK_DIGEST;
    *md = row.md();
    return EXCHPACK_OK;
  }
  return EXCHPACK_ERR_UNSUPPORTED;
}

struct SignatureRow {
  const der::Bytes* oid;
  int key_type;              // EVP_PKEY_RSA or EVP_PKEY_EC
  const der::Bytes* digest;  // the digest the algorithm names; null: the signer's digest
  int32_t status;            // 0, WEAK_DIGEST or UNSUPPORTED
};

const SignatureRow kSignatures[] = {
    {&oid::kRsaEncryption, EVP_PKEY_RSA, nullptr, EXCHPACK_OK},
    {&alg::kSha256Rsa, EVP_PKEY_RSA, &oid::kSha256, EXCHPACK_OK},
    {&alg::kSha384Rsa, EVP_PKEY_RSA, &alg::kSha384, EXCHPACK_OK},
    {&alg::kSha512Rsa, EVP_PKEY_RSA, &alg::kSha512, EXCHPACK_OK},
    {&alg::kSha224Rsa, EVP_PKEY_RSA, &alg::kSha224, EXCHPACK_OK},
    {&alg::kEcPublicKey, EVP_PKEY_EC, nullptr, EXCHPACK_OK},
    {&alg::kEcdsaSha256, EVP_PKEY_EC, &oid::kSha256, EXCHPACK_OK},
    {&alg::kEcdsaSha384, EVP_PKEY_EC, &alg::kSha384, EXCHPACK_OK},
    {&alg::kEcdsaSha512, EVP_PKEY_EC, &alg::kSha512, EXCHPACK_OK},
    {&alg::kEcdsaSha224, EVP_PKEY_EC, &alg::kSha224, EXCHPACK_OK},
    {&alg::kMd5Rsa, EVP_PKEY_RSA, nullptr, EXCHPACK_ERR_WEAK_DIGEST},
    {&alg::kSha1Rsa, EVP_PKEY_RSA, nullptr, EXCHPACK_ERR_WEAK_DIGEST},
    {&alg::kEcdsaSha1, EVP_PKEY_EC, nullptr, EXCHPACK_ERR_WEAK_DIGEST},
    {&alg::kRsaPss, EVP_PKEY_RSA, nullptr, EXCHPACK_ERR_UNSUPPORTED},
};

// Whether the signature algorithm (its parameters plain) fits the signer's digest and key: 0,
// WEAK_DIGEST, WEAK_KEY, UNSUPPORTED or BAD_SIGNATURE (a key of another kind
// than the algorithm's, or another digest than the signer's).
int32_t SignatureFits(const der::Bytes& sig_oid, bool plain, const der::Bytes& digest_oid,
                      EVP_PKEY* key) {
  for (const SignatureRow& row : kSignatures) {
    if (*row.oid != sig_oid) continue;
    if (row.status != EXCHPACK_OK) return row.status;
    if (!plain) return EXCHPACK_ERR_NOT_STRUCTURE;
    if (row.digest != nullptr && *row.digest != digest_oid) return EXCHPACK_ERR_BAD_SIGNATURE;
    if (key == nullptr || EVP_PKEY_get_base_id(key) != row.key_type) {
      return EXCHPACK_ERR_BAD_SIGNATURE;
    }
    const int min_bits = row.key_type == EVP_PKEY_RSA ? 1024 : 224;
    return EVP_PKEY_get_bits(key) < min_bits ? EXCHPACK_ERR_WEAK_KEY : EXCHPACK_OK;
  }
  return EXCHPACK_ERR_UNSUPPORTED;
}

struct CipherRow {
  const der::Bytes* oid;
  const EVP_CIPHER* (*cipher)();  // null: refused as unsafe
};

const CipherRow kCiphers[] = {
    {&oid::kAes256Cbc, EVP_aes_256_cbc},
    {&alg::kAes192Cbc, EVP_aes_192_cbc},
    {&alg::kAes128Cbc, EVP_aes_128_cbc},
    {&alg::kDesCbc, nullptr},
    {&alg::kDesEde3Cbc, nullptr},
    {&alg::kRc2Cbc, nullptr},
    {&alg::kRc4, nullptr},
};

// ---- Walking the structure ---------------------------------------------------

// An AlgorithmIdentifier: its OID, and whether its parameters are absent
// or NULL.
bool Algorithm(const Pieces& p, const Element& alg, der::Bytes* oid_out, bool* plain) {
  if (alg.tag != der::kSequence) return false;
  Reader r(p, alg);
  Element id, params;
  if (!r.Expect(der::kOid, &id) || !ber::Value(p, id, oid_out)) return false;
  *plain = r.AtEnd() || (r.Expect(der::kNull, &params) && params.length == 0 && r.AtEnd());
  return true;
}

// An AlgorithmIdentifier whose parameters are absent or NULL.
bool PlainAlgorithm(const Pieces& p, const Element& alg, der::Bytes* oid_out) {
  bool plain = false;
  return Algorithm(p, alg, oid_out, &plain) && plain;
}

bool IsOctetString(const Element& e) {
  return e.tag == der::kOctetString || e.tag == (der::kOctetString | 0x20);
}

// The parts of the outer SignedData that the readers need.
struct Layout {
  Pieces whole;
  Pieces econtent;  // the encapsulated content (the EnvelopedData), where it lies
  der::Bytes digest_oid;
  der::Bytes signature_oid;
  bool signature_plain = false;  // its parameters are absent or NULL
  der::Bytes signature;
  der::Bytes attrs;  // the whole [0] element of the signed attributes, when present
  bool has_attrs = false;
  der::Bytes signer_cert;  // the DER certificate of the one signer
};

// Finds the certificate that sid names among the certificates.
bool FindSignerCertificate(const Pieces& in, const Element& certs, const Element& sid,
                           der::Bytes* out) {
  der::Bytes sid_value;
  if (sid.tag == der::kSequence ? !ber::Whole(in, sid, &sid_value)
                                : !ber::Value(in, sid, &sid_value)) {
    return false;
  }
  Reader r(in, certs);
  while (!r.AtEnd()) {
    Element e;
    if (!r.Next(&e)) return false;
    der::Bytes bytes;
    if (e.tag != der::kSequence || !ber::Whole(in, e, &bytes)) continue;  // other choices
    const unsigned char* p = bytes.data();
    SslPtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
    if (cert == nullptr || p != bytes.data() + bytes.size()) continue;
    bool match = false;
    if (sid.tag == der::kSequence) {
      match = IssuerAndSerial(cert.get()) == sid_value;
    } else {
      const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(cert.get());
      match = ski != nullptr &&
              der::Span{sid_value.data(), sid_value.size()}.Equals(
                  ASN1_STRING_get0_data(ski), static_cast<size_t>(ASN1_STRING_length(ski)));
    }
    if (match) {
      *out = std::move(bytes);
      return true;
    }
  }
  return false;
}

// 0, NOT_STRUCTURE or NO_SIGNER_CERT.
int32_t ReadLayout(der::Span whole, Layout* out) {
  constexpr int32_t kBad = EXCHPACK_ERR_NOT_STRUCTURE;
  out->whole = Pieces(whole);
  const Pieces& in = out->whole;
  Element ci, type, a0, sd;
  Reader top(in, 0, in.size());
  if (!top.Expect(der::kSequence, &ci) || !top.AtEnd()) return kBad;
  Reader rci(in, ci);
  if (!rci.Next(&type) || !ber::IsOid(in, type, oid::kSignedData) ||
      !rci.Expect(der::kContext0, &a0) || !rci.AtEnd()) {
    return kBad;
  }
  Reader ra0(in, a0);
  if (!ra0.Expect(der::kSequence, &sd) || !ra0.AtEnd()) return kBad;

  Element version, digest_algs, encap, certs, crls, infos;
  Reader rsd(in, sd);
  if (!rsd.Next(&version)) return kBad;
  const int sd_version = ber::SmallInteger(in, version);
  if (sd_version < 1 || sd_version > 5 || !rsd.Expect(der::kSet, &digest_algs) ||
      !rsd.Expect(der::kSequence, &encap)) {
    return kBad;
  }
  const bool has_certs = rsd.PeekTag() == der::kContext0;
  if (has_certs && !rsd.Next(&certs)) return kBad;
  if (rsd.PeekTag() == der::kContext1 && !rsd.Next(&crls)) return kBad;
  if (!rsd.Expect(der::kSet, &infos) || !rsd.AtEnd()) return kBad;

  // The content is embedded (type id-data): a detached signature is not an
  // exchange structure.
  Element etype, explicit0, econtent;
  Reader renc(in, encap);
  if (!renc.Next(&etype) || !ber::IsOid(in, etype, oid::kData) ||
      !renc.Expect(der::kContext0, &explicit0) || !renc.AtEnd()) {
    return kBad;
  }
  Reader rexp(in, explicit0);
  if (!rexp.Next(&econtent) || !rexp.AtEnd() ||
      !ber::OctetPieces(in, econtent, der::kOctetString, &out->econtent)) {
    return kBad;
  }

  // Exactly one signer.
  Element si;
  Reader rinfos(in, infos);
  if (!rinfos.Expect(der::kSequence, &si) || !rinfos.AtEnd()) return kBad;
  Element si_version, sid, digest_alg, attrs, sig_alg, signature, unsigned_attrs;
  Reader rsi(in, si);
  if (!rsi.Next(&si_version) || !rsi.Next(&sid)) return kBad;
  const int v = ber::SmallInteger(in, si_version);
  const bool by_key_id = sid.tag == der::kContext0Prim || sid.tag == der::kContext0;
  if (!((v == 1 && sid.tag == der::kSequence) || (v == 3 && by_key_id))) return kBad;
  if (!rsi.Expect(der::kSequence, &digest_alg) ||
      !PlainAlgorithm(in, digest_alg, &out->digest_oid)) {
    return kBad;
  }
  out->has_attrs = rsi.PeekTag() == der::kContext0;
  if (out->has_attrs && (!rsi.Next(&attrs) || !ber::Whole(in, attrs, &out->attrs))) return kBad;
  if (!rsi.Expect(der::kSequence, &sig_alg) ||
      !Algorithm(in, sig_alg, &out->signature_oid, &out->signature_plain) ||
      !rsi.Next(&signature) || !IsOctetString(signature) ||
      !ber::Value(in, signature, &out->signature)) {
    return kBad;
  }
  // Unsigned attributes (a counter-signature, a time stamp) are passed over.
  if (rsi.PeekTag() == der::kContext1 && !rsi.Next(&unsigned_attrs)) return kBad;
  if (!rsi.AtEnd()) return kBad;

  // The SignedData's digest algorithm list names the signer's.
  bool listed = false;
  Reader rdigests(in, digest_algs);
  while (!rdigests.AtEnd()) {
    Element entry;
    der::Bytes entry_oid;
    if (!rdigests.Next(&entry)) return kBad;
    if (PlainAlgorithm(in, entry, &entry_oid) && entry_oid == out->digest_oid) listed = true;
  }
  if (!listed) return kBad;

  if (!has_certs || !FindSignerCertificate(in, certs, sid, &out->signer_cert)) {
    return EXCHPACK_ERR_NO_SIGNER_CERT;
  }
  return EXCHPACK_OK;
}

// Strict DER all the way down: definite, minimal lengths, and no
// constructed strings.
bool StrictDer(der::Span s, int depth) {
  der::Reader r(s);
  while (!r.AtEnd()) {
    der::Element e;
    if (!r.Next(&e)) return false;
    if ((e.tag & 0x20) == 0) continue;
    const bool universal = (e.tag & 0xC0) == 0;
    if (universal && e.tag != der::kSequence && e.tag != der::kSet) return false;
    if (depth >= ber::Reader::kMaxDepth || !StrictDer(e.content, depth + 1)) return false;
  }
  return true;
}

// The value of the one attribute of type oid among the signed attributes:
// false when it is missing, repeated or has other than one value.
bool SingleAttribute(der::Span attrs, const der::Bytes& oid, der::Element* value) {
  bool found = false;
  der::Reader r(attrs);
  while (!r.AtEnd()) {
    der::Element attr, type, values;
    if (!r.Expect(der::kSequence, &attr)) return false;
    der::Reader ra(attr.content);
    if (!ra.Expect(der::kOid, &type) || !ra.Expect(der::kSet, &values) || !ra.AtEnd()) {
      return false;
    }
    if (!type.content.Equals(oid.data(), oid.size())) continue;
    der::Reader rv(values.content);
    if (found || !rv.Next(value) || !rv.AtEnd()) return false;
    found = true;
  }
  return found;
}

// The signed attributes are DER (they are what the signature covers),
// sorted as a DER SET OF, and bind the content: its type is id-data and
// its digest is the one computed. 0, NOT_STRUCTURE or BAD_SIGNATURE.
int32_t CheckSignedAttributes(const der::Bytes& whole, const uint8_t* digest, size_t digest_len,
                              der::Span* content) {
  der::Reader r({whole.data(), whole.size()});
  der::Element set;
  if (!r.Expect(der::kContext0, &set) || !r.AtEnd() || !StrictDer(set.content, 0)) {
    return EXCHPACK_ERR_NOT_STRUCTURE;
  }
  der::Reader sorted(set.content);
  der::Span previous;
  while (!sorted.AtEnd()) {
    der::Element attr;
    if (!sorted.Next(&attr)) return EXCHPACK_ERR_NOT_STRUCTURE;
    if (previous.n > 0 && std::lexicographical_compare(attr.whole.p, attr.whole.p + attr.whole.n,
                                                       previous.p, previous.p + previous.n)) {
      return EXCHPACK_ERR_NOT_STRUCTURE;
    }
    previous = attr.whole;
  }
  der::Element type, message_digest;
  if (!SingleAttribute(set.content, oid::kContentType, &type) || type.tag != der::kOid ||
      !type.content.Equals(oid::kData.data(), oid::kData.size()) ||
      !SingleAttribute(set.content, oid::kMessageDigest, &message_digest) ||
      message_digest.tag != der::kOctetString ||
      !message_digest.content.Equals(digest, digest_len)) {
    return EXCHPACK_ERR_BAD_SIGNATURE;
  }
  *content = set.content;
  return EXCHPACK_OK;
}

// When the signed attributes carry the signing certificate's hash
// (signingCertificateV2, SHA-256), the certificate carried must match it.
bool SigningCertificateMatches(der::Span attrs, const der::Bytes& signer_cert) {
  der::Element value;
  der::Reader r(attrs);
  while (!r.AtEnd()) {
    der::Element attr, type, values;
    if (!r.Expect(der::kSequence, &attr)) return false;
    der::Reader ra(attr.content);
    if (!ra.Expect(der::kOid, &type) || !ra.Expect(der::kSet, &values)) return false;
    if (!type.content.Equals(oid::kSigningCertificateV2.data(),
                             oid::kSigningCertificateV2.size())) {
      continue;
    }
    // SigningCertificateV2 ::= SEQUENCE { certs SEQUENCE OF ESSCertIDv2, ... }
    // ESSCertIDv2 ::= SEQUENCE { hashAlgorithm DEFAULT sha256, certHash, ... }
    der::Element list, first, item;
    der::Reader rv(values.content);
    if (!rv.Expect(der::kSequence, &value)) return false;
    der::Reader rval(value.content);
    if (!rval.Expect(der::kSequence, &list)) return false;
    der::Reader rlist(list.content);
    if (!rlist.Expect(der::kSequence, &first)) return false;
    der::Reader rid(first.content);
    if (!rid.Next(&item)) return false;
    if (item.tag == der::kSequence) {
      const Pieces alg_bytes(item.whole);
      Element alg;
      der::Bytes alg_oid;
      if (!Reader(alg_bytes, 0, alg_bytes.size()).Next(&alg) ||
          !PlainAlgorithm(alg_bytes, alg, &alg_oid) || alg_oid != oid::kSha256 ||
          !rid.Next(&item)) {
        return false;
      }
    }
    uint8_t hash[32];
    if (item.tag != der::kOctetString || !Sha256(signer_cert.data(), signer_cert.size(), hash)) {
      return false;
    }
    return item.content.Equals(hash, sizeof hash);
  }
  return true;
}

// Feeds the bytes of pieces to update in cache-sized steps.
template <class Update>
bool Stream(const Pieces& p, size_t off, size_t n, Update update) {
  return p.ForEach(off, n, [&update](const uint8_t* data, size_t len) {
    for (size_t done = 0; done < len;) {
      const size_t step = std::min(kChunk, len - done);
      if (!update(data + done, step)) return false;
      done += step;
    }
    return true;
  });
}

// The signature over the signed attributes (or, without them, over the
// content), with the signer's certificate the structure carries (no trust
// decision). 0, NOT_STRUCTURE, BAD_SIGNATURE, WEAK_DIGEST, WEAK_KEY,
// UNSUPPORTED or INTERNAL.
int32_t VerifySignature(const Layout& layout) {
  const EVP_MD* md = nullptr;
  if (int32_t rc = DigestOf(layout.digest_oid, &md); rc != EXCHPACK_OK) return rc;
  const unsigned char* p = layout.signer_cert.data();
  SslPtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(layout.signer_cert.size())));
  EVP_PKEY* key = cert != nullptr ? X509_get0_pubkey(cert.get()) : nullptr;
  if (int32_t rc =
          SignatureFits(layout.signature_oid, layout.signature_plain, layout.digest_oid, key);
      rc != EXCHPACK_OK) {
    return rc;
  }

  SslPtr<EVP_MD_CTX> verify(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;  // owned by verify
  if (verify == nullptr || EVP_DigestVerifyInit(verify.get(), &pctx, md, nullptr, key) != 1 ||
      (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA &&
       EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) <= 0)) {
    ERR_clear_error();
    return EXCHPACK_ERR_INTERNAL;
  }
  const Pieces& content = layout.econtent;
  int ok = 0;
  if (layout.has_attrs) {
    SslPtr<EVP_MD_CTX> digest_ctx(EVP_MD_CTX_new());
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    if (digest_ctx == nullptr || EVP_DigestInit_ex(digest_ctx.get(), md, nullptr) != 1 ||
        !Stream(content, 0, content.size(),
                [&](const uint8_t* d, size_t n) {
                  return EVP_DigestUpdate(digest_ctx.get(), d, n) == 1;
                }) ||
        EVP_DigestFinal_ex(digest_ctx.get(), digest, &digest_len) != 1) {
      return EXCHPACK_ERR_INTERNAL;
    }
    der::Span attrs;
    if (int32_t rc = CheckSignedAttributes(layout.attrs, digest, digest_len, &attrs);
        rc != EXCHPACK_OK) {
      return rc;
    }
    if (!SigningCertificateMatches(attrs, layout.signer_cert)) return EXCHPACK_ERR_BAD_SIGNATURE;
    // The signature covers the attributes' DER encoding as a SET OF.
    der::Bytes set = layout.attrs;
    set[0] = der::kSet;
    ok = EVP_DigestVerify(verify.get(), layout.signature.data(), layout.signature.size(),
                          set.data(), set.size());
  } else {
    ok = Stream(content, 0, content.size(),
                [&](const uint8_t* d, size_t n) {
                  return EVP_DigestVerifyUpdate(verify.get(), d, n) == 1;
                })
             ? EVP_DigestVerifyFinal(verify.get(), layout.signature.data(), layout.signature.size())
             : 0;
  }
  ERR_clear_error();
  return ok == 1 ? EXCHPACK_OK : EXCHPACK_ERR_BAD_SIGNATURE;
}

struct Recipient {
  uint8_t rid_tag = 0;
  der::Bytes rid;  // the DER IssuerAndSerialNumber, or the subject key identifier
  der::Bytes key_alg;
  der::Bytes encrypted_key;
};

struct Envelope {
  std::vector<Recipient> recipients;
  const EVP_CIPHER* cipher = nullptr;
  der::Bytes iv;
  Pieces ciphertext;  // where it lies in the input
};

// A key transport recipient entry (the other kinds are passed over).
bool ReadRecipient(const Pieces& p, const Element& info, Recipient* rcp) {
  Element version, rid, alg, key;
  Reader r(p, info);
  if (!r.Next(&version) || ber::SmallInteger(p, version) < 0 || !r.Next(&rid)) return false;
  rcp->rid_tag = rid.tag;
  if (rid.tag == der::kSequence) {
    if (!ber::Whole(p, rid, &rcp->rid)) return false;
  } else if (rid.tag != der::kContext0Prim || !ber::Value(p, rid, &rcp->rid)) {
    return false;
  }
  if (!r.Expect(der::kSequence, &alg) || !r.Next(&key) || !IsOctetString(key) ||
      !ber::Value(p, key, &rcp->encrypted_key) || !r.AtEnd()) {
    return false;
  }
  Element alg_id;
  Reader ralg(p, alg);
  return ralg.Expect(der::kOid, &alg_id) && ber::Value(p, alg_id, &rcp->key_alg);
}

// The content cipher and its IV: 0, NOT_STRUCTURE, WEAK_CIPHER or
// UNSUPPORTED.
int32_t ReadContentCipher(const Pieces& p, const Element& alg, Envelope* env) {
  Element id, params;
  der::Bytes cipher_oid;
  Reader r(p, alg);
  if (alg.tag != der::kSequence || !r.Expect(der::kOid, &id) || !ber::Value(p, id, &cipher_oid)) {
    return EXCHPACK_ERR_NOT_STRUCTURE;
  }
  const CipherRow* row = nullptr;
  for (const CipherRow& c : kCiphers) {
    if (*c.oid == cipher_oid) row = &c;
  }
  if (row == nullptr) return EXCHPACK_ERR_UNSUPPORTED;
  if (row->cipher == nullptr) return EXCHPACK_ERR_WEAK_CIPHER;
  env->cipher = row->cipher();
  if (!r.Next(&params) || !IsOctetString(params) || !ber::Value(p, params, &env->iv) ||
      env->iv.size() != kBlockSize || !r.AtEnd()) {
    return EXCHPACK_ERR_NOT_STRUCTURE;
  }
  return EXCHPACK_OK;
}

int32_t ReadEnvelope(const Pieces& p, Envelope* env) {
  constexpr int32_t kBad = EXCHPACK_ERR_NOT_STRUCTURE;
  Element ci, type, a0, ed;
  Reader top(p, 0, p.size());
  if (!top.Expect(der::kSequence, &ci) || !top.AtEnd()) return kBad;
  Reader rci(p, ci);
  if (!rci.Next(&type)) return kBad;
  // AES-GCM comes as an AuthEnvelopedData, which this library does not open.
  if (ber::IsOid(p, type, alg::kAuthEnvelopedData)) return EXCHPACK_ERR_UNSUPPORTED;
  if (!ber::IsOid(p, type, oid::kEnvelopedData) || !rci.Expect(der::kContext0, &a0) ||
      !rci.AtEnd()) {
    return kBad;
  }
  Reader ra0(p, a0);
  if (!ra0.Expect(der::kSequence, &ed) || !ra0.AtEnd()) return kBad;

  Element version, originator, infos, eci, unprotected;
  Reader red(p, ed);
  if (!red.Next(&version) || ber::SmallInteger(p, version) < 0) return kBad;
  if (red.PeekTag() == der::kContext0 && !red.Next(&originator)) return kBad;
  if (!red.Expect(der::kSet, &infos) || !red.Expect(der::kSequence, &eci)) return kBad;
  if (red.PeekTag() == der::kContext1 && !red.Next(&unprotected)) return kBad;
  if (!red.AtEnd()) return kBad;

  Reader rinfos(p, infos);
  while (!rinfos.AtEnd()) {
    Element info;
    if (!rinfos.Next(&info)) return kBad;
    if (info.tag != der::kSequence) continue;  // not a key transport recipient
    Recipient rcp;
    if (!ReadRecipient(p, info, &rcp)) return kBad;
    env->recipients.push_back(std::move(rcp));
  }

  Element ctype, content_alg, ciphertext;
  Reader reci(p, eci);
  if (!reci.Next(&ctype) || !ber::IsOid(p, ctype, oid::kData) ||
      !reci.Expect(der::kSequence, &content_alg)) {
    return kBad;
  }
  if (int32_t rc = ReadContentCipher(p, content_alg, env); rc != EXCHPACK_OK) return rc;
  if (!reci.Next(&ciphertext) || !reci.AtEnd() ||
      !ber::OctetPieces(p, ciphertext, der::kContext0Prim, &env->ciphertext)) {
    return kBad;
  }
  return EXCHPACK_OK;
}

// The recipient entry of the card's encryption certificate, or null.
const Recipient* FindRecipient(const Envelope& env, X509* card_cert) {
  const der::Bytes ias = IssuerAndSerial(card_cert);
  const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(card_cert);
  for (const Recipient& r : env.recipients) {
    if (r.rid_tag == der::kSequence && r.rid == ias) return &r;
    if (r.rid_tag == der::kContext0Prim && ski != nullptr &&
        der::Span{r.rid.data(), r.rid.size()}.Equals(
            ASN1_STRING_get0_data(ski), static_cast<size_t>(ASN1_STRING_length(ski)))) {
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

// A cipher context for CBC blocks without padding.
SslPtr<EVP_CIPHER_CTX> Decipher(const EVP_CIPHER* cipher, const uint8_t* key, const uint8_t* iv) {
  SslPtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (ctx == nullptr || EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key, iv) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
    return nullptr;
  }
  return ctx;
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
  // The card decrypts RSA PKCS#1 v1.5 only (not RSA-OAEP).
  if (recipient->key_alg != oid::kRsaEncryption) return EXCHPACK_ERR_UNSUPPORTED;

  ContentKey key;
  const int32_t rc = vorpin_prikey_decrypt(
      recipient->encrypted_key.data(), static_cast<int32_t>(recipient->encrypted_key.size()),
      key.bytes, &key.len, reinterpret_cast<const unsigned char*>(pin),
      static_cast<int32_t>(std::strlen(pin)));
  if (rc != VORPIN_OK) return CardCode(rc, EXCHPACK_ERR_KEY_DECRYPT);
  if (key.len != EVP_CIPHER_get_key_length(env.cipher)) return EXCHPACK_ERR_KEY_DECRYPT;

  // The last block first: its padding gives the plaintext's length, so a
  // corrupted end or a result too large for the record is refused before
  // anything is written.
  const Pieces& ct = env.ciphertext;
  const size_t n = ct.size();
  if (n == 0 || n % kBlockSize != 0) return EXCHPACK_ERR_CONTENT;
  struct Tail {
    uint8_t iv[kBlockSize];
    uint8_t block[kBlockSize];
    uint8_t plain[kBlockSize];
    ~Tail() { OPENSSL_cleanse(plain, sizeof plain); }
  } tail;
  if (n == kBlockSize) {
    std::memcpy(tail.iv, env.iv.data(), kBlockSize);
  } else if (!ct.Copy(n - 2 * kBlockSize, kBlockSize, tail.iv)) {
    return EXCHPACK_ERR_INTERNAL;
  }
  int len = 0;
  SslPtr<EVP_CIPHER_CTX> last = Decipher(env.cipher, key.bytes, tail.iv);
  if (!ct.Copy(n - kBlockSize, kBlockSize, tail.block) || last == nullptr ||
      EVP_DecryptUpdate(last.get(), tail.plain, &len, tail.block, kBlockSize) != 1 ||
      len != static_cast<int>(kBlockSize)) {
    return EXCHPACK_ERR_INTERNAL;
  }
  const size_t pad = tail.plain[kBlockSize - 1];
  bool padding_ok = pad >= 1 && pad <= kBlockSize;
  for (size_t i = 0; padding_ok && i < pad; ++i) padding_ok = tail.plain[kBlockSize - 1 - i] == pad;
  if (!padding_ok) return EXCHPACK_ERR_CONTENT;
  const size_t plain_len = n - pad;
  if (plain_len > static_cast<size_t>(out->length)) return EXCHPACK_ERR_OUTPUT_TOO_SMALL;

  // Everything that can fail short of the cipher itself is behind us: the
  // body goes straight into the output.
  const size_t body = n - kBlockSize;
  SslPtr<EVP_CIPHER_CTX> ctx = Decipher(env.cipher, key.bytes, env.iv.data());
  if (ctx == nullptr) return EXCHPACK_ERR_INTERNAL;
  uint8_t* to = out->data;
  const bool ok = Stream(ct, 0, body, [&](const uint8_t* d, size_t step) {
    int produced = 0;
    if (EVP_DecryptUpdate(ctx.get(), to, &produced, d, static_cast<int>(step)) != 1) return false;
    to += produced;
    return true;
  });
  if (!ok || static_cast<size_t>(to - out->data) != body) {
    OPENSSL_cleanse(out->data, body);
    return EXCHPACK_ERR_INTERNAL;
  }
  if (plain_len > body) std::memcpy(out->data + body, tail.plain, plain_len - body);
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
  if (layout.signer_cert.size() > static_cast<size_t>(out->length)) {
    return EXCHPACK_ERR_OUTPUT_TOO_SMALL;
  }
  std::memcpy(out->data, layout.signer_cert.data(), layout.signer_cert.size());
  out->length = static_cast<int32_t>(layout.signer_cert.size());
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

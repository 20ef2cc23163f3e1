// The SignedData of a signature: building it around a card signature,
// parsing it strictly and checking its signers.
#ifndef SIGENV_ENVELOPE_H
#define SIGENV_ENVELOPE_H

#include <openssl/pkcs7.h>
#include <stddef.h>

#include <vector>

namespace sigenv {

// The card side of signing: the signing certificate and a PKCS#1 v1.5
// signature over a DER DigestInfo. Both answer 0 or a sigenv_result code.
class CardSigner {
 public:
  virtual ~CardSigner() = default;
  virtual int Certificate(std::vector<unsigned char>* der) = 0;
  virtual int SignDigestInfo(const std::vector<unsigned char>& digest_info, const char* pin,
                             std::vector<unsigned char>* signature) = 0;
};

// The DER SignedData over content: the content embedded as data, SHA-256,
// signed attributes (content type, signing time, message digest), the
// signer's certificate as certificate 0. 0 or a sigenv_result code.
int MakeSignedData(const unsigned char* content, size_t size, const char* pin, CardSigner* signer,
                   std::vector<unsigned char>* der);

// A SignedData parsed from exactly these bytes (DER, nothing after it) whose
// content type is data; null for anything else.
PKCS7* ParseSignedData(const unsigned char* bytes, size_t size);

// The embedded content, or false when there is none.
bool EmbeddedContent(PKCS7* p7, const unsigned char** data, size_t* size);

// Checks each signer cryptographically with its certificate from the
// signature; ok (one flag per signer, or null) receives each verdict.
// 0 when there is at least one signer and all verified.
int VerifySigners(PKCS7* p7, bool* ok);

}  // namespace sigenv

#endif

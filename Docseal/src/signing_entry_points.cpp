// The flat entry points that sign and verify files and directories. Each
// call makes one Pkcs7Signature, drives it and drops it before it returns.
#include <string.h>

#include <string>

#include "Docseal.h"
#include "name_text.h"
#include "signature_object.h"
#include "signing_texts.h"

namespace {

using docseal::Guarded;

std::string Text(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

void CopyOut(char* out, const std::string& text) {
  if (out == nullptr) return;
  memcpy(out, text.c_str(), text.size() + 1);
}

// Docguard_init(1); a start that failed gives 11 (the PKCS#7 library has
// already released what the start left behind).
bool StartSigning() { return Docguard_init(1) == 0; }

// Stops the PKCS#7 library on every way out once it was started.
class SigningSession {
 public:
  SigningSession() = default;
  ~SigningSession() { Docguard_fini(1); }
  SigningSession(const SigningSession&) = delete;
  SigningSession& operator=(const SigningSession&) = delete;
};

}  // namespace

extern "C" DOCSEAL_API int32_t DOCSEAL_STDCALL Signature(const char* signInfo, const char* pin,
                                                         const char* path, const char* sigPath) {
  return Guarded([&]() -> int32_t {
    const std::string target = Text(path), secret = Text(pin);
    if (target.empty()) return DOCSEAL_ERR_PATH;
    if (secret.empty()) return DOCSEAL_ERR_PIN;
    Pkcs7Signature sig;
    sig.setSignInfo(Text(signInfo));
    sig.setSigFileName(Text(sigPath));
    if (!sig.setFilename(target)) return DOCSEAL_ERR_PATH;
    sig.setPassword(secret);
    if (!StartSigning()) return DOCSEAL_ERR_START;
    int32_t rc;
    {
      SigningSession session;
      rc = sig.Sign();
    }
    return rc == DOCSEAL_OK ? sig.write2File(Text(sigPath)) : rc;
  });
}

extern "C" DOCSEAL_API int32_t DOCSEAL_STDCALL SignMulti(const char* signInfo, const char* pin,
                                                         const char* list) {
  return Guarded([&]() -> int32_t {
    const std::string names = Text(list), secret = Text(pin);
    if (names.empty()) return DOCSEAL_ERR_PATH;
    if (secret.empty()) return DOCSEAL_ERR_PIN;
    Pkcs7Signature sig;
    sig.setSignInfo(Text(signInfo));
    sig.setPassword(secret);
    if (!StartSigning()) return DOCSEAL_ERR_START;
    SigningSession session;
    int32_t result = DOCSEAL_OK;
    for (const std::string& name : docseal::SplitEntries(names, ';')) {
      // An empty name would be taken as the current directory.
      if (name.empty()) return DOCSEAL_ERR_PATH;
      // The signature lies beside the name; naming it first keeps the walk
      // of a directory from leaving out a "dir.sig" the directory holds, as
      // Verify with this signature path walks it too.
      sig.setSigFileName(name + ".sig");
      if (!sig.setFilename(name)) return DOCSEAL_ERR_PATH;
      const int32_t rc = sig.Sign();
      if (rc != DOCSEAL_OK) return rc;
      // A failed write stays reported when a later one succeeds.
      if (sig.write2File(name + ".sig") != DOCSEAL_OK) result = DOCSEAL_ERR_WRITE;
    }
    return result;
  });
}

extern "C" DOCSEAL_API int32_t DOCSEAL_STDCALL Verify(char* signInfoOut, const char* path,
                                                      const char* sigPath) {
  return Guarded([&]() -> int32_t {
    const std::string target = Text(path), signature = Text(sigPath);
    if (target.empty() && signature.empty()) return DOCSEAL_ERR_PATH;
    Pkcs7Signature sig;
    sig.setSigFileName(signature);
    const int32_t rc = docseal::VerifyTarget(&sig, target);
    if (rc == DOCSEAL_ERR_PATH && sig.digest == nullptr) return rc;
    CopyOut(signInfoOut, sig.getSignInfo());
    return rc;
  });
}

extern "C" DOCSEAL_API int32_t DOCSEAL_STDCALL VerifyDirLocal(char* signInfoOut,
                                                              const char* sigPath) {
  return Guarded([&]() -> int32_t {
    const std::string signature = Text(sigPath);
    if (signature.empty()) return DOCSEAL_ERR_PATH;
    Pkcs7Signature sig;
    sig.setSigFileName(signature);
    sig.hashDirLocal();
    const int32_t rc = sig.verify();
    CopyOut(signInfoOut, sig.getSignInfo());
    return rc;
  });
}

extern "C" DOCSEAL_API int32_t DOCSEAL_STDCALL GetSignCertificateFromSignature(const char* sigPath,
                                                                               char* certOut) {
  return Guarded([&]() -> int32_t {
    const std::string signature = Text(sigPath);
    if (signature.empty()) return DOCSEAL_ERR_PATH;
    Pkcs7Signature sig;
    sig.setSigFileName(signature);
    const std::string cert = sig.getB64Cert(0);
    if (cert.empty()) return DOCSEAL_ERR_NO_CERT;
    CopyOut(certOut, cert);
    return DOCSEAL_OK;
  });
}

extern "C" DOCSEAL_API int32_t DOCSEAL_STDCALL SignTimestamp(const char* pin, char* signatureOut) {
  return Guarded([&]() -> int32_t {
    const std::string secret = Text(pin);
    if (secret.empty()) return DOCSEAL_ERR_PIN;
    if (!StartSigning()) return DOCSEAL_ERR_START;
    Pkcs7Signature sig;
    int32_t rc;
    {
      SigningSession session;
      sig.setSignInfo(docseal::kTimestampText);
      sig.setPassword(secret);
      rc = sig.Sign();
    }
    if (rc == DOCSEAL_OK) CopyOut(signatureOut, sig.getB64Signature());
    return rc;
  });
}

extern "C" DOCSEAL_API int32_t DOCSEAL_STDCALL GetSignInfo(char* signInfoOut, const char* sigPath) {
  return Guarded([&]() -> int32_t {
    const std::string signature = Text(sigPath);
    if (signature.empty()) return DOCSEAL_ERR_PATH;
    Pkcs7Signature sig;
    sig.setSigFileName(signature);
    const std::string text = sig.getSignInfo();
    if (text.empty()) return DOCSEAL_ERR_PATH;
    CopyOut(signInfoOut, text);
    return DOCSEAL_OK;
  });
}

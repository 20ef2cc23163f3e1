// The flat entry points for the card and its certificate. Each makes its
// own ICCertificate and leaves nothing behind.
#include <cstring>
#include <string>

#include "Docseal.h"
#include "card_codes.h"
#include "vorpin_cardlock.h"
#include "vorpin_dll.h"

// Lets the entry points reach the class's internal field reader.
struct ICCertificateAccess {
  struct Infos {
    std::string subject, email, ext_tail, valid_from, valid_to;
  };
  static Infos Read(ICCertificate& cert) {
    Infos infos;
    cert.getInfos4Sign(infos.subject, infos.email, infos.ext_tail, infos.valid_from,
                       infos.valid_to);
    return infos;
  }
};

namespace {

void CopyText(char* out, const std::string& text) {
  if (out != nullptr) {
    std::memcpy(out, text.c_str(), text.size() + 1);
  }
}

// The five fields in the entry points' argument order: the extension tail
// comes last, after the validity texts.
void CopyInfos(const ICCertificateAccess::Infos& infos, char* subject, char* email, char* notBefore,
               char* notAfter, char* extensionTail) {
  CopyText(subject, infos.subject);
  CopyText(email, infos.email);
  CopyText(extensionTail, infos.ext_tail);
  CopyText(notBefore, infos.valid_from);
  CopyText(notAfter, infos.valid_to);
}

}  // namespace

extern "C" {

DOCSEAL_API int32_t DOCSEAL_STDCALL VerifyPIN(const char* pin) {
  return docseal::GuardedCall(DOCSEAL_ERR_CARD, [pin] {
    if (pin[0] == '\0') {
      return static_cast<int32_t>(DOCSEAL_ERR_PIN);
    }
    // No other card work in the process runs between the start and the stop.
    const vorpin::CardLock lock;
    if (vorpin_init() != VORPIN_OK) {
      // Release a half-done start so that a later call can succeed.
      vorpin_fini();
      return static_cast<int32_t>(DOCSEAL_ERR_START);
    }
    const int32_t code = vorpin_check_pin_valid(reinterpret_cast<const unsigned char*>(pin),
                                                static_cast<int32_t>(std::strlen(pin)));
    vorpin_fini();
    return docseal::MapPinCheckCode(code);
  });
}

DOCSEAL_API int32_t DOCSEAL_STDCALL GetInfosFromICCard(char* subject, char* email, char* notBefore,
                                                       char* notAfter, char* extensionTail) {
  return docseal::GuardedCall(DOCSEAL_ERR_CARD, [&] {
    ICCertificate cert;
    const int32_t code = cert.getSignCert();
    if (code != DOCSEAL_OK) {
      return code;
    }
    // Every text is made before the first output is written.
    const ICCertificateAccess::Infos infos = ICCertificateAccess::Read(cert);
    CopyInfos(infos, subject, email, notBefore, notAfter, extensionTail);
    return static_cast<int32_t>(DOCSEAL_OK);
  });
}

DOCSEAL_API int32_t DOCSEAL_STDCALL VerifyCertificate(const char* serviceUrl, const char* certB64) {
  return docseal::GuardedCall(DOCSEAL_ERR_SERVICE, [&] {
    if (certB64[0] == '\0') {
      return static_cast<int32_t>(DOCSEAL_ERR_EMPTY_CERT);
    }
    ICCertificate cert;
    return cert.validate(serviceUrl, certB64);
  });
}

DOCSEAL_API int32_t DOCSEAL_STDCALL GetSignCertificateFromICCard(char* certB64, char* issuer,
                                                                 char* serial, char* subject,
                                                                 char* email, char* notBefore,
                                                                 char* notAfter,
                                                                 char* extensionTail) {
  return docseal::GuardedCall(DOCSEAL_ERR_CARD, [&] {
    ICCertificate cert;
    const int32_t code = cert.getSignCert();
    if (code != DOCSEAL_OK) {
      return code;
    }
    const std::string b64 = cert.getB64Cert4Sign();
    const std::string issuer_text = cert.getIssure4Sign(std::string());
    const std::string serial_text = cert.getSerial4Sign();
    const ICCertificateAccess::Infos infos = ICCertificateAccess::Read(cert);
    CopyText(certB64, b64);
    CopyText(issuer, issuer_text);
    CopyText(serial, serial_text);
    CopyInfos(infos, subject, email, notBefore, notAfter, extensionTail);
    return static_cast<int32_t>(DOCSEAL_OK);
  });
}

}  // extern "C"

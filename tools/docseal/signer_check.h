// What a signature file says about its signers, and whether they are
// trusted: the certificate that made each signature, checked up to a
// trusted root (the system's store and the CA files given), for its time
// and its key usage. The signer's own text is a claim anyone can write;
// only the certificate chain ties a signature to a person.
#ifndef DOCSEAL_TOOL_SIGNER_CHECK_H
#define DOCSEAL_TOOL_SIGNER_CHECK_H

#include <string>
#include <vector>

namespace signer_check {

struct Signer {
  std::string subject;       // the certificate's subject, one line, UTF-8
  std::string issuer;        // its issuer, the same way
  std::string signing_time;  // "YYYY-MM-DD HH:MM:SS UTC"; empty when not recorded
  std::string cert_der;      // the certificate (empty when the file lacks it)
  bool trusted = false;      // set by CheckTrust
  std::string trust_error;   // why not, set by CheckTrust
};

struct Facts {
  std::vector<Signer> signers;
  std::string content;     // the signed content
  bool timestamp = false;  // the content is the card's fixed time-stamp content
};

// Reads a PKCS#7 signature (DER). False with a message when it is none.
bool Read(const std::string& der, Facts* facts, std::string* error);

// Checks every signer's certificate chain against the system's trust store
// and ca_files (PEM or DER certificates, each file read whole). False with a
// message when a CA file cannot be used; the verdicts are in facts.
bool CheckTrust(const std::string& der, const std::vector<std::string>& ca_files, Facts* facts,
                std::string* error);

// True when each signature of der verifies with its signer's certificate
// (integrity only, no chain), for signatures that carry no file digest.
bool SignaturesVerify(const std::string& der);

// True when all signers are trusted (and there is at least one).
bool AllTrusted(const Facts& facts);

}  // namespace signer_check

#endif

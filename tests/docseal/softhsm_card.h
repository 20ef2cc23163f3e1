// What the tests know about the provisioned SoftHSM card, read back with the
// stock openssl command from the card's certificate files.
#ifndef TESTS_DOCSEAL_SOFTHSM_CARD_H
#define TESTS_DOCSEAL_SOFTHSM_CARD_H

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace softhsm_card {

inline std::string Dir() {
  const char* dir = std::getenv("VORPIN_CARD_DIR");
  if (dir == nullptr) throw std::runtime_error("VORPIN_CARD_DIR is not set");
  return dir;
}

inline std::string Pin() {
  const char* pin = std::getenv("VORPIN_CARD_PIN");
  return pin != nullptr ? pin : "123456";
}

inline std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// The signing certificate's DER bytes as provisioned.
inline std::vector<unsigned char> SignCertDer() { return ReadFile(Dir() + "/sign.crt.der"); }

// One field of `openssl x509 -noout -<option>` on the signing certificate,
// without its "name=" prefix and line end; names printed as the library
// prints them (comma-separated RDNs, UTF-8).
inline std::string OpensslField(const std::string& option) {
  const std::string command = "openssl x509 -noout -nameopt sep_comma_plus,utf8 -in '" + Dir() +
                              "/sign.crt.pem' -" + option;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run openssl");
  std::string out;
  char buf[512];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  pclose(pipe);
  const size_t eq = out.find('=');
  if (eq == std::string::npos) throw std::runtime_error("openssl said: " + out);
  out.erase(0, eq + 1);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

}  // namespace softhsm_card

#endif

// Pkcs7Signature::verify, getSignInfo and getB64Cert on signature files
// whose signature holds: the fuzz input is the signed content after the
// digest (list length, file list, signer text), signed here with a key of
// the target's own so that the content check and the search for added and
// missing names are reached. The digest in front is the fresh one of the
// file or directory, so the list comparison is what decides. The first
// input byte chooses a file or a directory.
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Docseal.h"

namespace {

struct Signer {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  std::string dir;
};

void WriteText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

// Made once and kept for the process (its folder is removed at exit).
const Signer& TheSigner() {
  static const Signer* const signer = [] {
    Signer* made = new Signer;
    Signer& s = *made;
    s.key = EVP_RSA_gen(1024);
    s.cert = X509_new();
    if (s.key == nullptr || s.cert == nullptr) abort();
    ASN1_INTEGER_set(X509_get_serialNumber(s.cert), 1);
    X509_NAME* name = X509_get_subject_name(s.cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Fuzz Signer"), -1, -1, 0);
    X509_set_issuer_name(s.cert, name);
    X509_gmtime_adj(X509_getm_notBefore(s.cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(s.cert), 3600);
    X509_set_pubkey(s.cert, s.key);
    if (X509_sign(s.cert, s.key, EVP_sha256()) <= 0) abort();
    char tmpl[] = "/tmp/docseal_verify_fuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    s.dir = tmpl;
    std::atexit([] { std::filesystem::remove_all(TheSigner().dir); });
    WriteText(s.dir + "/file.txt", "signed file\n");
    const std::string tree = s.dir + "/tree";
    if (mkdir(tree.c_str(), 0700) != 0 || mkdir((tree + "/Sub").c_str(), 0700) != 0) abort();
    WriteText(tree + "/a.txt", "a");
    WriteText(tree + "/B.txt", "");
    WriteText(tree + "/Sub/c.bin", "ccc");
    return made;
  }();
  return *signer;
}

// The DER PKCS#7 SignedData over content, content embedded.
std::vector<unsigned char> SignContent(const Signer& s, const std::vector<unsigned char>& content) {
  BIO* in = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
  PKCS7* p7 = in != nullptr ? PKCS7_sign(s.cert, s.key, nullptr, in, PKCS7_BINARY) : nullptr;
  std::vector<unsigned char> der;
  if (p7 != nullptr) {
    const int n = i2d_PKCS7(p7, nullptr);
    if (n > 0) {
      der.resize(static_cast<size_t>(n));
      unsigned char* p = der.data();
      i2d_PKCS7(p7, &p);
    }
  }
  PKCS7_free(p7);
  BIO_free(in);
  return der;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  const Signer& s = TheSigner();
  const bool directory = (data[0] & 1) != 0;
  const std::string target = s.dir + (directory ? "/tree" : "/file.txt");
  const std::string sig_path = s.dir + "/input.sig";

  // The fresh digest of the target, then the input as the rest.
  Pkcs7Signature fresh;
  if (!fresh.setFilename(target) || fresh.digest == nullptr) abort();
  std::vector<unsigned char> content(fresh.digest, fresh.digest + fresh.digestLength);
  content.insert(content.end(), data + 1, data + size);
  const std::vector<unsigned char> der = SignContent(s, content);
  if (der.empty()) return 0;
  WriteText(sig_path, std::string(der.begin(), der.end()));

  Pkcs7Signature check;
  if (!check.setFilename(target)) abort();
  check.setSigFileName(sig_path);
  const int32_t rc = check.verify();
  if (rc != DOCSEAL_OK && rc != DOCSEAL_ERR_FILE_MISMATCH && rc != DOCSEAL_ERR_DIR_MISMATCH &&
      rc != DOCSEAL_ERR_NOT_PKCS7 && rc != DOCSEAL_ERR_SIGNATURE) {
    abort();
  }
  (void)check.getSignInfo();

  Pkcs7Signature reader;
  reader.setSigFileName(sig_path);
  (void)reader.getSignInfo();
  if (reader.getB64Cert(0).empty()) abort();  // the signer's certificate is in every one
  (void)reader.getB64Cert(1);
  return 0;
}

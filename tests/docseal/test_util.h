// Files, trees and signatures for the signing library's tests.
#ifndef TESTS_DOCSEAL_TEST_UTIL_H
#define TESTS_DOCSEAL_TEST_UTIL_H

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace docseal_test {

using Bytes = std::vector<unsigned char>;

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Makes the files (relative path, content) below root, with the
// directories they need, in the order given.
inline void MakeTree(const std::string& root,
                     const std::vector<std::pair<std::string, std::string>>& files) {
  mkdir(root.c_str(), 0755);
  for (const auto& f : files) {
    for (size_t slash = f.first.find('/'); slash != std::string::npos;
         slash = f.first.find('/', slash + 1)) {
      mkdir((root + "/" + f.first.substr(0, slash)).c_str(), 0755);
    }
    WriteFile(root + "/" + f.first, f.second);
  }
}

inline Bytes Sha1(const std::string& data) {
  Bytes out(20);
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha1(), nullptr);
  return out;
}

inline std::string AsText(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The signed content: digest, 32-bit little-endian list length, list, text.
inline std::string ContentRecord(const Bytes& digest, const std::string& list,
                                 const std::string& text) {
  std::string out = AsText(digest);
  const uint32_t n = static_cast<uint32_t>(list.size());
  for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xff);
  return out + list + text;
}

// A fresh directory below the test temporary directory, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = ::testing::TempDir() + "docseal_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    path_ = mkdtemp(buf.data());
  }
  ~TempDir() {
    std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Exit status of a shell command.
inline int RunShell(const std::string& cmd) {
  int status = system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What the stock openssl tool prints as the content of a DER signature
// file it verified (without judging trust); "<failed>" when it refused.
inline std::string OpensslContent(const std::string& sig_path) {
  const std::string out = sig_path + ".content";
  const int rc = RunShell("openssl cms -verify -inform DER -noverify -binary -in '" + sig_path +
                          "' -out '" + out + "' 2>/dev/null");
  std::string content = rc == 0 ? ReadFile(out) : std::string("<failed>");
  unlink(out.c_str());
  return content;
}

// The Big5 texts of the signing library.
inline const std::string kMismatch =
    "\xc0\xc9\xae\xd7\xa4\xba\xae\x65\xbb\x50\xc3\xb1\xb3\xb9\xad\xc8\xa4\xa3\xb2\xc5";
inline const std::string kHoldsMore = "\x2c\x20\xa5\xd8\xbf\xfd\xa4\xa4\xa6\x68\xa4\x46";
inline const std::string kLacks = "\x2c\x20\xa5\xd8\xbf\xfd\xa4\xa4\xa4\xd6\xa4\x46";
inline const std::string kTimestamp = "\xae\xc9\xc2\x57\xc3\xb1\xb3\xb9";

}  // namespace docseal_test

#endif

// Small helpers shared by the card library's tests: bytes and files, the
// stock openssl command, and the messages of the traced library build.
#ifndef TESTS_CARDCRYPTO_TEST_SUPPORT_H
#define TESTS_CARDCRYPTO_TEST_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

// Only in the traced build of the library (vorpin_dll_traced).
extern "C" void vorpin_test_set_trace_sink(void (*sink)(const char* message));

namespace test_support {

using Bytes = std::vector<unsigned char>;

inline Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::string ToHex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// Never null, also for no bytes: a pointer with length 0 is "empty input",
// not "no input".
inline const unsigned char* Ptr(const Bytes& bytes) {
  static const unsigned char kNothing = 0;
  return bytes.empty() ? &kNothing : bytes.data();
}

inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Runs a shell command; true when it exited with 0.
inline bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// Runs a shell command and returns what it printed on standard output.
inline std::string Capture(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

inline std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// A file of the provisioned SoftHSM2 card (keys, certificates), found through
// the VORPIN_CARD_DIR that ctest sets for the card's tests.
inline std::string CardFile(const std::string& name) { return Env("VORPIN_CARD_DIR") + "/" + name; }

// The messages of the traced library since the last Clear().
class TraceLog {
 public:
  static TraceLog& Get() {
    static TraceLog log;
    return log;
  }
  void Install() { vorpin_test_set_trace_sink(&TraceLog::Sink); }
  void Clear() { messages_.clear(); }
  const std::vector<std::string>& messages() const { return messages_; }
  bool Contains(const std::string& message) const {
    for (const auto& m : messages_) {
      if (m == message) return true;
    }
    return false;
  }
  std::string Joined() const {
    std::ostringstream out;
    for (const auto& m : messages_) out << m << "\n";
    return out.str();
  }

 private:
  static void Sink(const char* message) { Get().messages_.emplace_back(message); }
  std::vector<std::string> messages_;
};

}  // namespace test_support

#endif

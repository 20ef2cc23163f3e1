#include "cli.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/files.h"
#include "platform/module.h"

namespace cli {
namespace {

namespace fs = std::filesystem;

struct Phrase {
  const char* big5;
  const char* gloss;
};
// The libraries' own texts, as the Big5 bytes they produce.
const Phrase kPhrases[] = {
    // 檔案內容與簽章值不符: the file's content does not match the signature value
    {"\xc0\xc9\xae\xd7\xa4\xba\xae\x65\xbb\x50\xc3\xb1\xb3\xb9\xad\xc8\xa4\xa3\xb2\xc5",
     "the content does not match the signature value"},
    // , 目錄中多了: the directory also holds
    {", \xa5\xd8\xbf\xfd\xa4\xa4\xa6\x68\xa4\x46", ", the directory also holds:"},
    // , 目錄中少了: the directory lacks
    {", \xa5\xd8\xbf\xfd\xa4\xa4\xa4\xd6\xa4\x46", ", the directory lacks:"},
    // 時戳簽章: time-stamp signature
    {"\xae\xc9\xc2\x57\xc3\xb1\xb3\xb9", "time-stamp signature"},
};

bool Iconv(const char* to, const char* from, const std::string& in, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string result(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = &result[0];
  size_t dst_left = result.size();
  size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
  bool ok = r != static_cast<size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &dst, &dst_left) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok) return false;
  result.resize(result.size() - dst_left);
  *out = result;
  return true;
}

const char* LocaleCodeset() {
  const char* cs = nl_langinfo(CODESET);
  return cs != nullptr && *cs != '\0' ? cs : "ANSI_X3.4-1968";
}

// Splits text into the libraries' phrases and the bytes between them and
// hands each piece to emit(piece, phrase-or-null).
void Segments(const std::string& text,
              const std::function<void(const std::string&, const Phrase*)>& emit) {
  std::string other;
  size_t i = 0;
  while (i < text.size()) {
    const Phrase* hit = nullptr;
    for (const Phrase& p : kPhrases) {
      size_t n = std::strlen(p.big5);
      if (text.compare(i, n, p.big5) == 0) {
        hit = &p;
        break;
      }
    }
    if (hit == nullptr) {
      other += text[i++];
      continue;
    }
    if (!other.empty()) emit(other, nullptr);
    other.clear();
    emit(hit->big5, hit);
    i += std::strlen(hit->big5);
  }
  if (!other.empty()) emit(other, nullptr);
}

// Appends the valid UTF-8 of s, each invalid byte as U+FFFD, or with
// escape as "\xNN".
void AppendUtf8(const std::string& s, std::string* out, bool escape = false) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size(), i = 0;
  while (i < n) {
    unsigned char c = p[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool ok = len != 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) ok = (p[i + k] & 0xc0) == 0x80;
    if (ok && len == 2) ok = c >= 0xc2;
    if (ok && len == 3) {
      unsigned cp = (c & 0x0fu) << 12 | (p[i + 1] & 0x3fu) << 6 | (p[i + 2] & 0x3fu);
      ok = cp >= 0x800 && (cp < 0xd800 || cp > 0xdfff);
    }
    if (ok && len == 4) {
      unsigned cp = (c & 0x07u) << 18 | (p[i + 1] & 0x3fu) << 12;
      ok = cp >= 0x10000 && cp <= 0x10ffff;
    }
    if (ok) {
      out->append(s, i, len);
      i += len;
    } else if (escape) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      *out += buf;
      ++i;
    } else {
      *out += "\xef\xbf\xbd";
      ++i;
    }
  }
}

uint64_t BytesReadSoFar() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return 0;
}

void Measure(const fs::path& dir, const std::string& prefix, TreeSize* size, int depth) {
  std::error_code ec;
  if (depth > 256) return;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = prefix + it->path().filename().string();
    std::error_code e2;
    bool link = it->is_symlink(e2);
    if (it->is_directory(e2)) {
      if (link) continue;
      size->name_bytes += name.size() + 2;
      Measure(it->path(), name + "/", size, depth + 1);
    } else if (it->is_regular_file(e2)) {
      size->files++;
      size->bytes += it->file_size(e2);
      size->name_bytes += name.size() + 2;
    }
  }
}

}  // namespace

int Fail(const char* prog, int32_t code, const std::vector<CodeText>& table) {
  const char* text = "unknown result code";
  for (const auto& c : table) {
    if (c.code == code) text = c.text;
  }
  std::fprintf(stderr, "%s: %d %s: %s\n", prog, static_cast<int>(code),
               CodeName(code, table).c_str(), text);
  return static_cast<int>(static_cast<uint32_t>(code) & 0xffu);
}

int Error(const char* prog, const std::string& message) {
  // The message may quote names: shown as ForDisplay shows them.
  std::fprintf(stderr, "%s: %s\n", prog, ForDisplay(message).c_str());
  return kToolError;
}

std::string CodeName(int32_t code, const std::vector<CodeText>& table) {
  for (const auto& c : table) {
    if (c.code == code) return c.name;
  }
  return "CODE_" + std::to_string(code);
}

Args::Args(int argc, char** argv, std::vector<std::string> value_options,
           std::vector<std::string> flags) {
  bool only_positional = false;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (only_positional || a.size() < 2 || a[0] != '-' || a == "-") {
      positional_.push_back(a);
      continue;
    }
    if (a == "--") {
      only_positional = true;
      continue;
    }
    std::string value;
    bool has_value = false;
    size_t eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = a.substr(eq + 1);
      a = a.substr(0, eq);
      has_value = true;
    }
    bool is_value = false, is_flag = false;
    for (const auto& v : value_options) is_value = is_value || v == a;
    for (const auto& f : flags) is_flag = is_flag || f == a;
    if (is_flag && !has_value) {
      flags_.push_back(a);
    } else if (is_value) {
      if (!has_value) {
        if (i + 1 >= argc) {
          error_ = "option " + a + " needs a value";
          return;
        }
        value = argv[++i];
      }
      values_.emplace_back(a, value);
    } else {
      error_ = "unknown option " + a;
      return;
    }
  }
}

bool Args::Has(const std::string& name) const {
  for (const auto& f : flags_) {
    if (f == name) return true;
  }
  for (const auto& v : values_) {
    if (v.first == name) return true;
  }
  return false;
}

std::vector<std::string> Args::Values(const std::string& name) const {
  std::vector<std::string> out;
  for (const auto& v : values_) {
    if (v.first == name) out.push_back(v.second);
  }
  return out;
}

std::string Args::Value(const std::string& name, const std::string& fallback) const {
  std::string out = fallback;
  for (const auto& v : values_) {
    if (v.first == name) out = v.second;
  }
  return out;
}

const std::vector<std::string> kPinOptions = {"--pin-fd", "--pin-file"};
const std::vector<std::string> kPinFlags = {"--pin-stdin"};
const char* const kPinHelp =
    "The PIN is asked for on the terminal without echo, or read (its first\n"
    "line) with --pin-stdin from standard input, --pin-fd N from file\n"
    "descriptor N, or --pin-file FILE. It is never taken from an argument.\n";

namespace {

bool ReadLineFromFd(int fd, std::string* line) {
  line->clear();
  char c;
  while (line->size() < 1024) {
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0 || c == '\n') break;
    *line += c;
  }
  OPENSSL_cleanse(&c, 1);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

// Turns off the echo of a terminal for as long as it lives (the newline
// still shows); does nothing for a descriptor that is no terminal.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd), active_(tcgetattr(fd, &old_) == 0) {
    if (!active_) return;
    termios quiet = old_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(fd_, TCSAFLUSH, &quiet);
  }
  ~EchoOff() {
    if (active_) tcsetattr(fd_, TCSAFLUSH, &old_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios old_{};
  bool active_;
};

}  // namespace

namespace {

bool ReadPinFrom(const Args& args, std::string* pin, std::string* error);

}  // namespace

bool ReadPin(const Args& args, std::string* pin, std::string* error) {
  if (!ReadPinFrom(args, pin, error)) return false;
  // An empty PIN cannot be right and would use up one of the card's tries.
  if (pin->empty()) {
    *error = "the PIN is empty";
    return false;
  }
  return true;
}

namespace {

bool ReadPinFrom(const Args& args, std::string* pin, std::string* error) {
  int sources = args.Has("--pin-stdin") + args.Has("--pin-fd") + args.Has("--pin-file");
  if (sources > 1) {
    *error = "give the PIN one way only";
    return false;
  }
  if (args.Has("--pin-stdin")) {
    // Standard input may be the terminal itself: the PIN is typed unseen.
    // The echo goes off before the prompt shows, so nothing typed after it
    // is seen.
    EchoOff quiet(0);
    if (isatty(0) == 1) std::fputs("PIN: ", stderr);
    if (!ReadLineFromFd(0, pin)) {
      *error = std::string("cannot read the PIN from standard input: ") + std::strerror(errno);
      return false;
    }
    return true;
  }
  if (args.Has("--pin-fd")) {
    std::string v = args.Value("--pin-fd");
    char* end = nullptr;
    long fd = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || fd < 0 || fd > 65535) {
      *error = "--pin-fd needs a file descriptor number";
      return false;
    }
    if (!ReadLineFromFd(static_cast<int>(fd), pin)) {
      *error = "cannot read the PIN from descriptor " + v + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  if (args.Has("--pin-file")) {
    std::string path = args.Value("--pin-file");
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      *error = "cannot open the PIN file '" + path + "': " + std::strerror(errno);
      return false;
    }
    bool ok = ReadLineFromFd(fd, pin);
    close(fd);
    if (!ok) *error = "cannot read the PIN file '" + path + "'";
    return ok;
  }
  int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty < 0) {
    *error = "no terminal to ask for the PIN: use --pin-stdin, --pin-fd or --pin-file";
    return false;
  }
  bool ok;
  {
    EchoOff quiet(tty);
    static const char kPrompt[] = "PIN: ";
    (void)!write(tty, kPrompt, sizeof kPrompt - 1);
    ok = ReadLineFromFd(tty, pin);
  }
  close(tty);
  if (!ok) *error = "cannot read the PIN from the terminal";
  return ok;
}

}  // namespace

void Wipe(std::string* s) {
  if (!s->empty()) OPENSSL_cleanse(&(*s)[0], s->size());
  s->clear();
}

namespace {

// The text with every control byte as "\xNN": the C0 controls, DEL, and
// the C1 controls as the terminal's encoding carries them (U+0080 to U+009F
// in UTF-8, the bytes 0x80 to 0x9F in a one-byte encoding), so that a name
// or a signer's text cannot move the cursor or rewrite a line. A backslash
// before "x" becomes "\x5c": every "\xNN" shown is one escaped byte, and
// the text can be told back exactly.
std::string EscapeControls(const std::string& text, bool utf8, bool one_byte) {
  std::string out;
  auto escape = [&out](unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", c);
    out += buf;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
    if (c < 0x20 || c == 0x7f || (one_byte && c >= 0x80 && c < 0xa0) ||
        (c == '\\' && next == 'x')) {
      escape(c);
    } else if (utf8 && c == 0xc2 && next >= 0x80 && next < 0xa0) {
      escape(c);
      escape(static_cast<unsigned char>(next));
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::string ForDisplay(const std::string& text) {
  std::string out;
  const char* codeset = LocaleCodeset();
  Segments(text, [&](const std::string& piece, const Phrase* phrase) {
    std::string converted;
    if (phrase == nullptr) {
      out += piece;
    } else if (Iconv(codeset, "BIG5", piece, &converted)) {
      out += converted;
    } else {
      out += phrase->gloss;
    }
  });
  return EscapeControls(out, std::strcmp(codeset, "UTF-8") == 0, MB_CUR_MAX == 1);
}

std::string Utf8(const std::string& text) {
  std::string utf8;
  const char* codeset = LocaleCodeset();
  bool locale_utf8 = std::strcmp(codeset, "UTF-8") == 0;
  Segments(text, [&](const std::string& piece, const Phrase* phrase) {
    std::string converted;
    const char* from = phrase != nullptr ? "BIG5" : codeset;
    if (phrase == nullptr && locale_utf8) {
      AppendUtf8(piece, &utf8);
    } else if (Iconv("UTF-8", from, piece, &converted)) {
      utf8 += converted;
    } else {
      AppendUtf8(piece, &utf8);
    }
  });
  return utf8;
}

std::string English(const std::string& text) {
  std::string out;
  Segments(text, [&](const std::string& piece, const Phrase* phrase) {
    out += phrase != nullptr ? phrase->gloss : piece;
  });
  return Utf8(out);
}

std::string NameUtf8(const std::string& name) {
  std::string out;
  AppendUtf8(name, &out, true);
  return out;
}

nlohmann::ordered_json JsonResult(int32_t code, const std::vector<CodeText>& table) {
  return nlohmann::ordered_json{{"code", code}, {"result", CodeName(code, table)}};
}

bool PrintJson(const char* prog, const nlohmann::ordered_json& object) {
  std::string text;
  try {
    text = object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  } catch (const std::exception& e) {
    Error(prog, std::string("cannot put the answer into JSON: ") + e.what());
    return false;
  }
  text += '\n';
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
    Error(prog, std::string("cannot write to standard output: ") + std::strerror(errno));
    return false;
  }
  return true;
}

std::string ModuleLoadError(const char* file_name) {
  dlerror();
  void* module = platform::LoadModule(file_name);
  if (module != nullptr) {
    platform::UnloadModule(module);
    return "";
  }
  const char* why = dlerror();
  return why != nullptr ? why : "the loader gives no reason";
}

const char* const kCardModule = "aetpkss1.dll";

void ExplainModuleLoad(const char* prog) {
  std::string why = ModuleLoadError(kCardModule);
  if (why.empty()) return;
  Error(prog, std::string("the card's module ") + kCardModule + " cannot be loaded: " + why +
                  " (see \"Using a real card\" in the README)");
}

bool ReadFile(const std::string& path, std::string* data, std::string* error, uint64_t max_bytes) {
  FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *error = "cannot open '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> owner(f != stdin ? f : nullptr, std::fclose);
  struct stat st {};
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<uint64_t>(st.st_size) > max_bytes) {
    *error = "'" + path + "' holds " + std::to_string(st.st_size) + " bytes, more than the " +
             std::to_string(max_bytes) + " bytes it may hold";
    return false;
  }
  data->clear();
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    data->append(buf, n);
    if (data->size() > max_bytes) {
      *error =
          "'" + path + "' holds more than the " + std::to_string(max_bytes) + " bytes it may hold";
      return false;
    }
  }
  bool ok = !std::ferror(f);
  if (!ok) *error = "cannot read '" + path + "': " + std::strerror(errno);
  return ok;
}

std::string OutputProblem(const std::string& path) {
  if (path == "-") return "";
  struct stat st {};
  std::string target = path;
  if (lstat(path.c_str(), &st) == 0) {
    // A link is followed: the file it names is what gets replaced.
    if (S_ISLNK(st.st_mode) && stat(path.c_str(), &st) != 0) {
      return "the output '" + path + "' is a link to nothing that can be written";
    }
    if (S_ISDIR(st.st_mode)) return "the output '" + path + "' is a directory";
    if (!S_ISREG(st.st_mode)) {
      return "the output '" + path +
             "' exists and is no regular file (a pipe or device is left as it is)";
    }
    std::unique_ptr<char, void (*)(void*)> real(realpath(path.c_str(), nullptr), std::free);
    if (real != nullptr) target = real.get();
  }
  size_t slash = target.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return "no directory '" + dir + "' for the output '" + path + "'";
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    return "cannot write into '" + dir + "' for the output '" + path + "': " + std::strerror(errno);
  }
  return "";
}

bool WriteFileAtomic(const std::string& path, const unsigned char* data, size_t size,
                     std::string* error) {
  if (path == "-") {
    if (std::fwrite(data, 1, size, stdout) != size || std::fflush(stdout) != 0) {
      *error = std::string("cannot write to standard output: ") + std::strerror(errno);
      return false;
    }
    return true;
  }
  std::string problem = OutputProblem(path);
  if (!problem.empty()) {
    *error = problem;
    return false;
  }
  errno = 0;
  if (!platform::WriteWholeFile(path, data, size)) {
    *error = "cannot write '" + path + "': " + std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  return true;
}

TreeSize MeasureTree(const std::string& path) {
  TreeSize size;
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    Measure(path, "", &size, 0);
  } else if (fs::is_regular_file(path, ec)) {
    size.files = 1;
    size.bytes = fs::file_size(path, ec);
  }
  return size;
}

int32_t WithProgress(const char* what, const std::function<uint64_t()>& measure,
                     const std::function<int32_t()>& work) {
  constexpr uint64_t kWorthShowing = 32u << 20;
  if (!isatty(2)) return work();
  const uint64_t total_bytes = measure();
  if (total_bytes < kWorthShowing) return work();
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  uint64_t start = BytesReadSoFar();
  std::thread shower([&] {
    std::unique_lock<std::mutex> lock(mu);
    while (!cv.wait_for(lock, std::chrono::milliseconds(250), [&] { return done; })) {
      uint64_t read = BytesReadSoFar() - start;
      if (read > total_bytes) read = total_bytes;
      std::fprintf(stderr, "\r%s: %llu of %llu MiB (%u%%)", what,
                   static_cast<unsigned long long>(read >> 20),
                   static_cast<unsigned long long>(total_bytes >> 20),
                   static_cast<unsigned>(read * 100 / total_bytes));
    }
    std::fprintf(stderr, "\r\033[K");
  });
  int32_t rc = work();
  {
    std::lock_guard<std::mutex> lock(mu);
    done = true;
  }
  cv.notify_one();
  shower.join();
  return rc;
}

std::string Base64(const std::string& der) {
  std::string b64(4 * ((der.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&b64[0]),
                          reinterpret_cast<const unsigned char*>(der.data()),
                          static_cast<int>(der.size()));
  b64.resize(static_cast<size_t>(n));
  return b64;
}

std::string ToPem(const std::string& der, const char* label) {
  std::string b64 = Base64(der);
  std::string out = std::string("-----BEGIN ") + label + "-----\n";
  for (size_t i = 0; i < b64.size(); i += 64) out += b64.substr(i, 64) + "\n";
  return out + "-----END " + label + "-----\n";
}

bool CertificateDer(const std::string& bytes, std::string* der_out) {
  std::string der;
  if (bytes.find("-----BEGIN") != std::string::npos) {
    std::unique_ptr<BIO, decltype(&BIO_free_all)> bio(
        BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), BIO_free_all);
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr, X509_free);
    unsigned char* out = nullptr;
    int n = cert ? i2d_X509(cert.get(), &out) : -1;
    if (n <= 0) return false;
    der.assign(reinterpret_cast<char*>(out), static_cast<size_t>(n));
    OPENSSL_free(out);
  } else {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        d2i_X509(nullptr, &p, static_cast<long>(bytes.size())), X509_free);
    if (cert) {
      der = bytes;
    } else {
      std::string raw;
      if (!FromBase64(bytes, &raw)) return false;
      p = reinterpret_cast<const unsigned char*>(raw.data());
      cert.reset(d2i_X509(nullptr, &p, static_cast<long>(raw.size())));
      if (!cert) return false;
      der = raw;
    }
  }
  *der_out = der;
  return true;
}

bool FromBase64(const std::string& bytes, std::string* out) {
  std::string text;
  for (char c : bytes) {
    if (!std::isspace(static_cast<unsigned char>(c))) text += c;
  }
  if (text.empty() || text.size() % 4 != 0) return false;
  std::string raw(text.size(), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&raw[0]),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n <= 0) return false;
  raw.resize(static_cast<size_t>(n) - (text.back() == '=') - (text[text.size() - 2] == '='));
  *out = raw;
  return true;
}

bool CertificateBase64(const std::string& bytes, std::string* b64) {
  std::string der;
  if (!CertificateDer(bytes, &der)) return false;
  *b64 = Base64(der);
  return true;
}

namespace {

// Flushes and closes standard output. A command whose output did not all
// arrive has not succeeded, even when its own work did; a failed command
// keeps its status.
int FinishOutput(const char* prog, int status) {
  bool ok = std::fflush(stdout) == 0 && !std::ferror(stdout);
  int saved = errno;
  if (std::fclose(stdout) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok) return status;
  std::fprintf(stderr, "%s: cannot write to standard output: %s\n", prog,
               std::strerror(saved != 0 ? saved : EIO));
  return status == 0 ? kToolError : status;
}

}  // namespace

int RunTool(const char* prog, int argc, char** argv, const std::vector<Command>& commands,
            void (*main_help)(FILE* out), const char* extra_flag, const char* extra_help) {
  std::setlocale(LC_ALL, "");
  if (argc < 2) {
    main_help(stderr);
    return kToolError;
  }
  const std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    main_help(stdout);
    return FinishOutput(prog, 0);
  }
  if (cmd == "--version") {
    std::printf("%s %s\n", prog, VORPIN_TOOLS_VERSION);
    return FinishOutput(prog, 0);
  }
  for (const auto& c : commands) {
    if (cmd != c.name) continue;
    for (int i = 2; i < argc; ++i) {
      if (std::strcmp(argv[i], "--") == 0) break;
      if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
        const bool extra = extra_flag != nullptr &&
                           std::find(c.flags.begin(), c.flags.end(), extra_flag) != c.flags.end();
        std::printf("%s%s%s", c.help, c.pin ? kPinHelp : "", extra ? extra_help : "");
        return FinishOutput(prog, 0);
      }
    }
    Args args(argc - 2, argv + 2, c.value_options, c.flags);
    if (!args.ok()) return Error(prog, std::string(c.name) + ": " + args.error() + " (see --help)");
    for (const auto& v : c.value_options) {
      if (args.Values(v).size() > 1 &&
          std::find(c.repeatable.begin(), c.repeatable.end(), v) == c.repeatable.end()) {
        return Error(prog, std::string(c.name) + ": " + v + " given more than once (see --help)");
      }
    }
    return FinishOutput(prog, c.run(args));
  }
  return Error(prog, "unknown command '" + cmd + "' (see --help)");
}

}  // namespace cli

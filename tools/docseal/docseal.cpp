// docseal: signs and verifies files and directories with the card, reads
// signature files and the card's certificate, validates certificates.
// Each subcommand drives one flat entry point of the signing library; the
// exit status is the library's result code (0 for success).
#include <Docseal.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vorpin_dll.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "signer_check.h"

namespace {

namespace fs = std::filesystem;

const char* const kProg = "docseal";

const std::vector<cli::CodeText> kCodes = {
#define DOCSEAL_CODE_ROW_(name, value, text) {value, #name, text},
    DOCSEAL_RESULT_CODES(DOCSEAL_CODE_ROW_)
#undef DOCSEAL_CODE_ROW_
};

// Exit status of a signature that is intact but whose signer's certificate
// does not lead to a trusted root (or may not sign). Apart from the
// library's codes (0 to 27), the tool's own 2 and doclock's statuses.
constexpr int kUntrusted = 50;

// The most a signature file may hold: the signing library reads no larger one.
constexpr uint64_t kMaxSignatureFile = 2147483647;
// The most a certificate file to validate may hold.
constexpr uint64_t kMaxCertificateFile = 1u << 20;

using cli::kCardModule;

using cli::Command;
using Json = nlohmann::ordered_json;

int Usage(const std::string& message) { return cli::Error(kProg, message + " (see --help)"); }

// Prints the library code's message; when the card library could not
// start, also why the card's module does not load, if that is the cause.
int Fail(int32_t code) {
  int status = cli::Fail(kProg, code, kCodes);
  if (code == DOCSEAL_ERR_START) cli::ExplainModuleLoad(kProg);
  return status;
}

int FailWith(int32_t code, const std::string& cause) {
  cli::Error(kProg, cause);
  return Fail(code);
}

// Why the validation service at url could not be reached: the library
// tells only that it could not (21), so the tool looks at the URL and
// tries the connection itself.
std::string TransportProblem(const std::string& url) {
  const std::string scheme = "http://";
  if (strncasecmp(url.c_str(), scheme.c_str(), scheme.size()) != 0) {
    return "'" + url + "' is not an http:// URL (the service is reached over plain http)";
  }
  std::string authority = url.substr(scheme.size());
  authority = authority.substr(0, authority.find_first_of("/?#"));
  authority = authority.substr(authority.find('@') + 1);
  std::string host = authority, port = "80";
  if (!host.empty() && host[0] == '[') {
    size_t close = host.find(']');
    if (close == std::string::npos) return "the URL's host is not readable";
    if (close + 1 < host.size() && host[close + 1] == ':') port = host.substr(close + 2);
    host = host.substr(1, close - 1);
  } else if (host.find(':') != std::string::npos) {
    port = host.substr(host.find(':') + 1);
    host = host.substr(0, host.find(':'));
  }
  if (host.empty()) return "the URL names no host";
  const char* proxy = std::getenv("http_proxy");
  if (proxy != nullptr && *proxy != '\0') {
    return std::string("the service could not be reached through the proxy ") + proxy;
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int gai = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (gai != 0) return "cannot look up '" + host + "' port " + port + ": " + gai_strerror(gai);
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, freeaddrinfo);
  std::string why;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int rc = connect(fd, a->ai_addr, a->ai_addrlen);
    int saved = errno;
    close(fd);
    if (rc == 0) {
      return "the connection to '" + host + "' port " + port +
             " works, but the exchange failed (no answer in time, a broken answer, or one "
             "over 16 MiB)";
    }
    why = std::strerror(saved);
  }
  return "cannot connect to '" + host + "' port " + port + ": " + why;
}

// The validation service's answer, with the transport error behind 21.
int FailValidation(int32_t code, const std::string& url) {
  if (code == DOCSEAL_ERR_SERVICE) cli::Error(kProg, TransportProblem(url));
  return Fail(code);
}

bool IsDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec)) && !ec;
}

// "dir/" and "dir" name the same directory; the library and the names of
// its signature files get the form without the trailing "/".
std::string TrimSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string Quote(const std::string& s) { return "'" + cli::ForDisplay(s) + "'"; }

// Why the library cannot take path for signing or verifying: it does not
// exist, a file of it cannot be read, a directory cannot be listed, or a
// name cannot be held in a file list ("\" and ";" separate its entries).
std::string PathProblem(const std::string& path) {
  if (!Exists(path)) return Quote(path) + " does not exist";
  auto unreadable = [](const fs::path& p) -> std::string {
    FILE* f = std::fopen(p.c_str(), "rb");
    if (f != nullptr) {
      std::fclose(f);
      return "";
    }
    return "cannot read " + Quote(p.string()) + ": " + std::strerror(errno);
  };
  if (!IsDirectory(path)) return unreadable(path);
  std::error_code ec;
  fs::recursive_directory_iterator it(path, ec), end;
  if (ec) return "cannot list " + Quote(path) + ": " + ec.message();
  for (; it != end; it.increment(ec)) {
    if (ec) return "cannot list a directory under " + Quote(path) + ": " + ec.message();
    const std::string name = it->path().filename().string();
    if (name.find_first_of("\\;") != std::string::npos) {
      return "the name " + Quote(it->path().string()) +
             " cannot be held in a file list (it contains '\\' or ';')";
    }
    std::error_code e2;
    if (it->is_regular_file(e2)) {
      std::string why = unreadable(it->path());
      if (!why.empty()) return why;
    } else if (it->is_directory(e2) && !it->is_symlink(e2)) {
      fs::directory_iterator probe(it->path(), e2);
      if (e2) return "cannot list " + Quote(it->path().string()) + ": " + e2.message();
    }
  }
  return Quote(path) + " cannot be signed";
}

// Reads a signature file, naming it when it is missing, cannot be read or
// is larger than any signature file. On failure *status is the exit status.
bool ReadSignatureFile(const std::string& path, std::string* der, int* status) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    *status =
        FailWith(DOCSEAL_ERR_PATH, errno == ENOENT ? "no signature file " + Quote(path)
                                                   : "cannot read the signature file " +
                                                         Quote(path) + ": " + std::strerror(errno));
    return false;
  }
  if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > kMaxSignatureFile) {
    *status =
        FailWith(DOCSEAL_ERR_NOT_PKCS7,
                 Quote(path) + " holds " + std::to_string(st.st_size) + " bytes, more than the " +
                     std::to_string(kMaxSignatureFile) + " a signature file may hold");
    return false;
  }
  std::string error;
  if (!cli::ReadFile(path, der, &error, kMaxSignatureFile)) {
    *status = FailWith(DOCSEAL_ERR_PATH, error);
    return false;
  }
  return true;
}

std::string SignerLines(const signer_check::Signer& s) {
  std::string out;
  if (!s.subject.empty()) out += "  certificate:  " + cli::ForDisplay(s.subject) + "\n";
  if (!s.issuer.empty()) out += "  issued by:    " + cli::ForDisplay(s.issuer) + "\n";
  out += "  signing time: " + (s.signing_time.empty() ? "not recorded" : s.signing_time) + "\n";
  return out;
}

Json SignersJson(const signer_check::Facts& facts, bool trust_checked) {
  Json list = Json::array();
  for (const auto& s : facts.signers) {
    Json one = {{"subject", s.subject},
                {"issuer", s.issuer},
                {"signingTime", s.signing_time.empty() ? Json() : Json(s.signing_time)}};
    if (trust_checked) {
      one["trusted"] = s.trusted;
      if (!s.trusted) one["trustError"] = s.trust_error;
    }
    list.push_back(one);
  }
  return list;
}

// ---- sign ---------------------------------------------------------------------

int RunSign(const cli::Args& args) {
  std::vector<std::string> paths;
  for (const auto& p : args.positional()) paths.push_back(TrimSlashes(p));
  if (paths.empty()) return Usage("sign: no path to sign");
  if (paths.size() > 1 && args.Has("--output")) return Usage("sign: --output takes one path");
  for (const auto& p : paths) {
    if (paths.size() > 1 && p.find(';') != std::string::npos) {
      return Usage("sign: a path of several may not contain ';': " + Quote(p));
    }
  }
  for (const auto& p : paths) {
    if (p.empty() || !Exists(p)) return FailWith(DOCSEAL_ERR_PATH, Quote(p) + " does not exist");
  }
  // Where the signatures go, checked before the PIN is asked for: the card
  // is not used for a signature that cannot be written.
  std::vector<std::string> sig_paths;
  if (paths.size() == 1) {
    std::string sig_path = args.Value("--output");
    if (sig_path.empty())
      sig_path = IsDirectory(paths[0]) ? paths[0] + "/dir.sig" : paths[0] + ".sig";
    sig_paths.push_back(sig_path);
  } else {
    for (const auto& p : paths) sig_paths.push_back(p + ".sig");
  }
  for (const auto& sig : sig_paths) {
    std::string problem = cli::OutputProblem(sig);
    if (!problem.empty()) return FailWith(DOCSEAL_ERR_WRITE, problem);
  }
  std::string signer = args.Value("--signer");
  std::string pin, error;
  if (!cli::ReadPin(args, &pin, &error)) return cli::Error(kProg, error);
  const auto total = [&paths] {
    uint64_t bytes = 0;
    for (const auto& p : paths) bytes += cli::MeasureTree(p).bytes;
    return bytes;
  };

  int32_t rc;
  if (paths.size() == 1) {
    const std::string& path = paths[0];
    const std::string& sig_path = sig_paths[0];
    // The library gets the signature's own name: a directory walk leaves
    // that file out, so signing again does not list the old signature.
    rc = cli::WithProgress("digesting", total, [&] {
      return Signature(signer.c_str(), pin.c_str(), path.c_str(), sig_path.c_str());
    });
    cli::Wipe(&pin);
    if (rc == DOCSEAL_ERR_PATH) return FailWith(rc, PathProblem(path));
    if (rc == DOCSEAL_ERR_WRITE) return FailWith(rc, "cannot write " + Quote(sig_path));
    if (rc != DOCSEAL_OK) return Fail(rc);
    std::printf("signed %s into %s\n", Quote(path).c_str(), Quote(sig_path).c_str());
    return 0;
  }
  std::string list;
  for (const auto& p : paths) list += p + ";";
  rc = cli::WithProgress("digesting", total,
                         [&] { return SignMulti(signer.c_str(), pin.c_str(), list.c_str()); });
  cli::Wipe(&pin);
  if (rc == DOCSEAL_ERR_PATH) {
    for (const auto& p : paths) {
      std::string why = PathProblem(p);
      if (why != Quote(p) + " cannot be signed") return FailWith(rc, why);
    }
  }
  if (rc == DOCSEAL_ERR_WRITE) {
    std::string names;
    for (const auto& sig : sig_paths) names += (names.empty() ? "" : ", ") + Quote(sig);
    return FailWith(rc, "cannot write all of " + names);
  }
  if (rc != DOCSEAL_OK) return Fail(rc);
  for (const auto& p : paths) {
    std::printf("signed %s into %s\n", Quote(p).c_str(), Quote(p + ".sig").c_str());
  }
  return 0;
}

// ---- verify, verify-local, info -------------------------------------------------

// The entries of a file list ("\"-joined components, each entry ended by
// ";") as names with "/".
std::vector<std::string> ListNames(const std::string& list) {
  std::vector<std::string> names;
  std::string entry;
  for (char c : list) {
    if (c == ';') {
      if (!entry.empty()) names.push_back(entry);
      entry.clear();
    } else {
      entry += c == '\\' ? '/' : c;
    }
  }
  if (!entry.empty()) names.push_back(entry);
  return names;
}

// Names of from that to lacks (byte for byte, in from's order).
std::vector<std::string> NotIn(const std::vector<std::string>& from,
                               const std::vector<std::string>& to) {
  std::vector<std::string> sorted = to, out;
  std::sort(sorted.begin(), sorted.end());
  for (const auto& n : from) {
    if (!std::binary_search(sorted.begin(), sorted.end(), n)) out.push_back(n);
  }
  return out;
}

// The result of one check of a signature file.
struct Check {
  int32_t rc = DOCSEAL_ERR_PATH;  // the library's answer on integrity
  std::string text;               // the signer text, or the mismatch message
  std::vector<std::string> added, missing;
  signer_check::Facts facts;
  bool trust_checked = false;
  int32_t validation = DOCSEAL_OK;  // the XKMS answer, with --validate
  std::string validate_url;
};

// What the command line says about judging the signer.
struct TrustOptions {
  bool check = true;
  std::vector<std::string> ca_files;
  std::string validate_url;
};

bool ReadTrustOptions(const cli::Args& args, TrustOptions* t, int* status) {
  t->check = !args.Has("--no-trust-check");
  t->ca_files = args.Values("--ca");
  t->validate_url = args.Value("--validate");
  if (!t->check && (!t->ca_files.empty() || !t->validate_url.empty())) {
    *status = Usage("--no-trust-check judges no signer: it takes neither --ca nor --validate");
    return false;
  }
  return true;
}

// Judges the signers of an intact signature: their chains, then the
// validation service. Returns false with *status on a tool failure.
bool JudgeSigners(const std::string& der, const TrustOptions& t, Check* c, int* status) {
  if (!t.check) return true;
  std::string error;
  if (!signer_check::CheckTrust(der, t.ca_files, &c->facts, &error)) {
    *status = cli::Error(kProg, error);
    return false;
  }
  c->trust_checked = true;
  if (t.validate_url.empty() || !signer_check::AllTrusted(c->facts)) return true;
  c->validate_url = t.validate_url;
  for (const auto& s : c->facts.signers) {
    c->validation = VerifyCertificate(t.validate_url.c_str(), cli::Base64(s.cert_der).c_str());
    if (c->validation != DOCSEAL_OK) break;
  }
  return true;
}

int Report(const cli::Args& args, const Check& c) {
  const bool intact = c.rc == DOCSEAL_OK;
  const bool trusted = !c.trust_checked || signer_check::AllTrusted(c.facts);
  const bool valid = intact && trusted && c.validation == DOCSEAL_OK;
  int status = 0;
  if (!intact) {
    status = static_cast<int>(static_cast<uint32_t>(c.rc) & 0xffu);
  } else if (!trusted) {
    status = kUntrusted;
  } else if (c.validation != DOCSEAL_OK) {
    status = static_cast<int>(c.validation);
  }
  if (args.Has("--json")) {
    Json j = cli::JsonResult(c.rc, kCodes);
    j["status"] = status;
    j["valid"] = valid;
    j["intact"] = intact;
    j["trust"] = !c.trust_checked ? "not checked" : trusted ? "trusted" : "untrusted";
    if (c.validation != DOCSEAL_OK) {
      j["validation"] = cli::JsonResult(c.validation, kCodes);
    }
    j["timestamp"] = c.facts.timestamp;
    j["text"] = cli::Utf8(c.text);
    if (!intact && !c.text.empty()) j["reason"] = cli::English(c.text);
    if (intact) j["signers"] = SignersJson(c.facts, c.trust_checked);
    if (c.rc == DOCSEAL_ERR_DIR_MISMATCH || !c.added.empty() || !c.missing.empty()) {
      Json added = Json::array(), missing = Json::array();
      for (const auto& n : c.added) added.push_back(cli::NameUtf8(n));
      for (const auto& n : c.missing) missing.push_back(cli::NameUtf8(n));
      j["added"] = added;
      j["missing"] = missing;
    }
    if (!cli::PrintJson(kProg, j)) return cli::kToolError;
  } else if (intact) {
    const std::string what =
        c.facts.timestamp ? "a time-stamp signature" : "signed by " + Quote(c.text);
    const char* verdict = !c.trust_checked             ? "intact (the signer was not checked)"
                          : !trusted                   ? "intact but NOT TRUSTED"
                          : c.validation != DOCSEAL_OK ? "intact but NOT VALID"
                                                       : "valid";
    std::printf("%s: %s\n", verdict, what.c_str());
    for (const auto& s : c.facts.signers) {
      std::printf("%s", SignerLines(s).c_str());
      if (c.trust_checked && !s.trusted)
        std::printf("  not trusted:  %s\n", cli::ForDisplay(s.trust_error).c_str());
    }
  } else if (!c.text.empty()) {
    std::printf("%s: %s\n", c.rc == DOCSEAL_ERR_SIGNATURE ? "signer" : "mismatch",
                cli::ForDisplay(c.text).c_str());
    for (const auto& n : c.added) std::printf("added:   %s\n", cli::ForDisplay(n).c_str());
    for (const auto& n : c.missing) std::printf("missing: %s\n", cli::ForDisplay(n).c_str());
  }
  if (!intact) return Fail(c.rc);
  if (!trusted) {
    std::fprintf(stderr,
                 "%s: %d UNTRUSTED: the signature is intact, but its signer is not trusted\n",
                 kProg, kUntrusted);
    return kUntrusted;
  }
  if (c.validation != DOCSEAL_OK) return FailValidation(c.validation, c.validate_url);
  return 0;
}

// Checks a time-stamp signature: its signatures over the fixed content.
int CheckTimestamp(const cli::Args& args, const std::string& der, const TrustOptions& t, Check* c) {
  c->rc = signer_check::SignaturesVerify(der) ? DOCSEAL_OK : DOCSEAL_ERR_SIGNATURE;
  int status = 0;
  if (c->rc == DOCSEAL_OK && !JudgeSigners(der, t, c, &status)) return status;
  return Report(args, *c);
}

// The path a signature file names, when none is given: the directory
// holding a "dir.sig", else the file or directory X of an "X.sig" (when
// it exists). Empty when it is unknown.
std::string SignedPathOf(const std::string& sig) {
  fs::path p(sig);
  if (p.filename() == "dir.sig") return p.parent_path().empty() ? "." : p.parent_path().string();
  if (sig.size() > 4 && sig.compare(sig.size() - 4, 4, ".sig") == 0) {
    std::string target = sig.substr(0, sig.size() - 4);
    if (Exists(target)) return target;
  }
  return "";
}

// Adds the names that differ between the signed list and the fresh one.
void ListDifferences(const std::string& sig_file, const std::string& fresh_list, Check* c) {
  Pkcs7Signature signed_sig;
  signed_sig.setSigFileName(sig_file);
  signed_sig.getSignInfo();  // reads the signed list into fileList
  const auto signed_names = ListNames(signed_sig.fileList);
  const auto fresh_names = ListNames(fresh_list);
  c->added = NotIn(fresh_names, signed_names);
  c->missing = NotIn(signed_names, fresh_names);
}

int RunVerify(const cli::Args& args) {
  const auto& pos = args.positional();
  if (pos.size() > 1) return Usage("verify: one path at a time");
  std::string path = pos.empty() ? "" : TrimSlashes(pos[0]);
  std::string sig = args.Value("--signature");
  if (path.empty() && sig.empty()) return Usage("verify: give a path, a --signature, or both");
  TrustOptions trust;
  int status = 0;
  if (!ReadTrustOptions(args, &trust, &status)) return status;
  if (!path.empty() && !Exists(path)) return FailWith(DOCSEAL_ERR_PATH, PathProblem(path));
  if (sig.empty()) sig = IsDirectory(path) ? path + "/dir.sig" : path + ".sig";
  std::string der;
  if (!ReadSignatureFile(sig, &der, &status)) return status;
  Check c;
  std::string error;
  if (!signer_check::Read(der, &c.facts, &error)) {
    return FailWith(DOCSEAL_ERR_NOT_PKCS7, Quote(sig) + " is " + error);
  }
  if (c.facts.timestamp) {
    if (!path.empty()) {
      return Usage("verify: " + Quote(sig) + " is a time-stamp signature, which signs no path");
    }
    return CheckTimestamp(args, der, trust, &c);
  }
  if (path.empty()) {
    path = SignedPathOf(sig);
    if (path.empty()) {
      return Usage("verify: the path that " + Quote(sig) + " signs is unknown: give PATH");
    }
  }
  Pkcs7Signature s;
  s.setSigFileName(sig);
  bool digested = false;
  cli::WithProgress(
      "digesting", [&] { return cli::MeasureTree(path).bytes; },
      [&] {
        digested = s.setFilename(path);
        return 0;
      });
  if (!digested) return FailWith(DOCSEAL_ERR_PATH, PathProblem(path));
  c.rc = s.verify();
  c.text = s.getSignInfo();
  if (c.rc == DOCSEAL_ERR_DIR_MISMATCH) ListDifferences(sig, s.fileList, &c);
  if (c.rc == DOCSEAL_OK && !JudgeSigners(der, trust, &c, &status)) return status;
  return Report(args, c);
}

int RunVerifyLocal(const cli::Args& args) {
  const auto& pos = args.positional();
  if (pos.size() != 1) return Usage("verify-local: give the signature file");
  TrustOptions trust;
  int status = 0;
  if (!ReadTrustOptions(args, &trust, &status)) return status;
  std::string der;
  if (!ReadSignatureFile(pos[0], &der, &status)) return status;
  Check c;
  std::string error;
  if (!signer_check::Read(der, &c.facts, &error)) {
    return FailWith(DOCSEAL_ERR_NOT_PKCS7, Quote(pos[0]) + " is " + error);
  }
  Pkcs7Signature s;
  s.setSigFileName(pos[0]);
  std::string dir = fs::path(pos[0]).parent_path().string();
  cli::WithProgress(
      "digesting", [&] { return cli::MeasureTree(dir.empty() ? "." : dir).bytes; },
      [&] { return s.hashDirLocal(); });
  c.rc = s.verify();
  c.text = s.getSignInfo();
  if (c.rc == DOCSEAL_OK && !JudgeSigners(der, trust, &c, &status)) return status;
  return Report(args, c);
}

int RunInfo(const cli::Args& args) {
  const auto& pos = args.positional();
  if (pos.size() != 1) return Usage("info: give the signature file");
  std::string der, error;
  int status = 0;
  if (!ReadSignatureFile(pos[0], &der, &status)) return status;
  signer_check::Facts facts;
  if (!signer_check::Read(der, &facts, &error)) {
    return FailWith(DOCSEAL_ERR_PATH, Quote(pos[0]) + " is " + error);
  }
  std::string text;
  if (facts.timestamp) {
    text = facts.content.substr(4);  // the time-stamp text, after its empty list
  } else {
    Pkcs7Signature s;
    s.setSigFileName(pos[0]);
    text = s.getSignInfo();
    if (text.empty()) return FailWith(DOCSEAL_ERR_PATH, Quote(pos[0]) + " holds no signer text");
  }
  if (args.Has("--json")) {
    Json j = cli::JsonResult(DOCSEAL_OK, kCodes);
    j["signer"] = cli::Utf8(text);
    j["timestamp"] = facts.timestamp;
    j["signers"] = SignersJson(facts, false);
    if (!cli::PrintJson(kProg, j)) return cli::kToolError;
  } else {
    std::printf("%s\n", cli::ForDisplay(text).c_str());
    for (const auto& s : facts.signers) std::printf("%s", SignerLines(s).c_str());
    std::printf("  (not verified: see docseal verify)\n");
  }
  return 0;
}

// ---- cert, timestamp ------------------------------------------------------------

bool PrintCertificate(const cli::Args& args, const std::string& b64) {
  std::string out = b64 + "\n";
  if (args.Has("--pem")) {
    std::string der;
    if (!cli::CertificateDer(b64, &der)) {
      cli::Error(kProg, "the certificate text does not decode");
      return false;
    }
    out = cli::ToPem(der, "CERTIFICATE");
  }
  std::string error;
  if (!cli::WriteFileAtomic(args.Value("--output", "-"), out, &error)) {
    cli::Error(kProg, error);
    return false;
  }
  return true;
}

int RunCert(const cli::Args& args) {
  const auto& pos = args.positional();
  if (pos.size() != 1) return Usage("cert: give the signature file");
  if (!Exists(pos[0])) return FailWith(DOCSEAL_ERR_PATH, "no signature file " + Quote(pos[0]));
  Pkcs7Signature s;
  s.setSigFileName(pos[0]);
  const std::string b64 = s.getB64Cert(0);
  if (b64.empty()) return Fail(DOCSEAL_ERR_NO_CERT);
  return PrintCertificate(args, b64) ? 0 : cli::kToolError;
}

int RunTimestamp(const cli::Args& args) {
  if (!args.positional().empty()) return Usage("timestamp: takes no path");
  const std::string output = args.Value("--output", "-");
  // The output is checked before the card signs.
  const std::string problem = cli::OutputProblem(output);
  if (!problem.empty()) return cli::Error(kProg, problem);
  std::string pin, error;
  if (!cli::ReadPin(args, &pin, &error)) return cli::Error(kProg, error);
  std::vector<char> b64(8192, '\0');  // at most 5480 characters
  int32_t rc = SignTimestamp(pin.c_str(), b64.data());
  cli::Wipe(&pin);
  if (rc != DOCSEAL_OK) return Fail(rc);
  // A file gets DER like every signature file; standard output the Base64
  // text of it.
  std::string data = std::string(b64.data()) + "\n";
  if (output != "-" && !cli::FromBase64(b64.data(), &data)) {
    return cli::Error(kProg, "the card's time-stamp signature does not decode");
  }
  if (!cli::WriteFileAtomic(output, data, &error)) return cli::Error(kProg, error);
  if (output != "-") std::printf("wrote the time-stamp signature into %s\n", Quote(output).c_str());
  return 0;
}

// ---- pin, card, validate --------------------------------------------------------

int RunPin(const cli::Args& args) {
  if (!args.positional().empty()) return Usage("pin: takes no argument");
  std::string pin, error;
  if (!cli::ReadPin(args, &pin, &error)) return cli::Error(kProg, error);
  int32_t rc = VerifyPIN(pin.c_str());
  cli::Wipe(&pin);
  if (rc != DOCSEAL_OK) return Fail(rc);
  std::printf("the PIN is correct\n");
  return 0;
}

struct CardCertificate {
  int32_t rc = DOCSEAL_ERR_CARD;
  std::string b64, issuer, serial, subject, email, not_before, not_after, tail;
};

// The certificate and issuer texts have no bound but the certificate's
// size, which the card library tells first.
CardCertificate ReadCardCertificate() {
  int32_t der_len = 0;
  if (vorpin_init() == VORPIN_OK) vorpin_getcert_for_sign(nullptr, &der_len);
  vorpin_fini();
  size_t room = (der_len > 0 ? static_cast<size_t>(der_len) : 16384) * 4 + 4096;
  std::vector<char> b64(room), issuer(room), serial(128), subject(256), email(256), nb(128),
      na(128), tail(64);
  CardCertificate c;
  c.rc = GetSignCertificateFromICCard(b64.data(), issuer.data(), serial.data(), subject.data(),
                                      email.data(), nb.data(), na.data(), tail.data());
  if (c.rc != DOCSEAL_OK) return c;
  c.b64 = b64.data();
  c.issuer = issuer.data();
  c.serial = serial.data();
  c.subject = subject.data();
  c.email = email.data();
  c.not_before = nb.data();
  c.not_after = na.data();
  c.tail = tail.data();
  return c;
}

int RunCard(const cli::Args& args) {
  if (!args.positional().empty()) return Usage("card: takes no argument");
  if (args.Has("--output") && !args.Has("--pem")) return Usage("card: --output writes the --pem");
  if (args.Has("--json") && args.Has("--pem")) return Usage("card: --json or --pem, not both");
  CardCertificate c = ReadCardCertificate();
  if (c.rc != DOCSEAL_OK) return Fail(c.rc);
  if (args.Has("--pem")) return PrintCertificate(args, c.b64) ? 0 : cli::kToolError;
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"subject", c.subject},    {"issuer", c.issuer},        {"serial", c.serial},
      {"email", c.email},        {"notBefore", c.not_before}, {"notAfter", c.not_after},
      {"extensionTail", c.tail}, {"certificate", c.b64}};
  if (args.Has("--json")) {
    Json j = cli::JsonResult(c.rc, kCodes);
    for (const auto& f : fields) j[f.first] = cli::Utf8(f.second);
    if (!cli::PrintJson(kProg, j)) return cli::kToolError;
    return 0;
  }
  for (const auto& f : fields) {
    std::printf("%-14s %s\n", (f.first + ":").c_str(), cli::ForDisplay(f.second).c_str());
  }
  return 0;
}

int RunValidate(const cli::Args& args) {
  const auto& pos = args.positional();
  std::string url = args.Value("--url");
  if (url.empty()) return Usage("validate: give the service's --url");
  std::string b64;
  if (args.Has("--card")) {
    if (!pos.empty()) return Usage("validate: --card or a certificate file, not both");
    CardCertificate c = ReadCardCertificate();
    if (c.rc != DOCSEAL_OK) return Fail(c.rc);
    b64 = c.b64;
  } else {
    if (pos.size() != 1) return Usage("validate: give one certificate file (PEM, DER, Base64)");
    std::string bytes, error;
    if (!cli::ReadFile(pos[0], &bytes, &error, kMaxCertificateFile)) {
      return cli::Error(kProg, error);
    }
    if (!cli::CertificateBase64(bytes, &b64)) {
      return cli::Error(kProg, Quote(pos[0]) + " holds no certificate");
    }
  }
  int32_t rc = VerifyCertificate(url.c_str(), b64.c_str());
  if (rc != DOCSEAL_OK) return FailValidation(rc, url);
  std::printf("valid: the service reports the certificate valid\n");
  return 0;
}

const char* const kJsonHelp = "  --json            one JSON object on standard output\n";

const std::vector<Command>& Commands() {
  static const std::vector<std::string> kSignOptions = [] {
    std::vector<std::string> v = {"--signer", "--output"};
    v.insert(v.end(), cli::kPinOptions.begin(), cli::kPinOptions.end());
    return v;
  }();
  static const std::vector<Command> commands = {
      {"sign", "sign a file or directory (or several) with the card",
       "usage: docseal sign [--signer TEXT] [--output SIG] [PIN option] PATH...\n"
       "\n"
       "Signs PATH with the card into a detached signature file: PATH.sig for a\n"
       "file, PATH/dir.sig for a directory, or SIG. The file appears only once\n"
       "it is whole. With several paths each gets PATH.sig beside it.\n"
       "  --signer TEXT     the signer's text stored in the signature\n"
       "  --output SIG      the signature file (one path only)\n",
       RunSign, kSignOptions, cli::kPinFlags, true},
      {"verify",
       "verify a file, directory or time-stamp against its signature",
       "usage: docseal verify [--signature SIG] [TRUST OPTION]... [--json] [PATH]\n"
       "\n"
       "Checks PATH against SIG (by default PATH.sig, or PATH/dir.sig for a\n"
       "directory); with SIG alone the path is the one SIG is named after (the\n"
       "directory of a dir.sig, X for X.sig), and a time-stamp signature is\n"
       "checked by itself. Prints the signer's text, certificate and signing\n"
       "time, or what does not match (added and missing names).\n"
       "\n"
       "\"valid\" means intact and signed by a trusted certificate: its chain\n"
       "leads to the system's trust store or a --ca certificate, it is within\n"
       "its validity and its key usage allows signing. An intact signature by\n"
       "a signer who is not trusted exits with status 50.\n"
       "  --signature SIG   the signature file\n"
       "  --ca FILE         also trust the CA certificate(s) in FILE (PEM or DER;\n"
       "                    repeatable)\n"
       "  --validate URL    also ask the XKMS service at URL about the signer\n"
       "  --no-trust-check  check the integrity only, not who signed\n",
       RunVerify,
       {"--signature", "--ca", "--validate"},
       {"--json", "--no-trust-check"},
       false,
       {"--ca"}},
      {"verify-local",
       "verify a directory against the list in its dir.sig",
       "usage: docseal verify-local [TRUST OPTION]... [--json] DIR/dir.sig\n"
       "\n"
       "Checks the files that the directory signature lists, in the directory\n"
       "that holds it. Files added since are not seen. The signer is judged as\n"
       "by verify (--ca FILE, --validate URL, --no-trust-check).\n",
       RunVerifyLocal,
       {"--ca", "--validate"},
       {"--json", "--no-trust-check"},
       false,
       {"--ca"}},
      {"info",
       "print the signer of a signature or time-stamp file",
       "usage: docseal info [--json] SIG\n"
       "\n"
       "Prints the signer's text, the certificate's subject and issuer and the\n"
       "signing time; the signature is not verified.\n",
       RunInfo,
       {},
       {"--json"},
       false},
      {"cert",
       "print the signer's certificate of a signature file",
       "usage: docseal cert [--pem] [--output FILE] SIG\n"
       "\n"
       "Prints the signer's certificate as Base64 text of its DER bytes.\n"
       "  --pem             as a PEM certificate\n"
       "  --output FILE     write it to FILE\n",
       RunCert,
       {"--output"},
       {"--pem"},
       false},
      {"timestamp", "make a time-stamp signature with the card",
       "usage: docseal timestamp [--output FILE] [PIN option]\n"
       "\n"
       "Signs the fixed time-stamp text with the card. Without --output the\n"
       "signature is printed as Base64 text; with --output FILE it is written\n"
       "as DER like every signature file. 'docseal info FILE' shows its signer\n"
       "and signing time, 'docseal verify --signature FILE' checks it.\n",
       RunTimestamp,
       [] {
         std::vector<std::string> v = {"--output"};
         v.insert(v.end(), cli::kPinOptions.begin(), cli::kPinOptions.end());
         return v;
       }(),
       cli::kPinFlags, true},
      {"pin", "check a PIN on the card",
       "usage: docseal pin [PIN option]\n"
       "\n"
       "Logs in to the card with the PIN and out again.\n",
       RunPin, cli::kPinOptions, cli::kPinFlags, true},
      {"card",
       "print the card's signing certificate and its fields",
       "usage: docseal card [--json | --pem [--output FILE]]\n"
       "\n"
       "Reads the signing certificate from the card (no PIN needed) and prints\n"
       "its subject, issuer, serial, e-mail, validity and extension tail.\n"
       "  --pem             print the certificate as PEM instead\n"
       "  --output FILE     write the PEM to FILE (with --pem only)\n",
       RunCard,
       {"--output"},
       {"--json", "--pem"},
       false},
      {"validate",
       "ask an XKMS service whether a certificate is valid",
       "usage: docseal validate --url URL (CERT | --card)\n"
       "\n"
       "Posts an XKMS \"Validate\" request for the certificate in the file CERT\n"
       "(PEM, DER or Base64) or the card's signing certificate to URL (http).\n"
       "Exit status 0 when valid, else the reason's code (23 issuer trust,\n"
       "24 status, 25 validity interval, 26 signature).\n",
       RunValidate,
       {"--url"},
       {"--card"},
       false},
  };
  return commands;
}

void MainHelp(FILE* out) {
  std::fprintf(out,
               "usage: docseal COMMAND [OPTION]... [ARG]...\n"
               "\n"
               "Signs and verifies files and directories with the IC card.\n"
               "\n"
               "Commands:\n");
  for (const auto& c : Commands()) std::fprintf(out, "  %-14s %s\n", c.name, c.summary);
  std::fprintf(out,
               "\n"
               "'docseal COMMAND --help' tells more. The exit status is 0 on success, the\n"
               "library's result code otherwise (with a one-line message naming it), %d\n"
               "when the tool itself cannot go on (a bad argument, a file it cannot read\n"
               "or write), and %d for an intact signature whose signer is not trusted.\n"
               "The card is reached through the PKCS#11 module \"%s\" on the\n"
               "loader's path.\n",
               cli::kToolError, kUntrusted, kCardModule);
}

}  // namespace

int main(int argc, char** argv) {
  return cli::RunTool(kProg, argc, argv, Commands(), MainHelp, "--json", kJsonHelp);
}

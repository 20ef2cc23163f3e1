// docseal: signs and verifies files and directories with the card, reads
// signature files and the card's certificate, validates certificates.
// Each subcommand drives one flat entry point of the signing library; the
// exit status is the library's result code (0 for success).
#include <Docseal.h>
#include <vorpin_dll.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli.h"

namespace {

namespace fs = std::filesystem;

const char* const kProg = "docseal";

const std::vector<cli::CodeText> kCodes = {
#define DOCSEAL_CODE_ROW_(name, value, text) {value, #name, text},
    DOCSEAL_RESULT_CODES(DOCSEAL_CODE_ROW_)
#undef DOCSEAL_CODE_ROW_
};

using cli::Command;

int Usage(const std::string& message) { return cli::Error(kProg, message + " (see --help)"); }

int Fail(int32_t code) { return cli::Fail(kProg, code, kCodes); }

uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  uint64_t n = fs::file_size(path, ec);
  return ec ? 0 : n;
}

bool IsDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// The text buffers of the entry points carry no size: they are sized here
// from what the text can hold at most (the signed content comes from the
// signature file, the fresh list from the tree).
std::vector<char> TextBuffer(uint64_t bound) { return std::vector<char>(bound + 4096, '\0'); }

// "dir/" and "dir" name the same directory; the library and the names of
// its signature files get the form without the trailing "/".
std::string TrimSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string Quote(const std::string& s) { return "'" + cli::ForDisplay(s) + "'"; }

void PrintJsonResult(int32_t code, const std::vector<std::pair<std::string, std::string>>& fields) {
  std::printf("{\"code\":%d,\"result\":%s", static_cast<int>(code),
              cli::Json(cli::CodeName(code, kCodes)).c_str());
  for (const auto& f : fields) std::printf(",%s:%s", cli::Json(f.first).c_str(), f.second.c_str());
  std::printf("}\n");
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
    if (p.empty() || !Exists(p)) {
      std::fprintf(stderr, "%s: %s does not exist\n", kProg, Quote(p).c_str());
      return Fail(DOCSEAL_ERR_PATH);
    }
  }
  std::string signer = args.Value("--signer");
  std::string pin, error;
  if (!cli::ReadPin(args, &pin, &error)) return cli::Error(kProg, error);
  uint64_t total = 0;
  for (const auto& p : paths) total += cli::MeasureTree(p).bytes;

  int32_t rc;
  if (paths.size() == 1) {
    const std::string& path = paths[0];
    std::string final_path = args.Value("--output");
    if (final_path.empty()) final_path = IsDirectory(path) ? path + "/dir.sig" : path + ".sig";
    // The library writes to a free name beside the signature file, which
    // is renamed into place only once the whole signature is written.
    cli::TempBeside temp(final_path);
    if (!temp.ok()) {
      cli::Wipe(&pin);
      return cli::Error(kProg, temp.error());
    }
    rc = cli::WithProgress("digesting", total, [&] {
      return Signature(signer.c_str(), pin.c_str(), path.c_str(), temp.path().c_str());
    });
    cli::Wipe(&pin);
    if (rc != DOCSEAL_OK) return Fail(rc);
    if (!temp.Commit(&error)) {
      cli::Error(kProg, error);
      return Fail(DOCSEAL_ERR_WRITE);
    }
    std::printf("signed %s into %s\n", Quote(path).c_str(), Quote(final_path).c_str());
    return 0;
  }
  std::string list;
  for (const auto& p : paths) list += p + ";";
  rc = cli::WithProgress("digesting", total,
                         [&] { return SignMulti(signer.c_str(), pin.c_str(), list.c_str()); });
  cli::Wipe(&pin);
  if (rc != DOCSEAL_OK) return Fail(rc);
  for (const auto& p : paths) {
    std::printf("signed %s into %s\n", Quote(p).c_str(), Quote(p + ".sig").c_str());
  }
  return 0;
}

// ---- verify, verify-local, info -------------------------------------------------

void ReportVerification(const cli::Args& args, int32_t rc, const std::string& text) {
  if (args.Has("--json")) {
    PrintJsonResult(rc,
                    {{"valid", rc == DOCSEAL_OK ? "true" : "false"}, {"text", cli::Json(text)}});
    return;
  }
  if (rc == DOCSEAL_OK) {
    std::printf("valid: signed by %s\n", Quote(text).c_str());
  } else if (!text.empty()) {
    std::printf("%s: %s\n", rc == DOCSEAL_ERR_SIGNATURE ? "signer" : "mismatch",
                cli::ForDisplay(text).c_str());
  }
}

int RunVerify(const cli::Args& args) {
  const auto& pos = args.positional();
  if (pos.size() > 1) return Usage("verify: one path at a time");
  std::string path = pos.empty() ? "" : TrimSlashes(pos[0]);
  std::string sig = args.Value("--signature");
  if (path.empty() && sig.empty()) return Usage("verify: give a path, a --signature, or both");
  // The message holds at most the signature file's content and the names
  // under the tree that is checked. With the signature alone, that tree
  // is the directory holding a "dir.sig", else the file the signature is
  // named after.
  std::string tree = path;
  if (tree.empty()) {
    fs::path p(sig);
    if (p.filename() == "dir.sig") {
      tree = p.parent_path().empty() ? "." : p.parent_path().string();
    } else if (sig.size() > 4 && sig.compare(sig.size() - 4, 4, ".sig") == 0) {
      tree = sig.substr(0, sig.size() - 4);
    }
  }
  cli::TreeSize size = cli::MeasureTree(tree);
  uint64_t bound = size.name_bytes, bytes = size.bytes;
  std::string sig_file = sig;
  if (sig_file.empty()) sig_file = IsDirectory(path) ? path + "/dir.sig" : path + ".sig";
  bound += FileSize(sig_file);
  std::vector<char> text = TextBuffer(bound);
  int32_t rc = cli::WithProgress("digesting", bytes,
                                 [&] { return Verify(text.data(), path.c_str(), sig.c_str()); });
  ReportVerification(args, rc, text.data());
  return rc == DOCSEAL_OK ? 0 : Fail(rc);
}

int RunVerifyLocal(const cli::Args& args) {
  const auto& pos = args.positional();
  if (pos.size() != 1) return Usage("verify-local: give the signature file");
  std::string dir = fs::path(pos[0]).parent_path().string();
  cli::TreeSize size = cli::MeasureTree(dir.empty() ? "." : dir);
  std::vector<char> text = TextBuffer(FileSize(pos[0]) + size.name_bytes);
  int32_t rc = cli::WithProgress("digesting", size.bytes,
                                 [&] { return VerifyDirLocal(text.data(), pos[0].c_str()); });
  ReportVerification(args, rc, text.data());
  return rc == DOCSEAL_OK ? 0 : Fail(rc);
}

int RunInfo(const cli::Args& args) {
  const auto& pos = args.positional();
  if (pos.size() != 1) return Usage("info: give the signature file");
  std::vector<char> text = TextBuffer(FileSize(pos[0]));
  int32_t rc = GetSignInfo(text.data(), pos[0].c_str());
  if (args.Has("--json")) {
    PrintJsonResult(rc, {{"signer", cli::Json(rc == DOCSEAL_OK ? text.data() : "")}});
  } else if (rc == DOCSEAL_OK) {
    std::printf("%s\n", cli::ForDisplay(text.data()).c_str());
  }
  return rc == DOCSEAL_OK ? 0 : Fail(rc);
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
  std::vector<char> b64 = TextBuffer(FileSize(pos[0]) * 2);
  int32_t rc = GetSignCertificateFromSignature(pos[0].c_str(), b64.data());
  if (rc != DOCSEAL_OK) return Fail(rc);
  return PrintCertificate(args, b64.data()) ? 0 : cli::kToolError;
}

int RunTimestamp(const cli::Args& args) {
  if (!args.positional().empty()) return Usage("timestamp: takes no path");
  std::string pin, error;
  if (!cli::ReadPin(args, &pin, &error)) return cli::Error(kProg, error);
  std::vector<char> b64 = TextBuffer(8192);  // at most 5480 characters
  int32_t rc = SignTimestamp(pin.c_str(), b64.data());
  cli::Wipe(&pin);
  if (rc != DOCSEAL_OK) return Fail(rc);
  if (!cli::WriteFileAtomic(args.Value("--output", "-"), std::string(b64.data()) + "\n", &error)) {
    return cli::Error(kProg, error);
  }
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
  CardCertificate c = ReadCardCertificate();
  if (c.rc != DOCSEAL_OK) return Fail(c.rc);
  if (args.Has("--pem")) return PrintCertificate(args, c.b64) ? 0 : cli::kToolError;
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"subject", c.subject},    {"issuer", c.issuer},        {"serial", c.serial},
      {"email", c.email},        {"notBefore", c.not_before}, {"notAfter", c.not_after},
      {"extensionTail", c.tail}, {"certificate", c.b64}};
  if (args.Has("--json")) {
    std::vector<std::pair<std::string, std::string>> json;
    for (const auto& f : fields) json.emplace_back(f.first, cli::Json(f.second));
    PrintJsonResult(c.rc, json);
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
    if (!cli::ReadFile(pos[0], &bytes, &error)) return cli::Error(kProg, error);
    if (!cli::CertificateBase64(bytes, &b64)) {
      return cli::Error(kProg, Quote(pos[0]) + " holds no certificate");
    }
  }
  int32_t rc = VerifyCertificate(url.c_str(), b64.c_str());
  if (rc != DOCSEAL_OK) return Fail(rc);
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
       "verify a file or directory against its signature",
       "usage: docseal verify [--signature SIG] [--json] [PATH]\n"
       "\n"
       "Checks PATH against SIG (by default PATH.sig, or PATH/dir.sig for a\n"
       "directory); with SIG alone the path is the one SIG belongs to. Prints\n"
       "the signer, or what does not match (added and missing names).\n"
       "  --signature SIG   the signature file\n",
       RunVerify,
       {"--signature"},
       {"--json"},
       false},
      {"verify-local",
       "verify a directory against the list in its dir.sig",
       "usage: docseal verify-local [--json] DIR/dir.sig\n"
       "\n"
       "Checks the files that the directory signature lists, in the directory\n"
       "that holds it. Files added since are not seen.\n",
       RunVerifyLocal,
       {},
       {"--json"},
       false},
      {"info",
       "print the signer's text of a signature file",
       "usage: docseal info [--json] SIG\n"
       "\n"
       "Prints the signer's text; the signature is not verified.\n",
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
       "Signs the fixed time-stamp text with the card and prints the signature\n"
       "as Base64 text. No signature file is written unless --output is given.\n",
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
       "  --output FILE     write the PEM to FILE\n",
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
               "library's result code otherwise (with a one-line message naming it), and\n"
               "%d when the tool itself cannot go on (a bad argument, a file it cannot\n"
               "read or write). The card is reached through the PKCS#11 module\n"
               "\"aetpkss1.dll\" on the loader's path.\n",
               cli::kToolError);
}

}  // namespace

int main(int argc, char** argv) {
  return cli::RunTool(kProg, argc, argv, Commands(), MainHelp, "--json", kJsonHelp);
}

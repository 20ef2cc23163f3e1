// doclock: wraps data for a recipient's certificate with the card, unwraps
// it, and reads the signer's certificate out of a wrapped structure. Each
// subcommand drives one entry point of the exchange library; the exit
// status is the library's result code modulo 256 (0 for success).
#include <Doclock.h>
#include <exchpack_dll.h>  // the codes Doclock passes on
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cli.h"

namespace {

const char* const kProg = "doclock";

const std::vector<cli::CodeText>& Codes() {
  static const std::vector<cli::CodeText> codes = {
#define DOCLOCK_CODE_ROW_(name, value, text) {value, #name, text},
      DOCLOCK_RESULT_CODES(DOCLOCK_CODE_ROW_)
#undef DOCLOCK_CODE_ROW_
#define EXCHPACK_CODE_ROW_(name, value, text) {value, #name, text},
          EXCHPACK_RESULT_CODES(EXCHPACK_CODE_ROW_)
#undef EXCHPACK_CODE_ROW_
  };
  return codes;
}

using cli::Command;

int Usage(const std::string& message) { return cli::Error(kProg, message + " (see --help)"); }

int Fail(int32_t code) { return cli::Fail(kProg, code, Codes()); }

// The input: one file argument or standard input ("-" or none).
bool ReadInput(const cli::Args& args, std::string* data, int* status) {
  const auto& pos = args.positional();
  if (pos.size() > 1) {
    *status = Usage("one input at a time");
    return false;
  }
  // Room for a regular file's bytes up front: reading then neither copies
  // the bytes again as the buffer grows nor leaves the old buffers behind.
  const std::string path = pos.empty() ? "-" : pos[0];
  struct stat st {};
  if (path != "-" && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    data->reserve(static_cast<size_t>(st.st_size));
  }
  std::string error;
  if (!cli::ReadFile(path, data, &error)) {
    *status = cli::Error(kProg, error);
    return false;
  }
  return true;
}

// Sizes cross the library as 32-bit counts.
bool Fits(size_t n, size_t room) {
  return n <= static_cast<size_t>(std::numeric_limits<int32_t>::max()) - room;
}

int WriteOutput(const cli::Args& args, const std::string& data) {
  std::string path = args.Value("--output", "-");
  if (path == "-" && isatty(1)) {
    return cli::Error(kProg, "not writing binary data to a terminal: give --output FILE");
  }
  std::string error;
  if (!cli::WriteFileAtomic(path, data, &error)) return cli::Error(kProg, error);
  if (path != "-")
    std::fprintf(stderr, "%s: wrote %zu bytes to '%s'\n", kProg, data.size(), path.c_str());
  return 0;
}

std::vector<std::string> WithPin(std::vector<std::string> v) {
  v.insert(v.end(), cli::kPinOptions.begin(), cli::kPinOptions.end());
  return v;
}

int RunEncrypt(const cli::Args& args) {
  std::string cert_path = args.Value("--cert");
  if (cert_path.empty()) return Usage("encrypt: give the recipient's --cert");
  std::string cert, data, error;
  if (!cli::ReadFile(cert_path, &cert, &error)) return cli::Error(kProg, error);
  int status = 0;
  if (!ReadInput(args, &data, &status)) return status;
  // The structure holds the data, its padding, the recipient's key
  // transport and the signer's certificate and signature.
  size_t room = cert.size() * 2 + (64u << 10);
  if (!Fits(data.size(), room)) return cli::Error(kProg, "the data is too large (2 GiB at most)");
  std::string pin;
  if (!cli::ReadPin(args, &pin, &error)) return cli::Error(kProg, error);
  // The library writes into the buffer that is then written out, so a
  // large input is held twice, not four times.
  std::string out(data.size() + room, '\0');
  int32_t out_size = static_cast<int32_t>(out.size());
  int32_t rc = Encrypt(
      pin.c_str(), reinterpret_cast<const unsigned char*>(cert.data()),
      static_cast<int32_t>(cert.size()), reinterpret_cast<const unsigned char*>(data.data()),
      static_cast<int32_t>(data.size()), reinterpret_cast<unsigned char*>(&out[0]), &out_size);
  cli::Wipe(&pin);
  if (rc != 0) return Fail(rc);
  out.resize(static_cast<size_t>(out_size));
  return WriteOutput(args, out);
}

int RunDecrypt(const cli::Args& args) {
  std::string p12, error;
  int status = 0;
  if (!ReadInput(args, &p12, &status)) return status;
  if (!Fits(p12.size(), 0)) return cli::Error(kProg, "the input is too large (2 GiB at most)");
  std::string pin;
  if (!cli::ReadPin(args, &pin, &error)) return cli::Error(kProg, error);
  // The data is never longer than the structure that carries it.
  std::string out(std::max<size_t>(p12.size(), 1), '\0');
  int32_t out_size = static_cast<int32_t>(out.size());
  int32_t rc =
      Decrypt(pin.c_str(), reinterpret_cast<unsigned char*>(&out[0]), &out_size,
              reinterpret_cast<const unsigned char*>(p12.data()), static_cast<int32_t>(p12.size()));
  cli::Wipe(&pin);
  if (rc != 0) return Fail(rc);
  out.resize(static_cast<size_t>(out_size));
  return WriteOutput(args, out);
}

int RunCert(const cli::Args& args) {
  std::string p12;
  int status = 0;
  if (!ReadInput(args, &p12, &status)) return status;
  if (!Fits(p12.size(), 0)) return cli::Error(kProg, "the input is too large (2 GiB at most)");
  std::vector<char> b64(4096, '\0');  // 2 x 1500 bytes at most
  int32_t rc = GetSignCertificateFromP12(reinterpret_cast<const unsigned char*>(p12.data()),
                                         static_cast<int32_t>(p12.size()), b64.data());
  if (rc != 0) return Fail(rc);
  std::string text = b64.data();
  std::string out = text + "\n";
  if (args.Has("--pem")) {
    std::string der;
    if (!cli::CertificateDer(text, &der)) return cli::Error(kProg, "no certificate came back");
    out = cli::ToPem(der, "CERTIFICATE");
  }
  std::string error;
  if (!cli::WriteFileAtomic(args.Value("--output", "-"), out, &error)) {
    return cli::Error(kProg, error);
  }
  return 0;
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"encrypt", "wrap data for a recipient's certificate with the card",
       "usage: doclock encrypt --cert RECIPIENT [--output FILE] [PIN option] [INPUT]\n"
       "\n"
       "Wraps INPUT (or standard input) for the certificate RECIPIENT (PEM, DER or\n"
       "Base64), signed with the card, and writes the exchange structure to FILE\n"
       "(or standard output). FILE appears only once it is whole.\n",
       RunEncrypt, WithPin({"--cert", "--output"}), cli::kPinFlags, true},
      {"decrypt", "unwrap an exchange structure with the card",
       "usage: doclock decrypt [--output FILE] [PIN option] [INPUT]\n"
       "\n"
       "Checks the signature of the exchange structure INPUT (or standard input),\n"
       "unwraps it with the card's encryption key and writes the data to FILE (or\n"
       "standard output).\n",
       RunDecrypt, WithPin({"--output"}), cli::kPinFlags, true},
      {"cert",
       "print the signer's certificate of an exchange structure",
       "usage: doclock cert [--pem] [--output FILE] [INPUT]\n"
       "\n"
       "Prints the signing certificate inside the exchange structure as Base64\n"
       "text of its DER bytes (or PEM with --pem). Needs no card.\n",
       RunCert,
       {"--output"},
       {"--pem"},
       false},
  };
  return commands;
}

void MainHelp(FILE* out) {
  std::fprintf(out,
               "usage: doclock COMMAND [OPTION]... [INPUT]\n"
               "\n"
               "Wraps and unwraps exchange data with the IC card.\n"
               "\n"
               "Commands:\n");
  for (const auto& c : Commands()) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
  std::fprintf(out,
               "\n"
               "'doclock COMMAND --help' tells more. The exit status is 0 on success, the\n"
               "library's (negative) result code modulo 256 otherwise, with a one-line\n"
               "message naming it, and %d when the tool itself cannot go on.\n",
               cli::kToolError);
}

}  // namespace

int main(int argc, char** argv) { return cli::RunTool(kProg, argc, argv, Commands(), MainHelp); }

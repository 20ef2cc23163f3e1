// doclock: wraps data for a recipient's certificate with the card, unwraps
// it, and reads the signer's certificate out of a wrapped structure. Each
// subcommand drives one entry point of the exchange library. The library's
// (negative) result codes become exit statuses below 126 through one table,
// kExitStatuses: statuses of 126 and up mean "not executable", "not found"
// and "killed by a signal" to the shell.
#include <Doclock.h>
#include <exchpack_dll.h>  // the codes Doclock passes on
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
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

// The exit status of each library code. The exchange codes -1xx exit with
// 1xx - 90 (11 to 44), so that the status still tells the code; a code the
// table does not know exits with kOtherCode.
struct ExitStatus {
  int32_t code;
  int status;
};
constexpr ExitStatus kExitStatuses[] = {
    {DOCLOCK_OK, 0},
    {DOCLOCK_ERR_RECORD, 1},
    {DOCLOCK_ERR_CARD_START, 23},
    {EXCHPACK_ERR_ARGUMENT, 11},
    {EXCHPACK_ERR_MEMORY, 12},
    {EXCHPACK_ERR_INTERNAL, 13},
    {EXCHPACK_ERR_RECIPIENT_CERT, 20},
    {EXCHPACK_ERR_OUTPUT_TOO_SMALL, 21},
    {EXCHPACK_ERR_CARD, 30},
    {EXCHPACK_ERR_PIN, 31},
    {EXCHPACK_ERR_LOGIN, 32},
    {EXCHPACK_ERR_CARD_CERT, 33},
    {EXCHPACK_ERR_SIGN, 34},
    {EXCHPACK_ERR_KEY_DECRYPT, 35},
    {EXCHPACK_ERR_NOT_STRUCTURE, 40},
    {EXCHPACK_ERR_BAD_SIGNATURE, 41},
    {EXCHPACK_ERR_NOT_RECIPIENT, 42},
    {EXCHPACK_ERR_CONTENT, 43},
    {EXCHPACK_ERR_NO_SIGNER_CERT, 44},
};
constexpr int kOtherCode = 99;

int StatusOf(int32_t code) {
  for (const auto& row : kExitStatuses) {
    if (row.code == code) return row.status;
  }
  return kOtherCode;
}

std::string TextOf(int32_t code) {
  for (const auto& c : Codes()) {
    if (c.code == code) return c.text;
  }
  return "unknown result code";
}

using cli::Command;

int Usage(const std::string& message) { return cli::Error(kProg, message + " (see --help)"); }

// With --json, one object on standard output: the library's code, its
// name and text, the exit status, and the fields of a success.
int Report(const cli::Args& args, int32_t code,
           nlohmann::ordered_json fields = nlohmann::ordered_json::object()) {
  int status = StatusOf(code);
  if (code != DOCLOCK_OK) cli::Fail(kProg, code, Codes());  // the message names the code
  if (code == DOCLOCK_ERR_CARD_START) cli::ExplainModuleLoad(kProg);
  if (!args.Has("--json")) return status;
  nlohmann::ordered_json out = {{"code", code},
                                {"result", cli::CodeName(code, Codes())},
                                {"message", TextOf(code)},
                                {"exit", status}};
  out.update(fields);
  if (!cli::PrintJson(kProg, out) || std::fflush(stdout) != 0) return cli::kToolError;
  return status;
}

// The input: one file argument or standard input ("-" or none).
std::string InputPath(const cli::Args& args) {
  const auto& pos = args.positional();
  return pos.empty() ? "-" : pos[0];
}

// The most input a call can take: sizes cross the library as 32-bit
// counts, and room more bytes must fit beside the input in the answer.
uint64_t InputLimit(size_t room) {
  constexpr size_t kMax = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  return room >= kMax ? 0 : kMax - room;
}

// Reads the input; one larger than max_bytes is refused, a regular file from
// its size before anything of it is read.
bool ReadInput(const cli::Args& args, uint64_t max_bytes, std::string* data, int* status) {
  if (args.positional().size() > 1) {
    *status = Usage("one input at a time");
    return false;
  }
  // Room for a regular file's bytes up front: reading then neither copies
  // the bytes again as the buffer grows nor leaves the old buffers behind.
  const std::string path = InputPath(args);
  struct stat st {};
  if (path != "-" && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<uint64_t>(st.st_size) <= max_bytes) {
    data->reserve(static_cast<size_t>(st.st_size));
  }
  std::string error;
  if (!cli::ReadFile(path, data, &error, max_bytes)) {
    *status = cli::Error(kProg, error);
    return false;
  }
  return true;
}

// What a PIN option reads from, as the file it refers to; false when there
// is no such option or it cannot be looked at (reading it fails later).
bool PinSource(const cli::Args& args, struct stat* st) {
  if (args.Has("--pin-stdin")) return fstat(0, st) == 0;
  if (args.Has("--pin-file")) return stat(args.Value("--pin-file").c_str(), st) == 0;
  if (!args.Has("--pin-fd")) return false;
  const std::string v = args.Value("--pin-fd");
  char* end = nullptr;
  long fd = std::strtol(v.c_str(), &end, 10);
  return !v.empty() && *end == '\0' && fd >= 0 && fd <= 65535 &&
         fstat(static_cast<int>(fd), st) == 0;
}

// Standard input (or any one pipe, terminal or file) carries either the PIN
// or the data, never both: the data would swallow the PIN line (or the PIN
// read take the data's first line). What the two refer to is compared, not
// how they are named ("--pin-fd 00", "/dev/stdin").
bool PinAndInputApart(const cli::Args& args, int* status) {
  struct stat pin {
  }, data{};
  const std::string input = InputPath(args);
  bool data_known = input == "-" ? fstat(0, &data) == 0 : stat(input.c_str(), &data) == 0;
  if (data_known && PinSource(args, &pin) && pin.st_dev == data.st_dev &&
      pin.st_ino == data.st_ino) {
    *status = Usage(
        "the PIN and the data cannot both come from standard input: give INPUT as a "
        "file, or the PIN with --pin-fd N or --pin-file FILE");
    return false;
  }
  return true;
}

// Checks before the PIN is asked for that the output can be written: a
// terminal is refused for binary data, and FILE must be a regular file or
// new, in an existing directory that can be written into.
bool OutputWritable(const std::string& path, bool binary, int* status) {
  if (path == "-") {
    if (binary && isatty(1)) {
      *status = cli::Error(kProg, "not writing binary data to a terminal: give --output FILE");
      return false;
    }
    return true;
  }
  std::string problem = cli::OutputProblem(path);
  if (!problem.empty()) {
    *status = cli::Error(kProg, problem);
    return false;
  }
  return true;
}

// Everything that can be checked without the card, in the order a user
// fixes it: the options, where the PIN and the data come from, the output.
bool Preflight(const cli::Args& args, int* status) {
  if (args.Has("--json") && args.Value("--output", "-") == "-") {
    *status = Usage("--json prints the result on standard output: give the data --output FILE");
    return false;
  }
  return PinAndInputApart(args, status) &&
         OutputWritable(args.Value("--output", "-"), true, status);
}

int WriteOutput(const cli::Args& args, const unsigned char* data, int32_t size) {
  std::string path = args.Value("--output", "-");
  std::string error;
  if (!cli::WriteFileAtomic(path, data, static_cast<size_t>(size), &error)) {
    return cli::Error(kProg, error);
  }
  if (path != "-")
    std::fprintf(stderr, "%s: wrote %d bytes to '%s'\n", kProg, static_cast<int>(size),
                 cli::ForDisplay(path).c_str());
  // The name as UTF-8 without loss: its bytes may be in no encoding at all.
  return Report(args, DOCLOCK_OK, {{"output", cli::NameUtf8(path)}, {"bytes", size}});
}

std::vector<std::string> WithPin(std::vector<std::string> v) {
  v.insert(v.end(), cli::kPinOptions.begin(), cli::kPinOptions.end());
  return v;
}

std::vector<std::string> Flags(std::vector<std::string> v, bool pin) {
  if (pin) v.insert(v.end(), cli::kPinFlags.begin(), cli::kPinFlags.end());
  return v;
}

int RunEncrypt(const cli::Args& args) {
  std::string cert_path = args.Value("--cert");
  if (cert_path.empty()) return Usage("encrypt: give the recipient's --cert");
  int status = 0;
  if (!Preflight(args, &status)) return status;
  std::string cert, data, error;
  if (!cli::ReadFile(cert_path, &cert, &error)) return cli::Error(kProg, error);
  // The structure holds the data, its padding, the recipient's key
  // transport and the signer's certificate and signature.
  size_t room = cert.size() * 2 + (64u << 10);
  if (!ReadInput(args, InputLimit(room), &data, &status)) return status;
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
  if (rc != DOCLOCK_OK) return Report(args, rc);
  return WriteOutput(args, reinterpret_cast<const unsigned char*>(out.data()), out_size);
}

int RunDecrypt(const cli::Args& args) {
  int status = 0;
  if (!Preflight(args, &status)) return status;
  std::string p12, error;
  if (!ReadInput(args, InputLimit(0), &p12, &status)) return status;
  std::string pin;
  if (!cli::ReadPin(args, &pin, &error)) return cli::Error(kProg, error);
  // The data is never longer than the structure that carries it.
  std::string out(std::max<size_t>(p12.size(), 1), '\0');
  int32_t out_size = static_cast<int32_t>(out.size());
  int32_t rc =
      Decrypt(pin.c_str(), reinterpret_cast<unsigned char*>(&out[0]), &out_size,
              reinterpret_cast<const unsigned char*>(p12.data()), static_cast<int32_t>(p12.size()));
  cli::Wipe(&pin);
  if (rc != DOCLOCK_OK) return Report(args, rc);
  return WriteOutput(args, reinterpret_cast<const unsigned char*>(out.data()), out_size);
}

int RunCert(const cli::Args& args) {
  if (args.Has("--json") && args.Has("--pem")) {
    return Usage("cert: --json carries the certificate as Base64; give --json or --pem");
  }
  int status = 0;
  if (!OutputWritable(args.Value("--output", "-"), false, &status)) return status;
  std::string p12;
  if (!ReadInput(args, InputLimit(0), &p12, &status)) return status;
  std::vector<char> b64(4096, '\0');  // 2 x 1500 bytes at most
  int32_t rc = GetSignCertificateFromP12(reinterpret_cast<const unsigned char*>(p12.data()),
                                         static_cast<int32_t>(p12.size()), b64.data());
  if (rc != DOCLOCK_OK) return Report(args, rc);
  std::string text = b64.data();
  std::string out = text + "\n";
  if (args.Has("--json")) {
    nlohmann::json json = {{"code", rc},
                           {"result", cli::CodeName(rc, Codes())},
                           {"message", TextOf(rc)},
                           {"exit", 0},
                           {"certificate", text}};
    out = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  } else if (args.Has("--pem")) {
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

const char* const kJsonHelp =
    "  --json            one JSON object on standard output: the library's code\n"
    "                    (\"code\", \"result\", \"message\") and the exit status (\"exit\")\n";

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"encrypt", "wrap data for a recipient's certificate with the card",
       "usage: doclock encrypt --cert RECIPIENT [--output FILE] [--json] [PIN option] [INPUT]\n"
       "\n"
       "Wraps INPUT (or standard input) for the certificate RECIPIENT (PEM, DER or\n"
       "Base64), signed with the card, and writes the exchange structure to FILE\n"
       "(or standard output, never a terminal). FILE appears only once it is whole.\n"
       "With the data on standard input, the PIN comes from --pin-fd or --pin-file.\n",
       RunEncrypt, WithPin({"--cert", "--output"}), Flags({"--json"}, true), true},
      {"decrypt", "unwrap an exchange structure with the card",
       "usage: doclock decrypt [--output FILE] [--json] [PIN option] [INPUT]\n"
       "\n"
       "Checks the signature of the exchange structure INPUT (or standard input),\n"
       "unwraps it with the card's encryption key and writes the data to FILE (or\n"
       "standard output, never a terminal). With the structure on standard input,\n"
       "the PIN comes from --pin-fd or --pin-file.\n",
       RunDecrypt, WithPin({"--output"}), Flags({"--json"}, true), true},
      {"cert",
       "print the signer's certificate of an exchange structure",
       "usage: doclock cert [--pem | --json] [--output FILE] [INPUT]\n"
       "\n"
       "Prints the signing certificate inside the exchange structure as Base64\n"
       "text of its DER bytes (or PEM with --pem, or in the \"certificate\" field\n"
       "of the JSON object with --json). Needs no card.\n",
       RunCert,
       {"--output"},
       Flags({"--pem", "--json"}, false),
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
               "'doclock COMMAND --help' tells more.\n"
               "\n"
               "Exit status (a failed library call also prints its code on standard error):\n"
               "  %3d  success\n"
               "  %3d  the tool itself cannot go on (argument, file, output)\n",
               0, cli::kToolError);
  for (const auto& row : kExitStatuses) {
    if (row.code == DOCLOCK_OK) continue;
    std::fprintf(out, "  %3d  %d %s\n", row.status, static_cast<int>(row.code),
                 cli::CodeName(row.code, Codes()).c_str());
  }
  std::fprintf(out, "  %3d  any other library code\n", kOtherCode);
}

}  // namespace

int main(int argc, char** argv) {
  return cli::RunTool(kProg, argc, argv, Commands(), MainHelp, "--json", kJsonHelp);
}

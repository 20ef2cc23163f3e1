// Shared parts of the command-line tools: argument scanning, PIN input,
// result messages, text conversion for display and JSON, files written
// through a temporary name, and the progress line.
#ifndef VORPIN_TOOLS_CLI_H
#define VORPIN_TOOLS_CLI_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace cli {

// Exit status of a failure of the tool itself (bad argument, an input it
// cannot read, an output it cannot write). Neither library uses 2.
constexpr int kToolError = 2;

struct CodeText {
  int32_t code;
  const char* name;
  const char* text;
};

// Prints "PROG: CODE NAME: TEXT" on standard error for a failed library
// call and returns the exit status for it (the code, modulo 256).
int Fail(const char* prog, int32_t code, const std::vector<CodeText>& table);
// Prints "PROG: message" on standard error and returns kToolError.
int Error(const char* prog, const std::string& message);
std::string CodeName(int32_t code, const std::vector<CodeText>& table);

// The arguments of one subcommand: options with values, flags, the rest.
class Args {
 public:
  // value_options: names that take a value ("--pin-fd"); flags: names
  // that do not. Unknown options and missing values are errors.
  Args(int argc, char** argv, std::vector<std::string> value_options,
       std::vector<std::string> flags);
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  bool Has(const std::string& name) const;
  std::string Value(const std::string& name, const std::string& fallback = "") const;
  const std::vector<std::string>& positional() const { return positional_; }

 private:
  std::vector<std::pair<std::string, std::string>> values_;
  std::vector<std::string> flags_;
  std::vector<std::string> positional_;
  std::string error_;
};

// The PIN options every card subcommand takes.
extern const std::vector<std::string> kPinOptions;  // --pin-fd, --pin-file
extern const std::vector<std::string> kPinFlags;    // --pin-stdin
extern const char* const kPinHelp;

// Reads the PIN from --pin-stdin, --pin-fd N or --pin-file FILE (first
// line), or else prompts on the terminal without echo. Never from an
// argument. On failure returns false with a message in *error.
bool ReadPin(const Args& args, std::string* pin, std::string* error);
// Overwrites and clears a string that held a PIN.
void Wipe(std::string* s);

// Library texts for display: the libraries' own Big5 phrases become the
// terminal's encoding (a plain English gloss where it cannot show them);
// every other byte (names, the signer's text) is already the locale's.
std::string ForDisplay(const std::string& text);
// The same text as a JSON string literal (UTF-8, quoted, escaped).
std::string Json(const std::string& text);

bool ReadFile(const std::string& path, std::string* data, std::string* error);
// Writes data to path through a temporary file in the same directory that
// is renamed into place: the path holds the old content or the whole new
// one, never a part. "-" writes to standard output.
bool WriteFileAtomic(const std::string& path, const std::string& data, std::string* error);

// A free temporary name beside final_path for a library to write to (not
// created here, so that a directory walk made before the write does not
// see it); Commit renames the written file into place, the destructor
// removes it when it was not committed.
class TempBeside {
 public:
  explicit TempBeside(const std::string& final_path);
  ~TempBeside();
  TempBeside(const TempBeside&) = delete;
  TempBeside& operator=(const TempBeside&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }
  bool Commit(std::string* error);

 private:
  std::string final_;
  std::string path_;
  std::string error_;
  bool committed_ = false;
};

// Sizes of a file or a directory tree, counted the way the signing
// library walks it (links to files count, links to directories do not).
struct TreeSize {
  uint64_t bytes = 0;
  uint64_t files = 0;
  uint64_t name_bytes = 0;  // the relative names, each with two bytes more
};
TreeSize MeasureTree(const std::string& path);

// Runs work() and, when standard error is a terminal and total_bytes is
// large, shows a progress line of the bytes this process has read
// meanwhile; the line is cleared before returning.
int32_t WithProgress(const char* what, uint64_t total_bytes, const std::function<int32_t()>& work);

std::string Base64(const std::string& der);
std::string ToPem(const std::string& der, const char* label);
// Certificate bytes (PEM, DER or Base64 text) as DER, or as Base64 text of
// the DER; false when they hold no certificate.
bool CertificateDer(const std::string& bytes, std::string* der);
bool CertificateBase64(const std::string& bytes, std::string* b64);

// One subcommand of a tool.
struct Command {
  const char* name;
  const char* summary;
  const char* help;  // the subcommand's --help text
  int (*run)(const Args& args);
  std::vector<std::string> value_options;
  std::vector<std::string> flags;
  bool pin;  // takes the PIN options (their help follows the subcommand's)
};

// A tool's main: --help, --version, "COMMAND --help" (with extra_help for a
// command that takes extra_flag), then the command's arguments and run.
// main_help prints the tool's own help to the stream it is given.
int RunTool(const char* prog, int argc, char** argv, const std::vector<Command>& commands,
            void (*main_help)(FILE* out), const char* extra_flag = nullptr,
            const char* extra_help = nullptr);

}  // namespace cli

#endif  // VORPIN_TOOLS_CLI_H

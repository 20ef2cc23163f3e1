// Shared parts of the command-line tools: argument scanning, PIN input,
// result messages, text conversion for display and JSON, files written
// through a temporary name, and the progress line.
#ifndef VORPIN_TOOLS_CLI_H
#define VORPIN_TOOLS_CLI_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
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
  // Every value of a repeatable option, in the order given.
  std::vector<std::string> Values(const std::string& name) const;
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
// Control bytes (C0, DEL, C1) are shown as "\xNN", as is a backslash
// before "x", so a name cannot rewrite the terminal and nothing is lost.
std::string ForDisplay(const std::string& text);
// The same text as UTF-8 for JSON (bytes that are neither a phrase nor
// valid UTF-8 become U+FFFD).
std::string Utf8(const std::string& text);
// The same text in English: the libraries' phrases by their gloss.
std::string English(const std::string& text);
// A file name as UTF-8 without loss: valid UTF-8 stays, every other byte
// becomes "\xNN" (names of a signed list never hold a backslash, so the
// escape cannot be confused with the name's own bytes).
std::string NameUtf8(const std::string& name);

// {"code": CODE, "result": "NAME"}, the start of every JSON answer.
nlohmann::ordered_json JsonResult(int32_t code, const std::vector<CodeText>& table);
// Writes one JSON object and a newline to standard output. Never throws:
// text that is not UTF-8 becomes U+FFFD, and any other failure is told on
// standard error ("PROG: ...") and gives false.
bool PrintJson(const char* prog, const nlohmann::ordered_json& object);

// Why the PKCS#11 module the card library loads cannot be loaded by this
// process (the loader's own message), or empty when it loads.
std::string ModuleLoadError(const char* file_name);
// The card's PKCS#11 module, the file both card libraries load.
extern const char* const kCardModule;
// After the card library could not start: when kCardModule does not load,
// says so on standard error with the loader's reason and where the README
// tells how to set a real card up; says nothing when it loads.
void ExplainModuleLoad(const char* prog);

// Reads a whole file ("-": standard input). A regular file larger than
// max_bytes is refused from its size before anything is read, with the
// limit in the message.
bool ReadFile(const std::string& path, std::string* data, std::string* error,
              uint64_t max_bytes = UINT64_MAX);
// Why path cannot take an output, told before the card is used: it exists
// and is no regular file (a link is followed to what it names), or its
// directory is missing or cannot be written into. Empty when it can; "-"
// (standard output) always can.
std::string OutputProblem(const std::string& path);
// Writes data to path through a temporary file in the same directory that
// is renamed into place: the path holds the old content or the whole new
// one, never a part. A link is followed and the file it names replaced; a
// path that is no regular file is refused and left as it is. "-" writes to
// standard output.
bool WriteFileAtomic(const std::string& path, const unsigned char* data, size_t size,
                     std::string* error);
inline bool WriteFileAtomic(const std::string& path, const std::string& data, std::string* error) {
  return WriteFileAtomic(path, reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                         error);
}

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
// total_bytes is asked only when a progress line could show (standard error
// is a terminal): measuring a tree costs a walk of its own.
int32_t WithProgress(const char* what, const std::function<uint64_t()>& total_bytes,
                     const std::function<int32_t()>& work);

std::string Base64(const std::string& der);
std::string ToPem(const std::string& der, const char* label);
// Certificate bytes (PEM, DER or Base64 text) as DER, or as Base64 text of
// the DER; false when they hold no certificate.
bool CertificateDer(const std::string& bytes, std::string* der);
bool CertificateBase64(const std::string& bytes, std::string* b64);
// Base64 text (white space ignored) as its bytes; false when it is none.
bool FromBase64(const std::string& text, std::string* bytes);

// One subcommand of a tool.
struct Command {
  const char* name;
  const char* summary;
  const char* help;  // the subcommand's --help text
  int (*run)(const Args& args);
  std::vector<std::string> value_options;
  std::vector<std::string> flags;
  bool pin;  // takes the PIN options (their help follows the subcommand's)
  // Value options that may be given more than once; any other one given
  // twice is refused rather than letting the last one win unseen.
  std::vector<std::string> repeatable = {};
};

// A tool's main: --help, --version, "COMMAND --help" (with extra_help for a
// command that takes extra_flag), then the command's arguments and run.
// Standard output is flushed and closed at the end: an output that could
// not be written whole turns a success into kToolError.
// main_help prints the tool's own help to the stream it is given.
int RunTool(const char* prog, int argc, char** argv, const std::vector<Command>& commands,
            void (*main_help)(FILE* out), const char* extra_flag = nullptr,
            const char* extra_help = nullptr);

}  // namespace cli

#endif  // VORPIN_TOOLS_CLI_H

// The tools' shared parts: text conversion for display and JSON, argument
// scanning, PIN input and files written whole or not at all.
#include "cli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// 檔案內容與簽章值不符 and ", 目錄中多了" as the library writes them (Big5).
const std::string kMismatchBig5 =
    "\xc0\xc9\xae\xd7\xa4\xba\xae\x65\xbb\x50\xc3\xb1\xb3\xb9\xad\xc8\xa4\xa3\xb2\xc5";
const std::string kAddedBig5 = ", \xa5\xd8\xbf\xfd\xa4\xa4\xa6\x68\xa4\x46";
const std::string kMismatchUtf8 = "檔案內容與簽章值不符";
const std::string kAddedUtf8 = ", 目錄中多了";

struct TextCase {
  const char* name;
  const char* locale;
  std::string in;
  std::string display;
  std::string json;
  std::string english;
};

const TextCase kTextCases[] = {
    {"plain_ascii", "C.UTF-8", "Alice", "Alice", "\"Alice\"", "Alice"},
    {"phrase_in_utf8_locale", "C.UTF-8", kMismatchBig5, kMismatchUtf8, "\"" + kMismatchUtf8 + "\"",
     "the content does not match the signature value"},
    // The names after the phrases are the locale's bytes and stay as they are.
    {"phrase_then_utf8_name", "C.UTF-8", kMismatchBig5 + kAddedBig5 + " caf\xc3\xa9.txt",
     kMismatchUtf8 + kAddedUtf8 + " café.txt", "\"" + kMismatchUtf8 + kAddedUtf8 + " café.txt\"",
     "the content does not match the signature value, the directory also holds: café.txt"},
    {"phrase_in_ascii_locale", "C", kMismatchBig5 + kAddedBig5 + " a.txt",
     "the content does not match the signature value, the directory also holds: a.txt",
     "\"" + kMismatchUtf8 + kAddedUtf8 + " a.txt\"",
     "the content does not match the signature value, the directory also holds: a.txt"},
    {"json_escapes", "C.UTF-8", "a\"b\\c\nd\x01", "a\"b\\c\\x0ad\\x01",
     "\"a\\\"b\\\\c\\nd\\u0001\"", "a\"b\\c\nd\x01"},
    // Controls are shown escaped: C0, DEL, C1 as UTF-8 carries it, and "\x".
    {"display_controls", "C.UTF-8", "\r\x1b[2K\x7f\xc2\x9b\\x41\xc2\xa0",
     "\\x0d\\x1b[2K\\x7f\\xc2\\x9b\\x5cx41\xc2\xa0", "\"\\r\\u001b[2K\x7f\xc2\x9b\\\\x41\xc2\xa0\"",
     "\r\x1b[2K\x7f\xc2\x9b\\x41\xc2\xa0"},
    {"json_invalid_utf8", "C.UTF-8", "x\xff\xc3", "x\xff\xc3", "\"x\xef\xbf\xbd\xef\xbf\xbd\"",
     "x\xef\xbf\xbd\xef\xbf\xbd"},
};

class CliText : public testing::TestWithParam<TextCase> {
 protected:
  void SetUp() override { ASSERT_NE(std::setlocale(LC_ALL, GetParam().locale), nullptr); }
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_P(CliText, DisplayJsonAndEnglish) {
  EXPECT_EQ(cli::ForDisplay(GetParam().in), GetParam().display);
  EXPECT_EQ(nlohmann::json(cli::Utf8(GetParam().in)).dump(), GetParam().json);
  EXPECT_EQ(cli::English(GetParam().in), GetParam().english);
}

// File names keep every byte: what is not UTF-8 is escaped, so that two
// names that differ only there stay apart.
TEST(CliText, NamesEscapeBytesThatAreNotUtf8) {
  const std::pair<std::string, std::string> rows[] = {
      {"caf\xc3\xa9.txt", "café.txt"},
      {"caf\xe9.txt", "caf\\xe9.txt"},      // Latin-1 é
      {"a\xc3", "a\\xc3"},                  // cut short
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // a surrogate
  };
  for (const auto& row : rows) EXPECT_EQ(cli::NameUtf8(row.first), row.second) << row.first;
  EXPECT_NE(cli::NameUtf8("\xe9"), cli::NameUtf8("\xea"));
}

INSTANTIATE_TEST_SUITE_P(Texts, CliText, testing::ValuesIn(kTextCases),
                         [](const testing::TestParamInfo<TextCase>& row) {
                           return std::string(row.param.name);
                         });

cli::Args Parse(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(&w[0]);
  return cli::Args(static_cast<int>(argv.size()), argv.data(), {"--output", "--pin-fd"},
                   {"--json", "--pin-stdin"});
}

TEST(CliArgs, OptionsFlagsAndPositionals) {
  cli::Args a = Parse({"--json", "x", "--output", "o.sig", "--pin-fd=3", "--", "--json"});
  ASSERT_TRUE(a.ok()) << a.error();
  EXPECT_TRUE(a.Has("--json"));
  EXPECT_EQ(a.Value("--output"), "o.sig");
  EXPECT_EQ(a.Value("--pin-fd"), "3");
  EXPECT_EQ(a.positional(), (std::vector<std::string>{"x", "--json"}));
  EXPECT_FALSE(Parse({"--pin", "123456"}).ok());  // no PIN option takes the PIN itself
  EXPECT_FALSE(Parse({"--output"}).ok());
  EXPECT_FALSE(Parse({"--json=1"}).ok());
}

class CliFiles : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/cli_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    chmod(dir_.c_str(), 0700);
    fs::remove_all(dir_);
  }
  std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  size_t Entries() { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {})); }
  std::string dir_;
};

TEST_F(CliFiles, PinFromDescriptorAndFileTakesTheFirstLine) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "123456\r\nrest\n", 13), 13);
  close(fds[1]);
  std::string pin, error;
  ASSERT_TRUE(cli::ReadPin(Parse({"--pin-fd", std::to_string(fds[0])}), &pin, &error)) << error;
  EXPECT_EQ(pin, "123456");
  close(fds[0]);

  std::ofstream(dir_ + "/pin") << "654321";
  std::vector<std::string> words = {"--pin-file", dir_ + "/pin"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(&w[0]);
  cli::Args a(2, argv.data(), cli::kPinOptions, cli::kPinFlags);
  ASSERT_TRUE(cli::ReadPin(a, &pin, &error)) << error;
  EXPECT_EQ(pin, "654321");
  cli::Wipe(&pin);
  EXPECT_TRUE(pin.empty());

  EXPECT_FALSE(cli::ReadPin(Parse({"--pin-fd", "x"}), &pin, &error));
  EXPECT_FALSE(cli::ReadPin(Parse({"--pin-fd", "3", "--pin-stdin"}), &pin, &error));
}

TEST_F(CliFiles, AtomicWriteReplacesWholeOrLeavesTheOld) {
  std::string path = dir_ + "/out.bin";
  std::string error;
  ASSERT_TRUE(cli::WriteFileAtomic(path, "old", &error)) << error;
  ASSERT_TRUE(cli::WriteFileAtomic(path, std::string(100000, 'n'), &error)) << error;
  EXPECT_EQ(Slurp(path), std::string(100000, 'n'));
  EXPECT_EQ(Entries(), 1u);  // no temporary left beside it

  if (geteuid() != 0) {  // root writes into a read-only directory anyway
    chmod(dir_.c_str(), 0500);
    EXPECT_FALSE(cli::WriteFileAtomic(path, "new", &error));
    EXPECT_NE(error.find("out.bin"), std::string::npos);
    chmod(dir_.c_str(), 0700);
    EXPECT_EQ(Slurp(path), std::string(100000, 'n'));
  }
  EXPECT_FALSE(cli::WriteFileAtomic(dir_ + "/missing/out.bin", "x", &error));
}

TEST_F(CliFiles, ReadFileRefusesAFileOverTheLimitByItsSize) {
  std::string path = dir_ + "/big";
  std::ofstream(path) << std::string(100, 'x');
  std::string data, error;
  EXPECT_FALSE(cli::ReadFile(path, &data, &error, 99));
  EXPECT_NE(error.find("99 bytes"), std::string::npos) << error;
  EXPECT_TRUE(data.empty());  // refused before reading
  ASSERT_TRUE(cli::ReadFile(path, &data, &error, 100)) << error;
  EXPECT_EQ(data.size(), 100u);
}

TEST_F(CliFiles, TreeSizeCountsFilesAndLinksToFilesOnly) {
  fs::create_directories(dir_ + "/sub");
  std::ofstream(dir_ + "/a") << "12345";
  std::ofstream(dir_ + "/sub/b") << "123";
  fs::create_symlink(dir_ + "/a", dir_ + "/link-a");
  fs::create_directory_symlink(dir_ + "/sub", dir_ + "/link-sub");
  cli::TreeSize size = cli::MeasureTree(dir_);
  EXPECT_EQ(size.files, 3u);
  EXPECT_EQ(size.bytes, 13u);
}

TEST(CliCertificate, PemDerAndBase64GiveTheSameText) {
  const char* card = std::getenv("VORPIN_CARD_DIR");
  if (card == nullptr) GTEST_SKIP() << "no demo certificates";
  std::string pem, der, error, a, b, c;
  ASSERT_TRUE(cli::ReadFile(std::string(card) + "/sign.crt.pem", &pem, &error)) << error;
  ASSERT_TRUE(cli::ReadFile(std::string(card) + "/sign.crt.der", &der, &error)) << error;
  ASSERT_TRUE(cli::CertificateBase64(pem, &a));
  ASSERT_TRUE(cli::CertificateBase64(der, &b));
  ASSERT_TRUE(cli::CertificateBase64(a + "\n", &c));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
  EXPECT_EQ(cli::Base64(der), a);
  EXPECT_FALSE(cli::CertificateBase64("not a certificate", &a));
  EXPECT_FALSE(cli::CertificateBase64(cli::Base64("hello"), &a));
}

}  // namespace

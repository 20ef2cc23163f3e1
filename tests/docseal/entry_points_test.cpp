// The entry points where no card is needed or none can be started, and the
// locale's part in the walk; signatures come from a software signer.
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "Docseal.h"
#include "envelope.h"
#include "soft_signer.h"
#include "test_util.h"
#include "vorpin_dll.h"

namespace {

using namespace docseal_test;

class EntryPointTest : public ::testing::Test {
 protected:
  void WriteSignature(const std::string& path, const std::string& record) {
    Bytes der;
    ASSERT_EQ(sigenv::MakeSignedData(reinterpret_cast<const unsigned char*>(record.data()),
                                     record.size(), "1234", &signer_, &der),
              SIGENV_OK);
    WriteFile(path, AsText(der));
  }
  SoftSigner signer_;
  TempDir tmp_;
  std::vector<char> out_ = std::vector<char>(8192, '#');
  std::string Out() const { return std::string(out_.data()); }
};

// Without a card library to start (no module on the loader's path) and with
// empty arguments: the early answers of the signing entry points.
TEST_F(EntryPointTest, SigningArgumentsAndFailedStart) {
  const std::string file = tmp_ / "x.txt";
  WriteFile(file, "x");
  const std::string dir = tmp_.path();
  const struct {
    const char* name;
    int got;
    int want;
  } cases[] = {
      {"empty_path_before_empty_pin", Signature("", "", "", ""), DOCSEAL_ERR_PATH},
      {"empty_pin", Signature("", "", file.c_str(), ""), DOCSEAL_ERR_PIN},
      {"missing_path", Signature("", "1", (file + "x").c_str(), ""), DOCSEAL_ERR_PATH},
      {"null_path", Signature(nullptr, "1", nullptr, nullptr), DOCSEAL_ERR_PATH},
      {"start_fails", Signature("", "1", file.c_str(), ""), DOCSEAL_ERR_START},
      {"multi_empty_list", SignMulti("", "", ""), DOCSEAL_ERR_PATH},
      {"multi_empty_pin", SignMulti("", "", file.c_str()), DOCSEAL_ERR_PIN},
      {"multi_start_fails", SignMulti("", "1", file.c_str()), DOCSEAL_ERR_START},
      {"timestamp_empty_pin", SignTimestamp("", out_.data()), DOCSEAL_ERR_PIN},
      {"timestamp_start_fails", SignTimestamp("1", out_.data()), DOCSEAL_ERR_START},
      {"dir_start_fails", Signature("", "1", dir.c_str(), ""), DOCSEAL_ERR_START},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.name;
  EXPECT_FALSE(Exists(file + ".sig"));
  EXPECT_FALSE(Exists(dir + "/dir.sig"));
  EXPECT_EQ(out_[0], '#');
}

TEST_F(EntryPointTest, VerifyDerivesTheTargetFromTheSignaturePath) {
  const std::string file = tmp_ / "x.txt";
  WriteFile(file, "x");
  WriteSignature(file + ".sig", ContentRecord(Sha1("x"), "", "file signer"));
  MakeTree(tmp_ / "tree", {{"a", "A"}});
  WriteSignature(tmp_ / "tree/dir.sig", ContentRecord(Sha1("A"), "a;", "dir signer"));

  EXPECT_EQ(Verify(out_.data(), "", (file + ".sig").c_str()), DOCSEAL_OK);
  EXPECT_EQ(Out(), "file signer");
  EXPECT_EQ(Verify(out_.data(), file.c_str(), ""), DOCSEAL_OK);
  EXPECT_EQ(Verify(out_.data(), "", (tmp_ / "tree/dir.sig").c_str()), DOCSEAL_OK);
  EXPECT_EQ(Out(), "dir signer");
  EXPECT_EQ(Verify(out_.data(), (tmp_ / "tree").c_str(), ""), DOCSEAL_OK);
  EXPECT_EQ(VerifyDirLocal(out_.data(), (tmp_ / "tree/dir.sig").c_str()), DOCSEAL_OK);
  EXPECT_EQ(Out(), "dir signer");
  EXPECT_EQ(GetSignInfo(out_.data(), (file + ".sig").c_str()), DOCSEAL_OK);
  EXPECT_EQ(Out(), "file signer");

  WriteFile(file, "y");
  EXPECT_EQ(Verify(out_.data(), file.c_str(), ""), DOCSEAL_ERR_FILE_MISMATCH);
  EXPECT_EQ(Out(), kMismatch);
  WriteFile(tmp_ / "tree/b", "B");
  EXPECT_EQ(Verify(out_.data(), (tmp_ / "tree").c_str(), ""), DOCSEAL_ERR_DIR_MISMATCH);
  EXPECT_EQ(Out(), kMismatch + kHoldsMore + " b");
  // The directory's own signature sees only the files it lists.
  EXPECT_EQ(VerifyDirLocal(out_.data(), (tmp_ / "tree/dir.sig").c_str()), DOCSEAL_OK);
}

TEST_F(EntryPointTest, ReadersOfSignatureFiles) {
  const std::string sig = tmp_ / "x.sig", text = tmp_ / "text";
  WriteSignature(sig, ContentRecord(Sha1("x"), "", "signer"));
  WriteFile(text, "not a signature");
  const Bytes cert = signer_.CertDer();
  std::vector<char> b64(4 * ((cert.size() + 2) / 3) + 1);
  B64Encode(cert.data(), static_cast<uint32_t>(cert.size()), b64.data(),
            static_cast<uint32_t>(b64.size()));

  EXPECT_EQ(GetSignCertificateFromSignature(sig.c_str(), out_.data()), DOCSEAL_OK);
  EXPECT_EQ(Out(), std::string(b64.data()));
  EXPECT_EQ(GetSignCertificateFromSignature(text.c_str(), out_.data()), DOCSEAL_ERR_NO_CERT);
  EXPECT_EQ(GetSignCertificateFromSignature((tmp_ / "none").c_str(), out_.data()),
            DOCSEAL_ERR_NO_CERT);
  EXPECT_EQ(GetSignCertificateFromSignature("", out_.data()), DOCSEAL_ERR_PATH);
  EXPECT_EQ(GetSignInfo(out_.data(), text.c_str()), DOCSEAL_ERR_PATH);
  EXPECT_EQ(GetSignInfo(out_.data(), ""), DOCSEAL_ERR_PATH);
  EXPECT_EQ(Verify(out_.data(), "", ""), DOCSEAL_ERR_PATH);
  EXPECT_EQ(VerifyDirLocal(out_.data(), ""), DOCSEAL_ERR_PATH);

  // Not a signature: 10 and an empty text; missing: 3.
  WriteFile(tmp_ / "y", "y");
  WriteFile(tmp_ / "y.sig", "junk");
  EXPECT_EQ(Verify(out_.data(), (tmp_ / "y").c_str(), ""), DOCSEAL_ERR_NOT_PKCS7);
  EXPECT_EQ(Out(), "");
  unlink((tmp_ / "y.sig").c_str());
  EXPECT_EQ(Verify(out_.data(), (tmp_ / "y").c_str(), ""), DOCSEAL_ERR_PATH);
  EXPECT_EQ(VerifyDirLocal(out_.data(), (tmp_ / "y.sig").c_str()), DOCSEAL_ERR_PATH);
}

// Under a Big5 locale a double-byte character whose second byte is 0x5C
// ("功" is A5 5C) is one character, not a "\"; without a locale the same
// bytes hold a "\" and cannot go into a list.
TEST_F(EntryPointTest, DoubleByteNamesUnderBig5Locale) {
  const std::string locales = tmp_ / "locales";
  mkdir(locales.c_str(), 0755);
  if (RunShell("localedef -i zh_TW -f BIG5 '" + locales + "/zh_TW.BIG5' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no Big5 locale can be made here";
  }
  const std::string root = tmp_ / "tree";
  const std::string name = "\xa5\x5c.txt";
  MakeTree(root, {{name, "gong"}, {"sub/\xa5\x5c", "inner"}});

  Pkcs7Signature plain;
  EXPECT_FALSE(plain.setFilename(root));

  setenv("LOCPATH", locales.c_str(), 1);
  ASSERT_NE(setlocale(LC_CTYPE, "zh_TW.BIG5"), nullptr);
  Pkcs7Signature big5;
  const bool ok = big5.setFilename(root);
  const std::string list = big5.fileList;
  const Bytes digest = ok ? Bytes(big5.digest, big5.digest + 20) : Bytes();
  setlocale(LC_CTYPE, "C");
  unsetenv("LOCPATH");
  ASSERT_TRUE(ok);
  EXPECT_EQ(list, "sub\\\xa5\x5c;" + name + ";");
  // The listed files were found again: the 0x5C inside a character did not
  // become a "/".
  EXPECT_EQ(digest, Sha1("innergong"));
}

}  // namespace

// Signing and verifying on the SoftHSM2 card, end to end through the entry
// points; every signature file is also read by the stock openssl tool.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "Docseal.h"
#include "test_util.h"
#include "vorpin_dll.h"

namespace {

using namespace docseal_test;

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v != nullptr ? v : "";
}

class CardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pin_ = Env("VORPIN_CARD_PIN");
    card_dir_ = Env("VORPIN_CARD_DIR");
    ASSERT_FALSE(pin_.empty());
  }

  // Digest, list and text of a tree as the walk sees it.
  std::string RecordOf(const std::string& root, const std::string& text) {
    Pkcs7Signature s;
    EXPECT_TRUE(s.setFilename(root));
    return ContentRecord(s.digest ? Bytes(s.digest, s.digest + 20) : Bytes(), s.fileList, text);
  }

  int VerifyTree(const std::string& root, std::string* info = nullptr) {
    int rc = Verify(out_.data(), root.c_str(), "");
    if (info != nullptr) *info = Out();
    return rc;
  }

  std::string Out() const { return std::string(out_.data()); }

  std::string pin_, card_dir_;
  TempDir tmp_;
  std::vector<char> out_ = std::vector<char>(16384, '\0');
};

TEST_F(CardTest, FileSignedVerifiedAndReadByOpenssl) {
  const std::string file = tmp_ / "doc.txt";
  WriteFile(file, "a document\n");
  ASSERT_EQ(Signature("Alice", pin_.c_str(), file.c_str(), ""), DOCSEAL_OK);
  ASSERT_TRUE(Exists(file + ".sig"));
  EXPECT_EQ(OpensslContent(file + ".sig"), ContentRecord(Sha1("a document\n"), "", "Alice"));

  EXPECT_EQ(Verify(out_.data(), file.c_str(), ""), DOCSEAL_OK);
  EXPECT_EQ(Out(), "Alice");
  EXPECT_EQ(GetSignInfo(out_.data(), (file + ".sig").c_str()), DOCSEAL_OK);
  EXPECT_EQ(Out(), "Alice");

  // The signer's certificate is the card's signing certificate.
  const std::string der = ReadFile(card_dir_ + "/sign.crt.der");
  std::vector<char> b64(2 * der.size() + 4);
  B64Encode(reinterpret_cast<const unsigned char*>(der.data()), static_cast<uint32_t>(der.size()),
            b64.data(), static_cast<uint32_t>(b64.size()));
  EXPECT_EQ(GetSignCertificateFromSignature((file + ".sig").c_str(), out_.data()), DOCSEAL_OK);
  EXPECT_EQ(Out(), std::string(b64.data()));

  WriteFile(file, "a document!\n");
  EXPECT_EQ(Verify(out_.data(), file.c_str(), ""), DOCSEAL_ERR_FILE_MISMATCH);
  EXPECT_EQ(Out(), kMismatch);
}

TEST_F(CardTest, NamedSignatureFileAndEmptySignerText) {
  const std::string file = tmp_ / "doc.txt", other = tmp_ / "elsewhere.p7";
  WriteFile(file, "x");
  ASSERT_EQ(Signature("", pin_.c_str(), file.c_str(), other.c_str()), DOCSEAL_OK);
  EXPECT_FALSE(Exists(file + ".sig"));
  EXPECT_EQ(Verify(out_.data(), file.c_str(), other.c_str()), DOCSEAL_OK);
  EXPECT_EQ(Out(), " ");
  EXPECT_EQ(OpensslContent(other), ContentRecord(Sha1("x"), "", " "));
}

TEST_F(CardTest, UnwritableSignaturePathGivesFour) {
  const std::string file = tmp_ / "doc.txt";
  WriteFile(file, "x");
  EXPECT_EQ(Signature("", pin_.c_str(), file.c_str(), (tmp_ / "no/such/dir.sig").c_str()),
            DOCSEAL_ERR_WRITE);
}

TEST_F(CardTest, WrongPinWritesNothing) {
  const std::string file = tmp_ / "doc.txt";
  WriteFile(file, "x");
  EXPECT_EQ(Signature("", "000000", file.c_str(), ""), DOCSEAL_ERR_PIN);
  EXPECT_FALSE(Exists(file + ".sig"));
  EXPECT_EQ(SignTimestamp("000000", out_.data()), DOCSEAL_ERR_PIN);
}

// A tree with subdirectories, spaces and UTF-8 names, signed once; each row
// changes a copy of it.
struct TreeChange {
  const char* name;
  void (*apply)(const std::string& root);
  int result;
  const char* tail;  // what follows the first message: "+ name", "- name" or ""
};

const TreeChange kTreeChanges[] = {
    {"unchanged", [](const std::string&) {}, DOCSEAL_OK, nullptr},
    {"byte_changed", [](const std::string& r) { WriteFile(r + "/sub dir/b.txt", "B"); },
     DOCSEAL_ERR_DIR_MISMATCH, ""},
    {"file_added", [](const std::string& r) { WriteFile(r + "/sub dir/new.txt", "n"); },
     DOCSEAL_ERR_DIR_MISMATCH, "+ sub dir\\new.txt"},
    {"file_removed",
     [](const std::string& r) { unlink((r + "/\xc3\xa9t\xc3\xa9/\xe6\x97\xa5.txt").c_str()); },
     DOCSEAL_ERR_DIR_MISMATCH, "- \xc3\xa9t\xc3\xa9\\\xe6\x97\xa5.txt"},
    {"file_renamed",
     [](const std::string& r) { rename((r + "/a.txt").c_str(), (r + "/z.txt").c_str()); },
     DOCSEAL_ERR_DIR_MISMATCH, "+ z.txt"},
};

class TreeTest : public CardTest, public ::testing::WithParamInterface<TreeChange> {};

TEST_P(TreeTest, SignedTreeChangedOrCopied) {
  const std::string root = tmp_ / "tree";
  MakeTree(root, {{"a.txt", "a"},
                  {"sub dir/b.txt", "b"},
                  {"sub dir/deeper/c.txt", "c"},
                  {"\xc3\xa9t\xc3\xa9/\xe6\x97\xa5.txt", "sun"}});
  ASSERT_EQ(Signature("Bob", pin_.c_str(), root.c_str(), ""), DOCSEAL_OK);
  ASSERT_TRUE(Exists(root + "/dir.sig"));
  EXPECT_EQ(OpensslContent(root + "/dir.sig"), RecordOf(root, "Bob"));

  // Elsewhere, created in another order, with the signature copied in.
  const std::string copy = tmp_ / "copy";
  MakeTree(copy, {{"\xc3\xa9t\xc3\xa9/\xe6\x97\xa5.txt", "sun"},
                  {"sub dir/deeper/c.txt", "c"},
                  {"sub dir/b.txt", "b"},
                  {"a.txt", "a"}});
  ASSERT_EQ(RunShell("cp '" + root + "/dir.sig' '" + copy + "/dir.sig'"), 0);
  GetParam().apply(copy);

  std::string info;
  EXPECT_EQ(VerifyTree(copy, &info), GetParam().result);
  if (GetParam().result == DOCSEAL_OK) {
    EXPECT_EQ(info, "Bob");
    EXPECT_EQ(Verify(out_.data(), "", (copy + "/dir.sig").c_str()), DOCSEAL_OK);
    EXPECT_EQ(VerifyDirLocal(out_.data(), (copy + "/dir.sig").c_str()), DOCSEAL_OK);
    EXPECT_EQ(Out(), "Bob");
  } else {
    const std::string tail = GetParam().tail;
    std::string expected = kMismatch;
    if (!tail.empty()) expected += (tail[0] == '+' ? kHoldsMore : kLacks) + " " + tail.substr(2);
    EXPECT_EQ(info, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Card, TreeTest, ::testing::ValuesIn(kTreeChanges),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(CardTest, EmptyDirectory) {
  const std::string root = tmp_ / "empty";
  MakeTree(root, {});
  ASSERT_EQ(Signature("", pin_.c_str(), root.c_str(), ""), DOCSEAL_OK);
  EXPECT_EQ(OpensslContent(root + "/dir.sig"), ContentRecord(Sha1(""), "", " "));
  EXPECT_EQ(VerifyTree(root), DOCSEAL_OK);
  EXPECT_EQ(VerifyDirLocal(out_.data(), (root + "/dir.sig").c_str()), DOCSEAL_OK);
  // An empty file added shows although the digest is the same.
  WriteFile(root + "/e", "");
  EXPECT_EQ(VerifyTree(root), DOCSEAL_ERR_DIR_MISMATCH);
}

TEST_F(CardTest, DirectoryHoldingOnlyItsOwnSignature) {
  const std::string root = tmp_ / "only";
  MakeTree(root, {{"dir.sig", "an earlier signature"}});
  ASSERT_EQ(Signature("again", pin_.c_str(), root.c_str(), ""), DOCSEAL_OK);
  EXPECT_EQ(OpensslContent(root + "/dir.sig"), ContentRecord(Sha1(""), "", "again"));
  EXPECT_EQ(VerifyTree(root), DOCSEAL_OK);
  EXPECT_EQ(Out(), "again");
}

TEST_F(CardTest, NameThatNoListCanHoldIsNotSigned) {
  const std::string root = tmp_ / "tree";
  MakeTree(root, {{"a;b.txt", "x"}});
  EXPECT_EQ(Signature("", pin_.c_str(), root.c_str(), ""), DOCSEAL_ERR_PATH);
  EXPECT_FALSE(Exists(root + "/dir.sig"));
}

// SignMulti with and without a closing ";": the same names signed, each
// into name + ".sig" beside it, a directory too.
class SignMultiTest : public CardTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SignMultiTest, SignsEachNameBesideIt) {
  MakeTree(tmp_ / "t", {{"a.txt", "A"}, {"b.txt", "B"}, {"d/x", "X"}, {"d/dir.sig", "S"}});
  const std::string a = tmp_ / "t/a.txt", b = tmp_ / "t/b.txt", d = tmp_ / "t/d";
  const std::string list = a + ";" + b + ";" + d + GetParam();
  ASSERT_EQ(SignMulti("Carol", pin_.c_str(), list.c_str()), DOCSEAL_OK);
  for (const std::string& name : {a, b}) {
    EXPECT_EQ(Verify(out_.data(), name.c_str(), (name + ".sig").c_str()), DOCSEAL_OK);
    EXPECT_EQ(Out(), "Carol");
    EXPECT_EQ(OpensslContent(name + ".sig"), ContentRecord(Sha1(ReadFile(name)), "", "Carol"));
  }
  // The directory's signature lies beside it; the "dir.sig" inside is one
  // of its files.
  EXPECT_EQ(ReadFile(d + "/dir.sig"), "S");
  EXPECT_EQ(OpensslContent(d + ".sig"), ContentRecord(Sha1("SX"), "dir.sig;x;", "Carol"));
  EXPECT_EQ(Verify(out_.data(), d.c_str(), (d + ".sig").c_str()), DOCSEAL_OK);
}

INSTANTIATE_TEST_SUITE_P(Card, SignMultiTest, ::testing::Values("", ";"), [](const auto& row) {
  return std::string(row.param[0] ? "closing_separator" : "no_closing_separator");
});

TEST_F(CardTest, SignMultiStopsAtAMissingFirstName) {
  MakeTree(tmp_ / "t", {{"a.txt", "A"}});
  const std::string a = tmp_ / "t/a.txt";
  EXPECT_EQ(SignMulti("", pin_.c_str(), ((tmp_ / "t/none") + ";" + a).c_str()), DOCSEAL_ERR_PATH);
  EXPECT_FALSE(Exists(a + ".sig"));
}

TEST_F(CardTest, SignMultiStopsAtAnEmptyName) {
  MakeTree(tmp_ / "t", {{"a.txt", "A"}, {"b.txt", "B"}});
  const std::string a = tmp_ / "t/a.txt", b = tmp_ / "t/b.txt";
  EXPECT_EQ(SignMulti("", pin_.c_str(), (a + ";;" + b).c_str()), DOCSEAL_ERR_PATH);
  EXPECT_TRUE(Exists(a + ".sig"));
  EXPECT_FALSE(Exists(b + ".sig"));
}

TEST_F(CardTest, SignMultiReportsAnEarlierWriteFailure) {
  MakeTree(tmp_ / "t", {{"a.txt", "A"}, {"b.txt", "B"}});
  const std::string a = tmp_ / "t/a.txt", b = tmp_ / "t/b.txt";
  // a.txt.sig cannot be written (a directory stands in its place); the
  // later write of b.txt.sig succeeds and the failure still shows.
  ASSERT_EQ(mkdir((a + ".sig").c_str(), 0755), 0);
  EXPECT_EQ(SignMulti("", pin_.c_str(), (a + ";" + b).c_str()), DOCSEAL_ERR_WRITE);
  EXPECT_EQ(Verify(out_.data(), b.c_str(), ""), DOCSEAL_OK);
}

TEST_F(CardTest, TimestampSignatureHoldsTwelveBytes) {
  std::vector<char> b64(5481 + 1, '\0');
  ASSERT_EQ(SignTimestamp(pin_.c_str(), b64.data()), DOCSEAL_OK);
  std::vector<unsigned char> der(4200);
  const int32_t n = B64Decode(b64.data(), der.data(), static_cast<uint32_t>(der.size()));
  ASSERT_GT(n, 0);
  const std::string sig = tmp_ / "ts.sig";
  WriteFile(sig, std::string(der.begin(), der.begin() + n));
  EXPECT_EQ(OpensslContent(sig), std::string(4, '\0') + kTimestamp);
}

}  // namespace

// Pkcs7Signature without a card: the directory walk and its list, the
// digests, and verification of signature files made with a software signer
// (the card's work is covered by the SoftHSM and emulated-card suites).
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <openssl/pkcs7.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Docseal.h"
#include "envelope.h"
#include "platform/files.h"
#include "soft_signer.h"
#include "test_util.h"
#include "vorpin_dll.h"

namespace {

using namespace docseal_test;

std::vector<unsigned char> Digest(Pkcs7Signature& s) {
  return s.digest ? std::vector<unsigned char>(s.digest, s.digest + s.digestLength)
                  : std::vector<unsigned char>();
}

class WalkTest : public ::testing::Test {
 protected:
  TempDir tmp_;
};

TEST_F(WalkTest, ListIsSortedLikeNtfsAndDigestCoversListedFilesInOrder) {
  const std::string root = tmp_ / "tree";
  // Created out of order; the walk sorts ASCII letters as upper case, ties
  // by bytes, so "_u" follows the letters and "A.txt" precedes "a.txt".
  MakeTree(root, {{"sub2/d", "D"},
                  {"_u", "U"},
                  {"b.txt", "B"},
                  {"a.txt", "a"},
                  {"A.txt", "A"},
                  {"Sub/c.txt", "C"},
                  {"sub2/dir.sig", "not the signature"},
                  {"dir.sig", "the signature"}});
  Pkcs7Signature s;
  ASSERT_TRUE(s.setFilename(root));
  EXPECT_TRUE(s.isDirectory);
  EXPECT_EQ(s.sigFileName, root + "/dir.sig");
  EXPECT_EQ(s.fileList, "A.txt;a.txt;b.txt;Sub\\c.txt;sub2\\d;sub2\\dir.sig;_u;");
  EXPECT_EQ(s.digestLength, 20);
  EXPECT_EQ(Digest(s), Sha1("AaBCDnot the signatureU"));
}

TEST_F(WalkTest, EmptyDirectoryAndOwnSignatureOnlyGiveTheEmptyDigest) {
  for (bool with_sig : {false, true}) {
    const std::string root = tmp_ / (with_sig ? "with_sig" : "empty");
    MakeTree(root, {});
    if (with_sig) WriteFile(root + "/dir.sig", "old signature");
    Pkcs7Signature s;
    ASSERT_TRUE(s.setFilename(root));
    EXPECT_EQ(s.fileList, "");
    EXPECT_EQ(Digest(s), Sha1(""));
  }
}

// Only the signature file's own name is left out: on Linux names that differ
// in case name other files, which the signature must protect.
TEST_F(WalkTest, NamesDifferingInCaseFromTheSignatureAreListed) {
  const std::string root = tmp_ / "tree";
  MakeTree(root, {{"dir.sig", "own"}, {"DIR.SIG", "X"}, {"Dir.Sig", "Y"}, {"a.txt", "a"}});
  Pkcs7Signature s;
  ASSERT_TRUE(s.setFilename(root));
  EXPECT_EQ(s.fileList, "a.txt;DIR.SIG;Dir.Sig;");
  EXPECT_EQ(Digest(s), Sha1("aXY"));
}

TEST_F(WalkTest, LinksToFilesCountLinksToDirectoriesAndSpecialFilesDoNot) {
  const std::string root = tmp_ / "tree";
  MakeTree(root, {{"real.txt", "R"}, {"inner/x", "X"}});
  MakeTree(tmp_ / "outside", {{"o.txt", "O"}});
  ASSERT_EQ(symlink((tmp_ / "outside/o.txt").c_str(), (root + "/link.txt").c_str()), 0);
  ASSERT_EQ(symlink((tmp_ / "outside").c_str(), (root + "/linkdir").c_str()), 0);
  ASSERT_EQ(symlink("inner", (root + "/loop").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (root + "/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0644), 0);
  Pkcs7Signature s;
  ASSERT_TRUE(s.setFilename(root));
  EXPECT_EQ(s.fileList, "inner\\x;link.txt;real.txt;");
  EXPECT_EQ(Digest(s), Sha1("XOR"));
}

TEST_F(WalkTest, RelativeAndFullPathsGiveTheSameList) {
  const std::string root = tmp_ / "tree";
  MakeTree(root, {{"a", "1"}, {"s/b", "2"}, {"s/t/c", "3"}});
  Pkcs7Signature full;
  ASSERT_TRUE(full.setFilename(root));
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(tmp_.path().c_str()), 0);
  const std::string self = tmp_.path().substr(tmp_.path().rfind('/') + 1);
  for (const std::string& rel :
       {std::string("tree"), std::string("./tree/"), "../" + self + "/tree"}) {
    Pkcs7Signature s;
    EXPECT_TRUE(s.setFilename(rel)) << rel;
    EXPECT_EQ(s.fileList, "a;s\\b;s\\t\\c;") << rel;
    EXPECT_EQ(Digest(s), Digest(full)) << rel;
  }
  ASSERT_EQ(chdir(cwd), 0);
}

// Names that a list cannot hold: signing them would leave the file
// unprotected or the list ambiguous.
struct BadName {
  const char* name;
  const char* file;
};
const BadName kBadNames[] = {
    {"backslash", "a\\b.txt"},
    {"semicolon", "a;b.txt"},
    {"semicolon_in_subdirectory", "sub;x/c.txt"},
    {"backslash_in_subdirectory", "sub\\x/c.txt"},
};

class BadNameTest : public ::testing::TestWithParam<BadName> {};

TEST_P(BadNameTest, DirectoryIsRefused) {
  TempDir tmp;
  const std::string root = tmp / "tree";
  MakeTree(root, {{"ok.txt", "fine"}, {GetParam().file, "x"}});
  Pkcs7Signature s;
  EXPECT_FALSE(s.setFilename(root));
  EXPECT_EQ(s.digest, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Walk, BadNameTest, ::testing::ValuesIn(kBadNames),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(WalkTest, UnreadableFileFailsTheDigest) {
  const std::string root = tmp_ / "tree";
  MakeTree(root, {{"a.txt", "A"}, {"b.txt", "B"}});
  if (geteuid() == 0) {
    // root reads every file; a file whose reads fail stands in.
    ASSERT_EQ(symlink("/proc/self/mem", (root + "/c.txt").c_str()), 0);
  } else {
    WriteFile(root + "/c.txt", "C");
    ASSERT_EQ(chmod((root + "/c.txt").c_str(), 0), 0);
  }
  Pkcs7Signature dir;
  EXPECT_FALSE(dir.setFilename(root));
  Pkcs7Signature file;
  EXPECT_FALSE(file.setFilename(root + "/c.txt"));
  EXPECT_EQ(file.digest, nullptr);
  EXPECT_EQ(file.hashFile(root + "/c.txt"), nullptr);
}

TEST_F(WalkTest, HashFileStreamsLargeFilesAndListsSkipGoneFiles) {
  std::string big(3 * 256 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 1000);
  WriteFile(tmp_ / "big.bin", big);
  WriteFile(tmp_ / "small", "s");
  Pkcs7Signature s;
  std::unique_ptr<unsigned char[]> d(s.hashFile(tmp_ / "big.bin"));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(Bytes(d.get(), d.get() + 20), Sha1(big));

  // A list below filename: entries without a closing ";" count, gone files
  // and empty entries add nothing, a directory entry fails.
  s.filename = tmp_.path();
  s.isDirectory = true;
  d.reset(s.hashFile("small;;gone.txt;big.bin"));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(Bytes(d.get(), d.get() + 20), Sha1("s" + big));
  mkdir((tmp_ / "adir").c_str(), 0755);
  EXPECT_EQ(s.hashFile("small;adir;"), nullptr);
}

TEST_F(WalkTest, OneObjectGivenSeveralDirectoriesListsEachAlone) {
  MakeTree(tmp_ / "one", {{"a", "1"}});
  MakeTree(tmp_ / "two", {{"b", "2"}});
  Pkcs7Signature s;
  ASSERT_TRUE(s.setFilename(tmp_ / "one"));
  ASSERT_TRUE(s.setFilename(tmp_ / "two"));
  EXPECT_EQ(s.fileList, "b;");
  ASSERT_TRUE(s.setFilename(tmp_ / "two/b"));
  EXPECT_FALSE(s.isDirectory);
  EXPECT_EQ(s.fileList, "");
}

TEST_F(WalkTest, EmptyNameIsDerivedFromTheSignatureFile) {
  MakeTree(tmp_ / "tree", {{"x.txt", "X"}});
  struct Case {
    std::string sig, target;
  };
  const Case cases[] = {
      {tmp_ / "tree/x.txt.sig", tmp_ / "tree/x.txt"},
      {tmp_ / "tree/dir.sig", tmp_ / "tree"},
      {tmp_ / "tree/none.sig", tmp_ / "tree"},
  };
  for (const Case& c : cases) {
    Pkcs7Signature s;
    s.setSigFileName(c.sig);
    EXPECT_TRUE(s.setFilename(""));
    EXPECT_EQ(s.filename, c.target);
  }
  Pkcs7Signature none;
  EXPECT_FALSE(none.setFilename(""));
  Pkcs7Signature missing;
  missing.setSigFileName(tmp_ / "nowhere/x.sig");
  EXPECT_FALSE(missing.setFilename(""));
}

TEST(SignInfoTest, EmptyTextIsOneSpace) {
  Pkcs7Signature s;
  s.setSignInfo("");
  EXPECT_EQ(s.signInfo, " ");
  s.setSignInfo("signer");
  EXPECT_EQ(s.signInfo, "signer");
}

TEST(SignTest, ContentTooLargeForARecordGivesOne) {
  Pkcs7Signature s;
  s.digestLength = std::numeric_limits<int32_t>::max() - 8;
  EXPECT_EQ(s.Sign(), DOCSEAL_ERR_RECORD);
  EXPECT_EQ(s.signature.length, 0);
}

TEST(Base64Test, ShortSignaturesEncodeWhole) {
  const struct {
    std::string bytes, text;
  } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}};
  for (const auto& c : cases) {
    Pkcs7Signature s;
    if (!c.bytes.empty()) {
      ASSERT_EQ(RAW_DATA_new(&s.signature, static_cast<int>(c.bytes.size())), 0);
      memcpy(s.signature.data, c.bytes.data(), c.bytes.size());
    }
    EXPECT_EQ(s.getB64Signature(), c.text) << c.bytes;
  }
}

// Verification of signature files made with a software signer.
class VerifyTest : public ::testing::Test {
 protected:
  // Writes a signature over record to path.
  void WriteSignature(const std::string& path, const std::string& record) {
    Bytes der;
    ASSERT_EQ(sigenv::MakeSignedData(reinterpret_cast<const unsigned char*>(record.data()),
                                     record.size(), "1234", &signer_, &der),
              SIGENV_OK);
    WriteFile(path, AsText(der));
  }

  // Signs a directory as Signature would: its list and digest, the text.
  void SignDirectory(const std::string& root, const std::string& text) {
    Pkcs7Signature s;
    ASSERT_TRUE(s.setFilename(root));
    WriteSignature(root + "/dir.sig", ContentRecord(Digest(s), s.fileList, text));
  }

  int VerifyDirectory(const std::string& root, std::string* info) {
    Pkcs7Signature s;
    EXPECT_TRUE(s.setFilename(root));
    int rc = s.verify();
    *info = s.signInfo;
    return rc;
  }

  SoftSigner signer_;
  TempDir tmp_;
};

// The walk leaves out the signature file itself, wherever it lies in the
// tree, and nothing of the tree when it lies elsewhere: a file of the tree
// that shares the signature's name stays protected.
TEST_F(VerifyTest, ListLeavesOutExactlyTheSignatureFile) {
  const std::string root = tmp_ / "tree";
  const std::string elsewhere = tmp_ / "elsewhere";
  MakeTree(root,
           {{"dir.sig", "s"}, {"notes.sig", "n"}, {"sub/e.sig", "e"}, {"sub/notes.sig", "m"}});
  MakeTree(elsewhere, {{"keep.txt", "k"}});
  const struct {
    std::string sig;
    std::string list;
  } cases[] = {
      {"", "notes.sig;sub\\e.sig;sub\\notes.sig;"},
      {root + "/./sub/../dir.sig", "notes.sig;sub\\e.sig;sub\\notes.sig;"},
      {root + "/sub/e.sig", "dir.sig;notes.sig;sub\\notes.sig;"},
      {elsewhere + "/notes.sig", "dir.sig;notes.sig;sub\\e.sig;sub\\notes.sig;"},
      {"notes.sig", "dir.sig;notes.sig;sub\\e.sig;sub\\notes.sig;"},
  };
  for (const auto& c : cases) {
    Pkcs7Signature s;
    s.sigFileName = c.sig;
    ASSERT_TRUE(s.setFilename(root)) << c.sig;
    EXPECT_EQ(s.fileList, c.list) << c.sig;
  }
}

TEST_F(VerifyTest, FileSignatureVerifiesAndAChangeShowsAsSeven) {
  const std::string file = tmp_ / "x.txt";
  WriteFile(file, "content");
  WriteSignature(file + ".sig", ContentRecord(Sha1("content"), "", "signer"));
  {
    Pkcs7Signature s;
    ASSERT_TRUE(s.setFilename(file));
    EXPECT_EQ(s.verify(), DOCSEAL_OK);
    EXPECT_EQ(s.signInfo, "signer");
    EXPECT_EQ(s.sigFileName, file + ".sig");
  }
  WriteFile(file, "Content");
  Pkcs7Signature s;
  ASSERT_TRUE(s.setFilename(file));
  EXPECT_EQ(s.verify(), DOCSEAL_ERR_FILE_MISMATCH);
  EXPECT_EQ(s.signInfo, kMismatch);
}

// Changes to a signed directory and the message each one gives.
struct DirChange {
  const char* name;
  void (*apply)(const std::string& root);
  int result;
  const char* names;  // the message after the first text, Big5 parts as escapes
};

const DirChange kDirChanges[] = {
    {"unchanged", [](const std::string&) {}, DOCSEAL_OK, "signer"},
    {"content_changed", [](const std::string& r) { WriteFile(r + "/sub/b.txt", "b!"); },
     DOCSEAL_ERR_DIR_MISMATCH, ""},
    {"file_added", [](const std::string& r) { WriteFile(r + "/new.txt", "new"); },
     DOCSEAL_ERR_DIR_MISMATCH, "+ new.txt"},
    {"file_removed", [](const std::string& r) { unlink((r + "/sub/b.txt").c_str()); },
     DOCSEAL_ERR_DIR_MISMATCH, "- sub\\b.txt"},
    // The digest stays the same; only the list shows these.
    {"empty_file_added", [](const std::string& r) { WriteFile(r + "/empty", ""); },
     DOCSEAL_ERR_DIR_MISMATCH, "+ empty"},
    {"file_renamed",
     [](const std::string& r) { rename((r + "/a.txt").c_str(), (r + "/c.txt").c_str()); },
     DOCSEAL_ERR_DIR_MISMATCH, "+ c.txt"},
    // "b.txt" is part of "ab.txt": whole entries are compared.
    {"removed_name_inside_another", [](const std::string& r) { unlink((r + "/b.txt").c_str()); },
     DOCSEAL_ERR_DIR_MISMATCH, "- b.txt"},
    // Names are looked up with their case: b.txt is not present as B.txt.
    {"removed_file_and_case_changed",
     [](const std::string& r) {
       unlink((r + "/ab.txt").c_str());
       rename((r + "/b.txt").c_str(), (r + "/B.txt").c_str());
     },
     DOCSEAL_ERR_DIR_MISMATCH, "- ab.txt b.txt"},
    // The walk order and the digest stay; the list holds the old case.
    {"case_only_rename",
     [](const std::string& r) { rename((r + "/a.txt").c_str(), (r + "/A.txt").c_str()); },
     DOCSEAL_ERR_DIR_MISMATCH, "+ A.txt"},
    {"file_differing_in_case_from_the_signature_changed",
     [](const std::string& r) { WriteFile(r + "/DIR.SIG", "changed"); }, DOCSEAL_ERR_DIR_MISMATCH,
     ""},
};

class DirChangeTest : public VerifyTest, public ::testing::WithParamInterface<DirChange> {};

TEST_P(DirChangeTest, GivesItsResultAndNames) {
  const std::string root = tmp_ / "tree";
  MakeTree(root, {{"a.txt", "a"},
                  {"ab.txt", "ab"},
                  {"b.txt", "b"},
                  {"DIR.SIG", "not the signature"},
                  {"sub/b.txt", "b"}});
  SignDirectory(root, "signer");
  GetParam().apply(root);
  std::string info;
  EXPECT_EQ(VerifyDirectory(root, &info), GetParam().result);
  std::string expected = GetParam().names;
  if (GetParam().result != DOCSEAL_OK) {
    if (expected.empty()) {
      expected = kMismatch;
    } else {
      expected = kMismatch + (expected[0] == '+' ? kHoldsMore : kLacks) + " " + expected.substr(2);
    }
  }
  EXPECT_EQ(info, expected);
}

INSTANTIATE_TEST_SUITE_P(Verify, DirChangeTest, ::testing::ValuesIn(kDirChanges),
                         [](const auto& row) { return std::string(row.param.name); });

// A directory signed while empty has no list in its signature: a new file
// with content shows as a content mismatch alone (7); a new empty file leaves
// the digest as it was and shows only in the list (8).
TEST_F(VerifyTest, DirectorySignedEmptyGivesSevenWhenTheDigestDiffers) {
  const std::string root = tmp_ / "tree";
  MakeTree(root, {});
  SignDirectory(root, "signer");
  std::string info;
  WriteFile(root + "/empty", "");
  EXPECT_EQ(VerifyDirectory(root, &info), DOCSEAL_ERR_DIR_MISMATCH);
  EXPECT_EQ(info, kMismatch + kHoldsMore + " empty");
  WriteFile(root + "/new.txt", "new");
  EXPECT_EQ(VerifyDirectory(root, &info), DOCSEAL_ERR_FILE_MISMATCH);
  EXPECT_EQ(info, kMismatch);
}

TEST_F(VerifyTest, CopiedTreeVerifies) {
  const std::string root = tmp_ / "tree";
  MakeTree(root, {{"z", "1"}, {"a b/c d", "2"}, {"M", "3"}});
  SignDirectory(root, "signer");
  const std::string copy = tmp_ / "copy";
  // The same files, created in another order.
  MakeTree(copy, {{"M", "3"}, {"z", "1"}, {"a b/c d", "2"}});
  ASSERT_EQ(docseal_test::RunShell("cp '" + root + "/dir.sig' '" + copy + "/dir.sig'"), 0);
  std::string info;
  EXPECT_EQ(VerifyDirectory(copy, &info), DOCSEAL_OK);
  EXPECT_EQ(info, "signer");
}

// Signature files that are no signature of this system, or not valid.
struct BadSignature {
  const char* name;
  int result;
  bool parses;  // the readers still find the certificate
  // Writes the signature file for a file whose content is "x".
  void (*make)(VerifyTest* t, const std::string& sig);
};

class BadSignatureTest : public VerifyTest, public ::testing::WithParamInterface<BadSignature> {
 public:
  using VerifyTest::WriteSignature;
  SoftSigner& signer() { return signer_; }
};

void ShortContent(VerifyTest* t, const std::string& sig) {
  static_cast<BadSignatureTest*>(t)->WriteSignature(sig, AsText(Sha1("x")).substr(0, 10));
}
void LengthPastEnd(VerifyTest* t, const std::string& sig) {
  std::string record = ContentRecord(Sha1("x"), "", "text");
  record[20] = 5;  // 5 list bytes, 4 there
  static_cast<BadSignatureTest*>(t)->WriteSignature(sig, record);
}
void NegativeLength(VerifyTest* t, const std::string& sig) {
  std::string record = ContentRecord(Sha1("x"), "", "text");
  record[23] = static_cast<char>(0x80);
  static_cast<BadSignatureTest*>(t)->WriteSignature(sig, record);
}
void NotSignature(VerifyTest*, const std::string& sig) { WriteFile(sig, "plain text"); }
void BrokenSigner(VerifyTest* t, const std::string& sig) {
  auto* test = static_cast<BadSignatureTest*>(t);
  Bytes der;
  const std::string record = ContentRecord(Sha1("x"), "", "text");
  ASSERT_EQ(sigenv::MakeSignedData(reinterpret_cast<const unsigned char*>(record.data()),
                                   record.size(), "1234", &test->signer(), &der),
            SIGENV_OK);
  PKCS7* p7 = sigenv::ParseSignedData(der.data(), der.size());
  ASSERT_NE(p7, nullptr);
  sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0)->enc_digest->data[3] ^= 1;
  unsigned char* out = nullptr;
  int len = i2d_PKCS7(p7, &out);
  WriteFile(sig, std::string(reinterpret_cast<char*>(out), static_cast<size_t>(len)));
  OPENSSL_free(out);
  PKCS7_free(p7);
}
void Missing(VerifyTest*, const std::string&) {}

const BadSignature kBadSignatures[] = {
    {"content_shorter_than_its_header", DOCSEAL_ERR_NOT_PKCS7, true, ShortContent},
    {"list_length_past_the_end", DOCSEAL_ERR_NOT_PKCS7, true, LengthPastEnd},
    {"negative_list_length", DOCSEAL_ERR_NOT_PKCS7, true, NegativeLength},
    {"not_a_signature", DOCSEAL_ERR_NOT_PKCS7, false, NotSignature},
    {"signer_does_not_verify", DOCSEAL_ERR_SIGNATURE, true, BrokenSigner},
    {"missing", DOCSEAL_ERR_PATH, false, Missing},
};

TEST_P(BadSignatureTest, VerifyAndReadersRefuse) {
  const std::string file = tmp_ / "x.txt";
  WriteFile(file, "x");
  GetParam().make(this, file + ".sig");
  Pkcs7Signature s;
  ASSERT_TRUE(s.setFilename(file));
  EXPECT_EQ(s.verify(), GetParam().result);
  EXPECT_EQ(s.signInfo, "");
  // The readers: no text, except from a signature whose signer fails (the
  // text is read without checking).
  Pkcs7Signature reader;
  reader.setSigFileName(file + ".sig");
  EXPECT_EQ(reader.getSignInfo(), GetParam().result == DOCSEAL_ERR_SIGNATURE ? "text" : "");
  EXPECT_EQ(reader.getB64Cert(0).empty(), !GetParam().parses);
}

INSTANTIATE_TEST_SUITE_P(Verify, BadSignatureTest, ::testing::ValuesIn(kBadSignatures),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(VerifyTest, VerifyWithoutDigestGivesThreeAndReadsNothing) {
  const std::string file = tmp_ / "x.txt";
  WriteFile(file, "x");
  WriteSignature(file + ".sig", ContentRecord(Sha1("x"), "", "text"));
  Pkcs7Signature s;
  s.setSigFileName(file + ".sig");
  EXPECT_EQ(s.verify(), DOCSEAL_ERR_PATH);
  EXPECT_EQ(s.signature.length, 0);
}

TEST_F(VerifyTest, CertificateByIndex) {
  const std::string sig = tmp_ / "x.sig";
  WriteSignature(sig, ContentRecord(Sha1("x"), "", "text"));
  Pkcs7Signature s;
  s.setSigFileName(sig);
  const Bytes cert = signer_.CertDer();
  std::vector<char> b64(4 * ((cert.size() + 2) / 3) + 1);
  ASSERT_GT(B64Encode(cert.data(), static_cast<uint32_t>(cert.size()), b64.data(),
                      static_cast<uint32_t>(b64.size())),
            0);
  EXPECT_EQ(s.getB64Cert(0), std::string(b64.data()));
  EXPECT_EQ(s.getB64Cert(1), "");
  EXPECT_EQ(s.getB64Cert(-1), "");
}

TEST_F(VerifyTest, HashDirLocalChecksTheListedFilesOnly) {
  const std::string root = tmp_ / "tree";
  MakeTree(root, {{"a", "1"}, {"s/b", "2"}});
  SignDirectory(root, "signer");
  const struct {
    const char* name;
    void (*apply)(const std::string& r);
    int result;
    bool message;
  } steps[] = {
      {"unchanged", [](const std::string&) {}, DOCSEAL_OK, false},
      {"added_file_unseen", [](const std::string& r) { WriteFile(r + "/new", "n"); }, DOCSEAL_OK,
       false},
      {"listed_file_gone", [](const std::string& r) { unlink((r + "/s/b").c_str()); },
       DOCSEAL_ERR_DIR_MISMATCH, true},
  };
  for (const auto& step : steps) {
    step.apply(root);
    Pkcs7Signature s;
    s.setSigFileName(root + "/dir.sig");
    EXPECT_EQ(s.hashDirLocal(), 0);
    EXPECT_EQ(s.filename, root);
    EXPECT_EQ(s.verify(), step.result) << step.name;
    EXPECT_EQ(s.signInfo, step.message ? kMismatch : "signer") << step.name;
  }
}

// A listed file that cannot be read is passed over: the check reports a
// content mismatch, not a signature file that cannot be opened.
TEST_F(VerifyTest, HashDirLocalPassesOverAnUnreadableListedFile) {
  const std::string root = tmp_ / "tree";
  MakeTree(root, {{"a", "1"}, {"s/b", "2"}});
  SignDirectory(root, "signer");
  unlink((root + "/s/b").c_str());
  if (geteuid() == 0) {
    // root reads every file; a file whose reads fail stands in.
    ASSERT_EQ(symlink("/proc/self/mem", (root + "/s/b").c_str()), 0);
  } else {
    WriteFile(root + "/s/b", "2");
    ASSERT_EQ(chmod((root + "/s/b").c_str(), 0), 0);
  }
  Pkcs7Signature s;
  s.setSigFileName(root + "/dir.sig");
  EXPECT_EQ(s.hashDirLocal(), 0);
  EXPECT_EQ(Digest(s), Sha1("1"));
  EXPECT_EQ(s.verify(), DOCSEAL_ERR_DIR_MISMATCH);
  EXPECT_EQ(s.signInfo, kMismatch);
}

TEST_F(VerifyTest, HashDirLocalOnAFileSignatureComparesWithAnEmptyList) {
  WriteFile(tmp_ / "f", "data");
  WriteSignature(tmp_ / "f.sig", ContentRecord(Sha1("data"), "", "text"));
  Pkcs7Signature s;
  s.setSigFileName(tmp_ / "f.sig");
  s.hashDirLocal();
  EXPECT_FALSE(s.isDirectory);
  EXPECT_EQ(Digest(s), Sha1(""));
  EXPECT_EQ(s.verify(), DOCSEAL_ERR_FILE_MISMATCH);
}

// Runs body on a thread of its own that has no right to pass over file
// permissions (a thread's capabilities are its own), so that files and
// directories of mode 0 cannot be read, also when the tests run as root.
void WithoutPermissionOverride(const std::function<void()>& body) {
  std::thread([&] {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
    data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
    body();
  }).join();
}

// Lists that no walk writes, each with a canary outside the directory: the
// signature's digest covers the canary's content, so an answer of 0 would
// mean the canary was read. "@" stands for the temporary directory.
struct HostileEntry {
  const char* name;
  const char* entry;
};
const HostileEntry kHostileEntries[] = {
    {"parent_backslash", "..\\canary.txt"},
    {"parent_slash", "../canary.txt"},
    {"parent_after_a_directory", "in\\..\\..\\canary.txt"},
    {"current_then_parent", ".\\..\\canary.txt"},
    {"empty_component", "in\\\\..\\..\\canary.txt"},
    {"absolute_slashes", "@/canary.txt"},
    {"absolute_backslashes", "\\@\\canary.txt"},
    {"link_to_a_directory_outside", "up\\canary.txt"},
};

class HostileListTest : public VerifyTest, public ::testing::WithParamInterface<HostileEntry> {};

TEST_P(HostileListTest, NothingOutsideIsReadAndTheCheckFails) {
  WriteFile(tmp_ / "canary.txt", "guessed secret");
  const std::string root = tmp_ / "tree";
  MakeTree(root, {{"a.txt", "a"}, {"in/b.txt", "b"}});
  ASSERT_EQ(symlink("..", (root + "/up").c_str()), 0);
  std::string entry = GetParam().entry;
  for (size_t at = entry.find('@'); at != std::string::npos; at = entry.find('@')) {
    std::string dir = tmp_.path();
    if (entry[0] == '\\') {
      std::replace(dir.begin(), dir.end(), '/', '\\');
      dir = dir.substr(1);
    }
    entry.replace(at, 1, dir);
  }
  const std::string list = "a.txt;" + entry + ";";
  WriteSignature(root + "/dir.sig", ContentRecord(Sha1("aguessed secret"), list, "forged"));

  std::vector<char> out(8192, '#');
  const std::string sig = root + "/dir.sig";
  EXPECT_EQ(VerifyDirLocal(out.data(), sig.c_str()), DOCSEAL_ERR_DIR_MISMATCH) << entry;
  EXPECT_EQ(std::string(out.data()).substr(0, kMismatch.size()), kMismatch);
  EXPECT_EQ(Verify(out.data(), root.c_str(), sig.c_str()), DOCSEAL_ERR_DIR_MISMATCH) << entry;
  EXPECT_EQ(std::string(out.data()).substr(0, kMismatch.size()), kMismatch);
}

INSTANTIATE_TEST_SUITE_P(Verify, HostileListTest, ::testing::ValuesIn(kHostileEntries),
                         [](const auto& row) { return std::string(row.param.name); });

// The component-by-component walk that serves kernels without openat2 keeps
// to the directory as well.
TEST(OpenBeneathTest, BothWaysStayInsideTheDirectory) {
  TempDir tmp;
  WriteFile(tmp / "canary.txt", "outside");
  const std::string root = tmp / "tree";
  MakeTree(root, {{"in/b.txt", "b"}});
  ASSERT_EQ(symlink("..", (root + "/up").c_str()), 0);
  ASSERT_EQ(symlink("../../canary.txt", (root + "/in/file_link").c_str()), 0);
  const struct {
    std::vector<std::string> names;
    platform::ReadStatus status;
    const char* bytes;
  } cases[] = {
      {{"in", "b.txt"}, platform::ReadStatus::kOk, "b"},
      // A link to a file counts as that file, as in the walk.
      {{"in", "file_link"}, platform::ReadStatus::kOk, "outside"},
      {{"in", "none"}, platform::ReadStatus::kMissing, ""},
      {{"up", "canary.txt"}, platform::ReadStatus::kUnreadable, ""},
      {{"in", "..", "..", "canary.txt"}, platform::ReadStatus::kUnreadable, ""},
      {{"", "canary.txt"}, platform::ReadStatus::kUnreadable, ""},
      {{"in/../..", "canary.txt"}, platform::ReadStatus::kUnreadable, ""},
      {{"in"}, platform::ReadStatus::kUnreadable, ""},
  };
  for (bool use_openat2 : {true, false}) {
    for (const auto& c : cases) {
      std::string bytes;
      const platform::ReadStatus status = platform::StreamFileBeneathWith(
          root, c.names, [&](const unsigned char* d, size_t n) { bytes.append(d, d + n); },
          use_openat2);
      EXPECT_EQ(status, c.status) << c.names.back() << " openat2 " << use_openat2;
      EXPECT_EQ(bytes, c.bytes) << c.names.back() << " openat2 " << use_openat2;
    }
  }
}

// A directory that changed in a way its list cannot show is reported as
// changed (8, with the names), not as a path that cannot be read.
struct TreeChange {
  const char* name;
  void (*apply)(const std::string& root);
  std::string expected;  // after the mismatch text
};
const TreeChange kTreeChanges[] = {
    {"added_name_with_semicolon", [](const std::string& r) { WriteFile(r + "/x;y", "n"); },
     kHoldsMore + " x;y"},
    {"added_name_with_backslash_in_a_subdirectory",
     [](const std::string& r) { WriteFile(r + "/sub/x\\y", "n"); }, kHoldsMore + " sub\\x\\y"},
    {"listed_file_unreadable",
     [](const std::string& r) { ASSERT_EQ(chmod((r + "/sub/b.txt").c_str(), 0), 0); },
     kLacks + " sub\\b.txt"},
    {"subdirectory_unlistable",
     [](const std::string& r) { ASSERT_EQ(chmod((r + "/sub").c_str(), 0), 0); },
     kLacks + " sub\\b.txt sub"},
    {"subdirectory_listable_not_searchable",
     [](const std::string& r) { ASSERT_EQ(chmod((r + "/sub").c_str(), 0444), 0); },
     kLacks + " sub\\b.txt sub"},
};

class TreeChangeTest : public VerifyTest, public ::testing::WithParamInterface<TreeChange> {};

TEST_P(TreeChangeTest, VerifyGivesEightWithTheNames) {
  const std::string root = tmp_ / "tree";
  MakeTree(root, {{"a.txt", "a"}, {"sub/b.txt", "b"}});
  SignDirectory(root, "signer");
  GetParam().apply(root);
  std::vector<char> out(8192, '#');
  int rc = -1;
  WithoutPermissionOverride([&] { rc = Verify(out.data(), root.c_str(), ""); });
  EXPECT_EQ(rc, DOCSEAL_ERR_DIR_MISMATCH);
  EXPECT_EQ(std::string(out.data()), kMismatch + GetParam().expected);
  // Such a tree cannot be signed.
  bool signable = true;
  WithoutPermissionOverride([&] {
    Pkcs7Signature s;
    signable = s.setFilename(root);
  });
  EXPECT_FALSE(signable);
}

INSTANTIATE_TEST_SUITE_P(Verify, TreeChangeTest, ::testing::ValuesIn(kTreeChanges),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace

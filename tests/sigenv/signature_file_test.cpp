// Writing a signature file: the new file replaces the old one whole or not
// at all, paths that are no regular file are refused untouched, and nothing
// but the library's own temporary file is ever removed.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sigenv_dll.h"

namespace {

class SignatureFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "sigfile_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir_ = buf.data();
  }
  void TearDown() override {
    const std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir_;
  }

  // P7_Write_PKCS72BIN of bytes to path; its answer.
  static int Write(const std::string& path, const std::string& bytes) {
    raw_data_st record{0, nullptr};
    if (RAW_DATA_new(&record, static_cast<int>(bytes.size())) != 0) return -1;
    std::copy(bytes.begin(), bytes.end(), record.data);
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    const int answer = P7_Write_PKCS72BIN(&record, name.data());
    RAW_DATA_delete(&record);
    return answer;
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // The names in the directory, "." and ".." left out.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    DIR* d = opendir(dir_.c_str());
    for (dirent* e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    if (d != nullptr) closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string dir_;
};

TEST_F(SignatureFileTest, ReplacesTheOldFileAndLeavesNothingElse) {
  const std::string sig = dir_ + "/a.txt.sig";
  ASSERT_EQ(Write(sig, "first"), 5);
  ASSERT_EQ(chmod(sig.c_str(), 0640), 0);
  EXPECT_EQ(Write(sig, "second!"), 7);
  EXPECT_EQ(Read(sig), "second!");
  struct stat st;
  ASSERT_EQ(stat(sig.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(Names(), std::vector<std::string>{"a.txt.sig"});

  // Through a link the file it names is replaced; the link stays a link.
  ASSERT_EQ(symlink("a.txt.sig", (dir_ + "/link.sig").c_str()), 0);
  EXPECT_EQ(Write(dir_ + "/link.sig", "third"), 5);
  EXPECT_EQ(Read(sig), "third");
  ASSERT_EQ(lstat((dir_ + "/link.sig").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.txt.sig", "link.sig"}));
}

// A write that fails half-way (here the file size limit stands in for a
// full disk) keeps the previous signature byte for byte.
TEST_F(SignatureFileTest, FailedWriteKeepsThePreviousFile) {
  const std::string sig = dir_ + "/d.sig";
  const std::string old(3000, 'o');
  ASSERT_EQ(Write(sig, old), 3000);

  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int answer = Write(sig, std::string(4096, 'n'));
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  signal(SIGXFSZ, previous);

  EXPECT_EQ(answer, 0);
  EXPECT_EQ(Read(sig), old);
  EXPECT_EQ(Names(), std::vector<std::string>{"d.sig"});
}

// Paths that exist and are no regular file: refused at once (a pipe with no
// reader must not block; the alarm turns a hang into a failure) and left as
// they were.
TEST_F(SignatureFileTest, PathsThatAreNoRegularFileAreRefusedUntouched) {
  const struct {
    const char* name;
    int (*make)(const std::string& path);
    mode_t type;
  } cases[] = {
      {"fifo", [](const std::string& p) { return mkfifo(p.c_str(), 0600); }, S_IFIFO},
      {"directory", [](const std::string& p) { return mkdir(p.c_str(), 0700); }, S_IFDIR},
      {"device",
       [](const std::string& p) {
         // The null device's numbers; as a plain user /dev/null itself.
         if (geteuid() != 0) return symlink("/dev/null", p.c_str());
         return mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3));
       },
       S_IFCHR},
  };
  for (const auto& c : cases) {
    const std::string path = dir_ + "/" + c.name + ".sig";
    ASSERT_EQ(c.make(path), 0) << c.name;
    alarm(10);
    EXPECT_EQ(Write(path, "signature"), 0) << c.name;
    alarm(0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << c.name;
    EXPECT_EQ(st.st_mode & S_IFMT, c.type) << c.name;
  }
  EXPECT_EQ(Names(), (std::vector<std::string>{"device.sig", "directory.sig", "fifo.sig"}));
}

}  // namespace

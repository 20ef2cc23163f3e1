// The Wycheproof RSA-1024 PKCS#1 v1.5 generation vectors through vorpin_sign:
// each key is imported into a SoftHSM2 token of its own, and the signature
// that the card makes over the DER DigestInfo (selector 0) must be the
// vector's, byte for byte.
//
// usage: wycheproof_sign_test VECTORS.txt (the converted vector file)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "vorpin_dll.h"

namespace {

using test_support::Bytes;
using test_support::FromHex;
using test_support::Shell;
using test_support::ToBytes;

std::string g_vector_file;

struct Case {
  int id;
  Bytes digest_info;
  Bytes sig;
};

struct Group {
  Bytes pkcs8;
  std::vector<Case> cases;
};

std::vector<Group> LoadGroups(const std::string& path) {
  std::vector<Group> groups;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    if (kind == "key") {
      std::string hex;
      fields >> hex;
      groups.push_back({FromHex(hex), {}});
    } else if (kind == "case" && !groups.empty()) {
      Case c;
      std::string result, info, sig;
      fields >> c.id >> result >> info >> sig;
      c.digest_info = FromHex(info);
      c.sig = sig == "-" ? Bytes() : FromHex(sig);
      groups.back().cases.push_back(c);
    }
  }
  return groups;
}

// A SoftHSM2 token holding only the given key, in dir; returns its
// configuration file.
std::string MakeCard(const std::string& dir, const Bytes& pkcs8) {
  std::string conf = dir + "/softhsm2.conf";
  EXPECT_TRUE(Shell("mkdir -p " + dir + "/tokens"));
  std::ofstream(conf) << "directories.tokendir = " << dir << "/tokens\n"
                      << "objectstore.backend = file\nlog.level = ERROR\n"
                      << "slots.removable = false\n";
  test_support::WriteFile(dir + "/key.der", pkcs8);
  const std::string env = "SOFTHSM2_CONF=" + conf + " ";
  EXPECT_TRUE(Shell("openssl pkey -inform DER -in " + dir + "/key.der -out " + dir + "/key.pem"));
  EXPECT_TRUE(Shell(env + "softhsm2-util --init-token --free --label Vectors --so-pin 12345678 "
                          "--pin 123456 > /dev/null"));
  EXPECT_TRUE(Shell(env + "softhsm2-util --import " + dir +
                    "/key.pem --token Vectors --label k --id 01 --pin 123456 > /dev/null"));
  return conf;
}

TEST(WycheproofSign, EveryGenerationKeyMakesTheVectorSignatures) {
  const std::vector<Group> groups = LoadGroups(g_vector_file);
  ASSERT_FALSE(groups.empty()) << g_vector_file;
  char tmpl[] = "/tmp/wycheproof_cards.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = tmpl;
  const std::string card_conf = test_support::Env("SOFTHSM2_CONF");
  const Bytes pin = ToBytes("123456");

  for (size_t g = 0; g < groups.size(); ++g) {
    SCOPED_TRACE("key group " + std::to_string(g));
    const std::string conf = MakeCard(root + "/card" + std::to_string(g), groups[g].pkcs8);
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    ASSERT_EQ(vorpin_init(), VORPIN_OK);
    for (const Case& c : groups[g].cases) {
      Bytes sig(128);
      int32_t len = 128;
      ASSERT_EQ(vorpin_sign(c.digest_info.data(), static_cast<int32_t>(c.digest_info.size()),
                            sig.data(), &len, VORPIN_HASH_NONE, pin.data(), 6),
                VORPIN_OK)
          << "tcId " << c.id;
      // A vector may give the signature without its leading zero bytes.
      Bytes expected(128 - std::min<size_t>(128, c.sig.size()), 0);
      expected.insert(expected.end(), c.sig.begin(), c.sig.end());
      EXPECT_EQ(sig, expected) << "tcId " << c.id;
    }
    vorpin_fini();
  }
  setenv("SOFTHSM2_CONF", card_conf.c_str(), 1);
  Shell("rm -rf " + root);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s VECTORS.txt\n", argv[0]);
    return 2;
  }
  g_vector_file = argv[1];
  return RUN_ALL_TESTS();
}

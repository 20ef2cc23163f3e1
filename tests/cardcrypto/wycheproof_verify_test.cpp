// The Wycheproof RSA-2048 PKCS#1 v1.5 verification vectors (SHA-256, many
// malformed signatures) through vorpin_verify_by_cert: the key is put in a
// certificate, the DER DigestInfo of the message is the data (selector 0).
//
// usage: wycheproof_verify_test VECTORS.txt (the converted vector file)
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cert_factory.h"
#include "test_support.h"
#include "vorpin_dll.h"

namespace {

using test_support::Bytes;
using test_support::FromHex;
using test_support::Ptr;

std::string g_vector_file;

TEST(WycheproofVerify, OnlyValidSignaturesVerify) {
  std::ifstream in(g_vector_file);
  ASSERT_TRUE(in) << g_vector_file;
  cert_factory::Key signer = cert_factory::EcKey();
  Bytes cert;
  std::string line;
  bool any_case = false;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    if (kind == "key") {
      std::string hex;
      fields >> hex;
      cert_factory::Key key = cert_factory::PublicKey(FromHex(hex));
      ASSERT_TRUE(key);
      cert = cert_factory::Make({}, key.get(), signer.get());
      continue;
    }
    int id = 0;
    std::string result, info_hex, sig_hex;
    fields >> id >> result >> info_hex >> sig_hex;
    const Bytes info = FromHex(info_hex);
    const Bytes sig = sig_hex == "-" ? Bytes() : FromHex(sig_hex);
    const int32_t rc = vorpin_verify_by_cert(
        info.data(), static_cast<int32_t>(info.size()), Ptr(sig), static_cast<int32_t>(sig.size()),
        cert.data(), static_cast<int32_t>(cert.size()), VORPIN_HASH_NONE);
    any_case = true;
    if (result == "valid") {
      EXPECT_EQ(rc, VORPIN_OK) << "tcId " << id;
    } else if (result == "invalid") {
      // Mismatch, or a recovered value longer than the 128-byte block.
      EXPECT_TRUE(rc == VORPIN_ERR_VERIFY_MISMATCH || rc == VORPIN_ERR_MEMORY)
          << "tcId " << id << " gave " << rc;
    } else {
      EXPECT_TRUE(rc == VORPIN_OK || rc == VORPIN_ERR_VERIFY_MISMATCH)
          << "tcId " << id << " gave " << rc;
    }
  }
  EXPECT_TRUE(any_case);
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

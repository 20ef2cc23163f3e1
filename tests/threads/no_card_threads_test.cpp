// The work that needs no card (verification of signature files, digests,
// Base64, certificate texts, verification with a given certificate) runs in
// several threads at once, each answer equal to the one-thread answer, while
// another thread holds the card lock the whole time: none of it waits for
// the card.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Docseal.h"
#include "test_support.h"
#include "test_util.h"
#include "vorpin_cardlock.h"
#include "vorpin_dll.h"

namespace {

using docseal_test::TempDir;
using test_support::Bytes;

constexpr int kThreads = 6;
constexpr int kRounds = 20;

// The certificate texts of one certificate, as one string.
std::string CertTexts(const Bytes& der) {
  std::array<char, 512> issuer{}, serial{}, subject{}, email{}, tail{}, from{}, to{};
  int32_t issuer_len = 511, serial_len = 511, subject_len = 511, email_len = 511, tail_len = 511,
          from_len = 511, to_len = 511;
  const int32_t len = static_cast<int32_t>(der.size());
  const int32_t a = issure_serial_get_by_cert(der.data(), len, issuer.data(), &issuer_len,
                                              serial.data(), &serial_len);
  const int32_t b = imformations_get_by_cert(der.data(), len, subject.data(), &subject_len,
                                             email.data(), &email_len, tail.data(), &tail_len,
                                             from.data(), &from_len, to.data(), &to_len);
  return std::to_string(a) + "|" + std::to_string(b) + "|" +
         std::string(issuer.data(), static_cast<size_t>(issuer_len)) + "|" + serial.data() + "|" +
         std::string(subject.data(), static_cast<size_t>(subject_len)) + "|" + email.data() + "|" +
         std::string(tail.data(), static_cast<size_t>(tail_len)) + "|" +
         std::string(from.data(), static_cast<size_t>(from_len)) + "|" +
         std::string(to.data(), static_cast<size_t>(to_len));
}

Bytes Digest(const Bytes& data, int32_t type) {
  Bytes out(36);
  int32_t len = static_cast<int32_t>(out.size());
  if (vorpin_hash(data.data(), static_cast<int32_t>(data.size()), out.data(), &len, type) !=
      VORPIN_OK) {
    return Bytes();
  }
  out.resize(static_cast<size_t>(len));
  return out;
}

std::string Base64(const Bytes& data) {
  std::vector<char> text(2 * data.size() + 4);
  const int32_t n = B64Encode(data.data(), static_cast<uint32_t>(data.size()), text.data(),
                              static_cast<uint32_t>(text.size()));
  return n < 0 ? std::string("<failed>") : std::string(text.data(), static_cast<size_t>(n));
}

Bytes FromBase64(const std::string& text) {
  Bytes out(text.size());
  const int32_t n = B64Decode(text.c_str(), out.data(), static_cast<uint32_t>(out.size()));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

// Everything one round of a thread computes, to compare with one thread's.
struct Answers {
  int verify_file = -1, verify_dir = -1, sign_info = -1, sig_cert = -1, verify_by_cert = -1;
  std::string file_signer, dir_signer, info_text, sig_cert_b64, texts, b64;
  Bytes sha1, md5_sha1, decoded;
  bool operator==(const Answers& o) const {
    return verify_file == o.verify_file && verify_dir == o.verify_dir && sign_info == o.sign_info &&
           sig_cert == o.sig_cert && verify_by_cert == o.verify_by_cert &&
           file_signer == o.file_signer && dir_signer == o.dir_signer && info_text == o.info_text &&
           sig_cert_b64 == o.sig_cert_b64 && texts == o.texts && b64 == o.b64 && sha1 == o.sha1 &&
           md5_sha1 == o.md5_sha1 && decoded == o.decoded;
  }
};

class NoCardThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string pin = test_support::Env("VORPIN_CARD_PIN");
    ASSERT_FALSE(pin.empty());
    cert_ = test_support::ReadFile(test_support::CardFile("sign.crt.der"));
    ASSERT_FALSE(cert_.empty());
    const std::string text = "a document that several threads verify\n";
    data_.assign(text.begin(), text.end());
    file_ = tmp_ / "doc.txt";
    docseal_test::WriteFile(file_, text);
    docseal_test::MakeTree(tmp_ / "tree", {{"a.txt", "alpha"}, {"sub/b.txt", "beta"}});
    // The signatures are made with the card once, before the threads start.
    ASSERT_EQ(Signature("file signer", pin.c_str(), file_.c_str(), ""), DOCSEAL_OK);
    ASSERT_EQ(Signature("tree signer", pin.c_str(), (tmp_ / "tree").c_str(), ""), DOCSEAL_OK);
    ASSERT_EQ(vorpin_init(), VORPIN_OK);
    sig_.resize(512);
    int32_t sig_len = static_cast<int32_t>(sig_.size());
    const int32_t rc = vorpin_sign(
        data_.data(), static_cast<int32_t>(data_.size()), sig_.data(), &sig_len, VORPIN_HASH_SHA1,
        reinterpret_cast<const unsigned char*>(pin.data()), static_cast<int32_t>(pin.size()));
    vorpin_fini();
    ASSERT_EQ(rc, VORPIN_OK);
    sig_.resize(static_cast<size_t>(sig_len));
  }

  Answers Round() const {
    Answers a;
    std::vector<char> out(8192, '\0');
    a.verify_file = Verify(out.data(), file_.c_str(), "");
    a.file_signer = out.data();
    a.verify_dir = Verify(out.data(), (tmp_ / "tree").c_str(), "");
    a.dir_signer = out.data();
    a.sign_info = GetSignInfo(out.data(), (file_ + ".sig").c_str());
    a.info_text = out.data();
    a.sig_cert = GetSignCertificateFromSignature((file_ + ".sig").c_str(), out.data());
    a.sig_cert_b64 = out.data();
    a.verify_by_cert =
        vorpin_verify_by_cert(data_.data(), static_cast<int32_t>(data_.size()), sig_.data(),
                              static_cast<int32_t>(sig_.size()), cert_.data(),
                              static_cast<int32_t>(cert_.size()), VORPIN_HASH_SHA1);
    a.texts = CertTexts(cert_);
    a.sha1 = Digest(data_, VORPIN_HASH_SHA1);
    a.md5_sha1 = Digest(data_, VORPIN_HASH_MD5_SHA1);
    a.b64 = Base64(cert_);
    a.decoded = FromBase64(a.b64);
    return a;
  }

  TempDir tmp_;
  std::string file_;
  Bytes data_, cert_, sig_;
};

TEST_F(NoCardThreads, VerificationDigestsBase64AndTextsRunWhileTheCardIsBusy) {
  const Answers alone = Round();
  // The one-thread answers are the right ones.
  EXPECT_EQ(alone.verify_file, DOCSEAL_OK);
  EXPECT_EQ(alone.file_signer, "file signer");
  EXPECT_EQ(alone.verify_dir, DOCSEAL_OK);
  EXPECT_EQ(alone.dir_signer, "tree signer");
  EXPECT_EQ(alone.sign_info, DOCSEAL_OK);
  EXPECT_EQ(alone.info_text, "file signer");
  EXPECT_EQ(alone.sig_cert, DOCSEAL_OK);
  EXPECT_EQ(alone.sig_cert_b64, alone.b64);
  EXPECT_EQ(alone.verify_by_cert, VORPIN_OK);
  EXPECT_EQ(alone.sha1, docseal_test::Sha1(std::string(data_.begin(), data_.end())));
  EXPECT_EQ(alone.md5_sha1.size(), 36u);
  EXPECT_EQ(alone.decoded, cert_);
  EXPECT_EQ(alone.texts.substr(0, 4), "0|0|");

  std::atomic<int> finished{0};
  std::atomic<int> differing{0};
  std::vector<std::thread> threads;
  {
    // A card bracket that never ends while the threads run.
    const vorpin::CardLock card_busy;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (int r = 0; r < kRounds; ++r) {
          if (!(Round() == alone)) ++differing;
        }
        ++finished;
      });
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (finished < kThreads && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (finished < kThreads) {
      // A thread waits for the card lock: it can never finish.
      std::fprintf(stderr, "work that needs no card waited for the card lock\n");
      std::_Exit(1);
    }
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(differing, 0);
}

}  // namespace

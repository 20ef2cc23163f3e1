// Several host threads on the SoftHSM2 card at once, through both libraries:
// every call succeeds and answers as it would alone.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Doclock.h"
#include "Docseal.h"
#include "test_support.h"
#include "test_util.h"

namespace {

using docseal_test::TempDir;
using test_support::Bytes;

constexpr int kThreads = 4;
constexpr int kJobs = 4;  // file signing, list signing, wrap and unwrap, PIN check

// Bytes that tell a thread's and a round's data from every other's.
std::string Payload(int thread, int round, size_t size) {
  std::string s = "thread " + std::to_string(thread) + " round " + std::to_string(round) + ":";
  while (s.size() < size) s += static_cast<char>('a' + (s.size() * 7 + thread) % 26);
  return s;
}

class CardThreads : public ::testing::Test {
 protected:
  // The signature of path verifies without the card and carries signer.
  void ExpectVerifies(const std::string& path, const std::string& signer, const char* where) {
    std::vector<char> info(4096, '\0');
    EXPECT_EQ(Verify(info.data(), path.c_str(), ""), DOCSEAL_OK) << where << " " << path;
    EXPECT_EQ(std::string(info.data()), signer) << where << " " << path;
  }

  void SignFile(int t, int r) {
    const std::string file = tmp_ / ("file." + std::to_string(t) + "." + std::to_string(r));
    const std::string signer = "file signer " + std::to_string(t) + "/" + std::to_string(r);
    docseal_test::WriteFile(file, Payload(t, r, 3000));
    EXPECT_EQ(Signature(signer.c_str(), pin_.c_str(), file.c_str(), ""), DOCSEAL_OK) << file;
    ExpectVerifies(file, signer, "Signature");
  }

  void SignList(int t, int r) {
    const std::string base = tmp_ / ("list." + std::to_string(t) + "." + std::to_string(r));
    const std::string signer = "list signer " + std::to_string(t) + "/" + std::to_string(r);
    const std::string a = base + ".a", b = base + ".b";
    docseal_test::WriteFile(a, Payload(t, r, 100));
    docseal_test::WriteFile(b, Payload(t, r + 100, 5000));
    const std::string list = a + ";" + b;
    EXPECT_EQ(SignMulti(signer.c_str(), pin_.c_str(), list.c_str()), DOCSEAL_OK) << list;
    ExpectVerifies(a, signer, "SignMulti");
    ExpectVerifies(b, signer, "SignMulti");
  }

  void WrapAndUnwrap(int t, int r) {
    const std::string text = Payload(t, r, 2000 + 100 * t);
    const Bytes data(text.begin(), text.end());
    Bytes wrapped(data.size() + 8192);
    int32_t wrapped_size = static_cast<int32_t>(wrapped.size());
    ASSERT_EQ(
        Encrypt(pin_.c_str(), enc_cert_.data(), static_cast<int32_t>(enc_cert_.size()), data.data(),
                static_cast<int32_t>(data.size()), wrapped.data(), &wrapped_size),
        DOCLOCK_OK)
        << "Encrypt " << t << "/" << r;
    Bytes plain(data.size());
    int32_t plain_size = static_cast<int32_t>(plain.size());
    ASSERT_EQ(Decrypt(pin_.c_str(), plain.data(), &plain_size, wrapped.data(), wrapped_size),
              DOCLOCK_OK)
        << "Decrypt " << t << "/" << r;
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + plain_size), data) << t << "/" << r;
  }

  void CheckPin(int t, int r) {
    EXPECT_EQ(VerifyPIN(pin_.c_str()), DOCSEAL_OK) << "VerifyPIN " << t << "/" << r;
  }

  const std::string pin_ = test_support::Env("VORPIN_CARD_PIN");
  const Bytes enc_cert_ = test_support::ReadFile(test_support::CardFile("enc.crt.der"));
  TempDir tmp_;
};

// In every round each thread runs another of the four jobs, so all four run
// side by side all the time, and over the rounds every thread runs each.
TEST_F(CardThreads, SigningWrappingAndPinChecksSideBySide) {
  ASSERT_FALSE(pin_.empty());
  ASSERT_FALSE(enc_cert_.empty());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int r = 0; r < kJobs; ++r) {
        switch ((t + r) % kJobs) {
          case 0:
            SignFile(t, r);
            break;
          case 1:
            SignList(t, r);
            break;
          case 2:
            WrapAndUnwrap(t, r);
            break;
          default:
            CheckPin(t, r);
            break;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

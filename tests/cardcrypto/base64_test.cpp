// B64Encode / B64Decode: RFC 4648 vectors, capacities and malformed texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vorpin_dll.h"

namespace {

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

struct Rfc4648Vector {
  const char* plain;
  const char* encoded;
};

const Rfc4648Vector kRfc4648[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, Rfc4648VectorsRoundTrip) {
  for (const auto& v : kRfc4648) {
    std::string plain = v.plain;
    char text[32];
    ASSERT_EQ(B64Encode(Bytes(plain), plain.size(), text, sizeof text),
              static_cast<int32_t>(strlen(v.encoded)))
        << v.plain;
    EXPECT_STREQ(text, v.encoded);
    unsigned char out[32];
    ASSERT_EQ(B64Decode(v.encoded, out, sizeof out), static_cast<int32_t>(plain.size()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), plain.size()), plain);
    EXPECT_EQ(B64Decode(v.encoded, nullptr, 0), static_cast<int32_t>(plain.size()));
  }
}

TEST(Base64, EncodeCapacity) {
  char text[64];
  const unsigned char data[64] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(B64Encode(data, 0, text, 1), 0);
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(B64Encode(data, 0, text, 0), -1);
  EXPECT_EQ(B64Encode(data, 3, text, 4), -1);  // no room for the NUL
  EXPECT_EQ(B64Encode(data, 3, text, 5), 4);
  // Twice the input length suffices for 3 and for 5 and more, not for 1, 2, 4.
  for (uint32_t n = 1; n <= 20; ++n) {
    const bool fits = n == 3 || n >= 5;
    EXPECT_EQ(B64Encode(data, n, text, 2 * n) >= 0, fits) << n;
  }
  // On -1 the groups that fitted are written, with no NUL after them.
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(B64Encode(data, 6, text, 6), -1);
  EXPECT_EQ(std::string(text, 5), "AQIDx");
}

TEST(Base64, DecodeCapacity) {
  unsigned char out[8];
  EXPECT_EQ(B64Decode("Zg==", out, 1), -1);  // the leftover slot needs a byte
  EXPECT_EQ(B64Decode("Zg==", out, 2), 1);
  EXPECT_EQ(B64Decode("Zm8=", out, 2), -1);
  EXPECT_EQ(B64Decode("Zm8=", out, 3), 2);
  EXPECT_EQ(B64Decode("Zm9v", out, 3), 3);  // a full group needs no extra byte
  EXPECT_EQ(B64Decode("Zm9v", out, 2), -1);
}

TEST(Base64, LineBreaksAndBlanksAreSkipped) {
  std::vector<unsigned char> data(200);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
  char text[400];
  ASSERT_GT(B64Encode(data.data(), data.size(), text, sizeof text), 0);
  for (size_t width : {64u, 76u}) {
    std::string wrapped;
    for (size_t i = 0; text[i] != '\0'; ++i) {
      if (i > 0 && i % width == 0) wrapped += "\r\n";
      wrapped += text[i];
    }
    wrapped += " \t\n";
    std::vector<unsigned char> out(data.size() + 1);
    ASSERT_EQ(B64Decode(wrapped.c_str(), out.data(), out.size()),
              static_cast<int32_t>(data.size()));
    out.resize(data.size());
    EXPECT_EQ(out, data) << width;
  }
}

struct Malformed {
  const char* name;
  const char* text;
  int32_t counted;  // the answer without a target: -1, or the count
};

const Malformed kMalformed[] = {
    {"six_chars_no_padding", "Zm9vYm", -1}, {"three_pads", "Zg===", -1},
    {"pad_then_data", "Zg==Zg==", -1},      {"pad_after_one_char", "Z===", -1},
    {"pad_at_group_start", "=", -1},        {"single_pad_after_two", "Zg=", -1},
    {"outside_alphabet", "Zm9v!", -1},      {"high_bit_byte", "Zm9v\xc3\xa9", -1},
    {"url_safe_alphabet", "Zm-_", -1},      {"leftover_bits_set", "Zh==", 1},
    {"leftover_bits_set_two", "Zm9=", 2},
};

class Base64Malformed : public testing::TestWithParam<Malformed> {};

TEST_P(Base64Malformed, Refused) {
  unsigned char out[16];
  EXPECT_EQ(B64Decode(GetParam().text, out, sizeof out), -1);
  EXPECT_EQ(B64Decode(GetParam().text, nullptr, 0), GetParam().counted);
}

INSTANTIATE_TEST_SUITE_P(Texts, Base64Malformed, testing::ValuesIn(kMalformed),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(Base64, BlanksAroundPadding) {
  unsigned char out[4];
  EXPECT_EQ(B64Decode("Zg= =\n", out, sizeof out), 1);
  EXPECT_EQ(B64Decode(" Z g = = ", out, sizeof out), 1);
  EXPECT_EQ(out[0], 'f');
}

}  // namespace

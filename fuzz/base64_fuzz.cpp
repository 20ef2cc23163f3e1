// B64Decode on any text, with and without a target and at every capacity
// around the need, and the round trip through B64Encode.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vorpin_dll.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');

  const int32_t counted = B64Decode(text.data(), nullptr, 0);
  std::vector<unsigned char> out(size + 1);
  const int32_t decoded = B64Decode(text.data(), out.data(), static_cast<uint32_t>(out.size()));
  // With room to spare a target changes only the leftover-bits verdict.
  if (decoded >= 0 && decoded != counted) std::abort();
  if (decoded > 0) {
    // A capacity one below what worked must fail, never write past it.
    std::vector<unsigned char> tight(static_cast<size_t>(decoded));
    const int32_t exact = B64Decode(text.data(), tight.data(), static_cast<uint32_t>(tight.size()));
    if (exact >= 0 && std::memcmp(tight.data(), out.data(), static_cast<size_t>(exact)) != 0) {
      std::abort();
    }
  }

  // Round trip of the raw bytes.
  std::vector<char> encoded(4 * ((size + 2) / 3) + 1);
  const int32_t chars = B64Encode(data, static_cast<uint32_t>(size), encoded.data(),
                                  static_cast<uint32_t>(encoded.size()));
  if (chars < 0) std::abort();
  std::vector<unsigned char> back(size + 1);
  const int32_t n = B64Decode(encoded.data(), back.data(), static_cast<uint32_t>(back.size()));
  if (n != static_cast<int32_t>(size)) std::abort();
  if (size > 0 && std::memcmp(back.data(), data, size) != 0) std::abort();
  return 0;
}

// Base64 (RFC 4648 section 4): standard alphabet, "=" padding, no line
// breaks. Capacities and lengths are unsigned and compared unsigned.
#include <cstddef>

#include "vorpin_dll.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Index of c in the alphabet, or -1.
int AlphabetIndex(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

extern "C" VORPIN_API int32_t VORPIN_CDECL B64Encode(const unsigned char* src, uint32_t src_len,
                                                     char* dst, uint32_t dst_cap) {
  uint32_t written = 0;
  uint32_t left = src_len;
  while (left > 2) {
    if (static_cast<uint64_t>(written) + 4 > dst_cap) return -1;
    dst[written] = kAlphabet[src[0] >> 2];
    dst[written + 1] = kAlphabet[((src[0] & 3) << 4) + (src[1] >> 4)];
    dst[written + 2] = kAlphabet[((src[1] & 15) << 2) + (src[2] >> 6)];
    dst[written + 3] = kAlphabet[src[2] & 63];
    written += 4;
    src += 3;
    left -= 3;
  }
  if (left > 0) {
    const unsigned char b0 = src[0];
    const unsigned char b1 = left == 2 ? src[1] : 0;
    if (static_cast<uint64_t>(written) + 4 > dst_cap) return -1;
    dst[written] = kAlphabet[b0 >> 2];
    dst[written + 1] = kAlphabet[((b0 & 3) << 4) + (b1 >> 4)];
    dst[written + 2] = left == 1 ? '=' : kAlphabet[(b1 & 15) << 2];
    dst[written + 3] = '=';
    written += 4;
  }
  if (written >= dst_cap) return -1;
  dst[written] = '\0';
  return static_cast<int32_t>(written);
}

extern "C" VORPIN_API int32_t VORPIN_CDECL B64Decode(const char* src, unsigned char* dst,
                                                     uint32_t dst_cap) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(src);
  uint32_t count = 0;
  int state = 0;
  for (;; ++p) {
    const unsigned char c = *p;
    if (c == '\0') {
      // The text ended inside a group without padding.
      return state == 0 ? static_cast<int32_t>(count) : -1;
    }
    if (IsSpace(c)) continue;
    if (c == '=') break;
    const int v = AlphabetIndex(c);
    if (v < 0) return -1;
    switch (state) {
      case 0:
        if (dst != nullptr) {
          if (count >= dst_cap) return -1;
          dst[count] = static_cast<unsigned char>(v << 2);
        }
        state = 1;
        break;
      case 1:
        if (dst != nullptr) {
          if (static_cast<uint64_t>(count) + 1 >= dst_cap) return -1;
          dst[count] |= static_cast<unsigned char>(v >> 4);
          dst[count + 1] = static_cast<unsigned char>((v & 15) << 4);
        }
        ++count;
        state = 2;
        break;
      case 2:
        if (dst != nullptr) {
          if (static_cast<uint64_t>(count) + 1 >= dst_cap) return -1;
          dst[count] |= static_cast<unsigned char>(v >> 2);
          dst[count + 1] = static_cast<unsigned char>((v & 3) << 6);
        }
        ++count;
        state = 3;
        break;
      default:
        if (dst != nullptr) {
          if (count >= dst_cap) return -1;
          dst[count] |= static_cast<unsigned char>(v);
        }
        ++count;
        state = 0;
        break;
    }
  }

  // The loop ended at "=".
  if (state == 0 || state == 1) return -1;
  ++p;
  if (state == 2) {
    while (IsSpace(*p)) ++p;
    if (*p != '=') return -1;
    ++p;
  }
  for (; *p != '\0'; ++p) {
    if (!IsSpace(*p)) return -1;
  }
  // The slot after the last byte holds the last character's unused bits.
  if (dst != nullptr && dst[count] != 0) return -1;
  return static_cast<int32_t>(count);
}

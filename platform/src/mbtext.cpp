#include "platform/mbtext.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace platform {

size_t CharLength(const char* text, size_t left) noexcept {
  if (MB_CUR_MAX == 1) return 1;
  std::mbstate_t state{};
  const size_t step = std::mbrlen(text, left, &state);
  return (step == 0 || step == static_cast<size_t>(-1) || step == static_cast<size_t>(-2)) ? 1
                                                                                           : step;
}

size_t FindText(const char* text, const char* needle, size_t from) noexcept {
  const size_t text_len = std::strlen(text);
  const size_t needle_len = std::strlen(needle);
  size_t i = from;
  while (i <= text_len && text_len - i >= needle_len) {
    if (std::memcmp(text + i, needle, needle_len) == 0) {
      return i;
    }
    if (i == text_len) {
      break;
    }
    i += CharLength(text + i, text_len - i);
  }
  return kNotFound;
}

}  // namespace platform

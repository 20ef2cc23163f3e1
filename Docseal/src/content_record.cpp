#include "content_record.h"

#include <string.h>

namespace docseal {

void FillContent(unsigned char* out, const unsigned char* digest, int32_t digest_len,
                 const std::string& list, const std::string& text) {
  size_t at = 0;
  if (digest_len > 0) {
    memcpy(out, digest, static_cast<size_t>(digest_len));
    at = static_cast<size_t>(digest_len);
  }
  const uint32_t len = static_cast<uint32_t>(list.size());
  for (int i = 0; i < 4; ++i) out[at++] = static_cast<unsigned char>(len >> (8 * i));
  memcpy(out + at, list.data(), list.size());
  memcpy(out + at + list.size(), text.data(), text.size());
}

bool ParseContent(const unsigned char* data, size_t size, ContentView* view) {
  if (data == nullptr || size < kContentHeader) return false;
  uint32_t raw = 0;
  for (int i = 3; i >= 0; --i) raw = (raw << 8) | data[kDigestSize + i];
  const int32_t len = static_cast<int32_t>(raw);
  if (len < 0 || static_cast<size_t>(len) > size - kContentHeader) return false;
  const char* list = reinterpret_cast<const char*>(data + kContentHeader);
  view->digest = data;
  view->list_length = len;
  view->list.assign(list, static_cast<size_t>(len));
  view->text.assign(list + len, size - kContentHeader - static_cast<size_t>(len));
  return true;
}

}  // namespace docseal

// The signed content of a signature: digest, list length (32-bit
// little-endian), file list, signer text.
#ifndef DOCSEAL_CONTENT_RECORD_H
#define DOCSEAL_CONTENT_RECORD_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace docseal {

constexpr int32_t kDigestSize = 20;
// Digest and list length: the shortest content of this system.
constexpr size_t kContentHeader = kDigestSize + 4;

// Writes the record into out (of exactly digest_len + 4 + list + text bytes).
void FillContent(unsigned char* out, const unsigned char* digest, int32_t digest_len,
                 const std::string& list, const std::string& text);

struct ContentView {
  const unsigned char* digest = nullptr;  // kDigestSize bytes
  int32_t list_length = 0;
  std::string list;
  std::string text;
};

// Reads a content made by this system. False when it is shorter than its
// header or its list length is negative or points past its end.
bool ParseContent(const unsigned char* data, size_t size, ContentView* view);

}  // namespace docseal

#endif

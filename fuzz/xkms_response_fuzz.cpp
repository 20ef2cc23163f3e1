// Any bytes as the XKMS service's answer to a validation request: the
// verdict is always one of the codes of the judging (0, 22 to 27), also
// under a double-byte locale, where the searches step over Big5
// characters. The first byte chooses the locale when a Big5 one is
// installed (run-fuzzers.sh compiles one).
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "xkms.h"

namespace {
bool g_have_big5 = false;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_have_big5 = std::setlocale(LC_CTYPE, "zh_TW.BIG5") != nullptr;
  std::setlocale(LC_CTYPE, "C");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool big5 = g_have_big5 && (data[0] & 1) != 0;
  if (big5) std::setlocale(LC_CTYPE, "zh_TW.BIG5");
  const std::string response(reinterpret_cast<const char*>(data) + 1, size - 1);
  const int32_t rc = docseal::CheckValidateResponse(response);
  if (big5) std::setlocale(LC_CTYPE, "C");
  if (rc != 0 && (rc < 22 || rc > 27)) std::abort();
  return 0;
}

// The reader of the signed content on any bytes: it accepts only contents
// whose layout fits, and never reads past the end.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "content_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size, so that a read past it shows.
  std::vector<unsigned char> bytes(data, data + size);
  docseal::ContentView view;
  if (!docseal::ParseContent(bytes.empty() ? nullptr : bytes.data(), bytes.size(), &view)) {
    return 0;
  }
  if (size < docseal::kContentHeader || view.list_length < 0 ||
      docseal::kContentHeader + view.list.size() + view.text.size() != size ||
      static_cast<size_t>(view.list_length) != view.list.size()) {
    abort();
  }
  std::vector<unsigned char> again(size);
  docseal::FillContent(again.data(), view.digest, docseal::kDigestSize, view.list, view.text);
  if (again != bytes) abort();
  return 0;
}

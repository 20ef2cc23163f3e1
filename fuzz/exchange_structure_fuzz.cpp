// Feeds arbitrary bytes to the exchange structure's readers. The card
// library is not started, so an unwrap ends at the card at the latest.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "exchpack_dll.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  std::vector<unsigned char> bytes(data, data + size);
  raw_data_st in{static_cast<int32_t>(size), bytes.data()};
  unsigned char cert[1500];
  raw_data_st cert_out{sizeof cert, cert};
  GetSignCertFromP12(&in, &cert_out);
  std::vector<unsigned char> plain(size + 16);
  raw_data_st out{static_cast<int32_t>(plain.size()), plain.data()};
  P12toData_for_file_exchange(&out, &in, nullptr, 0, "123456");
  return 0;
}

// newPKCS7 on any bytes, and every reader on what it accepts: content into
// records of the file's size and of less, certificates by index, the signer
// list and verification.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "sigenv_dll.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  std::vector<unsigned char> bytes(data, data + size);
  raw_data_st in{static_cast<int32_t>(size), bytes.data()};
  pkcs7_st* p7 = newPKCS7(&in);
  if (p7 == nullptr) return 0;

  for (int32_t room : {static_cast<int32_t>(size), 7}) {
    raw_data_st out{0, nullptr};
    if (RAW_DATA_new(&out, room) != 0) abort();
    getContentString(p7, &out);
    if (out.length < 0 || out.length > room) abort();
    RAW_DATA_delete(&out);
  }
  for (int index : {-1, 0, 1, 5}) {
    raw_data_st cert{0, nullptr};
    if (RAW_DATA_new(&cert, 2048) != 0) abort();
    const int rc = P7getX509Cert(p7, index, &cert, nullptr);
    if ((rc == 0) != (cert.length > 0) || cert.length > 2048) abort();
    RAW_DATA_delete(&cert);
  }
  stack_st* signers = PKCS7_get_signer_infos(p7);
  const int n = sk_PKCS7_SIGNER_INFOs_num(signers);
  if (n < 0) abort();
  std::vector<char> flags(static_cast<size_t>(n) + 1, 0);
  std::vector<char> buf(static_cast<size_t>(n) * 20 + 1, 0);
  static_assert(sizeof(bool) == 1, "flags are bytes");
  P7Verify(p7, reinterpret_cast<bool*>(flags.data()), buf.data(), 1);
  StackFree(signers);
  freePKCS7(p7);
  return 0;
}

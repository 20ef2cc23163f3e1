// The three entry points: the host's buffers are handed to the exchange
// library in records (the large input and result in place, the signing
// certificate in a record of the library's own), the card library is
// started around the card work, and results reach the host only on success.
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "Doclock.h"
#include "exchpack_dll.h"
#include "vorpin_cardlock.h"
#include "vorpin_dll.h"

namespace {

// A record made by RAW_DATA_new, released by RAW_DATA_delete only when it
// was made.
class Record {
 public:
  Record() = default;
  ~Record() {
    if (made_) RAW_DATA_delete(&record_);
  }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  bool Make(int32_t n) {
    made_ = RAW_DATA_new(&record_, n) == EXCHPACK_OK;
    return made_;
  }
  // Describes n bytes of the host's own at p instead of a block of the
  // exchange library: a large call then holds no second copy of its input
  // or its result. The exchange library only reads an input record, and
  // writes an output record only on success.
  bool Borrow(const unsigned char* p, int32_t n) {
    if (n < 0) return false;
    record_ = {n, const_cast<unsigned char*>(p)};
    return true;
  }
  raw_data_st* get() { return &record_; }
  int32_t length() const { return record_.length; }
  unsigned char* data() const { return record_.data; }

 private:
  raw_data_st record_{};
  bool made_ = false;
};

// Stops the card library when it goes out of scope. Declared after the
// records, so the card is stopped before they are released.
struct CardStop {
  CardStop() = default;
  CardStop(const CardStop&) = delete;
  CardStop& operator=(const CardStop&) = delete;
  ~CardStop() { vorpin_fini(); }
};

template <class Body>
int32_t Guarded(Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return DOCLOCK_ERR_RECORD;  // an allocation failed
  }
}

// The exchange library has filled the host's buffer of capacity bytes that
// the record borrows: tells the host how many bytes it holds.
int32_t Written(const Record& filled, int32_t capacity, int32_t* outSize) {
  const int32_t len = filled.length();
  if (len < 0 || len > capacity) return DOCLOCK_ERR_RECORD;
  *outSize = len;
  return DOCLOCK_OK;
}

// A host buffer that cannot be read for its size (or written) is treated
// like a record that could not be made.
bool Readable(const void* p, int32_t size) { return size <= 0 || p != nullptr; }

// Whether two host buffers share bytes: the exchange library writes its
// output while it still reads its input, so an input that the output
// overlaps (a host wrapping in place) is read from a copy.
bool Overlap(const unsigned char* a, int32_t a_size, const unsigned char* b, int32_t b_size) {
  if (a_size <= 0 || b_size <= 0) return false;
  const auto a0 = reinterpret_cast<uintptr_t>(a);
  const auto b0 = reinterpret_cast<uintptr_t>(b);
  return a0 < b0 + static_cast<uintptr_t>(b_size) && b0 < a0 + static_cast<uintptr_t>(a_size);
}

// The input as the exchange library reads it: the host's own buffer, or a
// copy in held when the output overlaps it.
const unsigned char* InputBytes(const unsigned char* in, int32_t in_size, const unsigned char* out,
                                int32_t out_size, std::vector<unsigned char>* held) {
  if (!Overlap(in, in_size, out, out_size)) return in;
  held->assign(in, in + in_size);
  return held->data();
}

int32_t EncryptBody(const char* pin, const unsigned char* cert, int32_t certSize,
                    const unsigned char* data, int32_t dataSize, unsigned char* out,
                    int32_t* outSize) {
  Record input;
  Record output;
  std::vector<unsigned char> cert_copy;
  // vorpin_fini runs on every way out, also when vorpin_init failed or was
  // never reached.
  CardStop stop;

  if (outSize == nullptr || !Readable(out, *outSize) || !Readable(data, dataSize)) {
    return DOCLOCK_ERR_RECORD;
  }
  const int32_t capacity = *outSize;
  std::vector<unsigned char> held;
  data = InputBytes(data, dataSize, out, capacity, &held);
  if (!input.Borrow(data, dataSize) || !output.Borrow(out, capacity)) return DOCLOCK_ERR_RECORD;
  // The exchange library gets a copy: the host's certificate is never
  // handed on.
  if (certSize < 0 || !Readable(cert, certSize)) return DOCLOCK_ERR_RECORD;
  cert_copy.assign(cert, cert + certSize);

  if (vorpin_init() != VORPIN_OK) return DOCLOCK_ERR_CARD_START;
  const int32_t rc = DatatoP12_withcert(input.get(), output.get(), cert_copy.data(), certSize, pin);
  if (rc != EXCHPACK_OK) return rc;
  return Written(output, capacity, outSize);
}

int32_t DecryptBody(const char* pin, unsigned char* out, int32_t* outSize, const unsigned char* p12,
                    int32_t p12Size) {
  Record output;
  Record input;
  // Stopping the card also after a failed vorpin_init: a start that failed
  // half way (no reader yet, say) must not make every later start in the
  // process fail.
  CardStop stop;

  if (outSize == nullptr || !Readable(out, *outSize) || !Readable(p12, p12Size)) {
    return DOCLOCK_ERR_RECORD;
  }
  const int32_t capacity = *outSize;
  std::vector<unsigned char> held;
  p12 = InputBytes(p12, p12Size, out, capacity, &held);
  if (!output.Borrow(out, capacity) || !input.Borrow(p12, p12Size)) return DOCLOCK_ERR_RECORD;

  if (vorpin_init() != VORPIN_OK) return DOCLOCK_ERR_CARD_START;
  const int32_t rc = P12toData_for_file_exchange(output.get(), input.get(), nullptr, 0, pin);
  if (rc != EXCHPACK_OK) return rc;
  return Written(output, capacity, outSize);
}

// The record that receives the signing certificate.
constexpr int32_t kCertRecordSize = 1500;

int32_t SignCertBody(const unsigned char* p12, int32_t p12Size, char* certB64) {
  if (certB64 == nullptr || !Readable(p12, p12Size)) return DOCLOCK_ERR_RECORD;
  Record input;
  if (!input.Make(p12Size)) return DOCLOCK_ERR_RECORD;
  if (p12Size > 0) std::memcpy(input.data(), p12, static_cast<size_t>(p12Size));
  Record output;
  if (!output.Make(kCertRecordSize)) return DOCLOCK_ERR_RECORD;

  const int32_t rc = GetSignCertFromP12(input.get(), output.get());
  if (rc != EXCHPACK_OK) return rc;
  const int32_t n = output.length();
  if (n <= 0 || n > kCertRecordSize) return DOCLOCK_ERR_RECORD;
  // Twice the certificate's size holds its Base64 text and NUL for every
  // certificate (five bytes and more); all 2 x n bytes go to the host.
  std::vector<char> text(2 * static_cast<size_t>(n));
  if (B64Encode(output.data(), static_cast<uint32_t>(n), text.data(),
                static_cast<uint32_t>(text.size())) < 0) {
    return DOCLOCK_ERR_RECORD;
  }
  std::memcpy(certB64, text.data(), text.size());
  return DOCLOCK_OK;
}

}  // namespace

extern "C" DOCLOCK_API int32_t DOCLOCK_STDCALL Encrypt(const char* pin, const unsigned char* cert,
                                                       int32_t certSize, const unsigned char* data,
                                                       int32_t dataSize, unsigned char* out,
                                                       int32_t* outSize) {
  // The whole card bracket runs under the card lock: no other card work in
  // the process comes between its start and its stop.
  return Guarded([&] {
    const vorpin::CardLock lock;
    return EncryptBody(pin, cert, certSize, data, dataSize, out, outSize);
  });
}

extern "C" DOCLOCK_API int32_t DOCLOCK_STDCALL Decrypt(const char* pin, unsigned char* out,
                                                       int32_t* outSize, const unsigned char* p12,
                                                       int32_t p12Size) {
  return Guarded([&] {
    const vorpin::CardLock lock;
    return DecryptBody(pin, out, outSize, p12, p12Size);
  });
}

extern "C" DOCLOCK_API int32_t DOCLOCK_STDCALL GetSignCertificateFromP12(const unsigned char* p12,
                                                                         int32_t p12Size,
                                                                         char* certB64) {
  return Guarded([&] { return SignCertBody(p12, p12Size, certB64); });
}

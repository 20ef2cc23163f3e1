// DER pieces of the exchange structure: a writer for the small parts and a
// strict reader (definite, minimal lengths; one-byte tags) that never reads
// past the span it is given.
#ifndef EXCHPACK_DER_H
#define EXCHPACK_DER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace der {

using Bytes = std::vector<uint8_t>;

enum Tag : uint8_t {
  kInteger = 0x02,
  kOctetString = 0x04,
  kNull = 0x05,
  kOid = 0x06,
  kUtcTime = 0x17,
  kGeneralizedTime = 0x18,
  kSequence = 0x30,
  kSet = 0x31,
  kContext0 = 0xA0,      // [0] constructed
  kContext1 = 0xA1,      // [1] constructed
  kContext0Prim = 0x80,  // [0] primitive
};

// Bytes of a header (tag and length) for content of len bytes.
inline size_t HeaderSize(size_t len) {
  if (len <= 0x7F) return 2;
  size_t n = 2;
  for (size_t rest = len; rest > 0; rest >>= 8) ++n;
  return n;
}

inline size_t TlvSize(size_t len) { return HeaderSize(len) + len; }

// Writes the header at p; returns the position after it.
inline uint8_t* PutHeader(uint8_t* p, uint8_t tag, size_t len) {
  *p++ = tag;
  if (len <= 0x7F) {
    *p++ = static_cast<uint8_t>(len);
    return p;
  }
  const size_t count = HeaderSize(len) - 2;
  *p++ = static_cast<uint8_t>(0x80 | count);
  for (size_t i = count; i > 0; --i) *p++ = static_cast<uint8_t>(len >> (8 * (i - 1)));
  return p;
}

inline Bytes Header(uint8_t tag, size_t len) {
  Bytes out(HeaderSize(len));
  PutHeader(out.data(), tag, len);
  return out;
}

inline Bytes Cat(std::initializer_list<const Bytes*> parts) {
  size_t total = 0;
  for (const Bytes* part : parts) total += part->size();
  Bytes out;
  out.reserve(total);
  for (const Bytes* part : parts) out.insert(out.end(), part->begin(), part->end());
  return out;
}

inline Bytes Tlv(uint8_t tag, const Bytes& content) {
  Bytes out = Header(tag, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

inline Bytes Tlv(uint8_t tag, const uint8_t* content, size_t len) {
  Bytes out = Header(tag, len);
  out.insert(out.end(), content, content + len);
  return out;
}

// A stretch of bytes that the reader walks.
struct Span {
  const uint8_t* p = nullptr;
  size_t n = 0;
  bool operator==(const Span& o) const {
    return n == o.n && (n == 0 || std::memcmp(p, o.p, n) == 0);
  }
  bool operator!=(const Span& o) const { return !(*this == o); }
  bool Equals(const uint8_t* q, size_t len) const { return *this == Span{q, len}; }
};

// One element: its tag, its content, and the whole encoding.
struct Element {
  uint8_t tag = 0;
  Span content;
  Span whole;
};

class Reader {
 public:
  explicit Reader(Span s) : rest_(s) {}

  bool AtEnd() const { return rest_.n == 0; }
  // The tag of the next element, or 0 at the end.
  uint8_t PeekTag() const { return rest_.n > 0 ? rest_.p[0] : 0; }

  // Reads the next element; false when it is malformed or runs past the span.
  bool Next(Element* e) {
    if (rest_.n < 2) return false;
    const uint8_t tag = rest_.p[0];
    if ((tag & 0x1F) == 0x1F) return false;  // multi-byte tags are not used here
    size_t pos = 1;
    size_t len = rest_.p[pos++];
    if (len & 0x80) {
      const size_t count = len & 0x7F;
      // No indefinite length, at most four length bytes, no leading zero.
      if (count == 0 || count > 4 || rest_.n - pos < count || rest_.p[pos] == 0) return false;
      len = 0;
      for (size_t i = 0; i < count; ++i) len = (len << 8) | rest_.p[pos++];
      if (len <= 0x7F) return false;  // the short form was required
    }
    if (rest_.n - pos < len) return false;
    e->tag = tag;
    e->content = {rest_.p + pos, len};
    e->whole = {rest_.p, pos + len};
    rest_.p += pos + len;
    rest_.n -= pos + len;
    return true;
  }

  // Reads the next element and requires its tag.
  bool Expect(uint8_t tag, Element* e) { return PeekTag() == tag && Next(e); }

 private:
  Span rest_;
};

// The small INTEGER value of an element (versions), or -1.
inline int SmallInteger(const Element& e) {
  if (e.tag != kInteger || e.content.n != 1 || e.content.p[0] > 0x7F) return -1;
  return e.content.p[0];
}

}  // namespace der

#endif

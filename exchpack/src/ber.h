// The BER reader of the structures other writers make: definite and
// indefinite lengths, constructed OCTET STRINGs. The bytes it walks lie in
// memory in pieces (the content of a constructed OCTET STRING is the
// concatenation of its segments), so that a structure nested inside another
// one's content is read where it lies, without a copy of that content.
#ifndef EXCHPACK_BER_H
#define EXCHPACK_BER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "der.h"

namespace ber {

using der::Bytes;
using der::Span;

// A sequence of bytes made of pieces of memory, addressed by offset.
class Pieces {
 public:
  Pieces() = default;
  explicit Pieces(Span whole) { Add(whole); }

  void Add(Span s) {
    if (s.n == 0) return;
    starts_.push_back(total_);
    parts_.push_back(s);
    total_ += s.n;
  }

  size_t size() const { return total_; }
  size_t parts() const { return parts_.size(); }

  // Calls visit(p, n) for each stretch of memory of [off, off + n), in
  // order; false when the range runs past the end or visit answers false.
  template <class Visit>
  bool ForEach(size_t off, size_t n, Visit visit) const {
    if (off > total_ || n > total_ - off) return false;
    for (size_t i = Find(off); n > 0; ++i) {
      const size_t at = off - starts_[i];
      const size_t step = std::min(n, parts_[i].n - at);
      if (!visit(parts_[i].p + at, step)) return false;
      off += step;
      n -= step;
    }
    return true;
  }

  bool Copy(size_t off, size_t n, uint8_t* out) const {
    return ForEach(off, n, [&out](const uint8_t* p, size_t len) {
      std::memcpy(out, p, len);
      out += len;
      return true;
    });
  }

  bool ByteAt(size_t off, uint8_t* b) const { return off < total_ && Copy(off, 1, b); }

  // Appends the memory of [off, off + n) of other.
  bool AddFrom(const Pieces& other, size_t off, size_t n) {
    return other.ForEach(off, n, [this](const uint8_t* p, size_t len) {
      Add({p, len});
      return true;
    });
  }

 private:
  // The piece holding off (off < total_, or the last one).
  size_t Find(size_t off) const {
    if (hint_ < parts_.size() && off >= starts_[hint_] && off - starts_[hint_] < parts_[hint_].n) {
      return hint_;
    }
    const auto it = std::upper_bound(starts_.begin(), starts_.end(), off);
    hint_ = static_cast<size_t>(it - starts_.begin()) - 1;
    return hint_;
  }

  std::vector<Span> parts_;
  std::vector<size_t> starts_;
  size_t total_ = 0;
  mutable size_t hint_ = 0;
};

// One element, by offsets into the pieces it was read from.
struct Element {
  uint8_t tag = 0;
  size_t start = 0;    // the tag
  size_t content = 0;  // the first content byte
  size_t length = 0;   // content bytes (the end-of-contents octets not counted)
  size_t end = 0;      // after the element
  bool definite = true;
  bool constructed() const { return (tag & 0x20) != 0; }
};

// Reads the elements of [begin, end) of some pieces.
class Reader {
 public:
  // Nesting of indefinite lengths deeper than this is refused, so that a
  // hostile input cannot exhaust the stack.
  static constexpr int kMaxDepth = 48;

  Reader(const Pieces& p, size_t begin, size_t end) : p_(p), pos_(begin), end_(end) {}
  Reader(const Pieces& p, const Element& e) : p_(p), pos_(e.content), end_(e.content + e.length) {}

  bool AtEnd() const { return pos_ == end_; }
  uint8_t PeekTag() const {
    uint8_t b = 0;
    return pos_ < end_ && p_.ByteAt(pos_, &b) ? b : 0;
  }

  bool Next(Element* e) {
    if (!Parse(pos_, end_, 0, e)) return false;
    pos_ = e->end;
    return true;
  }

  bool Expect(uint8_t tag, Element* e) { return PeekTag() == tag && Next(e); }

 private:
  bool Parse(size_t pos, size_t limit, int depth, Element* e) const {
    uint8_t tag = 0;
    uint8_t first = 0;
    if (depth > kMaxDepth || limit - pos < 2 || !p_.ByteAt(pos, &tag) ||
        !p_.ByteAt(pos + 1, &first)) {
      return false;
    }
    if ((tag & 0x1F) == 0x1F || tag == 0) return false;  // multi-byte tags are not used
    size_t at = pos + 2;
    e->tag = tag;
    e->start = pos;
    if (first == 0x80) {
      // Indefinite: constructed only; the content runs to the
      // end-of-contents octets that close it.
      if ((tag & 0x20) == 0) return false;
      e->content = at;
      e->definite = false;
      for (;;) {
        uint8_t a = 0, b = 0;
        if (limit - at < 2 || !p_.ByteAt(at, &a) || !p_.ByteAt(at + 1, &b)) return false;
        if (a == 0 && b == 0) break;
        Element child;
        if (!Parse(at, limit, depth + 1, &child)) return false;
        at = child.end;
      }
      e->length = at - e->content;
      e->end = at + 2;
      return true;
    }
    size_t len = first;
    if (first & 0x80) {
      const size_t count = first & 0x7F;
      if (count > 8 || limit - at < count) return false;
      len = 0;
      for (size_t i = 0; i < count; ++i) {
        uint8_t b = 0;
        if (!p_.ByteAt(at++, &b) || (len >> 56) != 0) return false;
        len = (len << 8) | b;
      }
    }
    if (limit - at < len) return false;
    e->content = at;
    e->length = len;
    e->end = at + len;
    e->definite = true;
    return true;
  }

  const Pieces& p_;
  size_t pos_;
  size_t end_;
};

// The value of an OCTET STRING, or of a type implicitly tagged from one
// (primitive tag prim, constructed tag prim | 0x20): its segments are added
// to out where they lie.
// Writers cut streamed content into segments of kilobytes; a structure of
// tiny segments would make the bookkeeping many times larger than the input
// (24 bytes for a 3-byte segment), so the segments of one value may average
// no less than kMinSegmentAverage bytes beyond the first kFreeSegments.
constexpr size_t kFreeSegments = 4096;
constexpr size_t kMinSegmentAverage = 512;

inline bool OctetPieces(const Pieces& p, const Element& e, uint8_t prim, Pieces* out,
                        int depth = 0) {
  if (e.tag == prim) return out->AddFrom(p, e.content, e.length);
  if (e.tag != (prim | 0x20) || depth > Reader::kMaxDepth) return false;
  const size_t most = kFreeSegments + p.size() / kMinSegmentAverage;
  Reader r(p, e);
  while (!r.AtEnd()) {
    Element segment;
    if (!r.Next(&segment) || !OctetPieces(p, segment, der::kOctetString, out, depth + 1) ||
        out->parts() > most) {
      return false;
    }
  }
  return true;
}

// Small parts are copied out whole, so that the DER checks and OpenSSL's
// decoders see one contiguous encoding.
constexpr size_t kMaxSmallPart = 1 << 20;

inline bool Whole(const Pieces& p, const Element& e, Bytes* out) {
  const size_t n = e.end - e.start;
  if (n > kMaxSmallPart) return false;
  out->resize(n);
  return p.Copy(e.start, n, out->data());
}

// The value of a primitive element (an OID, an INTEGER) or of an OCTET
// STRING in any of its forms.
inline bool Value(const Pieces& p, const Element& e, Bytes* out) {
  Pieces value;
  if (e.constructed()) {
    if (!OctetPieces(p, e, static_cast<uint8_t>(e.tag & ~0x20), &value)) return false;
  } else {
    value.AddFrom(p, e.content, e.length);
  }
  if (value.size() > kMaxSmallPart) return false;
  out->resize(value.size());
  return value.Copy(0, value.size(), out->data());
}

inline bool IsOid(const Pieces& p, const Element& e, const Bytes& oid) {
  Bytes value;
  return e.tag == der::kOid && Value(p, e, &value) && value == oid;
}

// The small INTEGER value of an element (versions), or -1.
inline int SmallInteger(const Pieces& p, const Element& e) {
  uint8_t b = 0;
  if (e.tag != der::kInteger || e.length != 1 || !p.ByteAt(e.content, &b) || b > 0x7F) return -1;
  return b;
}

}  // namespace ber

#endif

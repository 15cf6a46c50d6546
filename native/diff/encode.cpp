#include "diff/encode.hpp"

#include <new>

namespace dravik::diff {

namespace {

// Code point -> number, in blocks of 1024 allocated as they are touched.
class CharNumbers {
 public:
  CharNumbers() = default;
  CharNumbers(const CharNumbers&) = delete;
  CharNumbers& operator=(const CharNumbers&) = delete;
  ~CharNumbers() {
    for (uint32_t* blk : top_) std::free(blk);
  }

  // 0 when not numbered.
  uint32_t get(uint32_t cp) const noexcept {
    const uint32_t* blk = top_[cp >> 10];
    return blk == nullptr ? 0 : blk[cp & 1023];
  }
  // The slot of cp, or null when out of memory.
  uint32_t* slot(uint32_t cp) noexcept {
    uint32_t*& blk = top_[cp >> 10];
    if (blk == nullptr) blk = static_cast<uint32_t*>(std::calloc(1024, sizeof(uint32_t)));
    return blk == nullptr ? nullptr : &blk[cp & 1023];
  }

 private:
  // str holds code points up to 0x10FFFF.
  uint32_t* top_[(0x10FFFF >> 10) + 1] = {};
};

template <class CharT>
bool number_b(const CharT* s, size_t n, CharNumbers& map, uint32_t* out, uint32_t& sigma) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t* slot = map.slot(s[i]);
    if (slot == nullptr) return false;
    if (*slot == 0) *slot = ++sigma;
    out[i] = *slot;
  }
  return true;
}

template <class CharT>
void number_a(const CharT* s, size_t n, const CharNumbers& map, uint32_t absent, uint32_t* out) {
  for (size_t i = 0; i < n; ++i) {
    const uint32_t id = map.get(s[i]);
    out[i] = id == 0 ? absent : id;
  }
}

// Both strings of 1-byte characters: a direct table.
bool encode_narrow(const CharView& a, const CharView& b, Encoded& out) {
  uint32_t ids[256] = {};
  const uint8_t* sb = static_cast<const uint8_t*>(b.data);
  const uint8_t* sa = static_cast<const uint8_t*>(a.data);
  uint32_t sigma = 0;
  for (size_t i = 0; i < b.length; ++i) {
    uint32_t& id = ids[sb[i]];
    if (id == 0) id = ++sigma;
    out.b[i] = id;
  }
  out.sigma = sigma;
  for (uint32_t& id : ids) {
    if (id == 0) id = sigma + 1;
  }
  for (size_t i = 0; i < a.length; ++i) out.a[i] = ids[sa[i]];
  return true;
}

}  // namespace

bool encode(const CharView& a, const CharView& b, Encoded& out) {
  if (a.kind == 1 && b.kind == 1) {
    if (!out.a.allocate(a.length) || !out.b.allocate(b.length)) return false;
    return encode_narrow(a, b, out);
  }
  CharNumbers* map = new (std::nothrow) CharNumbers();
  if (map == nullptr) return false;
  bool ok = out.a.allocate(a.length) && out.b.allocate(b.length);
  out.sigma = 0;
  if (ok) {
    switch (b.kind) {
      case 1: ok = number_b(static_cast<const uint8_t*>(b.data), b.length, *map, out.b.data(), out.sigma); break;
      case 2: ok = number_b(static_cast<const uint16_t*>(b.data), b.length, *map, out.b.data(), out.sigma); break;
      default: ok = number_b(static_cast<const uint32_t*>(b.data), b.length, *map, out.b.data(), out.sigma); break;
    }
  }
  if (ok) {
    const uint32_t absent = out.absent();
    switch (a.kind) {
      case 1: number_a(static_cast<const uint8_t*>(a.data), a.length, *map, absent, out.a.data()); break;
      case 2: number_a(static_cast<const uint16_t*>(a.data), a.length, *map, absent, out.a.data()); break;
      default: number_a(static_cast<const uint32_t*>(a.data), a.length, *map, absent, out.a.data()); break;
    }
  }
  delete map;
  return ok;
}

}  // namespace dravik::diff

#include "regex/accelerator.hpp"

#include <emmintrin.h>

namespace dravik::rx {

void Accelerator::init(const Compiled& c) {
  sets_ = &c.sets;
  len_ = c.nullable ? 0 : c.prefix_len;
  if (len_ == 0) return;
  double best = 1e9;
  for (int k = 0; k < len_; ++k) {
    cls_[k] = c.prefix[k];
    bmp_[k].assign(kBmpSize / 64, 0);
    double w = 0;
    for (uint16_t s : cls_[k]) {
      const CharSet& cs = c.sets[s];
      for (size_t i = 0; i < bmp_[k].size(); ++i) bmp_[k][i] |= cs.eff[i];
      w += class_weight(cs);
    }
    for (uint32_t ch = 0; ch < 256; ++ch) tbl_[k][ch] = (bmp_[k][ch >> 6] >> (ch & 63)) & 1;
    if (w < best) {
      best = w;
      anchor_ = k;
    }
  }
  // Runs of the anchor class, over Latin-1 and over the BMP.
  auto runs = [&](uint32_t limit, uint32_t* lo, uint32_t* hi) {
    int n = 0;
    uint32_t ch = 0;
    const auto& b = bmp_[anchor_];
    auto bit = [&](uint32_t x) { return (b[x >> 6] >> (x & 63)) & 1; };
    while (ch < limit) {
      if (!bit(ch)) {
        ++ch;
        continue;
      }
      const uint32_t start = ch;
      while (ch < limit && bit(ch)) ++ch;
      if (n == 4) return 0;
      lo[n] = start;
      hi[n] = ch - 1;
      ++n;
    }
    return n;
  };
  uint32_t lo[4], hi[4];
  nr8_ = runs(256, lo, hi);
  for (int k = 0; k < nr8_; ++k) {
    lo8_[k] = static_cast<uint8_t>(lo[k]);
    hi8_[k] = static_cast<uint8_t>(hi[k]);
  }
  nr16_ = runs(kBmpSize, lo, hi);
  for (int k = 0; k < nr16_; ++k) {
    lo16_[k] = static_cast<uint16_t>(lo[k]);
    hi16_[k] = static_cast<uint16_t>(hi[k]);
  }
}

template <class Ch>
Py_ssize_t Accelerator::scalar(const Ch* p, Py_ssize_t a, Py_ssize_t last) const {
  for (; a <= last; ++a)
    if (in(anchor_, p[a]) && verify(p, a - anchor_)) return a - anchor_;
  return -1;
}

Py_ssize_t Accelerator::find(const Py_UCS1* p, Py_ssize_t i, Py_ssize_t n) const {
  Py_ssize_t a = i + anchor_;
  const Py_ssize_t last = n - len_ + anchor_;  // last anchor position
  if (nr8_ == 0 || a > last) return scalar(p, a, last);
  __m128i vlo[4], vspan[4];
  for (int k = 0; k < nr8_; ++k) {
    vlo[k] = _mm_set1_epi8(static_cast<char>(lo8_[k]));
    vspan[k] = _mm_set1_epi8(static_cast<char>(hi8_[k] - lo8_[k]));
  }
  while (a + 16 <= last + 1) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + a));
    __m128i hit = _mm_setzero_si128();
    for (int k = 0; k < nr8_; ++k) {
      const __m128i d = _mm_sub_epi8(x, vlo[k]);
      hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_min_epu8(d, vspan[k]), d));
    }
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    while (mask) {
      const Py_ssize_t at = a + __builtin_ctz(mask);
      mask &= mask - 1;
      if (verify(p, at - anchor_)) return at - anchor_;
    }
    a += 16;
  }
  return scalar(p, a, last);
}

Py_ssize_t Accelerator::find(const Py_UCS2* p, Py_ssize_t i, Py_ssize_t n) const {
  Py_ssize_t a = i + anchor_;
  const Py_ssize_t last = n - len_ + anchor_;
  if (nr16_ == 0 || a > last) return scalar(p, a, last);
  // Unsigned 16-bit range tests through signed compares on flipped values.
  const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
  __m128i vlo[4], vhi[4];
  for (int k = 0; k < nr16_; ++k) {
    vlo[k] = _mm_set1_epi16(static_cast<short>(lo16_[k] ^ 0x8000));
    vhi[k] = _mm_set1_epi16(static_cast<short>(hi16_[k] ^ 0x8000));
  }
  while (a + 8 <= last + 1) {
    const __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + a)), flip);
    __m128i hit = _mm_setzero_si128();
    for (int k = 0; k < nr16_; ++k) {
      const __m128i out = _mm_or_si128(_mm_cmplt_epi16(x, vlo[k]), _mm_cmpgt_epi16(x, vhi[k]));
      hit = _mm_or_si128(hit, _mm_andnot_si128(out, _mm_set1_epi16(-1)));
    }
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    while (mask) {
      const Py_ssize_t at = a + (__builtin_ctz(mask) >> 1);
      mask &= mask - 1;
      mask &= mask - 1;  // both bytes of the lane
      if (verify(p, at - anchor_)) return at - anchor_;
    }
    a += 8;
  }
  return scalar(p, a, last);
}

Py_ssize_t Accelerator::find(const Py_UCS4* p, Py_ssize_t i, Py_ssize_t n) const {
  return scalar(p, i + anchor_, n - len_ + anchor_);
}

}  // namespace dravik::rx

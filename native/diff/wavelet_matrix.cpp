#include "diff/wavelet_matrix.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace dravik::diff {

namespace {

// Without a processor flag for it, std::popcount may become a library call.
inline uint32_t count_ones(uint64_t x) noexcept {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
}

}  // namespace

bool WaveletMatrix::build(const int32_t* values, int32_t n, int32_t limit) {
  levels_ = limit <= 1 ? 1 : std::bit_width(static_cast<uint32_t>(limit - 1));
  words_ = static_cast<size_t>(n) / 64 + 1;
  const size_t lv = static_cast<size_t>(levels_);
  const size_t count = static_cast<size_t>(n);
  Array<int32_t> buf_a, buf_b;
  if (!bits_.allocate_zeroed(lv * words_) || !counts_.allocate(lv * words_) || !zeros_.allocate(lv) ||
      !buf_a.allocate(count) || !buf_b.allocate(count)) {
    return false;
  }
  int32_t* cur = buf_a.data();
  int32_t* next = buf_b.data();
  for (size_t i = 0; i < count; ++i) cur[i] = values[i];
  for (int l = 0; l < levels_; ++l) {
    const int shift = levels_ - 1 - l;
    uint64_t* bits = bits_.data() + static_cast<size_t>(l) * words_;
    uint32_t* counts = counts_.data() + static_cast<size_t>(l) * words_;
    uint32_t ones_total = 0;
    for (size_t w = 0; w < words_; ++w) {
      const size_t end = std::min(count, (w + 1) * 64);
      uint64_t word = 0;
      for (size_t i = w * 64; i < end; ++i) word |= static_cast<uint64_t>((cur[i] >> shift) & 1) << (i & 63);
      bits[w] = word;
      counts[w] = ones_total;
      ones_total += count_ones(word);
    }
    const uint32_t zeros = static_cast<uint32_t>(count) - ones_total;
    zeros_[static_cast<size_t>(l)] = zeros;
    // Stable: values with a 0 bit first, then those with a 1 bit.
    uint32_t z = 0, o = zeros;
    for (size_t i = 0; i < count; ++i) {
      const int32_t v = cur[i];
      const uint32_t bit = static_cast<uint32_t>(v >> shift) & 1;
      next[bit ? o : z] = v;
      o += bit;
      z += bit ^ 1;
    }
    std::swap(cur, next);
  }
  return true;
}

uint32_t WaveletMatrix::ones(int lv, uint32_t i) const noexcept {
  const size_t base = static_cast<size_t>(lv) * words_;
  const size_t w = i >> 6;
  const uint64_t below = bits_[base + w] & ((uint64_t{1} << (i & 63)) - 1);
  return counts_[base + w] + count_ones(below);
}

int32_t WaveletMatrix::smallest(int lv, uint32_t lo, uint32_t hi, int32_t prefix) const {
  for (; lv < levels_; ++lv) {
    if (lo >= hi) return -1;
    const uint32_t lo1 = ones(lv, lo), hi1 = ones(lv, hi);
    const uint32_t lo0 = lo - lo1, hi0 = hi - hi1;
    if (hi0 > lo0) {
      lo = lo0;
      hi = hi0;
    } else {
      const uint32_t z = zeros_[static_cast<size_t>(lv)];
      lo = z + lo1;
      hi = z + hi1;
      prefix |= int32_t{1} << (levels_ - 1 - lv);
    }
  }
  return lo < hi ? prefix : -1;
}

int32_t WaveletMatrix::next_at_least(uint32_t lo, uint32_t hi, int32_t x) const {
  if (x < 0) x = 0;
  if (levels_ < 31 && x >= (int32_t{1} << levels_)) return -1;
  // Follow x's bits; where x has a 0 and the 1 side is not empty, that side
  // holds values above x: the deepest such side holds the smallest.
  int fallback_level = -1;
  uint32_t fallback_lo = 0, fallback_hi = 0;
  int32_t fallback_prefix = 0, prefix = 0;
  int lv = 0;
  for (; lv < levels_ && lo < hi; ++lv) {
    const int shift = levels_ - 1 - lv;
    const uint32_t lo1 = ones(lv, lo), hi1 = ones(lv, hi);
    const uint32_t lo0 = lo - lo1, hi0 = hi - hi1;
    const uint32_t z = zeros_[static_cast<size_t>(lv)];
    if (((x >> shift) & 1) == 0) {
      if (hi1 > lo1) {
        fallback_level = lv + 1;
        fallback_lo = z + lo1;
        fallback_hi = z + hi1;
        fallback_prefix = prefix | (int32_t{1} << shift);
      }
      lo = lo0;
      hi = hi0;
    } else {
      lo = z + lo1;
      hi = z + hi1;
      prefix |= int32_t{1} << shift;
    }
  }
  if (lv == levels_ && lo < hi) return prefix;  // x itself
  if (fallback_level < 0) return -1;
  return smallest(fallback_level, fallback_lo, fallback_hi, fallback_prefix);
}

}  // namespace dravik::diff

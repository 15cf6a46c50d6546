// Successor queries over a range of an array: the smallest value at least x
// among values[lo..hi), in time logarithmic in the largest value.
#pragma once

#include "common/arrays.hpp"

namespace dravik::diff {

class WaveletMatrix {
 public:
  // values[i] in [0, limit).  False when out of memory.
  bool build(const int32_t* values, int32_t n, int32_t limit);
  // The smallest value >= x among values[lo..hi), or -1.
  int32_t next_at_least(uint32_t lo, uint32_t hi, int32_t x) const;

 private:
  // Ones before position i of level `lv`.
  uint32_t ones(int lv, uint32_t i) const noexcept;
  int32_t smallest(int lv, uint32_t lo, uint32_t hi, int32_t prefix) const;

  int levels_ = 0;
  size_t words_ = 0;  // 64-bit words per level
  // Per level and word: the bits, and the ones before the word.
  Array<uint64_t> bits_;
  Array<uint32_t> counts_;
  Array<uint32_t> zeros_;  // per level
};

}  // namespace dravik::diff

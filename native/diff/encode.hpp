// Characters as small dense numbers.
#pragma once

#include "common/arrays.hpp"
#include "diff/matching_blocks.hpp"

namespace dravik::diff {

// The distinct characters of b are numbered 1..sigma in order of first
// appearance; every character of a that b lacks gets sigma + 1.  Equal
// characters of a and b get equal numbers, so common blocks are unchanged.
struct Encoded {
  Array<uint32_t> a;
  Array<uint32_t> b;
  uint32_t sigma = 0;
  uint32_t absent() const noexcept { return sigma + 1; }
};

// False when out of memory.
bool encode(const CharView& a, const CharView& b, Encoded& out);

}  // namespace dravik::diff

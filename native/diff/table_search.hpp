// difflib's own search for the longest block, without the interpreter.
//
// For each position i of a's range in turn, and each position j of b's range
// holding the same character in ascending order, the length of the common
// block ending at (i, j) is one more than the one ending at (i-1, j-1); a
// block replaces the best only when strictly longer.  So the result is the
// longest block ending earliest in a (hence starting earliest), and of
// those the earliest in b.  No junk: nothing is filtered or extended.
#pragma once

#include "diff/encode.hpp"

namespace dravik::diff {

struct Range {
  int32_t alo, ahi, blo, bhi;
};

struct Found {
  int32_t a, b, size;
};

// Over the whole product of the ranges; `rows` has room for
// 2 * (bhi - blo + 1) numbers.
Found small_table_search(const uint32_t* a, const uint32_t* b, const Range& r, uint32_t* rows);

// Over b's position lists (difflib's b2j), for ranges too large for the
// product but with few matching pairs.
class PositionTable {
 public:
  bool build(const Encoded& e);

  // Starts work on a new range (the cached list bounds belong to one range).
  void begin(const Range& r);
  // The search's cost for the current range: a's length plus the number of
  // matching pairs; counting stops once it passes `limit`.
  uint64_t cost(const uint32_t* a, const Range& r, uint64_t limit);
  Found search(const uint32_t* a, const Range& r);

 private:
  uint32_t lower(uint32_t c, int32_t blo);
  uint32_t count(uint32_t c, int32_t blo, int32_t bhi);

  uint32_t sigma_ = 0;
  Array<uint32_t> start_;  // positions of character c: pos_[start_[c] .. start_[c + 1])
  Array<int32_t> pos_;
  // Per character, for the current range: the first list index at or after
  // blo, and the number of positions inside the range.
  Array<uint32_t> lb_, lb_stamp_, count_, count_stamp_;
  uint32_t range_stamp_ = 0;
  // Two rows of block lengths by position in b; an entry counts only when
  // its row stamp is the previous row's.
  Array<int32_t> len_[2];
  Array<uint32_t> row_[2];
  uint32_t row_id_ = 2;
};

}  // namespace dravik::diff

// The start accelerator: skips the text that cannot begin a match.  Every
// match is at least `len` characters long and its first characters belong
// to known classes; the two rarest of those positions are searched together
// with vector tests, and every hit is confirmed against all the positions.
#pragma once

#include "common/arrays.hpp"
#include "regex/lane_scan.hpp"
#include "regex/program.hpp"

#include <algorithm>

namespace dravik::rx {

class Accelerator {
 public:
  // False when out of memory.
  bool init(const Compiled& c);
  bool enabled() const { return len_ > 0; }
  // Whether a match may start with `c` (its first position's class).
  bool may_start(uint32_t c) const { return in(0, c); }

  // The first position in [i, bound] where a match could start, or -1.
  template <class Ch>
  Py_ssize_t find(const Ch* p, Py_ssize_t i, Py_ssize_t n, Py_ssize_t bound) const {
    const Py_ssize_t last = std::min(bound, n - len_);  // last possible start
    if (last - i < kShort) {
      // A few places: checking each costs less than setting up a scan.
      for (Py_ssize_t c = i; c <= last; ++c)
        if (verify(p, c)) return c;
      return -1;
    }
    const Plan& plan = plan_[sizeof(Ch) == 1 ? 0 : sizeof(Ch) == 2 ? 1 : 2];
    const Py_ssize_t off = plan.first;
    for (Py_ssize_t from = i; from <= last;) {
      const Py_ssize_t hit = scan_lanes(p, from + off, last + off, plan.scan);
      if (hit < 0) return -1;
      const Py_ssize_t c = hit - off;
      if (verify(p, c)) return c;
      from = c + 1;
    }
    return -1;
  }

 private:
  bool in(int k, uint32_t c) const {
    if (c < 256) return tbl_[k][c];
    if (c < kBmpSize) return (bmp_[k][c >> 6] >> (c & 63)) & 1;
    for (uint16_t s : cls_[k])
      if ((*sets_)[s].contains(c)) return true;
    return false;
  }
  template <class Ch>
  bool verify(const Ch* p, Py_ssize_t c) const {
    for (int k = 0; k < len_; ++k)
      if (!in(k, p[c + k])) return false;
    return true;
  }

  static constexpr Py_ssize_t kShort = 16;
  const std::vector<CharSet>* sets_ = nullptr;
  int len_ = 0;
  // Per text width (1, 2, 4 bytes): the positions tested, the first of
  // them at offset `first` from a match's start.
  struct Plan {
    int first = 0;
    LaneScan scan;
  };
  Plan plan_[3];
  bool tbl_[kPrefixDepth][256] = {};
  Array<uint64_t> bmp_[kPrefixDepth];
  std::vector<uint16_t> cls_[kPrefixDepth];
  LaneTest test8_[kPrefixDepth], test16_[kPrefixDepth], test32_[kPrefixDepth];
};

// Whether a class may hold characters beyond the BMP.
bool may_hold_astral(const CharSet& cs);

}  // namespace dravik::rx

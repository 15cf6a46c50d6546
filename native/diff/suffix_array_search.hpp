// The longest block of two ranges from a suffix array of a, a separator and
// b, for ranges where difflib's table would be slow.
//
// Every position i of a carries an upper bound on the longest block that
// starts there inside the current range: at first the longest prefix of
// a[i:] found anywhere in b.  The search probes the leftmost position with
// the largest bound, learns its true length inside the range (a suffix-array
// interval and a successor query give the earliest occurrence in b's
// range), and lowers the bound to it.  The first probed position whose true
// length is still the largest bound is the answer: nothing can be longer,
// and nothing as long starts earlier in a.  Bounds learned in a range stay
// valid for the ranges inside it, which is all the recursion visits later,
// so a position is rarely probed twice.
#pragma once

#include "diff/encode.hpp"
#include "diff/table_search.hpp"
#include "diff/wavelet_matrix.hpp"

namespace dravik::diff {

class SuffixArraySearch {
 public:
  bool build(const Encoded& e);
  // 1, or 0 when `budget` probes (>= 0) were not enough, or -1 when out of
  // memory; `probes` counts them.
  // `resume` goes on with the range of the previous call.  A range never
  // takes more probes than a's side has positions, plus one.
  int search(const Range& r, int64_t budget, bool resume, Found& out, uint64_t& probes);

 private:
  int32_t true_length(int32_t i, int32_t limit, const Range& r, int32_t& j);
  int occurs(int32_t i, int32_t len, const Range& r, int32_t& j);
  int32_t last_lcp_below(int32_t k, int32_t len) const;
  int32_t first_lcp_below(int32_t k, int32_t len) const;
  int32_t bound_max(int32_t lo, int32_t hi) const;
  int32_t first_bound_at_least(int32_t lo, int32_t v) const;
  void set_bound(int32_t i, int32_t v);

  int32_t na_ = 0, nb_ = 0, n_ = 0, base_ = 0;
  Array<int32_t> rank_;      // suffix rank of each position of a
  size_t lcp_leaves_ = 0;    // min-tree over the lcp array
  Array<int32_t> lcp_tree_;
  // The suffixes of b in suffix-array order, by their start in b; how many
  // of them come before each rank; and, made when a wide interval first
  // needs it, the same for successor queries.
  Array<int32_t> b_starts_;
  Array<int32_t> b_before_;
  WaveletMatrix successors_;
  bool successors_built_ = false;
  size_t bound_leaves_ = 0;  // max-tree over the bounds
  Array<int32_t> bound_tree_;
  Array<uint32_t> probe_stamp_;  // the range in which a position was probed
  Array<int32_t> probe_b_;       // and the earliest start in b found for it
  uint32_t range_stamp_ = 0;
};

}  // namespace dravik::diff

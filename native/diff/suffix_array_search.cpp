#include "diff/suffix_array_search.hpp"

#include "diff/suffix_array.hpp"

#include <algorithm>
#include <bit>

namespace dravik::diff {

namespace {

// Suffix-array intervals holding at most this many suffixes of b are read
// directly rather than through the successor structure.
constexpr uint32_t kDirectScan = 32;

}  // namespace

bool SuffixArraySearch::build(const Encoded& e) {
  na_ = static_cast<int32_t>(e.a.size());
  nb_ = static_cast<int32_t>(e.b.size());
  // a, separator, b, sentinel.  Characters of a that b lacks share one
  // number: it changes no common prefix of a suffix of a with one of b.
  n_ = na_ + nb_ + 2;
  base_ = na_ + 1;
  const size_t n = static_cast<size_t>(n_);
  Array<int32_t> text, sa, rank, lcp;
  if (!text.allocate(n) || !sa.allocate(n) || !rank.allocate(n) || !lcp.allocate(n)) return false;
  for (int32_t i = 0; i < na_; ++i) text[static_cast<size_t>(i)] = static_cast<int32_t>(e.a[static_cast<size_t>(i)]);
  text[static_cast<size_t>(na_)] = static_cast<int32_t>(e.sigma + 2);
  for (int32_t j = 0; j < nb_; ++j) {
    text[static_cast<size_t>(base_) + static_cast<size_t>(j)] = static_cast<int32_t>(e.b[static_cast<size_t>(j)]);
  }
  text[n - 1] = 0;
  if (!build_suffix_array(text.data(), n_, static_cast<int32_t>(e.sigma + 3), sa.data())) return false;
  build_lcp(text.data(), n_, sa.data(), rank.data(), lcp.data());

  lcp_leaves_ = std::bit_ceil(n);
  if (!lcp_tree_.allocate_zeroed(2 * lcp_leaves_)) return false;
  for (size_t k = 0; k < n; ++k) lcp_tree_[lcp_leaves_ + k] = lcp[k];
  for (size_t k = lcp_leaves_ - 1; k >= 1; --k) lcp_tree_[k] = std::min(lcp_tree_[2 * k], lcp_tree_[2 * k + 1]);

  // The longest prefix of each suffix of a that occurs in b: the largest
  // common prefix with the nearest suffix of b above or below it.
  const size_t na = static_cast<size_t>(na_);
  bound_leaves_ = std::bit_ceil(na == 0 ? size_t{1} : na);
  if (!bound_tree_.allocate_zeroed(2 * bound_leaves_) || !rank_.allocate(na) || !probe_stamp_.allocate_zeroed(na) ||
      !probe_b_.allocate(na)) {
    return false;
  }
  int32_t* bound = bound_tree_.data() + bound_leaves_;
  auto in_b = [this](int32_t p) { return p >= base_ && p < n_ - 1; };
  int32_t run = 0;
  for (size_t k = 0; k < n; ++k) {
    if (k > 0) run = in_b(sa[k - 1]) ? lcp[k] : std::min(run, lcp[k]);
    if (sa[k] < na_) bound[sa[k]] = run;
  }
  run = 0;
  for (size_t k = n; k-- > 0;) {
    if (k + 1 < n) run = in_b(sa[k + 1]) ? lcp[k + 1] : std::min(run, lcp[k + 1]);
    if (sa[k] < na_) bound[sa[k]] = std::max(bound[sa[k]], run);
  }
  for (size_t k = bound_leaves_ - 1; k >= 1; --k) {
    bound_tree_[k] = std::max(bound_tree_[2 * k], bound_tree_[2 * k + 1]);
  }
  for (size_t i = 0; i < na; ++i) rank_[i] = rank[i];
  range_stamp_ = 0;
  if (!b_before_.allocate(n + 1) || !b_starts_.allocate(static_cast<size_t>(nb_))) return false;
  int32_t count = 0;
  for (size_t k = 0; k < n; ++k) {
    b_before_[k] = count;
    if (in_b(sa[k])) b_starts_[static_cast<size_t>(count++)] = sa[k] - base_;
  }
  b_before_[n] = count;
  successors_built_ = false;
  return true;
}

int32_t SuffixArraySearch::last_lcp_below(int32_t pos, int32_t len) const {
  size_t k = lcp_leaves_ + static_cast<size_t>(pos);
  if (lcp_tree_[k] < len) return pos;
  bool found = false;
  for (; k > 1; k >>= 1) {
    if ((k & 1) && lcp_tree_[k - 1] < len) {
      --k;
      found = true;
      break;
    }
  }
  if (!found) return -1;
  while (k < lcp_leaves_) {
    k = 2 * k + 1;
    if (lcp_tree_[k] >= len) --k;
  }
  return static_cast<int32_t>(k - lcp_leaves_);
}

int32_t SuffixArraySearch::first_lcp_below(int32_t pos, int32_t len) const {
  if (static_cast<size_t>(pos) >= lcp_leaves_) return n_;
  size_t k = lcp_leaves_ + static_cast<size_t>(pos);
  if (lcp_tree_[k] < len) return pos;
  bool found = false;
  for (; k > 1; k >>= 1) {
    if (!(k & 1) && lcp_tree_[k + 1] < len) {
      ++k;
      found = true;
      break;
    }
  }
  if (!found) return n_;
  while (k < lcp_leaves_) {
    k = 2 * k;
    if (lcp_tree_[k] >= len) ++k;
  }
  return static_cast<int32_t>(k - lcp_leaves_);
}

// 1 when a[i:i+len] occurs in b's range (j: its earliest start there), 0
// when not, -1 when out of memory.
int SuffixArraySearch::occurs(int32_t i, int32_t len, const Range& r, int32_t& j) {
  // The suffixes sharing len characters with a[i:] form one interval.
  const int32_t rank = rank_[static_cast<size_t>(i)];
  const int32_t lo = last_lcp_below(rank, len);
  const int32_t hi = std::min(first_lcp_below(rank + 1, len), n_);
  // The earliest of b's suffixes there starting in b's range and ending
  // inside it.  Narrow intervals (long matches) are read directly.
  const uint32_t from = static_cast<uint32_t>(b_before_[static_cast<size_t>(lo)]);
  const uint32_t to = static_cast<uint32_t>(b_before_[static_cast<size_t>(hi)]);
  int32_t v = -1;
  if (to - from <= kDirectScan) {
    for (uint32_t k = from; k < to; ++k) {
      const int32_t start = b_starts_[k];
      if (start >= r.blo && (v < 0 || start < v)) v = start;
    }
  } else {
    if (!successors_built_) {
      if (!successors_.build(b_starts_.data(), nb_, nb_ > 0 ? nb_ : 1)) return -1;
      successors_built_ = true;
    }
    v = successors_.next_at_least(from, to, r.blo);
  }
  if (v < 0 || v > r.bhi - len) return 0;
  j = v;
  return 1;
}

// -1 when out of memory.
int32_t SuffixArraySearch::true_length(int32_t i, int32_t limit, const Range& r, int32_t& j) {
  j = r.blo;
  if (limit <= 0) return 0;
  int found = occurs(i, limit, r, j);
  if (found != 0) return found < 0 ? -1 : limit;
  // Occurrence is monotone in the length: gallop down from the limit, then
  // bisect.
  int32_t good = 0, bad = limit, good_j = r.blo, at = 0;
  for (int32_t step = 1;; step *= 2) {
    const int32_t len = bad - step;
    if (len <= good) break;
    if ((found = occurs(i, len, r, at)) < 0) return -1;
    if (found) {
      good = len;
      good_j = at;
      break;
    }
    bad = len;
    if (step > (1 << 29)) break;
  }
  while (bad - good > 1) {
    const int32_t mid = good + (bad - good) / 2;
    if ((found = occurs(i, mid, r, at)) < 0) return -1;
    if (found) {
      good = mid;
      good_j = at;
    } else {
      bad = mid;
    }
  }
  j = good_j;
  return good;
}

int32_t SuffixArraySearch::bound_max(int32_t lo, int32_t hi) const {
  int32_t best = 0;
  for (size_t l = bound_leaves_ + static_cast<size_t>(lo), h = bound_leaves_ + static_cast<size_t>(hi); l < h;
       l >>= 1, h >>= 1) {
    if (l & 1) best = std::max(best, bound_tree_[l++]);
    if (h & 1) best = std::max(best, bound_tree_[--h]);
  }
  return best;
}

int32_t SuffixArraySearch::first_bound_at_least(int32_t pos, int32_t v) const {
  size_t k = bound_leaves_ + static_cast<size_t>(pos);
  if (bound_tree_[k] >= v) return pos;
  bool found = false;
  for (; k > 1; k >>= 1) {
    if (!(k & 1) && bound_tree_[k + 1] >= v) {
      ++k;
      found = true;
      break;
    }
  }
  if (!found) return -1;
  while (k < bound_leaves_) {
    k = 2 * k;
    if (bound_tree_[k] < v) ++k;
  }
  return static_cast<int32_t>(k - bound_leaves_);
}

void SuffixArraySearch::set_bound(int32_t i, int32_t v) {
  size_t k = bound_leaves_ + static_cast<size_t>(i);
  bound_tree_[k] = v;
  for (k >>= 1; k >= 1; k >>= 1) bound_tree_[k] = std::max(bound_tree_[2 * k], bound_tree_[2 * k + 1]);
}

int SuffixArraySearch::search(const Range& r, int64_t budget, bool resume, Found& out, uint64_t& probes) {
  if (!resume && ++range_stamp_ == 0) {
    for (size_t i = 0; i < probe_stamp_.size(); ++i) probe_stamp_[i] = 0;
    range_stamp_ = 1;
  }
  const int32_t width_b = r.bhi - r.blo;
  int64_t spent = 0;
  while (true) {
    const int32_t top = bound_max(r.alo, r.ahi);
    if (top == 0) {
      out = Found{r.alo, r.blo, 0};
      return 1;
    }
    const int32_t i = first_bound_at_least(r.alo, top);
    if (probe_stamp_[static_cast<size_t>(i)] == range_stamp_) {
      out = Found{i, probe_b_[static_cast<size_t>(i)], top};
      return 1;
    }
    if (budget >= 0 && spent >= budget) return 0;
    ++spent;
    ++probes;
    int32_t j;
    const int32_t len = true_length(i, std::min({top, r.ahi - i, width_b}), r, j);
    if (len < 0) return -1;
    set_bound(i, len);
    probe_stamp_[static_cast<size_t>(i)] = range_stamp_;
    probe_b_[static_cast<size_t>(i)] = j;
    if (len == top) {
      out = Found{i, j, len};
      return 1;
    }
  }
}

}  // namespace dravik::diff

#include "diff/table_search.hpp"

namespace dravik::diff {

Found small_table_search(const uint32_t* a, const uint32_t* b, const Range& r, uint32_t* rows) {
  Found best{r.alo, r.blo, 0};
  const int32_t nb = r.bhi - r.blo;
  const uint32_t* bb = b + r.blo;
  // prev[k], cur[k]: the length of the block ending at b[blo + k - 1] in
  // the previous and the current row of a.
  uint32_t* prev = rows;
  uint32_t* cur = rows + nb + 1;
  for (int32_t k = 0; k <= nb; ++k) prev[k] = 0;
  cur[0] = 0;
  for (int32_t i = r.alo; i < r.ahi; ++i) {
    const uint32_t c = a[i];
    uint32_t row_best = 0;
    for (int32_t k = 1; k <= nb; ++k) {
      const uint32_t len = bb[k - 1] == c ? prev[k - 1] + 1 : 0;
      cur[k] = len;
      row_best = len > row_best ? len : row_best;
    }
    if (static_cast<int32_t>(row_best) > best.size) {
      // Ties in a row: the earliest in b.
      int32_t k = 1;
      while (cur[k] != row_best) ++k;
      const int32_t len = static_cast<int32_t>(row_best);
      best = Found{i - len + 1, r.blo + k - len, len};
    }
    uint32_t* t = prev;
    prev = cur;
    cur = t;
  }
  return best;
}

bool PositionTable::build(const Encoded& e) {
  sigma_ = e.sigma;
  const size_t nb = e.b.size();
  const size_t ids = size_t{sigma_} + 2;
  if (!start_.allocate_zeroed(ids + 1) || !pos_.allocate(nb) || !lb_.allocate(ids) ||
      !lb_stamp_.allocate_zeroed(ids) || !count_.allocate(ids) || !count_stamp_.allocate_zeroed(ids)) {
    return false;
  }
  for (size_t j = 0; j < nb; ++j) ++start_[e.b[j] + 1];
  for (size_t c = 1; c <= ids; ++c) start_[c] += start_[c - 1];
  // Filled in ascending order of position, using lb_ as the cursor.
  for (size_t c = 0; c < ids; ++c) lb_[c] = start_[c];
  for (size_t j = 0; j < nb; ++j) pos_[lb_[e.b[j]]++] = static_cast<int32_t>(j);
  for (int p = 0; p < 2; ++p) {
    if (!len_[p].allocate(nb) || !row_[p].allocate_zeroed(nb)) return false;
  }
  range_stamp_ = 0;
  row_id_ = 2;
  return true;
}

void PositionTable::begin(const Range& r) {
  if (++range_stamp_ == 0) {
    for (size_t c = 0; c < lb_stamp_.size(); ++c) lb_stamp_[c] = count_stamp_[c] = 0;
    range_stamp_ = 1;
  }
  // Rows of this range must never meet stamps of another: skip one id, and
  // start over before the counter could wrap inside the range.
  const uint64_t rows = static_cast<uint64_t>(r.ahi - r.alo) + 4;
  if (uint64_t{row_id_} + rows >= UINT32_MAX) {
    for (int p = 0; p < 2; ++p) {
      for (size_t j = 0; j < row_[p].size(); ++j) row_[p][j] = 0;
    }
    row_id_ = 2;
  }
  ++row_id_;
}

uint32_t PositionTable::lower(uint32_t c, int32_t blo) {
  if (lb_stamp_[c] == range_stamp_) return lb_[c];
  uint32_t lo = start_[c], hi = start_[c + 1];
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (pos_[mid] < blo) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  lb_[c] = lo;
  lb_stamp_[c] = range_stamp_;
  return lo;
}

uint32_t PositionTable::count(uint32_t c, int32_t blo, int32_t bhi) {
  if (count_stamp_[c] == range_stamp_) return count_[c];
  const uint32_t first = lower(c, blo);
  uint32_t lo = first, hi = start_[c + 1];
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (pos_[mid] < bhi) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  count_[c] = lo - first;
  count_stamp_[c] = range_stamp_;
  return count_[c];
}

uint64_t PositionTable::cost(const uint32_t* a, const Range& r, uint64_t limit) {
  uint64_t total = 0;
  for (int32_t i = r.alo; i < r.ahi; ++i) {
    ++total;
    const uint32_t c = a[i];
    if (c <= sigma_) total += count(c, r.blo, r.bhi);
    if (total > limit) break;
  }
  return total;
}

Found PositionTable::search(const uint32_t* a, const Range& r) {
  Found best{r.alo, r.blo, 0};
  for (int32_t i = r.alo; i < r.ahi; ++i) {
    const uint32_t id = ++row_id_;
    const uint32_t c = a[i];
    if (c > sigma_) continue;  // not in b at all
    const int cur = static_cast<int>(id & 1), prev = cur ^ 1;
    int32_t* len = len_[cur].data();
    uint32_t* row = row_[cur].data();
    const int32_t* prev_len = len_[prev].data();
    const uint32_t* prev_row = row_[prev].data();
    const uint32_t end = start_[c + 1];
    for (uint32_t k = lower(c, r.blo); k < end; ++k) {
      const int32_t j = pos_[k];
      if (j >= r.bhi) break;
      const int32_t n = (j > 0 && prev_row[j - 1] == id - 1) ? prev_len[j - 1] + 1 : 1;
      len[j] = n;
      row[j] = id;
      if (n > best.size) best = Found{i - n + 1, j - n + 1, n};
    }
  }
  return best;
}

}  // namespace dravik::diff

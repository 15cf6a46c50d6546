// A set of literals (each a sequence of character classes) searched for in
// one pass over a text of any width.  Each literal is given a window of up
// to three consecutive places (its rarest), literals are grouped into at
// most eight buckets, and a fingerprint scan (fingerprint.hpp) reports the
// windows where some bucket may start; the literals of those buckets are
// then confirmed character by character.
#pragma once

#include "common/arrays.hpp"
#include "regex/fingerprint.hpp"
#include "regex/program.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <vector>

namespace dravik::rx {

inline constexpr int kBuckets = 8;

class LiteralSet {
 public:
  // Both vectors must outlive the set.
  struct Literal {
    const std::vector<CharSet>* sets = nullptr;
    const std::vector<uint16_t>* cls = nullptr;  // non-empty
  };
  struct Range {
    const uint32_t* b;
    const uint32_t* e;
    const uint32_t* begin() const { return b; }
    const uint32_t* end() const { return e; }
  };

  // False when out of memory (the set is then empty).
  bool build(const Literal* lits, size_t n);
  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }
  const Fingerprints& fingerprints() const { return fp_; }
  // Offset of literal k's window from its start.
  int offset(size_t k) const { return lits_[k].off; }
  // The literals in bucket b.
  Range bucket(int b) const {
    return Range{by_bucket_.data() + bucket_start_[b], by_bucket_.data() + bucket_start_[b + 1]};
  }

  // The largest window offset.
  int max_offset() const { return max_off_; }

  // The smallest start >= from of an occurrence of any literal whose window
  // starts at or before `last` (< n), or -1.
  template <class Ch>
  Py_ssize_t first(const Ch* p, Py_ssize_t n, Py_ssize_t from, Py_ssize_t last) const;

  // Calls on_hit(k, start) for the occurrences of every literal k, in the
  // order of their windows (start + offset(k)), until it returns true.  The
  // scan uses `f` (a copy of fingerprints() from which the caller may drop
  // buckets as it goes).
  template <class Ch, class F>
  void each(const Ch* p, Py_ssize_t n, const Fingerprints& f, F&& on_hit) const;

 private:
  struct Lit {
    const std::vector<CharSet>* sets;
    const uint16_t* cls;
    uint32_t len;
    int off;
    // Per place, from here in eff_: its class's answers over the BMP (one
    // load fewer than through the class).
    uint32_t eff_at;
  };
  bool build_or_fail(const Literal* lits, size_t n);
  void clear();

  // Windows of a text, read narrowed (in blocks, for wider text).
  template <class Ch>
  class Windows;

  template <class Ch>
  bool holds(const Lit& l, const Ch* p, Py_ssize_t n, Py_ssize_t start) const {
    const Py_ssize_t len = l.len;
    if (start < 0 || start + len > n) return false;
    const uint64_t* const* eff = eff_.data() + l.eff_at;
    const Ch* at = p + start;
    for (Py_ssize_t k = 0; k < len; ++k) {
      const uint32_t c = at[k];
      if (sizeof(Ch) == 1 || c < kBmpSize) {
        if (!((eff[k][c >> 6] >> (c & 63)) & 1)) return false;
      } else if (!(*l.sets)[l.cls[k]].contains(c)) {
        return false;
      }
    }
    return true;
  }

  // The literals a window may hold, by its first two (narrowed) bytes, in
  // the order of by_bucket_: a candidate window of a large set visits only
  // the literals that fit those bytes.  Empty when windows are one byte
  // wide or the index would be too large.
  Array<uint32_t> pair_start_;  // 65537 offsets into pair_lits_
  Array<uint32_t> pair_lits_;
  Array<uint8_t> bucket_of_;    // per literal

  // Calls on_hit(k, start) for the literals of buckets `b` that occur with
  // their window at t, until it returns true (then returns true).
  template <class Ch, class F>
  bool at_window(const Ch* p, Py_ssize_t n, Py_ssize_t t, uint32_t b, F& on_hit) const {
    if (!pair_lits_.empty() && t + 1 < n) {
      const size_t key = size_t{narrow_char(p[t])} << 8 | narrow_char(p[t + 1]);
      for (uint32_t i = pair_start_[key], end = pair_start_[key + 1]; i < end; ++i) {
        const uint32_t k = pair_lits_[i];
        if (!((b >> bucket_of_[k]) & 1u)) continue;
        const Lit& l = lits_[k];
        if (holds(l, p, n, t - l.off) && on_hit(k, t - l.off)) return true;
      }
      return false;
    }
    for (; b; b &= b - 1) {
      for (uint32_t k : bucket(std::countr_zero(b))) {
        const Lit& l = lits_[k];
        if (holds(l, p, n, t - l.off) && on_hit(k, t - l.off)) return true;
      }
    }
    return false;
  }

  size_t count_ = 0;
  Array<Lit> lits_;
  Array<const uint64_t*> eff_;
  Array<uint32_t> by_bucket_;                  // the literals, bucket by bucket
  std::array<uint32_t, kBuckets + 1> bucket_start_ = {};
  Fingerprints fp_;
  int max_off_ = 0;
};

template <class Ch>
class LiteralSet::Windows {
 public:
  Windows(const Ch* p, Py_ssize_t n, int width) : p_(p), n_(n), w_(width) {}

  // The first window t' in [t, last] (last < n) some bucket of `f` may
  // start, its buckets in `b`; -1 when none.  A window reaching past the end
  // counts for the buckets that take anything there.
  Py_ssize_t next(Py_ssize_t t, Py_ssize_t last, const Fingerprints& f, uint32_t& b) {
    if constexpr (sizeof(Ch) == 1) {
      const Py_ssize_t whole = std::min(last, n_ - w_);
      if (t <= whole) {
        const Py_ssize_t hit = find_windows(p_, t, whole, f, b);
        if (hit >= 0) return hit;
        t = whole + 1;
      }
      return tail(p_, 0, t, last, f, b);
    } else {
      while (t <= last) {
        const bool covered = t >= base_ && (t + w_ <= base_ + len_ || (base_ + len_ == n_ && t < n_));
        if (!covered) refill(t);
        const bool at_end = base_ + len_ == n_;
        const Py_ssize_t whole = std::min(last, base_ + len_ - w_);
        if (t <= whole) {
          const Py_ssize_t hit = find_windows(buf_, t - base_, whole - base_, f, b);
          if (hit >= 0) return hit + base_;
          t = whole + 1;
        }
        if (at_end) return tail(buf_, base_, t, last, f, b);
      }
      return -1;
    }
  }

 private:
  // Windows from t that reach past the end.
  Py_ssize_t tail(const uint8_t* bytes, Py_ssize_t base, Py_ssize_t t, Py_ssize_t last, const Fingerprints& f,
                  uint32_t& b) const {
    for (t = std::max(t, Py_ssize_t{0}); t <= last; ++t) {
      uint32_t r = 0xFF;
      for (int j = 0; j < w_; ++j) r &= t + j < n_ ? f.exact[j][bytes[t + j - base]] : f.any[j];
      if (r) {
        b = r;
        return t;
      }
    }
    return -1;
  }
  void refill(Py_ssize_t t) {
    // Short blocks first: most searches stop early.
    block_ = std::min<Py_ssize_t>(block_ * 2, kBlock);
    base_ = t;
    len_ = std::min(block_, n_ - t);
    narrow(p_ + t, len_, buf_);
  }

  static constexpr Py_ssize_t kBlock = 4096;
  const Ch* p_;
  Py_ssize_t n_;
  int w_;
  Py_ssize_t base_ = 0, len_ = 0, block_ = 128;
  uint8_t buf_[sizeof(Ch) == 1 ? 1 : kBlock];
};

template <class Ch>
Py_ssize_t LiteralSet::first(const Ch* p, Py_ssize_t n, Py_ssize_t from, Py_ssize_t last) const {
  if (count_ == 0 || from >= n) return -1;
  Windows<Ch> w(p, n, fp_.width);
  Py_ssize_t best = -1;
  for (Py_ssize_t t = from; t <= last; ++t) {
    uint32_t b = 0;
    t = w.next(t, last, fp_, b);
    if (t < 0) break;
    for (; b; b &= b - 1) {
      for (uint32_t k : bucket(std::countr_zero(b))) {
        const Lit& l = lits_[k];
        const Py_ssize_t s = t - l.off;
        if (s < from || (best >= 0 && s >= best) || !holds(l, p, n, s)) continue;
        best = s;
        // Later windows hold later starts only past this.
        last = std::min(last, s + max_off_);
      }
    }
  }
  return best;
}

template <class Ch, class F>
void LiteralSet::each(const Ch* p, Py_ssize_t n, const Fingerprints& f, F&& on_hit) const {
  if (count_ == 0 || n == 0) return;
  // Block by block: the windows of a block are all found first, then
  // confirmed in order (a bucket dropped meanwhile is masked off), which
  // keeps the kernel's loop free of the confirmations' branches.  Short
  // blocks first: most scans of short texts stop early.
  constexpr Py_ssize_t kBlock = 4096;
  const int w = fp_.width;
  uint16_t pos[kBlock];
  uint8_t bk[kBlock];
  uint8_t buf[sizeof(Ch) == 1 ? 1 : kBlock + 2];
  Py_ssize_t block = 128;
  for (Py_ssize_t t0 = 0; t0 < n;) {
    block = std::min(block * 2, kBlock);
    const Py_ssize_t t1 = std::min(n, t0 + block);  // windows starting in [t0, t1)
    const Py_ssize_t whole = std::max(t0, std::min(t1, n - w + 1));  // [t0, whole): within the text
    const uint8_t* bytes;
    if constexpr (sizeof(Ch) == 1) {
      bytes = p + t0;
    } else {
      narrow(p + t0, std::min(n, t1 + w - 1) - t0, buf);
      bytes = buf;
    }
    size_t count = collect_windows(bytes, whole - t0, f, pos, bk);
    // Windows that reach past the end count for the buckets taking anything there.
    for (Py_ssize_t t = whole; t < t1; ++t) {
      uint32_t r = 0xFF;
      for (int j = 0; j < w; ++j) r &= t + j < n ? f.exact[j][bytes[t + j - t0]] : f.any[j];
      pos[count] = static_cast<uint16_t>(t - t0);
      bk[count] = static_cast<uint8_t>(r);
      count += r != 0;
    }
    for (size_t i = 0; i < count; ++i) {
      const uint32_t b = bk[i] & f.live;
      if (b != 0 && at_window(p, n, t0 + pos[i], b, on_hit)) return;
    }
    t0 = t1;
  }
}

}  // namespace dravik::rx

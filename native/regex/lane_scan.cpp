#include "regex/lane_scan.hpp"

#include "regex/lane_scan_arch.hpp"

#include <algorithm>
#include <utility>

namespace dravik::rx {

namespace {

template <class Ch>
Py_ssize_t plain_scan(const Ch* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  for (; a <= last; ++a)
    if (q.holds(p, a)) return a;
  return -1;
}

using Runs = std::vector<std::pair<uint32_t, uint32_t>>;

// The runs of set bits below `limit`, found a word at a time (empty and full
// words are skipped whole), stopping once `cap` runs are found.
Runs runs_of(const uint64_t* bits, uint32_t limit, size_t cap) {
  Runs r;
  const uint32_t nwords = (limit + 63) / 64;
  bool open = false;
  uint32_t lo = 0;
  for (uint32_t w = 0; w < nwords; ++w) {
    uint64_t word = bits[w];
    const uint32_t base = w * 64;
    if (base + 64 > limit) word &= (uint64_t{1} << (limit - base)) - 1;
    if (word == (open ? ~uint64_t{0} : 0)) continue;
    for (uint32_t b = 0; b < 64; ++b) {
      const bool in = (word >> b) & 1;
      if (in == open) continue;
      if (in) {
        lo = base + b;
      } else {
        r.emplace_back(lo, base + b - 1);
        if (r.size() > cap) return r;
      }
      open = in;
    }
  }
  if (open) r.emplace_back(lo, limit - 1);
  return r;
}

}  // namespace

LaneTest LaneTest::build(const uint64_t* bits, uint32_t limit, bool astral) {
  // More runs than this cannot give an exact test; past it only the count matters.
  constexpr size_t kCap = 16;
  Runs all = runs_of(bits, limit, kCap);
  if (astral) all.emplace_back(0x10000, 0x10FFFF);
  uint64_t members = 0;
  for (const auto& [lo, hi] : all) members += hi - lo + 1;
  LaneTest best;
  int best_cost = 1 << 30;
  auto consider = [&](const LaneTest& t) {
    const int cost = t.nfold * 2 + t.neq + t.nr * 3;
    if (cost < best_cost) {
      best = t;
      best_cost = cost;
    }
  };
  auto with_ranges = [&](LaneTest t, const Runs& r) {
    if (r.size() + t.nr > 3) return;
    for (const auto& [lo, hi] : r) {
      t.lo[t.nr] = lo;
      t.hi[t.nr] = hi;
      ++t.nr;
    }
    consider(t);
  };
  if (all.size() <= kCap) with_ranges(LaneTest(), all);
  // Small sets: single values, and case pairs folded with 0x20.
  if (!astral && all.size() <= kCap && members <= 12) {
    std::vector<uint32_t> vals;
    for (const auto& [lo, hi] : all)
      for (uint32_t x = lo; x <= hi; ++x) vals.push_back(x);
    auto has = [&](uint32_t x) { return std::find(vals.begin(), vals.end(), x) != vals.end(); };
    if (vals.size() <= 3) {
      LaneTest t;
      for (uint32_t x : vals) t.eq[t.neq++] = x;
      consider(t);
    }
    LaneTest folded;
    std::vector<uint32_t> rest;
    bool fits = true;
    for (uint32_t x : vals) {
      if ((x & 0x20) && has(x ^ 0x20)) {
        if (folded.nfold == 3) fits = false;
        else folded.fold[folded.nfold++] = x;
      } else if (!((x & 0x20) == 0 && has(x | 0x20))) {
        rest.push_back(x);  // not one of a folded pair
      }
    }
    if (fits && folded.nfold > 0) {
      if (rest.size() <= 3) {
        LaneTest t = folded;
        for (uint32_t x : rest) t.eq[t.neq++] = x;
        consider(t);
      }
      Runs rr;
      for (uint32_t x : rest) {
        if (!rr.empty() && rr.back().second + 1 == x) rr.back().second = x;
        else rr.emplace_back(x, x);
      }
      with_ranges(folded, rr);
    }
  }
  if (best_cost < (1 << 30)) return best;
  LaneTest t;
  t.exact = false;
  if (limit <= 128) {
    // Merge the closest runs until three are left.
    Runs r = runs_of(bits, limit, 1u << 30);
    while (r.size() > 3) {
      size_t at = 0;
      for (size_t k = 1; k + 1 < r.size(); ++k)
        if (r[k + 1].first - r[k].second < r[at + 1].first - r[at].second) at = k;
      r[at].second = r[at + 1].second;
      r.erase(r.begin() + static_cast<std::ptrdiff_t>(at) + 1);
    }
    for (const auto& [lo, hi] : r) {
      t.lo[t.nr] = lo;
      t.hi[t.nr] = hi;
      ++t.nr;
    }
    return t;
  }
  // No exact form: the ASCII part (exact when it can be), everything above
  // it accepted.
  const uint64_t ascii[2] = {bits[0], bits[1]};
  t = build(ascii, 128, false);
  t.exact = false;
  if (t.nr == 3) {
    t.hi[1] = t.hi[2];
    t.nr = 2;
  }
  t.lo[t.nr] = 0x80;
  t.hi[t.nr] = astral ? 0x10FFFF : 0xFFFF;
  ++t.nr;
  return t;
}

#if DRAVIK_LANE_SCAN_X86
namespace {
// Read at load time.
const bool kHasAvx2 = x86::has_avx2();
}  // namespace

const char* lane_scan_path() { return kHasAvx2 ? "avx2" : "sse2"; }

Py_ssize_t scan_lanes(const Py_UCS1* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  if (a > last) return -1;
  return kHasAvx2 ? x86::avx2_scan(p, a, last, q) : x86::sse2_scan(p, a, last, q);
}

Py_ssize_t scan_lanes(const Py_UCS2* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  if (a > last) return -1;
  return kHasAvx2 ? x86::avx2_scan(p, a, last, q) : plain_scan(p, a, last, q);
}

Py_ssize_t scan_lanes(const Py_UCS4* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  if (a > last) return -1;
  return kHasAvx2 ? x86::avx2_scan(p, a, last, q) : plain_scan(p, a, last, q);
}
#else
// The portable path: defines the results every vector kernel must give.
const char* lane_scan_path() { return "portable"; }

Py_ssize_t scan_lanes(const Py_UCS1* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  return plain_scan(p, a, last, q);
}
Py_ssize_t scan_lanes(const Py_UCS2* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  return plain_scan(p, a, last, q);
}
Py_ssize_t scan_lanes(const Py_UCS4* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  return plain_scan(p, a, last, q);
}
#endif

}  // namespace dravik::rx

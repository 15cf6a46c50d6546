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

}  // namespace

LaneTest LaneTest::build(const std::vector<uint64_t>& bits, uint32_t limit, bool astral) {
  auto mem = [&](uint32_t x) { return x < limit && ((bits[x >> 6] >> (x & 63)) & 1) != 0; };
  auto runs_of = [&](const std::vector<char>* skip) {
    Runs r;
    for (uint32_t c = 0; c < limit;) {
      if (!mem(c) || (skip && (*skip)[c])) {
        ++c;
        continue;
      }
      uint32_t e = c;
      while (e + 1 < limit && mem(e + 1) && !(skip && (*skip)[e + 1])) ++e;
      r.emplace_back(c, e);
      c = e + 1;
    }
    if (astral) r.emplace_back(0x10000, 0x10FFFF);
    return r;
  };
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
    if (r.size() > 3) return;
    for (const auto& [lo, hi] : r) {
      t.lo[t.nr] = lo;
      t.hi[t.nr] = hi;
      ++t.nr;
    }
    consider(t);
  };
  const Runs all = runs_of(nullptr);
  with_ranges(LaneTest(), all);
  // Case pairs folded with 0x20.
  std::vector<char> covered(limit, 0);
  LaneTest folded;
  bool fits = true;
  for (uint32_t x = 0x20; x < limit; ++x) {
    if (!(x & 0x20) || !mem(x) || !mem(x ^ 0x20)) continue;
    if (folded.nfold == 3) {
      fits = false;
      break;
    }
    folded.fold[folded.nfold++] = x;
    covered[x] = covered[x ^ 0x20] = 1;
  }
  if (fits && folded.nfold > 0) {
    std::vector<uint32_t> rest;
    for (uint32_t x = 0; x < limit && rest.size() <= 3; ++x)
      if (mem(x) && !covered[x]) rest.push_back(x);
    if (rest.size() <= 3 && !astral) {
      LaneTest t = folded;
      for (uint32_t x : rest) t.eq[t.neq++] = x;
      consider(t);
    }
    with_ranges(folded, runs_of(&covered));
  }
  {
    std::vector<uint32_t> vals;
    for (uint32_t x = 0; x < limit && vals.size() <= 3; ++x)
      if (mem(x)) vals.push_back(x);
    if (vals.size() <= 3 && !astral) {
      LaneTest t;
      for (uint32_t x : vals) t.eq[t.neq++] = x;
      consider(t);
    }
  }
  if (best_cost < (1 << 30)) return best;
  LaneTest t;
  t.exact = false;
  if (limit <= 128) {
    // Merge the closest runs until three are left.
    Runs r = all;
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
  std::vector<uint64_t> ascii(bits.size(), 0);
  ascii[0] = bits[0];
  ascii[1] = bits[1];
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

#include "regex/lane_scan.hpp"

#include <algorithm>
#include <immintrin.h>
#include <utility>

namespace dravik::rx {

namespace {

struct Sse2x8 {
  using T = Py_UCS1;
  using V = __m128i;
  static constexpr int W = 16;
  static V load(const T* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
  static V set1(uint32_t b) { return _mm_set1_epi8(static_cast<char>(b)); }
  static V zero() { return _mm_setzero_si128(); }
  static V eq(V a, V b) { return _mm_cmpeq_epi8(a, b); }
  static V or_(V a, V b) { return _mm_or_si128(a, b); }
  static V and_(V a, V b) { return _mm_and_si128(a, b); }
  static V sub(V a, V b) { return _mm_sub_epi8(a, b); }
  static V min(V a, V b) { return _mm_min_epu8(a, b); }
  static uint32_t mask(V a) { return static_cast<uint32_t>(_mm_movemask_epi8(a)); }
};

namespace sse2_kernel {
#include "regex/lane_scan_kernel.inc"
}  // namespace sse2_kernel

#pragma GCC push_options
#pragma GCC target("avx2")

struct Avx2x8 {
  using T = Py_UCS1;
  using V = __m256i;
  static constexpr int W = 32;
  static V load(const T* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
  static V set1(uint32_t b) { return _mm256_set1_epi8(static_cast<char>(b)); }
  static V zero() { return _mm256_setzero_si256(); }
  static V eq(V a, V b) { return _mm256_cmpeq_epi8(a, b); }
  static V or_(V a, V b) { return _mm256_or_si256(a, b); }
  static V and_(V a, V b) { return _mm256_and_si256(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi8(a, b); }
  static V min(V a, V b) { return _mm256_min_epu8(a, b); }
  static uint32_t mask(V a) { return static_cast<uint32_t>(_mm256_movemask_epi8(a)); }
};

struct Avx2x16 {
  using T = Py_UCS2;
  using V = __m256i;
  static constexpr int W = 16;
  static V load(const T* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
  static V set1(uint32_t b) { return _mm256_set1_epi16(static_cast<short>(b)); }
  static V zero() { return _mm256_setzero_si256(); }
  static V eq(V a, V b) { return _mm256_cmpeq_epi16(a, b); }
  static V or_(V a, V b) { return _mm256_or_si256(a, b); }
  static V and_(V a, V b) { return _mm256_and_si256(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi16(a, b); }
  static V min(V a, V b) { return _mm256_min_epu16(a, b); }
  static uint32_t mask(V a) { return static_cast<uint32_t>(_mm256_movemask_epi8(a)); }
};

struct Avx2x32 {
  using T = Py_UCS4;
  using V = __m256i;
  static constexpr int W = 8;
  static V load(const T* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
  static V set1(uint32_t b) { return _mm256_set1_epi32(static_cast<int>(b)); }
  static V zero() { return _mm256_setzero_si256(); }
  static V eq(V a, V b) { return _mm256_cmpeq_epi32(a, b); }
  static V or_(V a, V b) { return _mm256_or_si256(a, b); }
  static V and_(V a, V b) { return _mm256_and_si256(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
  static V min(V a, V b) { return _mm256_min_epu32(a, b); }
  static uint32_t mask(V a) { return static_cast<uint32_t>(_mm256_movemask_epi8(a)); }
};

namespace avx2_kernel {
#include "regex/lane_scan_kernel.inc"
}  // namespace avx2_kernel

Py_ssize_t avx2_scan(const Py_UCS1* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  return avx2_kernel::scan_impl<Avx2x8>(p, a, last, q);
}
Py_ssize_t avx2_scan(const Py_UCS2* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  return avx2_kernel::scan_impl<Avx2x16>(p, a, last, q);
}
Py_ssize_t avx2_scan(const Py_UCS4* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  return avx2_kernel::scan_impl<Avx2x32>(p, a, last, q);
}

#pragma GCC pop_options

// Read at load time; the processor model must be initialised first there.
const bool kHasAvx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();

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

Py_ssize_t scan_lanes(const Py_UCS1* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  if (a > last) return -1;
  return kHasAvx2 ? avx2_scan(p, a, last, q) : sse2_kernel::scan_impl<Sse2x8>(p, a, last, q);
}

Py_ssize_t scan_lanes(const Py_UCS2* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  if (a > last) return -1;
  return kHasAvx2 ? avx2_scan(p, a, last, q) : plain_scan(p, a, last, q);
}

Py_ssize_t scan_lanes(const Py_UCS4* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  if (a > last) return -1;
  return kHasAvx2 ? avx2_scan(p, a, last, q) : plain_scan(p, a, last, q);
}

}  // namespace dravik::rx

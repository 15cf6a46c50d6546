#include "diff/seed_runs.hpp"

#include <bit>

namespace dravik::diff {

namespace {

constexpr uint64_t kBase = 0x9E3779B97F4A7C15ull;  // odd
constexpr uint64_t kMix = 0xD6E8FEB86659FD93ull;

inline uint64_t window_hash(const uint32_t* s, int q) {
  uint64_t h = 0;
  for (int t = 0; t < q; ++t) h = h * kBase + s[t];
  return h;
}

// b's sampled windows by hash: buckets of (hash, position), small enough
// to stay in cache while every window of a is looked up; and a bit per
// hash value class, so that most lookups end at one bit.
struct SampleIndex {
  Array<uint32_t> start;  // bucket k: entries start[k] .. start[k + 1]
  Array<uint64_t> hash;
  Array<int32_t> pos;
  Array<uint64_t> bits;
  int shift = 0;
  uint64_t bit_mask = 0;

  size_t bucket(uint64_t h) const noexcept { return static_cast<size_t>((h * kMix) >> shift); }
  bool maybe(uint64_t h) const noexcept {
    const uint64_t k = (h * kMix) >> 32 & bit_mask;
    return (bits[k >> 6] >> (k & 63)) & 1;
  }

  bool build(const uint32_t* b, size_t nb, int q, int step) {
    const size_t samples = (nb - static_cast<size_t>(q)) / static_cast<size_t>(step) + 1;
    const size_t buckets = std::bit_ceil(samples < 16 ? size_t{16} : samples);
    shift = 64 - std::countr_zero(buckets);
    const size_t nbits = buckets * 16;  // a handful of bits per sample
    bit_mask = nbits - 1;
    Array<uint64_t> sample_hash;
    if (!start.allocate_zeroed(buckets + 1) || !hash.allocate(samples) || !pos.allocate(samples) ||
        !bits.allocate_zeroed(nbits / 64) || !sample_hash.allocate(samples)) {
      return false;
    }
    // One rolling pass over b, keeping every step-th window's hash.
    uint64_t top = 1;
    for (int t = 1; t < q; ++t) top *= kBase;
    uint64_t h = window_hash(b, q);
    const size_t last = (samples - 1) * static_cast<size_t>(step);
    for (size_t j = 0;; ++j) {
      if (j % static_cast<size_t>(step) == 0) sample_hash[j / static_cast<size_t>(step)] = h;
      if (j == last) break;
      h = (h - b[j] * top) * kBase + b[j + static_cast<size_t>(q)];
    }
    for (size_t k = 0; k < samples; ++k) {
      const uint64_t sh = sample_hash[k];
      ++start[bucket(sh) + 1];
      const uint64_t bit = (sh * kMix) >> 32 & bit_mask;
      bits[bit >> 6] |= uint64_t{1} << (bit & 63);
    }
    for (size_t k = 1; k <= buckets; ++k) start[k] += start[k - 1];
    for (size_t k = 0; k < samples; ++k) {
      const uint64_t sh = sample_hash[k];
      const uint32_t at = start[bucket(sh)]++;
      hash[at] = sh;
      pos[at] = static_cast<int32_t>(k * static_cast<size_t>(step));
    }
    // Placing moved each bucket's cursor to its end, the next one's start.
    for (size_t k = buckets; k > 0; --k) start[k] = start[k - 1];
    start[0] = 0;
    return true;
  }
};

}  // namespace

SeedResult find_seed_runs(const Encoded& e, int q, int step, uint64_t budget, Vec<Run>& runs) {
  const int32_t na = static_cast<int32_t>(e.a.size());
  const int32_t nb = static_cast<int32_t>(e.b.size());
  if (na < q || nb < q) return SeedResult::kDone;
  const uint32_t* a = e.a.data();
  const uint32_t* b = e.b.data();
  const int32_t min_size = q + step - 1;

  SampleIndex index;
  if (!index.build(b, static_cast<size_t>(nb), q, step)) return SeedResult::kNoMemory;
  // End in a of the last block found on each diagonal (j - i + na).
  Array<int32_t> diag_end;
  if (!diag_end.allocate_zeroed(static_cast<size_t>(na) + static_cast<size_t>(nb) + 1)) return SeedResult::kNoMemory;

  uint64_t top = 1;
  for (int t = 1; t < q; ++t) top *= kBase;
  uint64_t work = 0;
  uint64_t h = window_hash(a, q);
  for (int32_t p = 0; p + q <= na; ++p) {
    if (p > 0) h = (h - a[p - 1] * top) * kBase + a[p + q - 1];
    if (!index.maybe(h)) continue;
    const size_t k = index.bucket(h);
    for (uint32_t at = index.start[k], end = index.start[k + 1]; at < end; ++at) {
      ++work;
      if (index.hash[at] != h) continue;
      const int32_t j = index.pos[at];
      int32_t& covered = diag_end[static_cast<size_t>(j) + static_cast<size_t>(na - p)];
      if (covered > p) continue;  // inside a block found from an earlier seed
      int t = 0;
      while (t < q && a[p + t] == b[j + t]) ++t;
      work += static_cast<uint64_t>(t);
      if (t < q) continue;  // equal hashes, different windows
      int32_t x = p, y = j;
      while (x > 0 && y > 0 && a[x - 1] == b[y - 1]) --x, --y;
      int32_t xe = p + q, ye = j + q;
      while (xe < na && ye < nb && a[xe] == b[ye]) ++xe, ++ye;
      work += static_cast<uint64_t>(xe - x);
      covered = xe;
      if (xe - x >= min_size && !runs.push(Run{x, y, xe - x})) return SeedResult::kNoMemory;
      if (work > budget) return SeedResult::kAbandoned;
    }
  }
  return SeedResult::kDone;
}

}  // namespace dravik::diff

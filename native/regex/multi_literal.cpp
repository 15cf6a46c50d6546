#include "regex/multi_literal.hpp"

#include "regex/accelerator.hpp"

#include <bitset>
#include <cstring>
#include <numeric>

namespace dravik::rx {

namespace {

using ByteSet = std::bitset<256>;

// Estimated frequency of each narrowed byte in ordinary text.
struct ByteOdds {
  double p[256];
  ByteOdds() {
    for (uint32_t c = 0; c < 128; ++c) p[c] = ascii_freq(c) / 1000.0;
    for (uint32_t c = 128; c < 255; ++c) p[c] = 0.02 / 1000.0;
    p[255] = 5.0 / 1000.0;  // every character from U+00FF up
  }
};
const ByteOdds& byte_odds() {
  static const ByteOdds o;
  return o;
}

// The narrowed bytes of a class's characters.
ByteSet bytes_of(const CharSet& cs) {
  ByteSet out;
  for (uint32_t c = 0; c < 255; ++c)
    if (cs.contains(c)) out.set(c);
  bool beyond = cs.contains(255) || may_hold_astral(cs);
  for (size_t w = 4; w < cs.eff.size() && !beyond; ++w) beyond = cs.eff[w] != 0;
  if (beyond) out.set(255);
  return out;
}

// A place of a bucket as the vector kernels test it: the low and the high
// nibbles its bytes may have (any pairing of the two is let through).
struct Nibbles {
  uint16_t lo = 0, hi = 0;
  void add(const ByteSet& s) {
    for (uint32_t b = 0; b < 256; ++b)
      if (s.test(b)) {
        lo = static_cast<uint16_t>(lo | (1u << (b & 15)));
        hi = static_cast<uint16_t>(hi | (1u << (b >> 4)));
      }
  }
  double odds() const {
    const auto& o = byte_odds();
    double sum = 0;
    for (uint32_t h = 0; h < 16; ++h)
      if ((hi >> h) & 1)
        for (uint32_t l = 0; l < 16; ++l)
          if ((lo >> l) & 1) sum += o.p[(h << 4) | l];
    return std::min(sum, 1.0);
  }
};

struct Shape {
  std::array<ByteSet, 3> place;  // the window's places (all bytes past the literal's end)
  std::array<Nibbles, 3> nib;
  int off = 0;
  int reach = 0;                 // places within the literal
  double odds = 1.0;
};

struct Bucket {
  std::array<Nibbles, 3> nib;
  int count = 0;
  double odds(int width) const {
    if (count == 0) return 0;
    double p = 1.0;
    for (int j = 0; j < width; ++j) p *= nib[static_cast<size_t>(j)].odds();
    return p;
  }
  // Misses cost a pass; each hit costs a visit to every literal of the bucket.
  double cost(int width) const { return odds(width) * (1.0 + 0.3 * count); }
};

}  // namespace

void LiteralSet::clear() {
  count_ = 0;
  lits_.release();
  eff_.release();
  by_bucket_.release();
  bucket_start_.fill(0);
  pair_start_.release();
  pair_lits_.release();
  bucket_of_.release();
  fp_ = Fingerprints();
  max_off_ = 0;
}

bool LiteralSet::build(const Literal* lits, size_t n) {
  clear();
  if (build_or_fail(lits, n)) return true;
  clear();
  return false;
}

bool LiteralSet::build_or_fail(const Literal* lits, size_t n) {
  if (n == 0) return true;
  size_t longest = 0, places_total = 0;
  for (size_t k = 0; k < n; ++k) {
    longest = std::max(longest, lits[k].cls->size());
    places_total += lits[k].cls->size();
  }
  const int width = static_cast<int>(std::min<size_t>(3, longest));
  fp_.width = width;

  ByteSet all;
  all.set();
  Array<Shape> shapes;
  Array<ByteSet> places;
  if (!shapes.allocate(n) || !places.allocate(longest)) return false;
  for (size_t k = 0; k < n; ++k) {
    const Literal& l = lits[k];
    const int len = static_cast<int>(l.cls->size());
    for (int j = 0; j < len; ++j) places[static_cast<size_t>(j)] = bytes_of((*l.sets)[(*l.cls)[static_cast<size_t>(j)]]);
    Shape& best = shapes[k];
    best = Shape();
    best.odds = 2.0;
    // The rarest window of the literal.
    for (int off = 0; off == 0 || off + width <= len; ++off) {
      Shape s;
      s.off = off;
      s.reach = std::min(width, len - off);
      s.odds = 1.0;
      for (int j = 0; j < width; ++j) {
        s.place[static_cast<size_t>(j)] = j < s.reach ? places[static_cast<size_t>(off) + static_cast<size_t>(j)] : all;
        s.nib[static_cast<size_t>(j)].add(s.place[static_cast<size_t>(j)]);
        s.odds *= s.nib[static_cast<size_t>(j)].odds();
      }
      if (s.odds < best.odds) best = s;
    }
  }

  // Commonest literals first, each into the bucket it makes least costly.
  Array<size_t> order;
  Array<uint8_t> where;
  if (!order.allocate(n) || !where.allocate_zeroed(n)) return false;
  std::iota(order.data(), order.data() + n, size_t{0});
  std::stable_sort(order.data(), order.data() + n,
                   [&](size_t a, size_t b) { return shapes[a].odds > shapes[b].odds; });
  std::array<Bucket, kBuckets> bk;
  for (size_t i = 0; i < n; ++i) {
    const size_t k = order[i];
    int pick = 0;
    double pick_delta = 0;
    for (int b = 0; b < kBuckets; ++b) {
      Bucket with = bk[static_cast<size_t>(b)];
      for (int j = 0; j < width; ++j) {
        with.nib[static_cast<size_t>(j)].lo |= shapes[k].nib[static_cast<size_t>(j)].lo;
        with.nib[static_cast<size_t>(j)].hi |= shapes[k].nib[static_cast<size_t>(j)].hi;
      }
      ++with.count;
      const double delta = with.cost(width) - bk[static_cast<size_t>(b)].cost(width);
      if (b == 0 || delta < pick_delta) {
        pick = b;
        pick_delta = delta;
      }
    }
    Bucket& into = bk[static_cast<size_t>(pick)];
    for (int j = 0; j < width; ++j) {
      into.nib[static_cast<size_t>(j)].lo |= shapes[k].nib[static_cast<size_t>(j)].lo;
      into.nib[static_cast<size_t>(j)].hi |= shapes[k].nib[static_cast<size_t>(j)].hi;
    }
    ++into.count;
    where[k] = static_cast<uint8_t>(pick);
  }

  if (!lits_.allocate(n) || !eff_.allocate(places_total) || !by_bucket_.allocate(n) || !bucket_of_.allocate(n))
    return false;
  uint32_t eff_at = 0;
  for (size_t k = 0; k < n; ++k) {
    const Shape& s = shapes[k];
    const Literal& in = lits[k];
    Lit& l = lits_[k];
    l.sets = in.sets;
    l.cls = in.cls->data();
    l.len = static_cast<uint32_t>(in.cls->size());
    l.off = s.off;
    l.eff_at = eff_at;
    for (uint16_t c : *in.cls) eff_[eff_at++] = (*in.sets)[c].eff.data();
    max_off_ = std::max(max_off_, s.off);
    const int b = where[k];
    bucket_of_[k] = static_cast<uint8_t>(b);
    ++bucket_start_[static_cast<size_t>(b) + 1];
    for (int j = 0; j < width; ++j) {
      const ByteSet& set = s.place[static_cast<size_t>(j)];
      for (uint32_t x = 0; x < 256; ++x)
        if (set.test(x)) fp_.add(j, b, static_cast<uint8_t>(x));
      if (j >= s.reach) fp_.any[j] = static_cast<uint8_t>(fp_.any[j] | (1u << b));
    }
  }
  for (int b = 0; b < kBuckets; ++b) bucket_start_[static_cast<size_t>(b) + 1] += bucket_start_[static_cast<size_t>(b)];
  {
    std::array<uint32_t, kBuckets> fill;
    std::copy(bucket_start_.begin(), bucket_start_.end() - 1, fill.begin());
    for (size_t k = 0; k < n; ++k) by_bucket_[fill[bucket_of_[k]]++] = static_cast<uint32_t>(k);
  }
  count_ = n;

  // The pair index, worth it only for sets larger than a bucket's few.
  constexpr size_t kMaxPairEntries = size_t{1} << 18;
  if (width < 2 || n <= static_cast<size_t>(kBuckets)) return true;
  size_t entries = 0;
  for (size_t k = 0; k < n; ++k) entries += shapes[k].place[0].count() * shapes[k].place[1].count();
  if (entries > kMaxPairEntries) return true;
  Array<uint32_t> fill;
  if (!pair_start_.allocate_zeroed(size_t{65536} + 1) || !pair_lits_.allocate(entries) || !fill.allocate(65536))
    return false;
  auto each_pair = [&](size_t k, auto&& fn) {
    const Shape& s = shapes[k];
    for (uint32_t x = 0; x < 256; ++x)
      if (s.place[0].test(x))
        for (uint32_t y = 0; y < 256; ++y)
          if (s.place[1].test(y)) fn(size_t{x} << 8 | y);
  };
  for (size_t k = 0; k < n; ++k) each_pair(k, [&](size_t key) { ++pair_start_[key + 1]; });
  for (size_t key = 0; key < 65536; ++key) pair_start_[key + 1] += pair_start_[key];
  std::memcpy(fill.data(), pair_start_.data(), 65536 * sizeof(uint32_t));
  // Bucket by bucket, as the scan without the index visits them.
  for (int b = 0; b < kBuckets; ++b)
    for (uint32_t k : bucket(b)) each_pair(k, [&](size_t key) { pair_lits_[fill[key]++] = k; });
  return true;
}

}  // namespace dravik::rx

#include "regex/multi_literal.hpp"

#include "regex/accelerator.hpp"

#include <bitset>
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

void LiteralSet::build(std::vector<Literal> lits) {
  lits_.clear();
  pair_start_.clear();
  pair_lits_.clear();
  bucket_of_.clear();
  for (auto& b : buckets_) b.clear();
  fp_ = Fingerprints();
  max_off_ = 0;
  if (lits.empty()) return;
  size_t longest = 0;
  for (const Literal& l : lits) longest = std::max(longest, l.cls.size());
  const int width = static_cast<int>(std::min<size_t>(3, longest));
  fp_.width = width;

  ByteSet all;
  all.set();
  std::vector<Shape> shapes(lits.size());
  for (size_t k = 0; k < lits.size(); ++k) {
    const Literal& l = lits[k];
    std::vector<ByteSet> places;
    for (uint16_t c : l.cls) places.push_back(bytes_of((*l.sets)[c]));
    const int len = static_cast<int>(places.size());
    Shape& best = shapes[k];
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
  std::vector<size_t> order(lits.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return shapes[a].odds > shapes[b].odds; });
  std::array<Bucket, kBuckets> bk;
  std::vector<int> where(lits.size(), 0);
  for (size_t k : order) {
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
    where[k] = pick;
  }

  lits_.resize(lits.size());
  for (size_t k = 0; k < lits.size(); ++k) {
    const Shape& s = shapes[k];
    lits_[k].lit = std::move(lits[k]);
    lits_[k].off = s.off;
    for (uint16_t c : lits_[k].lit.cls) lits_[k].eff.push_back((*lits_[k].lit.sets)[c].eff.data());
    max_off_ = std::max(max_off_, s.off);
    const int b = where[k];
    buckets_[static_cast<size_t>(b)].push_back(static_cast<uint32_t>(k));
    for (int j = 0; j < width; ++j) {
      const ByteSet& set = s.place[static_cast<size_t>(j)];
      for (uint32_t x = 0; x < 256; ++x)
        if (set.test(x)) fp_.add(j, b, static_cast<uint8_t>(x));
      if (j >= s.reach) fp_.any[j] = static_cast<uint8_t>(fp_.any[j] | (1u << b));
    }
  }

  // The pair index, worth it only for sets larger than a bucket's few.
  bucket_of_.resize(lits_.size());
  for (size_t k = 0; k < lits_.size(); ++k) bucket_of_[k] = static_cast<uint8_t>(where[k]);
  constexpr size_t kMaxPairEntries = size_t{1} << 18;
  if (width < 2 || lits_.size() <= static_cast<size_t>(kBuckets)) return;
  size_t entries = 0;
  for (const Shape& s : shapes) entries += s.place[0].count() * s.place[1].count();
  if (entries > kMaxPairEntries) return;
  pair_start_.assign(size_t{65536} + 1, 0);
  auto each_pair = [&](size_t k, auto&& fn) {
    const Shape& s = shapes[k];
    for (uint32_t x = 0; x < 256; ++x)
      if (s.place[0].test(x))
        for (uint32_t y = 0; y < 256; ++y)
          if (s.place[1].test(y)) fn(size_t{x} << 8 | y);
  };
  for (size_t k = 0; k < lits_.size(); ++k) each_pair(k, [&](size_t key) { ++pair_start_[key + 1]; });
  for (size_t key = 0; key < 65536; ++key) pair_start_[key + 1] += pair_start_[key];
  pair_lits_.resize(entries);
  std::vector<uint32_t> fill(pair_start_.begin(), pair_start_.end() - 1);
  // Bucket by bucket, as the scan without the index visits them.
  for (int b = 0; b < kBuckets; ++b)
    for (uint32_t k : buckets_[static_cast<size_t>(b)])
      each_pair(k, [&](size_t key) { pair_lits_[fill[key]++] = k; });
}

}  // namespace dravik::rx

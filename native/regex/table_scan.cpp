#include "regex/table_scan.hpp"

#include "regex/accelerator.hpp"

#include <algorithm>
#include <thread>

namespace dravik::rx {

namespace {
constexpr size_t kMaxPairsPerAnchor = 256;
constexpr size_t kMaxSpecials = 126;  // keys 128..253
}  // namespace

TableScanner::TableScanner(std::vector<Regex*> patterns) : patterns_(std::move(patterns)) {
  const size_t np = patterns_.size();
  max_off_.assign(np, 0);
  indexed_flag_.assign(np, 0);
  key16_.assign(kBmpSize, kOther);
  for (uint32_t c = 0; c < 128; ++c) key16_[c] = static_cast<uint8_t>(c);
  pair_bits_.assign(size_t{256} * 256 / 64, 0);
  bucket_of_.assign(size_t{256} * 256, 0);
  buckets_.emplace_back();  // bucket 0: none
  third_.push_back({});

  // Non-ASCII characters of small literal classes get keys of their own
  // (folded letters such as KELVIN SIGN); every other one shares kOther.
  uint8_t next_key = 128;
  auto small_non_ascii = [](const CharSet& cs, std::vector<uint32_t>& out) {
    out.clear();
    if (may_hold_astral(cs)) return false;
    for (size_t w = 2; w < cs.eff.size(); ++w) {
      uint64_t bits = cs.eff[w];
      while (bits) {
        out.push_back(static_cast<uint32_t>(w * 64 + static_cast<size_t>(std::countr_zero(bits))));
        bits &= bits - 1;
        if (out.size() > 8) return false;
      }
    }
    return true;
  };
  std::vector<uint32_t> chars, specials;
  for (Regex* r : patterns_)
    for (const auto& lit : r->compiled().literals)
      for (uint16_t s : lit) {
        const CharSet& cs = r->compiled().sets[s];
        if (!small_non_ascii(cs, chars)) continue;
        for (uint32_t c : chars)
          if (key16_[c] == kOther && next_key < 128 + kMaxSpecials) {
            key16_[c] = next_key++;
            specials.push_back(c);
          }
      }

  // The keys a class may stand for.
  auto keys_of = [&](const CharSet& cs, std::vector<uint8_t>& out) {
    out.clear();
    for (uint32_t c = 0; c < 128; ++c)
      if (cs.contains(c)) out.push_back(static_cast<uint8_t>(c));
    bool other = may_hold_astral(cs);
    for (size_t w = 2; w < cs.eff.size() && !other; ++w) {
      uint64_t bits = cs.eff[w];
      while (bits && !other) {
        const uint32_t c = static_cast<uint32_t>(w * 64 + static_cast<size_t>(std::countr_zero(bits)));
        bits &= bits - 1;
        if (key16_[c] == kOther) other = true;
      }
    }
    for (uint32_t c : specials)
      if (cs.contains(c)) out.push_back(key16_[c]);
    if (other) out.push_back(kOther);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
  };

  std::vector<uint8_t> ka, kb;
  for (size_t pi = 0; pi < np; ++pi) {
    const Compiled& c = patterns_[pi]->compiled();
    if (c.literals.empty()) continue;
    // Every literal must be indexed, or the pattern searches on its own.
    std::vector<std::pair<int, int>> anchors;  // (offset, width)
    bool all = true;
    for (const auto& lit : c.literals) {
      if (lit.size() == 1) {
        keys_of(c.sets[lit[0]], ka);
        if (ka.size() > 16) {
          all = false;
          break;
        }
        anchors.emplace_back(0, 1);
        continue;
      }
      int best = -1;
      double best_w = 2.0;
      for (size_t k = 0; k + 1 < lit.size(); ++k) {
        keys_of(c.sets[lit[k]], ka);
        keys_of(c.sets[lit[k + 1]], kb);
        if (ka.size() * kb.size() > kMaxPairsPerAnchor) continue;
        const double w = class_weight(c.sets[lit[k]]) * class_weight(c.sets[lit[k + 1]]);
        if (w < best_w) {
          best_w = w;
          best = static_cast<int>(k);
        }
      }
      if (best < 0) {
        all = false;
        break;
      }
      anchors.emplace_back(best, 2);
    }
    if (!all) continue;
    ++indexed_;
    indexed_flag_[pi] = 1;
    for (size_t li = 0; li < c.literals.size(); ++li) {
      const auto& lit = c.literals[li];
      const auto [off, width] = anchors[li];
      const Entry e{static_cast<uint16_t>(pi), static_cast<uint16_t>(li), static_cast<uint8_t>(off)};
      max_off_[pi] = std::max<uint8_t>(max_off_[pi], static_cast<uint8_t>(off));
      keys_of(c.sets[lit[static_cast<size_t>(off)]], ka);
      if (width == 1) {
        for (uint8_t k : ka) {
          single_bits_[k >> 6] |= uint64_t{1} << (k & 63);
          singles_[k].push_back(e);
        }
        continue;
      }
      keys_of(c.sets[lit[static_cast<size_t>(off) + 1]], kb);
      // The key after the pair, when the literal goes on (any, when not).
      std::array<uint64_t, 4> next{};
      if (static_cast<size_t>(off) + 2 < lit.size()) {
        std::vector<uint8_t> kc;
        keys_of(c.sets[lit[static_cast<size_t>(off) + 2]], kc);
        for (uint8_t k : kc) next[k >> 6] |= uint64_t{1} << (k & 63);
      } else {
        next.fill(~uint64_t{0});
      }
      for (uint8_t a : ka)
        for (uint8_t b : kb) {
          const uint32_t pair = (uint32_t{a} << 8) | b;
          pair_bits_[pair >> 6] |= uint64_t{1} << (pair & 63);
          if (bucket_of_[pair] == 0) {
            bucket_of_[pair] = static_cast<uint16_t>(buckets_.size());
            buckets_.emplace_back();
            third_.push_back({});
          }
          buckets_[bucket_of_[pair]].push_back(e);
          for (int w = 0; w < 4; ++w) third_[bucket_of_[pair]][w] |= next[w];
        }
    }
  }
}

template <class Ch>
void TableScanner::scan(const Ch* p, Py_ssize_t n, std::vector<Py_ssize_t>& out) const {
  size_t left = indexed_;
  auto confirm = [&](const Entry& e, Py_ssize_t i) {
    if (out[e.pattern] != kAbsent) return;  // already placed
    const Compiled& c = patterns_[e.pattern]->compiled();
    const auto& lit = c.literals[e.literal];
    const Py_ssize_t start = i - e.off;
    const Py_ssize_t len = static_cast<Py_ssize_t>(lit.size());
    if (start < 0 || start + len > n) return;
    for (Py_ssize_t k = 0; k < len; ++k)
      if (!c.sets[lit[static_cast<size_t>(k)]].contains(p[start + k])) return;
    // Every occurrence is indexed at or after i.
    out[e.pattern] = std::max<Py_ssize_t>(0, i - max_off_[e.pattern]);
    --left;
  };
  if (n == 0) return;
  const uint64_t* pairs = pair_bits_.data();
  uint8_t k0 = key(p[0]);
  for (Py_ssize_t i = 0; i < n && left > 0; ++i) {
    const uint8_t k1 = i + 1 < n ? key(p[i + 1]) : kOther;
    if ((single_bits_[k0 >> 6] >> (k0 & 63)) & 1)
      for (const Entry& e : singles_[k0]) confirm(e, i);
    const uint32_t pair = (uint32_t{k0} << 8) | k1;
    if (((pairs[pair >> 6] >> (pair & 63)) & 1) && i + 1 < n) {
      const uint16_t b = bucket_of_[pair];
      // The character after the pair rules most false hits out.
      const uint8_t k2 = i + 2 < n ? key(p[i + 2]) : kOther;
      if (i + 2 >= n || ((third_[b][k2 >> 6] >> (k2 & 63)) & 1))
        for (const Entry& e : buckets_[b]) confirm(e, i);
    }
    k0 = k1;
  }
}

void TableScanner::hints(PyObject* text, std::vector<Py_ssize_t>& out) const {
  const size_t np = patterns_.size();
  out.assign(np, kNoHint);
  if (indexed_ == 0) return;
  // Patterns whose literals could not all be indexed search on their own.
  for (size_t k = 0; k < np; ++k)
    if (indexed_flag_[k]) out[k] = kAbsent;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  const void* d = PyUnicode_DATA(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: scan(static_cast<const Py_UCS1*>(d), n, out); break;
    case PyUnicode_2BYTE_KIND: scan(static_cast<const Py_UCS2*>(d), n, out); break;
    default: scan(static_cast<const Py_UCS4*>(d), n, out); break;
  }
}

int TableScanner::search_each(PyObject* text, std::vector<std::optional<Span>>& out) const {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(text) < 0) return -1;
#endif
  std::vector<Py_ssize_t> h;
  hints(text, h);
  out.assign(patterns_.size(), std::nullopt);
  for (size_t k = 0; k < patterns_.size(); ++k) {
    if (h[k] == kAbsent) continue;
    Span sp;
    int r;
    while ((r = patterns_[k]->search(text, 0, sp, h[k] > 0 ? h[k] : 0)) == kBusy) {
      Py_BEGIN_ALLOW_THREADS
      std::this_thread::yield();
      Py_END_ALLOW_THREADS
    }
    if (r < 0) return -1;
    if (r > 0) out[k] = sp;
  }
  return 0;
}

}  // namespace dravik::rx

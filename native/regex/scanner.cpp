// Several patterns over one text: one pass over the text tells which
// patterns have a required character in it; only those are searched.
#include "regex/regex.hpp"

namespace dravik::rx {

MultiScanner::MultiScanner(std::vector<Regex*> patterns) : patterns_(std::move(patterns)) {
  const size_t n = patterns_.size();
  all_ = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
  std::vector<std::vector<uint64_t>> bmp(std::min<size_t>(n, 64));
  for (size_t k = 0; k < n && k < 64; ++k) {
    const Compiled& c = patterns_[k]->compiled();
    if (c.required.empty()) {
      always_ |= uint64_t{1} << k;
      continue;
    }
    bmp[k].assign(kBmpSize / 64, 0);
    for (uint16_t s : c.required) {
      const CharSet& cs = c.sets[s];
      for (size_t w = 0; w < bmp[k].size(); ++w) bmp[k][w] |= cs.eff[w];
    }
  }
  if (n > 64) always_ |= ~all_;
  // One 64-bit mask per BMP character, stored as deduplicated blocks of 256.
  top_.assign(256, 0);
  blocks_.clear();
  std::vector<uint64_t> block(256);
  for (uint32_t b = 0; b < 256; ++b) {
    for (uint32_t k = 0; k < 256; ++k) {
      const uint32_t c = (b << 8) | k;
      uint64_t m = 0;
      for (size_t q = 0; q < bmp.size(); ++q)
        if (!bmp[q].empty() && ((bmp[q][c >> 6] >> (c & 63)) & 1)) m |= uint64_t{1} << q;
      block[k] = m;
    }
    size_t found = blocks_.size() / 256;
    for (size_t e = 0; e * 256 < blocks_.size(); ++e) {
      if (std::equal(block.begin(), block.end(), blocks_.begin() + static_cast<std::ptrdiff_t>(e * 256))) {
        found = e;
        break;
      }
    }
    if (found == blocks_.size() / 256) blocks_.insert(blocks_.end(), block.begin(), block.end());
    top_[b] = static_cast<uint16_t>(found);
  }
  for (uint32_t c = 0; c < 256; ++c) latin1_[c] = blocks_[top_[0] * 256 + c];
}

uint64_t MultiScanner::mask_of(uint32_t c) const {
  if (c < kBmpSize) return blocks_[static_cast<size_t>(top_[c >> 8]) * 256 + (c & 255)];
  uint64_t m = 0;
  for (size_t k = 0; k < patterns_.size() && k < 64; ++k) {
    const Compiled& cp = patterns_[k]->compiled();
    for (uint16_t s : cp.required)
      if (cp.sets[s].contains(c)) {
        m |= uint64_t{1} << k;
        break;
      }
  }
  return m;
}

template <class Ch>
uint64_t MultiScanner::presence(const Ch* p, Py_ssize_t n) const {
  const uint64_t want = all_ & ~always_;
  uint64_t acc = 0;
  Py_ssize_t i = 0;
  constexpr Py_ssize_t kChunk = 4096;
  while (i < n) {
    const Py_ssize_t stop = std::min(n, i + kChunk);
    uint64_t a0 = 0, a1 = 0, a2 = 0, a3 = 0;
    if constexpr (sizeof(Ch) == 1) {
      for (; i + 4 <= stop; i += 4) {
        a0 |= latin1_[p[i]];
        a1 |= latin1_[p[i + 1]];
        a2 |= latin1_[p[i + 2]];
        a3 |= latin1_[p[i + 3]];
      }
      for (; i < stop; ++i) a0 |= latin1_[p[i]];
    } else {
      for (; i < stop; ++i) {
        const uint32_t c = p[i];
        a0 |= c < 256 ? latin1_[c] : mask_of(c);
      }
    }
    acc |= a0 | a1 | a2 | a3;
    if ((acc & want) == want) break;
  }
  return (acc & all_) | always_;
}

uint64_t MultiScanner::candidates(PyObject* text) const {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  const void* d = PyUnicode_DATA(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return presence(static_cast<const Py_UCS1*>(d), n);
    case PyUnicode_2BYTE_KIND: return presence(static_cast<const Py_UCS2*>(d), n);
    default: return presence(static_cast<const Py_UCS4*>(d), n);
  }
}

uint64_t MultiScanner::quick_candidates(PyObject* text) const {
  // Wider text: each pattern's own vectorised requirement check is faster
  // than a per-character table walk over all of them.
  if (PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND) return ~uint64_t{0};
  return candidates(text);
}

int MultiScanner::search_each(PyObject* text, std::vector<std::optional<Span>>& out) {
  const uint64_t cand = quick_candidates(text);
  out.assign(patterns_.size(), std::nullopt);
  for (size_t k = 0; k < patterns_.size(); ++k) {
    if (k < 64 && !((cand >> k) & 1)) continue;
    Span sp;
    const int r = patterns_[k]->search(text, 0, sp);
    if (r < 0) return -1;
    if (r > 0) out[k] = sp;
  }
  return 0;
}

}  // namespace dravik::rx

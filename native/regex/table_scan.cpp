#include "regex/table_scan.hpp"

#include <thread>

namespace dravik::rx {

TableScanner::TableScanner(std::vector<Regex*> patterns) : patterns_(std::move(patterns)) {
  const size_t np = patterns_.size();
  max_off_.assign(np, -1);
  buckets_of_.assign(np, 0);
  std::vector<LiteralSet::Literal> lits;
  for (size_t pi = 0; pi < np; ++pi) {
    const Compiled& c = patterns_[pi]->compiled();
    if (c.literals.empty()) continue;
    ++indexed_;
    for (const auto& cls : c.literals) {
      lits.push_back(LiteralSet::Literal{&c.sets, cls});
      owner_.push_back(static_cast<uint32_t>(pi));
    }
  }
  set_.build(std::move(lits));
  for (int b = 0; b < kBuckets; ++b)
    for (uint32_t k : set_.bucket(b)) buckets_of_[owner_[k]] = static_cast<uint8_t>(buckets_of_[owner_[k]] | (1u << b));
  for (size_t k = 0; k < owner_.size(); ++k) max_off_[owner_[k]] = std::max(max_off_[owner_[k]], set_.offset(k));
}

template <class Ch>
void TableScanner::scan(const Ch* p, Py_ssize_t n, std::vector<Py_ssize_t>& out) const {
  // Patterns still unplaced, per bucket; a bucket without any is dropped.
  int open[kBuckets] = {};
  for (size_t pi = 0; pi < patterns_.size(); ++pi)
    for (uint8_t b = buckets_of_[pi]; b; b &= static_cast<uint8_t>(b - 1)) ++open[std::countr_zero(b)];
  Fingerprints f = set_.fingerprints();
  size_t left = indexed_;
  set_.each(p, n, f, [&](size_t k, Py_ssize_t start) {
    const uint32_t pi = owner_[k];
    if (out[pi] != kAbsent) return false;  // already placed
    // Windows come in order: every occurrence of the pattern's literals has
    // its window here or later.
    out[pi] = std::max<Py_ssize_t>(0, start + set_.offset(k) - max_off_[pi]);
    for (uint8_t b = buckets_of_[pi]; b; b &= static_cast<uint8_t>(b - 1)) {
      const int bi = std::countr_zero(b);
      if (--open[bi] == 0) f.drop(bi);
    }
    return --left == 0;
  });
}

void TableScanner::hints(PyObject* text, std::vector<Py_ssize_t>& out) const {
  const size_t np = patterns_.size();
  out.assign(np, kNoHint);
  if (indexed_ == 0) return;
  for (size_t k = 0; k < np; ++k)
    if (max_off_[k] >= 0) out[k] = kAbsent;
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

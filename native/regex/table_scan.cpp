#include "regex/table_scan.hpp"
#include "common/str_ready.hpp"

#include <thread>

namespace dravik::rx {

bool TableScanner::init(Regex* const* patterns, size_t np) {
  n_ = 0;
  size_t nl = 0;
  for (size_t pi = 0; pi < np; ++pi) nl += patterns[pi]->compiled().literals.size();
  if (!patterns_.allocate(np) || !max_off_.allocate_filled(np, -1) || !buckets_of_.allocate_zeroed(np) ||
      !one_offset_.allocate_filled(np, 1) || !lits_.allocate(nl) || !owner_.allocate(nl))
    return false;
  size_t k = 0;
  for (size_t pi = 0; pi < np; ++pi) {
    patterns_[pi] = patterns[pi];
    const Compiled& c = patterns[pi]->compiled();
    for (const auto& cls : c.literals) {
      lits_[k] = LiteralSet::Literal{&c.sets, &cls};
      owner_[k++] = static_cast<uint32_t>(pi);
    }
  }
  if (!set_.build(lits_.data(), nl)) return false;
  for (int b = 0; b < kBuckets; ++b)
    for (uint32_t j : set_.bucket(b)) buckets_of_[owner_[j]] = static_cast<uint8_t>(buckets_of_[owner_[j]] | (1u << b));
  for (size_t j = 0; j < nl; ++j) max_off_[owner_[j]] = std::max(max_off_[owner_[j]], set_.offset(j));
  for (size_t j = 0; j < nl; ++j)
    if (set_.offset(j) != max_off_[owner_[j]]) one_offset_[owner_[j]] = 0;
  n_ = np;
  return true;
}

template <class Ch>
bool TableScanner::scan(const Ch* p, Py_ssize_t n, Array<TableAnswer>& out) const {
  const size_t np = n_;
  // The searches this scan drives, each claimed for the whole scan.
  Array<uint8_t> driven;
  Array<Py_ssize_t> at;  // where each driven search is idle
  if (!driven.allocate_zeroed(np) || !at.allocate_zeroed(np)) return false;
  int open[kBuckets] = {};
  size_t left = 0;
  for (size_t pi = 0; pi < np; ++pi) {
    if (max_off_[pi] < 0 || !patterns_[pi]->try_claim()) continue;
    driven[pi] = 1;
    ++left;
    for (uint8_t b = buckets_of_[pi]; b; b &= static_cast<uint8_t>(b - 1)) ++open[std::countr_zero(b)];
  }
  Fingerprints f = set_.fingerprints();
  for (int b = 0; b < kBuckets; ++b)
    if (open[b] == 0) f.drop(b);
  bool failed = false;
  auto settle = [&](size_t pi, TableAnswer::Kind kind, const Span& span) {
    out[pi].kind = kind;
    out[pi].span = span;
    driven[pi] = 2;
    for (uint8_t b = buckets_of_[pi]; b; b &= static_cast<uint8_t>(b - 1)) {
      const int bi = std::countr_zero(b);
      if (--open[bi] == 0) f.drop(bi);
    }
    --left;
  };
  if (left > 0) {
    set_.each(p, n, f, [&](size_t k, Py_ssize_t start) {
      const uint32_t pi = owner_[k];
      if (driven[pi] != 1 || start < at[pi]) return false;
      // Every occurrence the search has not passed yet has its window here
      // or later, so none starts before window - max_off; with all windows
      // at one offset, this is the next occurrence.
      const Py_ssize_t window = start + set_.offset(k);
      Regex& rx = *patterns_[pi];
      Span span;
      const int r = one_offset_[pi]
                        ? rx.drive(p, n, at[pi], start, window, start, span)
                        : rx.drive(p, n, at[pi], std::max(at[pi], window - max_off_[pi]),
                                   std::min(n - 1, window + rx.literal_reach()), -2, span);
      if (r == 1) settle(pi, TableAnswer::kFound, span);
      else if (r == 0) settle(pi, TableAnswer::kNone, span);
      else if (r != Regex::kSuspended) failed = true;
      return failed || left == 0;
    });
  }
  // A search still waiting saw no occurrence it had not passed: no match.
  for (size_t pi = 0; pi < np; ++pi) {
    if (driven[pi] == 0) continue;
    if (driven[pi] == 1) out[pi].kind = TableAnswer::kNone;
    patterns_[pi]->release();
  }
  if (failed)
    for (size_t pi = 0; pi < np; ++pi) out[pi] = TableAnswer();
  return true;
}

bool TableScanner::answers(PyObject* text, Array<TableAnswer>& out) const {
  if (!out.allocate_filled(n_, TableAnswer())) return false;
  if (set_.empty()) return true;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  const void* d = PyUnicode_DATA(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return scan(static_cast<const Py_UCS1*>(d), n, out);
    case PyUnicode_2BYTE_KIND: return scan(static_cast<const Py_UCS2*>(d), n, out);
    default: return scan(static_cast<const Py_UCS4*>(d), n, out);
  }
}

int TableScanner::search_each(PyObject* text, Array<std::optional<Span>>& out) const {
#if PY_VERSION_HEX < 0x030C0000
  if (str_ready(text) < 0) return -1;
#endif
  Array<TableAnswer> a;
  bool ok;
  if (PyUnicode_GET_LENGTH(text) >= kReleaseGilAt) {
    Py_BEGIN_ALLOW_THREADS
    ok = answers(text, a);
    Py_END_ALLOW_THREADS
  } else {
    ok = answers(text, a);
  }
  if (!ok || !out.allocate_filled(n_, std::nullopt)) {
    PyErr_NoMemory();
    return -1;
  }
  for (size_t k = 0; k < n_; ++k) {
    if (a[k].kind == TableAnswer::kNone) continue;
    if (a[k].kind == TableAnswer::kFound) {
      out[k] = a[k].span;
      continue;
    }
    Span sp;
    int r;
    while ((r = patterns_[k]->search(text, 0, sp)) == kBusy) {
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

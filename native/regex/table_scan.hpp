// One pass over a text for all the patterns of a table.
//
// The required literals (see literals.hpp) of every pattern that has them
// go into one literal set (multi_literal.hpp).  A single scan over the text
// reports their occurrences in order; at each occurrence of a pattern still
// open, that pattern's own search is driven on from where it stood (its
// automaton run from the start of the occurrence's run, as its own search
// would), until it has its answer or waits for a later occurrence.  A
// bucket of the scan is dropped once all its patterns are answered, and
// the scan ends when all are.  A pattern without literals, or one another
// thread's search holds, is left to search on its own.
#pragma once

#include "regex/multi_literal.hpp"
#include "regex/regex.hpp"

#include "common/arrays.hpp"

#include <optional>

namespace dravik::rx {

struct TableAnswer {
  enum Kind : uint8_t { kSearch, kNone, kFound };
  Kind kind = kSearch;  // kSearch: not answered by the scan; search as usual
  Span span;            // kFound: re's first match
};

class TableScanner {
 public:
  TableScanner() = default;
  TableScanner(const TableScanner&) = delete;
  TableScanner& operator=(const TableScanner&) = delete;

  // For these patterns, which must outlive the scanner; false when out of
  // memory (the scanner then answers nothing: every pattern searches on its
  // own).
  bool init(Regex* const* patterns, size_t n);

  // Per pattern, in order, what the one pass tells.  `text` is a ready str;
  // touches no Python object beyond reading it (may run without the GIL).
  // Should a driven search meet the impossible internal error, every
  // pattern is left to search on its own (which reports it).  False when
  // out of memory (no exception set: the GIL may not be held).
  bool answers(PyObject* text, Array<TableAnswer>& out) const;

  // The first match of every pattern, in order (nullopt for none); -1 with
  // an exception set on failure.
  int search_each(PyObject* text, Array<std::optional<Span>>& out) const;

  size_t size() const { return n_; }

 private:
  template <class Ch>
  bool scan(const Ch* p, Py_ssize_t n, Array<TableAnswer>& out) const;

  size_t n_ = 0;
  Array<Regex*> patterns_;
  LiteralSet set_;
  Array<LiteralSet::Literal> lits_;  // what set_ was built from
  Array<uint32_t> owner_;            // per literal: its pattern
  Array<int> max_off_;               // per pattern: its literals' largest window offset (-1: none)
  Array<uint8_t> buckets_of_;        // per pattern: the buckets holding its literals
  Array<uint8_t> one_offset_;        // per pattern: all its literals' windows at one offset
};

}  // namespace dravik::rx

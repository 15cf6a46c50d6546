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

#include <optional>

namespace dravik::rx {

struct TableAnswer {
  enum Kind : uint8_t { kSearch, kNone, kFound };
  Kind kind = kSearch;  // kSearch: not answered by the scan; search as usual
  Span span;            // kFound: re's first match
};

class TableScanner {
 public:
  // The patterns must outlive the scanner.
  explicit TableScanner(std::vector<Regex*> patterns);

  // Per pattern, in order, what the one pass tells.  `text` is a ready str;
  // touches no Python object beyond reading it (may run without the GIL).
  // Should a driven search meet the impossible internal error, every
  // pattern is left to search on its own (which reports it).
  void answers(PyObject* text, std::vector<TableAnswer>& out) const;

  // The first match of every pattern, in order (nullopt for none).
  int search_each(PyObject* text, std::vector<std::optional<Span>>& out) const;

  const std::vector<Regex*>& patterns() const { return patterns_; }

 private:
  template <class Ch>
  void scan(const Ch* p, Py_ssize_t n, std::vector<TableAnswer>& out) const;

  std::vector<Regex*> patterns_;
  LiteralSet set_;
  std::vector<uint32_t> owner_;        // per literal: its pattern
  std::vector<int> max_off_;           // per pattern: its literals' largest window offset (-1: none)
  std::vector<uint8_t> buckets_of_;    // per pattern: the buckets holding its literals
  std::vector<char> one_offset_;       // per pattern: all its literals' windows at one offset
};

}  // namespace dravik::rx

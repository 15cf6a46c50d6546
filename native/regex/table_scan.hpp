// One pass over a text for all the patterns of a table.
//
// The required literals (see literals.hpp) of every pattern that has them
// go into one literal set (multi_literal.hpp); a single scan tells, for each
// such pattern, that it cannot match (none of its literals occurs) or from
// where its own search need look for them.  A bucket of the scan is dropped
// once all its patterns are placed, and the scan ends when all are.
// Patterns without literals search as usual.
#pragma once

#include "regex/multi_literal.hpp"
#include "regex/regex.hpp"

#include <optional>

namespace dravik::rx {

inline constexpr Py_ssize_t kNoHint = -2;  // no literal requirement indexed: search as usual
inline constexpr Py_ssize_t kAbsent = -1;  // a required literal is absent: no match

class TableScanner {
 public:
  // The patterns must outlive the scanner.
  explicit TableScanner(std::vector<Regex*> patterns);

  // out[k]: kNoHint, kAbsent, or a position before which none of pattern
  // k's literals starts (for Regex::search's `literal_floor`).  `text` is a
  // ready str; touches no Python object beyond reading it.
  void hints(PyObject* text, std::vector<Py_ssize_t>& out) const;

  // The first match of every pattern, in order (nullopt for none).
  int search_each(PyObject* text, std::vector<std::optional<Span>>& out) const;

  const std::vector<Regex*>& patterns() const { return patterns_; }

 private:
  template <class Ch>
  void scan(const Ch* p, Py_ssize_t n, std::vector<Py_ssize_t>& out) const;

  std::vector<Regex*> patterns_;
  LiteralSet set_;
  std::vector<uint32_t> owner_;        // per literal: its pattern
  std::vector<int> max_off_;           // per pattern: its literals' largest window offset
  std::vector<uint8_t> buckets_of_;    // per pattern: the buckets holding its literals
  size_t indexed_ = 0;                 // patterns with literals
};

}  // namespace dravik::rx

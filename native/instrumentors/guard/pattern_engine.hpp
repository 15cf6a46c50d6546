// The one place where the guard runs its patterns.  Everything that
// searches or substitutes goes through these calls, so the detectors and
// the redaction do not depend on which engine runs a pattern.
#pragma once

#include "instrumentors/guard/state.hpp"
#include "regex/regex.hpp"
#include "regex/table_scan.hpp"

#include <memory>
#include <vector>

namespace dravik::guard {

// Searches `text` with `pattern`: 1 when a (true) match is found, 0 when
// not, -1 on error.  With `matched` given, the whole matched text is kept
// there.
int engine_search(State* st, PyObject* pattern, PyObject* text, Ref* matched);

// `text` with every non-overlapping match of `pattern` replaced by
// `literal`, taken verbatim (no group references, no escapes).
Ref engine_replace_all(State* st, PyObject* pattern, PyObject* text, PyObject* literal);

// The searches of a detector over one table: one pass over the text for all
// the patterns the engine runs answers those with required literals (see
// regex/table_scan.hpp); each entry is then searched in table order as
// engine_search would, with the same results, the answers standing in for
// the searches they stand for.
class TableSearch {
 public:
  // `patterns`: the table's pattern objects in order (null where an entry
  // gives none); they stay referenced by the caller.  -1 on error.
  int prepare(State* st, std::vector<PyObject*> patterns, PyObject* text);
  // engine_search for entry `k`, whose pattern object is `pattern` (when it
  // is not the prepared one, the entry is searched on its own).
  int search(State* st, size_t k, PyObject* pattern, PyObject* text, Ref* matched);

 private:
  std::vector<PyObject*> patterns_;
  // Per entry: its engine form (null: not native), alive while the entry's
  // pattern object is (the caller holds it); and the one pass's answer.
  std::vector<rx::Regex*> regexes_;
  std::vector<rx::TableAnswer> answers_;
  bool long_text_ = false;
};

}  // namespace dravik::guard

// The one place where the guard runs its patterns.  Everything that
// searches or substitutes goes through these calls, so the detectors and
// the redaction do not depend on which engine runs a pattern.
#pragma once

#include "instrumentors/guard/state.hpp"

namespace dravik::guard {

// Searches `text` with `pattern`: 1 when a (true) match is found, 0 when
// not, -1 on error.  With `matched` given, the whole matched text is kept
// there.
int engine_search(State* st, PyObject* pattern, PyObject* text, Ref* matched);

// `text` with every non-overlapping match of `pattern` replaced by
// `literal`, taken verbatim (no group references, no escapes).
Ref engine_replace_all(State* st, PyObject* pattern, PyObject* text, PyObject* literal);

}  // namespace dravik::guard

// The one place where the guard runs its patterns.  Everything that
// searches or substitutes goes through these three calls, so the scanning
// engine can change here without touching the detectors or the redaction.
#pragma once

#include "instrumentors/guard/state.hpp"

namespace dravik::guard {

// Searches `text` with `pattern`: 1 when a (true) match is found, 0 when
// not, -1 on error.  With `match` given, the match object is kept there.
int engine_search(State* st, PyObject* pattern, PyObject* text, Ref* match);

// The whole matched text (group 0) of a match from `engine_search`.
Ref engine_match_text(State* st, PyObject* match);

// `text` with every non-overlapping match of `pattern` replaced by
// `literal`, taken verbatim (no group references, no escapes).
Ref engine_replace_all(State* st, PyObject* pattern, PyObject* text, PyObject* literal);

}  // namespace dravik::guard

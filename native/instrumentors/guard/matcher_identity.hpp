// Whether difflib's SequenceMatcher, as found at call time, is still the
// standard library's own: only then may the native diff stand in for it.
#pragma once

#include "instrumentors/guard/helpers.hpp"

namespace dravik::guard {

// 1 when `matcher` is the class first seen (which had to be difflib's own
// class, defined by difflib's code), and neither its methods nor
// difflib.Match have been replaced since; 0 otherwise; -1 on error.
int is_original_matcher(State* st, PyObject* matcher);

}  // namespace dravik::guard

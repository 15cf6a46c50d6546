// str.replace(found, placeholder) on exact strings, in one pass, telling
// where the occurrences were.
#pragma once

#include "common/refs.hpp"
#include "common/arrays.hpp"

namespace dravik::guard {

// text with every occurrence of found (non-empty; left to right, not
// overlapping, as str.replace takes them) replaced by placeholder; `at`
// receives the occurrences' starts in text.  The text itself (a new
// reference) when there is none.  NULL with an exception set on failure.
Ref replace_literal(PyObject* text, PyObject* found, PyObject* placeholder, Vec<Py_ssize_t>& at);

}  // namespace dravik::guard

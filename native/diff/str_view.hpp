// A str's characters in place, for a diff that may run with the GIL released
// (a str never changes, and the caller keeps a reference to it).
#pragma once

#include "common/refs.hpp"
#include "common/str_ready.hpp"
#include "diff/matching_blocks.hpp"

namespace dravik::diff {

// -1 with an exception set when the string cannot be read in place.
inline int str_view(PyObject* s, CharView& out) {
  if (str_ready(s) < 0) return -1;
  out.kind = PyUnicode_KIND(s);
  out.data = PyUnicode_DATA(s);
  out.length = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
  return 0;
}

}  // namespace dravik::diff

// `a, b = obj` with the interpreter's own errors.
#pragma once

#include "common/refs.hpp"

namespace dravik {

// Unpacks exactly two values from `obj`; -1 with TypeError or ValueError
// worded as the interpreter words them.
int unpack2(PyObject* obj, Ref& a, Ref& b);

}  // namespace dravik

// The detection tables, compiled with the standard `re` module at import.
#pragma once

#include "common/refs.hpp"

namespace dravik::guard {

// Each returns a new reference, or NULL with an exception set.
PyObject* build_pii_patterns(PyObject* re_module);
PyObject* build_credential_patterns(PyObject* re_module);
PyObject* build_injection_patterns(PyObject* re_module);

}  // namespace dravik::guard

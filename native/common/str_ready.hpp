// Reading a str in place, and the truth of common values.
#pragma once

#include <Python.h>

namespace dravik {

// Strings built through the legacy wide-character API are only readable in
// place once made ready (3.12 removed that representation); -1 with an
// exception set on failure.
inline int str_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(s);
#else
  (void)s;
  return 0;
#endif
}

// Whether `s` can be read in place as it is (no failure possible).
inline bool str_is_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_IS_READY(s) != 0;
#else
  (void)s;
  return true;
#endif
}

// An exact str of ASCII characters only, readable in place.
inline bool is_ascii_str(PyObject* s) { return PyUnicode_CheckExact(s) && str_is_ready(s) && PyUnicode_IS_ASCII(s); }

// bool(v); the values that decide it by identity or by length (None, the
// two bools, exact str) without a call.
inline int truth(PyObject* v) {
  if (v == Py_True) return 1;
  if (v == Py_False || v == Py_None) return 0;
  if (PyUnicode_CheckExact(v) && str_is_ready(v)) return PyUnicode_GET_LENGTH(v) != 0 ? 1 : 0;
  return PyObject_IsTrue(v);
}

}  // namespace dravik

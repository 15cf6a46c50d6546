// Interned strings kept in a module's state.
#pragma once

#include "common/refs.hpp"

namespace dravik {

// Fills `out[i]` with the interned form of `texts[i]`.
inline int intern_all(PyObject** out, const char* const* texts, int n) {
  for (int i = 0; i < n; ++i) {
    out[i] = PyUnicode_InternFromString(texts[i]);
    if (out[i] == nullptr) return -1;
  }
  return 0;
}

// A tuple of the interned forms of the NULL-terminated `texts`.
inline PyObject* str_tuple(const char* const* texts) {
  Py_ssize_t n = 0;
  while (texts[n] != nullptr) ++n;
  Ref t = Ref::steal(PyTuple_New(n));
  if (!t) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* s = PyUnicode_InternFromString(texts[i]);
    if (s == nullptr) return nullptr;
    PyTuple_SET_ITEM(t.get(), i, s);
  }
  return t.release();
}

inline int visit_all(PyObject** objs, int n, visitproc visit, void* arg) {
  for (int i = 0; i < n; ++i) Py_VISIT(objs[i]);
  return 0;
}

inline void clear_all(PyObject** objs, int n) {
  for (int i = 0; i < n; ++i) Py_CLEAR(objs[i]);
}

}  // namespace dravik

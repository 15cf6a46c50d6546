// Small call helpers over vectorcall.
#pragma once

#include "common/refs.hpp"

namespace dravik {

// callable(*args): a new reference, or NULL with an exception set.
template <class... A>
inline Ref call(PyObject* callable, A... args) {
  PyObject* argv[] = {nullptr, args...};
  return Ref::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args)
template <class... A>
inline Ref call_method(PyObject* obj, PyObject* name, A... args) {
  PyObject* argv[] = {obj, args...};
  return Ref::steal(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(**kwargs) with keyword names given as a tuple of str.
inline Ref call_kw(PyObject* callable, PyObject* const* values, PyObject* kwnames) {
  return Ref::steal(PyObject_Vectorcall(callable, values, 0, kwnames));
}

}  // namespace dravik

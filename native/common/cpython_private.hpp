// The interpreter's private or unstable surface, in one place.
//
// Everything here leans on an internal layout or a name outside the stable
// C API, and is known for CPython 3.10 to 3.13:
//   - dict_new_presized: _PyDict_NewPresized (a dict sized for n items);
//   - type_version_tag / type_version_valid: tp_version_tag, and before 3.12
//     the Py_TPFLAGS_VALID_VERSION_TAG flag and _PyType_Lookup, which assigns
//     a tag through the method cache (PyUnstable_Type_AssignVersionTag from
//     3.12);
//   - dict_version_tag: PyDictObject.ma_version_tag (before 3.12 only; from
//     3.12 the dict watchers replace it);
//   - mappingproxy_target: the object layout of types.MappingProxyType;
//   - function_builtins: PyFunctionObject.func_builtins (the builtins its
//     global lookups fall back to, fixed when the function is made).
// A new interpreter version stops the build here until each of them has been
// checked against it.
#pragma once

#include "common/refs.hpp"

#include <cstdint>

#if PY_VERSION_HEX < 0x030A0000 || PY_VERSION_HEX >= 0x030E0000
#error "dravik_observe's native core supports CPython 3.10 to 3.13: the private interpreter internals in native/common/cpython_private.hpp have not been checked against this version"
#endif

namespace dravik::cpython {

inline PyObject* dict_new_presized(Py_ssize_t n) { return _PyDict_NewPresized(n); }

// True while the type's version tag is valid and equal to `version` (any
// change to the type or a base resets it).
inline bool type_version_valid(PyTypeObject* tp, unsigned int version) {
  if (tp->tp_version_tag == 0 || tp->tp_version_tag != version) return false;
#if PY_VERSION_HEX < 0x030C0000
  if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return false;
#endif
  return true;
}

// Gives the type a valid version tag and returns it; 0 when none can be had
// (with an exception set only on a real error).
inline unsigned int type_version_tag(PyTypeObject* tp, PyObject* some_name) {
#if PY_VERSION_HEX >= 0x030C0000
  (void)some_name;
  if (!PyUnstable_Type_AssignVersionTag(tp)) return 0;
#else
  // The method cache assigns the tag on a lookup.
  if (_PyType_Lookup(tp, some_name) == nullptr && PyErr_Occurred()) return 0;
  if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
  return tp->tp_version_tag;
}

#if PY_VERSION_HEX < 0x030C0000
// Changes on every mutation of the dict.
inline std::uint64_t dict_version_tag(PyObject* dict) {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// The mapping a types.MappingProxyType object wraps (borrowed).
inline PyObject* mappingproxy_target(PyObject* proxy) {
  struct Layout {
    PyObject_HEAD
    PyObject* mapping;
  };
  return reinterpret_cast<Layout*>(proxy)->mapping;
}

// The builtins dict a function's global lookups fall back to (borrowed).
inline PyObject* function_builtins(PyObject* fn) { return reinterpret_cast<PyFunctionObject*>(fn)->func_builtins; }

}  // namespace dravik::cpython

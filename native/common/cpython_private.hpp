// The interpreter's private or unstable surface, in one place.
//
// Everything here leans on an internal layout or a name outside the stable
// C API, and is known for CPython 3.10 to 3.13:
//   - dict_new_presized: _PyDict_NewPresized (a dict sized for n items);
//   - type_version_tag / type_version_valid: tp_version_tag, and before 3.12
//     the Py_TPFLAGS_VALID_VERSION_TAG flag and _PyType_Lookup, which assigns
//     a tag through the method cache (PyUnstable_Type_AssignVersionTag from
//     3.12);
//   - dict_version_tag: PyDictObject.ma_version_tag (deprecated from 3.12,
//     still set on every change up to 3.13; its low bits carry watcher
//     flags, which change only with a change of the dict either);
//   - mappingproxy_target: the object layout of types.MappingProxyType;
//   - long_as_unsigned_bytes: _PyLong_AsByteArray before 3.13 (from 3.13
//     the public PyLong_AsNativeBytes);
//   - function_builtins: PyFunctionObject.func_builtins (the builtins its
//     global lookups fall back to, fixed when the function is made);
//   - instance_dict: the instance dict at tp_dictoffset (3.10 only: from
//     3.11 most classes keep their instances' attributes elsewhere).
// A new interpreter version stops the build here until each of them has been
// checked against it.
#pragma once

#include "common/refs.hpp"

#include <cstddef>
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

// Changes on every mutation of the dict, to a value no other change of any
// dict has had: an equal tag means the dict is unchanged.
inline std::uint64_t dict_version_tag(PyObject* dict) {
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

// The mapping a types.MappingProxyType object wraps (borrowed).
inline PyObject* mappingproxy_target(PyObject* proxy) {
  struct Layout {
    PyObject_HEAD
    PyObject* mapping;
  };
  return reinterpret_cast<Layout*>(proxy)->mapping;
}

// The value of an int in [0, 2**(8*n)) as n little-endian bytes: 1; 0 when
// it is negative or wider (no exception left set); -1 on error.
inline int long_as_unsigned_bytes(PyObject* v, unsigned char* out, std::size_t n) {
#if PY_VERSION_HEX >= 0x030D0000
  const Py_ssize_t need = PyLong_AsNativeBytes(v, out, static_cast<Py_ssize_t>(n),
                                               Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
                                                   Py_ASNATIVEBYTES_REJECT_NEGATIVE);
  if (need < 0) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return need <= static_cast<Py_ssize_t>(n) ? 1 : 0;
#else
  if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(v), out, n, 1, 0) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return 1;
#endif
}

// The builtins dict a function's global lookups fall back to (borrowed).
inline PyObject* function_builtins(PyObject* fn) { return reinterpret_cast<PyFunctionObject*>(fn)->func_builtins; }

// The dict the generic attribute lookup reads for `obj` (borrowed), when
// its class places it at a fixed offset; NULL otherwise or when it has none.
inline PyObject* instance_dict(PyObject* obj) {
#if PY_VERSION_HEX < 0x030B0000
  const Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
  if (offset <= 0) return nullptr;
  PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
  return dict != nullptr && PyDict_Check(dict) ? dict : nullptr;
#else
  (void)obj;
  return nullptr;
#endif
}

}  // namespace dravik::cpython

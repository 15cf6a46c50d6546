// Module-definition helpers shared by the extensions.
#pragma once

#include "common/refs.hpp"

namespace dravik {

// logging.getLogger(name)
inline Ref get_logger(const char* name) {
  Ref logging = Ref::steal(PyImport_ImportModule("logging"));
  if (!logging) return Ref();
  return Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", name));
}

// Adds `value` (a new reference, stolen) to the module; -1 on error.
inline int add_owned(PyObject* module, const char* name, PyObject* value) {
  Ref v = Ref::steal(value);
  if (!v) return -1;
  return PyModule_AddObjectRef(module, name, v.get());
}

}  // namespace dravik

#if PY_VERSION_HEX >= 0x030D0000
#define DRAVIK_MODULE_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define DRAVIK_MODULE_GIL_SLOT
#endif
#if PY_VERSION_HEX >= 0x030C0000
// Per-module state and heap types only; the modules keep no process-wide
// Python objects, but they rely on the shared GIL.
#define DRAVIK_MODULE_INTERP_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#else
#define DRAVIK_MODULE_INTERP_SLOT
#endif

// The slot list of a module with one exec function.
#define DRAVIK_MODULE_SLOTS(name, exec_fn) \
  static PyModuleDef_Slot name[] = {       \
      {Py_mod_exec, reinterpret_cast<void*>(exec_fn)}, DRAVIK_MODULE_INTERP_SLOT DRAVIK_MODULE_GIL_SLOT {0, nullptr}}

// The definition `def_name` of a multi-phase module whose state is `State`,
// with its exec, traverse, clear and free functions.
#define DRAVIK_MODULE_DEF(def_name, full_name, doc, State, methods, exec_fn, traverse_fn, clear_fn, free_fn) \
  DRAVIK_MODULE_SLOTS(def_name##_slots, exec_fn);                                                         \
  PyModuleDef def_name = {PyModuleDef_HEAD_INIT, full_name,   doc,         sizeof(State), methods,          \
                          def_name##_slots,      traverse_fn, clear_fn,    free_fn}

namespace dravik {

// m_free for a module whose state holds only references: clearing them is all.
template <int (*Clear)(PyObject*)>
void free_by_clearing(void* m) {
  Clear(static_cast<PyObject*>(m));
}

}  // namespace dravik

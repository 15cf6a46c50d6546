#include "common/lookup.hpp"

namespace dravik {

Ref import_module(PyObject* module_name) {
  Ref mod = Ref::steal(PyImport_GetModule(module_name));
  if (mod || PyErr_Occurred()) return mod;
  return Ref::steal(PyImport_Import(module_name));
}

Ref import_from(PyObject* module_name, PyObject* name) {
  Ref mod = Ref::steal(PyImport_GetModule(module_name));
  if (mod) {
    Ref v = Ref::steal(PyObject_GetAttr(mod.get(), name));
    if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    // The module may still be initialising on another thread: fall back to
    // the full import, which waits for it.
    PyErr_Clear();
  } else if (PyErr_Occurred()) {
    return Ref();
  }
  Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
  if (!fromlist) return Ref();
  mod = Ref::steal(PyImport_ImportModuleLevelObject(module_name, nullptr, nullptr, fromlist.get(), 0));
  if (!mod) return Ref();
  Ref v = Ref::steal(PyObject_GetAttr(mod.get(), name));
  if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
  PyErr_Clear();
  // `from package import submodule`
  Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, name));
  if (!full) return Ref();
  v = Ref::steal(PyImport_GetModule(full.get()));
  if (v || PyErr_Occurred()) return v;
  PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", name, module_name);
  return Ref();
}

}  // namespace dravik

#include "common/lookup.hpp"

namespace dravik {

bool exact_str_keys(PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    if (!PyUnicode_CheckExact(k)) return false;
  }
  return true;
}

void forget_globals(Function* f) {
  GlobalsCache& c = f->globals_cache;
  const int count = c.count;
  PyObject* names[GlobalsCache::kSlots];
  for (int i = 0; i < count; ++i) names[i] = c.names[i];
  c = GlobalsCache{};
  // Released once the cache is empty: names are str, but keep the order safe.
  for (int i = 0; i < count; ++i) Py_DECREF(names[i]);
}

void forget_import(KnownImport& k) {
  PyObject* held[] = {k.modules, k.module, k.module_dict};
  k = KnownImport{};
  // Released once the entry is empty: a release can run code.
  for (PyObject* o : held) Py_XDECREF(o);
}

void remember_import(KnownImport& k, PyObject* module, PyObject* value) {
  // Filled meanwhile (code run by a lookup): kept, since releasing it here
  // could run code that changes what was just read.
  if (k.value != nullptr) return;
  PyObject* modules = PyImport_GetModuleDict();
  if (modules == nullptr || !PyDict_CheckExact(modules) || !PyModule_CheckExact(module)) return;
  PyObject* dict = PyModule_GetDict(module);
  if (dict == nullptr || !PyDict_CheckExact(dict) || !exact_str_keys(modules) || !exact_str_keys(dict)) return;
  k.modules = Py_NewRef(modules);
  k.modules_version = cpython::dict_version_tag(modules);
  k.module = Py_NewRef(module);
  k.module_dict = Py_NewRef(dict);
  k.dict_version = cpython::dict_version_tag(dict);
  k.value = value;
}

int traverse_import(const KnownImport& k, visitproc visit, void* arg) {
  Py_VISIT(k.modules);
  Py_VISIT(k.module);
  Py_VISIT(k.module_dict);
  return 0;
}

Ref get_global_slow(Function* f, PyObject* name) {
  PyObject* globals = f->globals;
  const std::uint64_t version = cpython::dict_version_tag(globals);
  if (f->globals_cache.version != version) {
    forget_globals(f);
    f->globals_cache.usable = PyDict_CheckExact(globals) && exact_str_keys(globals);
    f->globals_cache.version = version;
  }
  PyObject* v = PyDict_GetItemWithError(globals, name);
  if (v == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
  }
  GlobalsCache& c = f->globals_cache;
  if (c.usable && PyUnicode_CheckExact(name) && c.version == cpython::dict_version_tag(globals)) {
    int slot = c.count;
    if (slot < GlobalsCache::kSlots) {
      ++c.count;
    } else {
      slot = c.next;
      c.next = (c.next + 1) % GlobalsCache::kSlots;
      Py_DECREF(c.names[slot]);  // a str: runs no code
    }
    c.names[slot] = Py_NewRef(name);
    c.values[slot] = v;
  }
  return Ref::borrow(v);
}

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

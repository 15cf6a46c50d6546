// Call-time lookups: module globals and host imports.
//
// Module functions find their tables, state and each other through the
// module namespace on every call, so a host that rebinds a module attribute
// changes the next call.  Host names are imported inside the call, served
// from sys.modules once the module is loaded.
#pragma once

#include "common/cpython_private.hpp"
#include "common/function.hpp"

namespace dravik {

// Whether every key of the exact dict `dict` is an exact str (a lookup of a
// str there then runs no code of its own).
bool exact_str_keys(PyObject* dict);

// The module global `name` looked up in the namespace, remembered for the
// function's next calls; NameError when it is missing.
Ref get_global_slow(Function* f, PyObject* name);

// The module global `name` of the function's module, or NameError.
inline Ref get_global(Function* f, PyObject* name) {
  const GlobalsCache& c = f->globals_cache;
  if (c.usable && c.version == cpython::dict_version_tag(f->globals)) {
    for (int i = 0; i < c.count; ++i) {
      if (c.names[i] == name) return Ref::borrow(c.values[i]);
    }
  }
  return get_global_slow(f, name);
}

// Releases what the function remembers of its module's globals.
void forget_globals(Function* f);

// `from <module> import <name>` as served from the module cache, remembered
// while both the cache and the module's namespace are unchanged (their
// version tags) and every key of both is an exact str, so that the lookups
// would find the same objects.
struct KnownImport {
  PyObject* modules;             // the module cache (strong)
  std::uint64_t modules_version;
  PyObject* module;              // strong
  PyObject* module_dict;         // strong
  std::uint64_t dict_version;
  PyObject* value;               // borrowed from module_dict while unchanged
};

// The remembered value (borrowed) while it still holds, else NULL.
inline PyObject* known_import(const KnownImport& k) {
  if (k.value == nullptr || k.modules != PyImport_GetModuleDict()) return nullptr;
  if (cpython::dict_version_tag(k.modules) != k.modules_version ||
      cpython::dict_version_tag(k.module_dict) != k.dict_version) {
    return nullptr;
  }
  return k.value;
}

// Remembers `value`, just read from the namespace of `module` (an exact
// module), itself just read from the module cache, into an entry emptied
// by forget_import before those reads.  Nothing is raised.
void remember_import(KnownImport& k, PyObject* module, PyObject* value);
void forget_import(KnownImport& k);
int traverse_import(const KnownImport& k, visitproc visit, void* arg);

// `import <module>` (the leaf module of a dotted name).
Ref import_module(PyObject* module_name);

// `from <module> import <name>`.
Ref import_from(PyObject* module_name, PyObject* name);

}  // namespace dravik

namespace dravik {

// getattr(obj, name) where a missing attribute is not an error:
// 1 and `out` set when found, 0 when absent, -1 on any other error.
inline int get_optional_attr(PyObject* obj, PyObject* name, Ref& out) {
  out = Ref::steal(PyObject_GetAttr(obj, name));
  if (out) return 1;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return 0;
  }
  return -1;
}

}  // namespace dravik

// Small helpers shared by the span-capture functions.
#pragma once

#include "common/binder.hpp"
#include "common/call.hpp"
#include "common/cpython_private.hpp"
#include "common/lookup.hpp"
#include "tracing/state.hpp"

namespace dravik::tracing {

inline State* state_of(Function* f) noexcept { return module_state<State>(f); }

// d.get(key, dflt) on an exact dict; NULL only on error.
inline Ref dict_get(PyObject* d, PyObject* key, PyObject* dflt = Py_None) {
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (v != nullptr) return Ref::borrow(v);
  if (PyErr_Occurred()) return Ref();
  return Ref::borrow(dflt);
}

// The first true value among `keys` of the exact dict `d`, else `dflt`.
template <class... K>
inline Ref first_true(PyObject* d, PyObject* dflt, K... keys) {
  for (PyObject* key : {keys...}) {
    Ref v = dict_get(d, key);
    if (!v) return Ref();
    const int t = PyObject_IsTrue(v.get());
    if (t < 0) return Ref();
    if (t) return v;
  }
  return Ref::borrow(dflt);
}

// a == b / a != b as the `==` and `!=` operators give them (no identity shortcut).
inline int compare(PyObject* a, PyObject* b, int op) {
  Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
  if (!r) return -1;
  if (r.get() == Py_True) return 1;
  if (r.get() == Py_False) return 0;
  return PyObject_IsTrue(r.get());
}

// format(value, format_spec)
inline Ref format_value(PyObject* value, PyObject* format_spec) { return Ref::steal(PyObject_Format(value, format_spec)); }

// Calls the module function bound to the global of `fn` at this moment.
// While that global is still the function made at import, it is called as
// one of the module's own (see call_native); otherwise whatever the host
// bound there is called like any callable.
template <class... A>
inline Ref call_fn(Function* self, State* st, Fn fn, A... args) {
  Ref g = get_global(self, st->names[kFnGlobal[fn]]);
  if (!g) return Ref();
  if (g.get() == st->original[fn]) {
    PyObject* argv[] = {args...};
    return call_native(g.get(), argv, static_cast<int>(sizeof...(A)));
  }
  return call(g.get(), args...);
}

// Reading a span's attribute mapping.  The SDK hands out a read-only proxy
// over its own container class, whose Python-level methods cost far more
// than the lookups themselves.  When the proxy and the container are the
// unmodified originals, the plain dict behind them answers every read
// exactly as the mapping protocol would; `backing_dict` returns it
// (borrowed), or NULL when the generic protocol must be used.
PyObject* backing_dict(State* st, PyObject* mapping);

// A reader over any attribute mapping: `get(key, dflt)` as mapping.get does.
struct AttrReader {
  Ref hold;                  // keeps `dict` alive while host code runs between reads
  PyObject* dict = nullptr;  // exact dict to read directly
  PyObject* obj = nullptr;   // otherwise the mapping itself
  State* st = nullptr;
  Ref get(PyObject* key, PyObject* dflt = Py_None) const {
    if (dict != nullptr) return dict_get(dict, key, dflt);
    return call_method(obj, st->names[N_m_get], key, dflt);
  }
};

// dict(mapping), with the fast route for the SDK's proxy.
Ref copy_mapping(State* st, PyObject* mapping);

// The truth value of an attribute mapping (its length, for the SDK's proxy).
int mapping_truth(State* st, PyObject* mapping);

// A module already in sys.modules (borrowed), or NULL without an error.
// The module cache is read directly: the exported lookup also checks
// whether the module is still being initialised, which costs more than the
// rest of a dropped span and matters only during the first import.
inline PyObject* loaded_module(PyObject* name) {
  PyObject* modules = PyImport_GetModuleDict();
  if (modules == nullptr || !PyDict_CheckExact(modules)) return nullptr;
  PyObject* mod = PyDict_GetItemWithError(modules, name);
  if (mod == nullptr) PyErr_Clear();
  return mod == Py_None ? nullptr : mod;
}

// `import <name>` at call time, served from the module cache.
inline Ref fresh_import(PyObject* name) {
  PyObject* mod = loaded_module(name);
  if (mod != nullptr) return Ref::borrow(mod);
  return import_module(name);
}

// `from <module> import <attr>` at call time, served from the module cache.
inline Ref fresh_import_from(PyObject* module_name, PyObject* attr) {
  PyObject* mod = loaded_module(module_name);
  if (mod != nullptr) {
    Ref held = Ref::borrow(mod);
    Ref v = Ref::steal(PyObject_GetAttr(held.get(), attr));
    if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    PyErr_Clear();
  }
  return import_from(module_name, attr);
}

// a == b where both types keep object's own comparison (identity), else the operator.
inline int equals(PyObject* a, PyObject* b) {
  const richcmpfunc base = PyBaseObject_Type.tp_richcompare;
  if (Py_TYPE(a)->tp_richcompare == base && Py_TYPE(b)->tp_richcompare == base) return a == b;
  Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  if (!r) return -1;
  return PyObject_IsTrue(r.get());
}

// getattr(obj, name) where absence is not an error, without raising and
// clearing an AttributeError on the way: 1 found, 0 absent, -1 error.
inline int lookup_attr(PyObject* obj, PyObject* attr, Ref& out) {
  return cpython::lookup_optional_attr(obj, attr, out);
}

// str.lower() of `s`; ASCII text is lowered here, anything else by the
// object's own method.
Ref lower_text(State* st, PyObject* s);

// format(value, "032x") / format(value, "016x") for span ids; `digits` is 32 or 16.
Ref hex_id(State* st, PyObject* value, int digits);

// The `value` of a span kind (an enumeration member), or the kind itself.
Ref span_kind_value(State* st, PyObject* kind);


inline bool starts_with(PyObject* s, PyObject* prefix) {
  return PyUnicode_Tailmatch(s, prefix, 0, PY_SSIZE_T_MAX, -1) == 1;
}

}  // namespace dravik::tracing

// Small building blocks shared by the guard's functions.
#pragma once

#include "common/unpack.hpp"

#include "common/call.hpp"
#include "common/lookup.hpp"
#include "instrumentors/guard/state.hpp"

namespace dravik::guard {

inline Ref global(Function* f, State* st, Name name) { return get_global(f, S(st, name)); }

// Calls the module global `name` with positional arguments.  While the
// global is still this module's own function and the arguments already have
// the declared types, its body runs directly: the binder would accept them
// unchanged, so the outcome is the same as a call through the global.
Ref call_global(Function* f, State* st, Name name, PyObject* const* args, int nargs);

// obj.get(key, default): exact dicts directly, anything else through its
// own `get` method.
Ref mapping_get(State* st, PyObject* obj, PyObject* key, PyObject* dflt);

// A new plain dict with the keys and values of `mapping` (a dict).
Ref plain_dict_copy(PyObject* mapping);


// A `str` subclass instance as the plain str it holds; anything else as is.
Ref plain_if_str_subclass(PyObject* obj);

// A list of the (key, value) pairs of `table.items()`, taken before any
// pattern code runs.
Ref items_snapshot(State* st, PyObject* table);

// The exception being handled, as an object, with the error indicator
// cleared.
Ref take_exception();

// a == b: 1, 0 or -1.
inline int equals(PyObject* a, PyObject* b) { return PyObject_RichCompareBool(a, b, Py_EQ); }

// The interpreter's `list.append` for lists, the object's own `append` otherwise.
int append_to(State* st, PyObject* seq, PyObject* item);

}  // namespace dravik::guard

namespace dravik::guard {

// `for item in seq: fn(item)`.  Lists are walked by index with the length
// read afresh at every step, as the list iterator does; anything else
// through its iterator.  `fn` returns 0, or -1 to stop with an error.
template <class Fn>
int for_each_item(PyObject* seq, Fn&& fn) {
  if (PyList_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(seq, i));
      if (fn(item.get()) < 0) return -1;
    }
    return 0;
  }
  Ref it = Ref::steal(PyObject_GetIter(seq));
  if (!it) return -1;
  while (true) {
    Ref item = Ref::steal(PyIter_Next(it.get()));
    if (!item) return PyErr_Occurred() ? -1 : 0;
    if (fn(item.get()) < 0) return -1;
  }
}

// f"{prefix}{value}{suffix}" (suffix may be NULL).
Ref format_into(State* st, PyObject* prefix, PyObject* value, PyObject* suffix = nullptr);

}  // namespace dravik::guard

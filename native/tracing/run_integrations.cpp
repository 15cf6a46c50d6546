// Reporting an integration to the run.  The run's `_record_integration` is
// a few dict operations, but entering a Python method costs more than all
// of them.  While the run's class still holds the host layer's method (a
// plain function with the same code as the reference one in
// span_fields.cpp), its body is evaluated here: the same lookups, calls
// and results, in the same order.  Anything unusual before the first
// effect (a class that changed, an instance attribute shadowing the method,
// a table that is not a plain dict) calls the method instead.
#include "tracing/support.hpp"

#include <iterator>

namespace dravik::tracing {

namespace {

// The host's method found on `tp`, or NULL: 1 verified, 0 not, -1 error.
int verify_run_class(State* st, PyTypeObject* tp, unsigned int& version, Ref& method) {
  if (tp->tp_getattro != PyObject_GenericGetAttr) return 0;
  version = cpython::type_version_tag(tp, st->names[N_c_record_integration]);
  if (version == 0) return PyErr_Occurred() ? (swallow_exception() ? 0 : -1) : 0;
  PyObject* fn = mro_lookup(tp, st->names[N_c_record_integration]);
  if (fn == nullptr || !PyFunction_Check(fn)) return PyErr_Occurred() ? (swallow_exception() ? 0 : -1) : 0;
  Ref held = Ref::borrow(fn);
  // `self._integrations` must come from the instance dict alone.
  if (mro_lookup(tp, st->names[N_c_integrations]) != nullptr) return 0;
  if (PyErr_Occurred()) return swallow_exception() ? 0 : -1;
  if (!PyDict_CheckExact(PyFunction_GET_GLOBALS(fn)) || !PyDict_CheckExact(cpython::function_builtins(fn))) return 0;
  const int same = matches_reference(st, fn, st->names[N_c_record_integration]);
  if (same < 0) return swallow_exception() ? 0 : -1;
  if (same == 0 || !cpython::type_version_valid(tp, version)) return 0;
  method = std::move(held);
  return 1;
}

// The verified method for `tp` (borrowed), or NULL when the method must be
// called (with an exception set only on error).
PyObject* run_method_for(State* st, PyTypeObject* tp) {
  RunMethod& rm = st->run_method;
  if (tp != rm.type || !cpython::type_version_valid(tp, rm.version)) {
    if (rm.checking || rm.checks_left <= 0) return nullptr;
    --rm.checks_left;
    unsigned int version = 0;
    Ref method;
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(tp));
    rm.checking = true;
    const int found = verify_run_class(st, tp, version, method);
    rm.checking = false;
    if (found <= 0) return nullptr;
    Ref code = Ref::borrow(PyFunction_GET_CODE(method.get()));
    // Released only once the state is whole again: a release can run code.
    Ref old_type = Ref::steal(reinterpret_cast<PyObject*>(rm.type));
    Ref old_method = Ref::steal(rm.method);
    Ref old_code = Ref::steal(rm.code);
    rm.type = reinterpret_cast<PyTypeObject*>(type.release());
    rm.method = method.release();
    rm.code = code.release();
    rm.version = version;
  }
  if (PyFunction_GET_CODE(rm.method) != rm.code) return nullptr;
  return rm.method;
}

// A global name as the method's code loads it: its globals, then its
// builtins (`in_builtins` tells which held it).
Ref load_global(PyObject* fn, PyObject* name, bool* in_builtins = nullptr) {
  PyObject* v = PyDict_GetItemWithError(PyFunction_GET_GLOBALS(fn), name);
  if (in_builtins != nullptr) *in_builtins = v == nullptr;
  if (v == nullptr && !PyErr_Occurred()) v = PyDict_GetItemWithError(cpython::function_builtins(fn), name);
  if (v != nullptr) return Ref::borrow(v);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref();
}

// `next` as the method's code loads it.  The builtin found last is used
// again while the method's globals and builtins are the same, unchanged
// dicts of str keys only (so the two lookups would end in the same place).
Ref load_next(State* st, PyObject* fn) {
  RunMethod& rm = st->run_method;
  PyObject* globals = PyFunction_GET_GLOBALS(fn);
  PyObject* builtins = cpython::function_builtins(fn);
  if (rm.next_fn != nullptr && globals == rm.next_globals && builtins == rm.next_builtins &&
      cpython::dict_version_tag(globals) == rm.next_globals_version &&
      cpython::dict_version_tag(builtins) == rm.next_builtins_version) {
    return Ref::borrow(rm.next_fn);
  }
  {
    // Released before the lookups: a release can run code.
    Ref old_globals = Ref::steal(rm.next_globals);
    Ref old_builtins = Ref::steal(rm.next_builtins);
    rm.next_globals = rm.next_builtins = rm.next_fn = nullptr;
  }
  bool in_builtins = false;
  Ref v = load_global(fn, st->names[N_g_next], &in_builtins);
  if (v && in_builtins && rm.next_fn == nullptr && exact_str_keys(globals) && exact_str_keys(builtins)) {
    rm.next_globals = Py_NewRef(globals);
    rm.next_builtins = Py_NewRef(builtins);
    rm.next_globals_version = cpython::dict_version_tag(globals);
    rm.next_builtins_version = cpython::dict_version_tag(builtins);
    rm.next_fn = v.get();  // held by the builtins while they are unchanged
  }
  return v;
}

// Whether every key of the run's table is a tuple of exact str (a lookup of
// such a tuple there runs no code of its own).
bool text_pair_keys(PyObject* table) {
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  while (PyDict_Next(table, &pos, &k, &v)) {
    if (!PyTuple_CheckExact(k)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(k); ++i) {
      if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(k, i))) return false;
    }
  }
  return true;
}

// The counter found last for (label, category) in `table`, while the table
// is unchanged (borrowed), else NULL.
PyObject* known_counter(State* st, PyObject* table, PyObject* label, PyObject* category) {
  for (const RunMethod::Counter& e : st->run_method.counters) {
    if (e.counter != nullptr && e.table == table && e.label == label && e.category == category &&
        cpython::dict_version_tag(table) == e.version) {
      return e.counter;
    }
  }
  return nullptr;
}

// Remembers `counter`, just found in `table` under (label, category).
void remember_counter(State* st, PyObject* table, PyObject* label, PyObject* category, PyObject* counter) {
  if (!PyUnicode_CheckExact(label) || !PyUnicode_CheckExact(category) || !text_pair_keys(table)) return;
  RunMethod& rm = st->run_method;
  RunMethod::Counter& e = rm.counters[rm.next_counter];
  rm.next_counter = (rm.next_counter + 1) % static_cast<int>(std::size(rm.counters));
  // Released only once the entry is whole again: a release can run code
  // (which may change the table; its version tag then ends the entry).
  Ref old_table = Ref::steal(e.table);
  Ref old_label = Ref::steal(e.label);
  Ref old_category = Ref::steal(e.category);
  e.table = Py_NewRef(table);
  e.version = cpython::dict_version_tag(table);
  e.label = Py_NewRef(label);
  e.category = Py_NewRef(category);
  e.counter = counter;
}

// The method's body once `self._integrations` is known to be the plain
// dict `table` of the instance; -1 with an exception set on error.
int count_integration(State* st, PyObject* fn, PyObject* ctx, PyObject* table, PyObject* label, PyObject* category) {
  // key = (name, category); counter = self._integrations.get(key)
  Ref counter = Ref::borrow(known_counter(st, table, label, category));
  if (!counter) {
    Ref key = Ref::steal(PyTuple_Pack(2, label, category));
    if (!key) return -1;
    PyObject* found = PyDict_GetItemWithError(table, key.get());
    if (found == nullptr && PyErr_Occurred()) return -1;
    counter = Ref::borrow(found != nullptr ? found : Py_None);
    if (found != nullptr && found != Py_None) remember_counter(st, table, label, category, found);
  }
  if (counter.get() == Py_None) {
    // counter = self._integrations.setdefault(key, itertools.count())
    Ref key = Ref::steal(PyTuple_Pack(2, label, category));
    if (!key) return -1;
    Ref integrations = Ref::steal(PyObject_GetAttr(ctx, st->names[N_c_integrations]));
    if (!integrations) return -1;
    Ref setdefault = Ref::steal(PyObject_GetAttr(integrations.get(), st->names[N_m_setdefault]));
    if (!setdefault) return -1;
    Ref itertools = load_global(fn, st->names[N_g_itertools]);
    if (!itertools) return -1;
    Ref count = Ref::steal(PyObject_GetAttr(itertools.get(), st->names[N_p_count]));
    if (!count) return -1;
    Ref fresh = Ref::steal(PyObject_CallNoArgs(count.get()));
    if (!fresh) return -1;
    counter = call(setdefault.get(), key.get(), fresh.get());
    if (!counter) return -1;
  }
  // next(counter)
  Ref next = load_next(st, fn);
  if (!next) return -1;
  Ref r = call(next.get(), counter.get());
  return r ? 0 : -1;
}

}  // namespace

int report_integration(State* st, PyObject* ctx, PyObject* label, PyObject* category) {
  PyObject* method = run_method_for(st, Py_TYPE(ctx));
  if (method == nullptr && PyErr_Occurred()) return -1;
  if (method != nullptr) {
    Ref fn = Ref::borrow(method);
    // The instance dict, where `_integrations` is found and where the
    // method would be shadowed.
    Ref dict = Ref::steal(PyObject_GenericGetDict(ctx, nullptr));
    if (!dict && !swallow_exception()) return -1;
    PyObject* table = nullptr;
    if (dict && PyDict_CheckExact(dict.get())) {
      PyObject* shadow = PyDict_GetItemWithError(dict.get(), st->names[N_c_record_integration]);
      if (shadow == nullptr && PyErr_Occurred()) return -1;
      table = shadow == nullptr ? PyDict_GetItemWithError(dict.get(), st->names[N_c_integrations]) : nullptr;
      if (table == nullptr && PyErr_Occurred()) return -1;
    }
    if (table != nullptr && PyDict_CheckExact(table)) {
      Ref held = Ref::borrow(table);
      return count_integration(st, fn.get(), ctx, table, label, category);
    }
  }
  Ref r = call_method(ctx, st->names[N_c_record_integration], label, category);
  return r ? 0 : -1;
}

}  // namespace dravik::tracing

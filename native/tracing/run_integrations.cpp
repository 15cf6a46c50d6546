// Reporting an integration to the run.  The run's `_record_integration` is
// a few dict operations, but entering a Python method costs more than all
// of them.  While the run's class still holds the host layer's method (a
// plain function with the same code as the reference one in
// span_fields.cpp), its body is evaluated here: the same lookups, calls
// and results, in the same order.  Anything unusual before the first
// effect (a class that changed, an instance attribute shadowing the method,
// a table that is not a plain dict) calls the method instead.
#include "tracing/support.hpp"

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

// A global name as the method's code loads it: its globals, then its builtins.
Ref load_global(PyObject* fn, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(PyFunction_GET_GLOBALS(fn), name);
  if (v == nullptr && !PyErr_Occurred()) v = PyDict_GetItemWithError(cpython::function_builtins(fn), name);
  if (v != nullptr) return Ref::borrow(v);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref();
}

// The method's body once `self._integrations` is known to be the plain
// dict `table` of the instance; -1 with an exception set on error.
int count_integration(State* st, PyObject* fn, PyObject* ctx, PyObject* table, PyObject* label, PyObject* category) {
  // key = (name, category); counter = self._integrations.get(key)
  Ref key = Ref::steal(PyTuple_Pack(2, label, category));
  if (!key) return -1;
  PyObject* found = PyDict_GetItemWithError(table, key.get());
  if (found == nullptr && PyErr_Occurred()) return -1;
  Ref counter = Ref::borrow(found != nullptr ? found : Py_None);
  if (counter.get() == Py_None) {
    // counter = self._integrations.setdefault(key, itertools.count())
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
  Ref next = load_global(fn, st->names[N_g_next]);
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

#include "instrumentors/guard/helpers.hpp"

#include "common/binder.hpp"

namespace dravik::guard {

Ref call_global(Function* f, State* st, Name name, PyObject* const* args, int nargs) {
  Ref fn = global(f, st, name);
  if (!fn) return Ref();
  if (fn.get() == st->own[name]) return call_native(fn.get(), args, nargs);
  return Ref::steal(PyObject_Vectorcall(fn.get(), args, static_cast<size_t>(nargs), nullptr));
}

Ref mapping_get(State* st, PyObject* obj, PyObject* key, PyObject* dflt) {
  if (PyDict_CheckExact(obj)) {
    PyObject* v = PyDict_GetItemWithError(obj, key);
    if (v != nullptr) return Ref::borrow(v);
    if (PyErr_Occurred()) return Ref();
    return Ref::borrow(dflt);
  }
  return call_method(obj, S(st, S_get), key, dflt);
}

Ref plain_dict_copy(PyObject* mapping) {
  if (PyDict_CheckExact(mapping)) return Ref::steal(PyDict_Copy(mapping));
  Ref copy = Ref::steal(PyDict_New());
  if (!copy || PyDict_Merge(copy.get(), mapping, 1) < 0) return Ref();
  return copy;
}

Ref plain_if_str_subclass(PyObject* obj) {
  if (PyUnicode_Check(obj) && !PyUnicode_CheckExact(obj)) return Ref::steal(PyUnicode_FromObject(obj));
  return Ref::borrow(obj);
}

Ref items_snapshot(State* st, PyObject* table) {
  if (PyDict_CheckExact(table)) return Ref::steal(PyDict_Items(table));
  Ref view = call_method(table, S(st, S_items));
  if (!view) return Ref();
  return Ref::steal(PySequence_List(view.get()));
}

Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
#endif
}

int append_to(State* st, PyObject* seq, PyObject* item) {
  if (PyList_CheckExact(seq)) return PyList_Append(seq, item);
  Ref r = call_method(seq, S(st, S_append), item);
  return r ? 0 : -1;
}

}  // namespace dravik::guard

namespace dravik::guard {

Ref format_into(State* st, PyObject* prefix, PyObject* value, PyObject* suffix) {
  Ref text = Ref::steal(PyObject_Format(value, S(st, S_empty)));
  if (!text) return Ref();
  Ref out = Ref::steal(PyUnicode_Concat(prefix, text.get()));
  if (!out || suffix == nullptr) return out;
  return Ref::steal(PyUnicode_Concat(out.get(), suffix));
}

}  // namespace dravik::guard

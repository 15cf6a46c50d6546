#include "instrumentors/guard/helpers.hpp"

#include "common/binder.hpp"

namespace dravik::guard {

namespace {

bool has_declared_type(ArgType t, PyObject* v) noexcept {
  switch (t) {
    case ArgType::Any: return true;
    case ArgType::Str: return PyUnicode_CheckExact(v);
    case ArgType::Dict: return PyDict_CheckExact(v);
    case ArgType::List: return PyList_CheckExact(v);
    case ArgType::ListOrNone: return PyList_CheckExact(v) || v == Py_None;
    case ArgType::Bool: return PyBool_Check(v);
    case ArgType::Int: return PyLong_CheckExact(v);
  }
  return false;
}

}  // namespace

Ref call_global(Function* f, State* st, Name name, PyObject* const* args, int nargs) {
  Ref fn = global(f, st, name);
  if (!fn) return Ref();
  if (fn.get() == st->own[name]) {
    Function* target = reinterpret_cast<Function*>(fn.get());
    const FuncSpec* desc = target->spec;
    bool direct = desc->nparams == nargs;
    for (int i = 0; direct && i < nargs; ++i) direct = has_declared_type(desc->params[i].type, args[i]);
    if (direct) return Ref::steal(check_result(desc, desc->impl(target, args)));
  }
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

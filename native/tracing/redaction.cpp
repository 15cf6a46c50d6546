// Content redaction of span records with the run's redaction function.
#include "tracing/functions.hpp"
#include "tracing/support.hpp"

namespace dravik::tracing {

namespace {

// A new list: dict items through _redact_dict_values, strings through
// redact_fn, anything else as it is.
Ref redact_list(Function* f, State* st, PyObject* list, PyObject* redact_fn) {
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return Ref();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    Ref done;
    if (PyDict_Check(item.get())) {
      done = call_fn(f, st, F_redact_dict_values, item.get(), redact_fn);
    } else if (PyUnicode_Check(item.get())) {
      done = call(redact_fn, item.get());
    } else {
      done = std::move(item);
    }
    if (!done || PyList_Append(out.get(), done.get()) < 0) return Ref();
  }
  return out;
}

PyObject* redact_dict_values_impl(Function* f, PyObject* const* args) {
  State* st = state_of(f);
  PyObject* d = args[0];
  PyObject* redact_fn = args[1];
  if (Py_EnterRecursiveCall(" while redacting nested values")) return nullptr;
  struct Leave {
    ~Leave() { Py_LeaveRecursiveCall(); }
  } leave;
  Ref out = Ref::steal(PyDict_New());
  if (!out) return nullptr;
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  const Py_ssize_t size = PyDict_GET_SIZE(d);
  while (PyDict_Next(d, &pos, &k, &v)) {
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    Ref done;
    if (PyUnicode_Check(value.get())) {
      done = call(redact_fn, value.get());
    } else if (PyDict_Check(value.get())) {
      done = call_fn(f, st, F_redact_dict_values, value.get(), redact_fn);
    } else if (PyList_Check(value.get())) {
      done = redact_list(f, st, value.get(), redact_fn);
    } else {
      done = std::move(value);
    }
    if (!done || PyDict_SetItem(out.get(), key.get(), done.get()) < 0) return nullptr;
    if (PyDict_GET_SIZE(d) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return nullptr;
    }
  }
  return out.release();
}

int set_record_item(PyObject* record, PyObject* key, PyObject* value) {
  return PyDict_CheckExact(record) ? PyDict_SetItem(record, key, value) : PyObject_SetItem(record, key, value);
}

PyObject* redact_span_dict_impl(Function* f, PyObject* const* args) {
  State* st = state_of(f);
  PyObject* record = args[0];
  PyObject* redact_fn = args[1];

  for (Name key : {N_r_input_data, N_r_output_data}) {
    Ref value = dict_get(record, st->names[key]);
    if (!value) return nullptr;
    Ref done;
    if (PyUnicode_Check(value.get())) {
      done = call(redact_fn, value.get());
    } else if (PyDict_Check(value.get())) {
      done = call_fn(f, st, F_redact_dict_values, value.get(), redact_fn);
    } else if (PyList_Check(value.get())) {
      // A payload that is itself a JSON array gets the rule of lists inside dicts.
      done = redact_list(f, st, value.get(), redact_fn);
    } else {
      continue;
    }
    if (!done || set_record_item(record, st->names[key], done.get()) < 0) return nullptr;
  }

  Ref attrs = dict_get(record, st->names[N_p_attributes]);
  if (!attrs) return nullptr;
  const int t = truth(attrs.get());
  if (t < 0) return nullptr;
  if (t && PyDict_Check(attrs.get())) {
    PyObject* a = attrs.get();
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    const Py_ssize_t size = PyDict_GET_SIZE(a);
    while (PyDict_Next(a, &pos, &k, &v)) {
      if (!PyUnicode_Check(v)) continue;
      Ref key = Ref::borrow(k);
      Ref value = Ref::borrow(v);
      Ref done = call(redact_fn, value.get());
      if (!done || set_record_item(a, key.get(), done.get()) < 0) return nullptr;
      if (PyDict_GET_SIZE(a) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return nullptr;
      }
    }
  }
  Py_RETURN_NONE;
}

const Param kRedactSpanParams[] = {{"span_dict", ArgType::Dict, "dict"}, {"redact_fn"}};
const Param kRedactValuesParams[] = {{"d", ArgType::Dict, "dict"}, {"redact_fn"}};

}  // namespace

const FuncSpec kRedactSpanDict = {
    "_redact_span_dict", "Apply a redaction function to string values in a span dict, in-place.", kRedactSpanParams,
    2, redact_span_dict_impl, "None",
};

const FuncSpec kRedactDictValues = {
    "_redact_dict_values", "Recursively redact string values in a dict.", kRedactValuesParams, 2,
    redact_dict_values_impl, "dict",
};

}  // namespace dravik::tracing

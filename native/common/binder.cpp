// Argument binding for native functions: positional and keyword arguments
// in one vectorcall, defaults, declared-type enforcement and conversion, and
// the result check.  The messages follow the wording callers already know.
#include "common/binder.hpp"

namespace dravik {

namespace {

void raise_count(const Function* f, int nreq, Py_ssize_t found) {
  const FuncSpec* s = f->spec;
  const Py_ssize_t max = s->nparams;
  const char* more_or_less;
  Py_ssize_t expected;
  if (found < nreq) {
    expected = nreq;
    more_or_less = "at least";
  } else {
    expected = max;
    more_or_less = "at most";
  }
  if (nreq == max) more_or_less = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               s->name, more_or_less, expected, expected == 1 ? "" : "s", found);
}

int required_count(const FuncSpec* s) noexcept {
  int n = 0;
  while (n < s->nparams && s->params[n].def == DefaultKind::Required) ++n;
  return n;
}

// Index of the parameter called `key`, -1 for none, -2 with an exception
// set.  Pointer comparison first:
// keyword names coming from code objects are interned like ours.
int find_keyword(const Function* f, PyObject* key) {
  PyObject* names = f->param_names;
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyTuple_GET_ITEM(names, i) == key) return static_cast<int>(i);
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    const int cmp = PyUnicode_Compare(PyTuple_GET_ITEM(names, i), key);
    if (cmp == 0) return static_cast<int>(i);
    if (cmp == -1 && PyErr_Occurred()) return -2;
  }
  return -1;
}

const char* expected_name(ArgType t) noexcept {
  switch (t) {
    case ArgType::Str: return "str";
    case ArgType::Dict: return "dict";
    case ArgType::List:
    case ArgType::ListOrNone: return "list";
    case ArgType::Int: return "int";
    default: return "object";
  }
}

}  // namespace

void raise_arg_type(const char* param, const char* expected, PyObject* obj) {
  PyTypeObject* tp = Py_TYPE(obj);
  PyTypeObject* base = nullptr;
  for (PyTypeObject* b : {&PyUnicode_Type, &PyDict_Type, &PyList_Type, &PyLong_Type}) {
    if (tp != b && PyType_IsSubtype(tp, b) && std::string_view(b->tp_name) == expected) base = b;
  }
  if (base != nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                 "Instances of subclasses of built-in types are not accepted here; "
                 "pass a plain %.200s instead.",
                 param, expected, tp->tp_name, expected);
  } else {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected, tp->tp_name);
  }
}

int convert_int(const char* param, PyObject* obj, Ref& out) {
  if (PyLong_CheckExact(obj)) {
    out = Ref::borrow(obj);
    return 0;
  }
  PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
  if (nb == nullptr || (nb->nb_int == nullptr && nb->nb_index == nullptr)) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.5s, got %.200s)", param,
                 "int", Py_TYPE(obj)->tp_name);
    return -1;
  }
  out = Ref::steal(PyNumber_Long(obj));
  return out ? 0 : -1;
}

int bind_arguments(Function* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, BoundArgs& b) {
  const FuncSpec* s = f->spec;
  const int np = s->nparams;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const int nreq = required_count(s);

  if (nargs > np) {
    raise_count(f, nreq, nargs);
    return -1;
  }
  for (int i = 0; i < np; ++i) b.args[i] = i < nargs ? args[i] : nullptr;

  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s->name);
        return -1;
      }
      const int j = find_keyword(f, key);
      if (j == -2) return -1;
      if (j < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s->name, key);
        return -1;
      }
      if (b.args[j] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s->name, key);
        return -1;
      }
      b.args[j] = args[nargs + k];
    }
  }

  for (int j = 0; j < np; ++j) {
    if (b.args[j] != nullptr) continue;
    if (s->params[j].def == DefaultKind::Required) {
      raise_count(f, nreq, j);
      return -1;
    }
    b.args[j] = PyTuple_GET_ITEM(f->defaults, j);
  }

  // Numeric and truth conversions come first, then the exact-type tests,
  // each in parameter order.
  for (int j = 0; j < np; ++j) {
    const Param& p = s->params[j];
    if (p.type == ArgType::Int) {
      if (convert_int(p.name, b.args[j], b.owned[j]) < 0) return -1;
      b.args[j] = b.owned[j].get();
    } else if (p.type == ArgType::Bool) {
      const int truth = PyObject_IsTrue(b.args[j]);
      if (truth < 0) return -1;
      b.args[j] = truth ? Py_True : Py_False;
    }
  }
  for (int j = 0; j < np; ++j) {
    const Param& p = s->params[j];
    if (has_declared_type(p.type, b.args[j])) continue;
    raise_arg_type(p.name, expected_name(p.type), b.args[j]);
    return -1;
  }
  return 0;
}

bool has_declared_type(ArgType t, PyObject* v) noexcept {
  switch (t) {
    case ArgType::Any: return true;
    case ArgType::Str: return PyUnicode_CheckExact(v);
    case ArgType::Dict: return PyDict_CheckExact(v);
    case ArgType::List: return PyList_CheckExact(v);
    case ArgType::ListOrNone: return PyList_CheckExact(v) || v == Py_None;
    case ArgType::Int: return PyLong_CheckExact(v);
    case ArgType::Bool: return v == Py_True || v == Py_False;
  }
  return false;
}

Ref call_native(PyObject* callable, PyObject* const* args, int nargs) {
  Function* target = reinterpret_cast<Function*>(callable);
  const FuncSpec* s = target->spec;
  bool direct = s->nparams == nargs && !function_detached(target);
  for (int i = 0; direct && i < nargs; ++i) direct = has_declared_type(s->params[i].type, args[i]);
  if (direct) return Ref::steal(check_result(s, s->impl(target, args)));
  return Ref::steal(PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), nullptr));
}

PyObject* check_result(const FuncSpec* s, PyObject* result) {
  if (result == nullptr || s->result == ResultCheck::None) return result;
  if (PyUnicode_CheckExact(result) || result == Py_None) return result;
  PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "str", Py_TYPE(result)->tp_name);
  Py_DECREF(result);
  return nullptr;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Function* f = reinterpret_cast<Function*>(callable);
  if (function_detached(f)) {
    if (f->spec->detached == WhenDetached::ReturnNone) Py_RETURN_NONE;
    PyErr_Format(PyExc_RuntimeError, "%.200s() cannot run: its module has been torn down", f->spec->name);
    return nullptr;
  }
  BoundArgs b;
  if (bind_arguments(f, args, nargsf, kwnames, b) < 0) return nullptr;
  return check_result(f->spec, f->spec->impl(f, b.args));
}

}  // namespace dravik

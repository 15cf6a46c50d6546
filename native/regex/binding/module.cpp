// dravik_observe._rx: the matching engine on its own, for its differential
// tests and benchmarks.  compile(pattern, flags=0) -> Pattern with
// search(text, pos=0) -> (start, end) | None and sub(literal, text) -> str;
// Scanner(patterns) runs a list of Patterns over one text at once.
#include "regex/binding/types.hpp"

#include "common/module.hpp"

#include <new>

namespace dravik::rx_binding {

namespace {

PyObject* compile_fn(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"pattern", "flags"};
  PyObject* vals[2] = {nullptr, nullptr};
  if (bind_args("compile", kNames, 2, 1, args, nargs, kwnames, vals) < 0) return nullptr;
  long flags = 0;
  if (vals[1] != nullptr) {
    flags = PyLong_AsLong(vals[1]);
    if (flags == -1 && PyErr_Occurred()) return nullptr;
  }
  if (!PyUnicode_Check(vals[0])) {
    PyErr_Format(PyExc_TypeError, "pattern must be a str, not %.200s", Py_TYPE(vals[0])->tp_name);
    return nullptr;
  }
  return new_pattern(get_state(module), vals[0], flags);
}

PyObject* case_fixes_fn(PyObject* module, PyObject*) {
  const ModState* st = get_state(module);
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  for (const auto& [k, others] : st->fixes->map) {
    Ref key = Ref::steal(PyLong_FromUnsignedLong(k));
    Ref tup = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(others.size())));
    if (!key || !tup) return nullptr;
    for (size_t i = 0; i < others.size(); ++i) {
      PyObject* v = PyLong_FromUnsignedLong(others[i]);
      if (v == nullptr) return nullptr;
      PyTuple_SET_ITEM(tup.get(), static_cast<Py_ssize_t>(i), v);
    }
    if (PyDict_SetItem(d.get(), key.get(), tup.get()) < 0) return nullptr;
  }
  return d.release();
}

PyMethodDef kFunctions[] = {
    {"compile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compile_fn)), METH_FASTCALL | METH_KEYWORDS,
     "compile(pattern, flags=0)\n--\n\nCompiles a str pattern; ValueError names what is not supported."},
    {"case_fixes", case_fixes_fn, METH_NOARGS,
     "case_fixes()\n--\n\nThe extra IGNORECASE equivalences read from the interpreter's re compiler."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* m) {
  ModState* st = get_state(m);
  st->fixes = new (std::nothrow) rx::CaseFixes();
  if (st->fixes == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  if (rx::load_case_fixes(*st->fixes) < 0) return -1;
  if (init_types(m, st) < 0) return -1;
  if (PyModule_AddIntConstant(m, "IGNORECASE", rx::kFlagIgnoreCase) < 0) return -1;
  if (PyModule_AddStringConstant(m, "SCAN_PATH", rx::lane_scan_path()) < 0) return -1;
  if (PyModule_AddStringConstant(m, "FINGERPRINT_PATH", rx::fingerprint_path()) < 0) return -1;
  return 0;
}

int traverse_module(PyObject* m, visitproc visit, void* arg) {
  ModState* st = get_state(m);
  if (st == nullptr) return 0;
  Py_VISIT(st->pattern_type);
  Py_VISIT(st->scanner_type);
  return 0;
}

int clear_module(PyObject* m) {
  ModState* st = get_state(m);
  if (st == nullptr) return 0;
  Py_CLEAR(st->pattern_type);
  Py_CLEAR(st->scanner_type);
  return 0;
}

void free_module(void* m) {
  clear_module(static_cast<PyObject*>(m));
  ModState* st = get_state(static_cast<PyObject*>(m));
  if (st == nullptr) return;
  delete st->fixes;
  st->fixes = nullptr;
}

}  // namespace

DRAVIK_MODULE_DEF(kModuleDef, "dravik_observe._rx",
                  "A linear-time matcher giving re's answers, for tests and benchmarks.",
                  ModState, kFunctions, exec_module, traverse_module, clear_module, free_module);

}  // namespace dravik::rx_binding

PyMODINIT_FUNC PyInit__rx(void) { return PyModuleDef_Init(&dravik::rx_binding::kModuleDef); }

#include "instrumentors/guard/matcher_identity.hpp"

namespace dravik::guard {

namespace {

// Everything get_opcodes() runs through, besides the class itself.
constexpr Name kMethods[] = {S_init,   S_set_seqs,           S_set_seq1,          S_set_seq2,
                             S_chain_b, S_find_longest_match, S_get_matching_blocks, S_get_opcodes};
constexpr Py_ssize_t kMethodCount = sizeof(kMethods) / sizeof(kMethods[0]);
constexpr Py_ssize_t kSnapshotSize = 2 + kMethodCount;  // class, Match, methods

// A missing attribute means "not the original"; other errors propagate.
int absent_or_error() {
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

// (matcher, difflib.Match, the methods...) as they are now.
Ref snapshot(State* st, PyObject* difflib, PyObject* matcher) {
  Ref snap = Ref::steal(PyTuple_New(kSnapshotSize));
  if (!snap) return Ref();
  PyTuple_SET_ITEM(snap.get(), 0, Py_NewRef(matcher));
  PyObject* match = PyObject_GetAttr(difflib, S(st, S_Match));
  if (match == nullptr) return Ref();
  PyTuple_SET_ITEM(snap.get(), 1, match);
  for (Py_ssize_t k = 0; k < kMethodCount; ++k) {
    PyObject* m = PyObject_GetAttr(matcher, S(st, kMethods[k]));
    if (m == nullptr) return Ref();
    PyTuple_SET_ITEM(snap.get(), 2 + k, m);
  }
  return snap;
}

// The class difflib defines: a plain class of object, named as difflib
// names it, whose methods are functions of difflib's own namespace.
int defined_by_difflib(State* st, PyObject* difflib, PyObject* snap) {
  PyObject* matcher = PyTuple_GET_ITEM(snap, 0);
  if (!Py_IS_TYPE(matcher, &PyType_Type)) return 0;
  Ref module_name = Ref::steal(PyObject_GetAttr(matcher, S(st, S_dunder_module)));
  if (!module_name) return absent_or_error();
  if (!PyUnicode_CheckExact(module_name.get()) || PyUnicode_Compare(module_name.get(), S(st, S_mod_difflib)) != 0) {
    return 0;
  }
  Ref bases = Ref::steal(PyObject_GetAttr(matcher, S(st, S_dunder_bases)));
  if (!bases) return -1;
  if (!PyTuple_CheckExact(bases.get()) || PyTuple_GET_SIZE(bases.get()) != 1 ||
      PyTuple_GET_ITEM(bases.get(), 0) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
    return 0;
  }
  PyObject* globals = PyModule_GetDict(difflib);
  for (Py_ssize_t k = 2; k < kSnapshotSize; ++k) {
    PyObject* m = PyTuple_GET_ITEM(snap, k);
    if (!PyFunction_Check(m) || PyFunction_GET_GLOBALS(m) != globals) return 0;
  }
  return 1;
}

}  // namespace

int is_original_matcher(State* st, PyObject* matcher) {
  Ref difflib = import_module(S(st, S_mod_difflib));
  if (!difflib) return -1;
  if (!PyModule_Check(difflib.get())) return 0;
  if (st->matcher_snapshot == nullptr) {
    Ref snap = snapshot(st, difflib.get(), matcher);
    if (!snap) return absent_or_error();
    const int own = defined_by_difflib(st, difflib.get(), snap.get());
    if (own <= 0) return own;
    st->matcher_snapshot = snap.release();
    return 1;
  }
  PyObject* first = st->matcher_snapshot;
  if (PyTuple_GET_ITEM(first, 0) != matcher) return 0;
  Ref match = Ref::steal(PyObject_GetAttr(difflib.get(), S(st, S_Match)));
  if (!match) return absent_or_error();
  if (match.get() != PyTuple_GET_ITEM(first, 1)) return 0;
  for (Py_ssize_t k = 0; k < kMethodCount; ++k) {
    Ref m = Ref::steal(PyObject_GetAttr(matcher, S(st, kMethods[k])));
    if (!m) return absent_or_error();
    if (m.get() != PyTuple_GET_ITEM(first, 2 + k)) return 0;
  }
  return 1;
}

}  // namespace dravik::guard

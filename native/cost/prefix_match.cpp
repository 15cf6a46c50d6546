#include "cost/prefix_match.hpp"

#include "common/call.hpp"


namespace dravik::cost {

namespace {

// The literal sort-then-scan, for tables that are not plain dicts of str.
int longest_prefix_generic(State* st, PyObject* table, PyObject* name, Ref& out) {
  Ref keys = call_method(table, st->names[N_keys]);
  if (!keys) return -1;
  PyObject* argv[] = {keys.get(), st->len_fn, Py_True};
  Ref ordered = Ref::steal(PyObject_Vectorcall(st->sorted_fn, argv, 1, st->reverse_kw));
  if (!ordered) return -1;
  const Py_ssize_t n = PyList_GET_SIZE(ordered.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref key = Ref::borrow(PyList_GET_ITEM(ordered.get(), i));
    Ref hit = call_method(name, st->names[N_startswith], key.get());
    if (!hit) return -1;
    const int truth = PyObject_IsTrue(hit.get());
    if (truth < 0) return -1;
    if (truth) {
      out = std::move(key);
      return 0;
    }
    if (PyList_GET_SIZE(ordered.get()) != n) break;  // mutated by a callback
  }
  return 0;
}

}  // namespace

int longest_prefix(State* st, PrefixIndex* index, PyObject* table, PyObject* name, Ref& out) {
  if (!PyDict_CheckExact(table) || !PyUnicode_CheckExact(name)) {
    return longest_prefix_generic(st, table, name, out);
  }
  if (index != nullptr) {
    const int found = index->find(table, name, out);
    if (found != -2) return found < 0 ? -1 : 0;
  }
  // One pass in table order keeping the first longest prefix gives what the
  // stable descending sort and scan would give.  Comparing exact str runs
  // no Python code, so the dict cannot change under the walk.
  const Py_ssize_t nlen = PyUnicode_GET_LENGTH(name);
  PyObject* best = nullptr;
  Py_ssize_t best_len = -1;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(table, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return longest_prefix_generic(st, table, name, out);
    const Py_ssize_t klen = PyUnicode_GET_LENGTH(key);
    if (klen > nlen || klen <= best_len) continue;
    if (str_has_prefix(name, key, klen)) {
      best = key;
      best_len = klen;
    }
  }
  if (best != nullptr) out = Ref::borrow(best);
  return 0;
}

int table_get(State* st, PyObject* table, PyObject* key, Ref& out) {
  if (PyDict_CheckExact(table)) {
    PyObject* v = PyDict_GetItemWithError(table, key);
    if (v == nullptr) return PyErr_Occurred() ? -1 : 0;
    out = Ref::borrow(v);
  } else {
    out = call_method(table, st->names[N_get], key);
    if (!out) return -1;
  }
  if (out.get() == Py_None) {
    out.reset();
    return 0;
  }
  return 1;
}

}  // namespace dravik::cost

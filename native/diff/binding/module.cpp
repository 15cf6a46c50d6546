// dravik_observe._diff: the native diff on its own, for its differential
// tests and benchmarks.  Every function takes (a, b, mode="auto"); a mode
// other than "auto" forces one way of finding the longest blocks:
//   "table"         difflib's table over b's position lists, everywhere
//   "small"         difflib's table over the whole product of the ranges
//   "suffix_array"  the suffix-array search, without a probe budget
//   "budget"        the suffix-array search with one probe, then the table
//   "seeds"         short seeds (2 characters every 2), then the small table
//   "seeds_sa"      short seeds (3 every 2), then the suffix-array search
#include "common/module.hpp"
#include "diff/matching_blocks.hpp"
#include "diff/str_view.hpp"

#include <cstring>

namespace dravik::diff_binding {

namespace {

using diff::Tuning;

int tuning_for(const char* mode, Tuning& t) {
  t = Tuning{};
  if (std::strcmp(mode, "auto") == 0) return 0;
  t.seeds = false;
  t.small_product = 0;
  if (std::strcmp(mode, "table") == 0) {
    t.suffix_array = false;
  } else if (std::strcmp(mode, "small") == 0) {
    t.small_product = UINT64_MAX;
  } else if (std::strcmp(mode, "suffix_array") == 0 || std::strcmp(mode, "budget") == 0) {
    t.table_steps_per_char_cold = t.table_limit_warm = 0;
    t.probe_budget = mode[0] == 'b' ? 1 : -1;
  } else if (std::strcmp(mode, "seeds") == 0) {
    t.seeds = true;
    t.seed_q = t.seed_step = 2;
    t.seed_budget = INT64_MAX;
    t.small_product = UINT64_MAX;
  } else if (std::strcmp(mode, "seeds_sa") == 0) {
    t.seeds = true;
    t.seed_q = 3;
    t.seed_step = 2;
    t.seed_budget = INT64_MAX;
    t.table_steps_per_char_cold = t.table_limit_warm = 0;
    t.probe_budget = -1;
  } else {
    PyErr_Format(PyExc_ValueError, "unknown mode %s", mode);
    return -1;
  }
  return 0;
}

// Parses (a, b, mode="auto") and runs the diff.
int run(PyObject* args, PyObject* kwargs, Vec<diff::Block>& blocks, diff::Counters& counters,
        PyObject** a_out = nullptr, PyObject** b_out = nullptr) {
  static const char* kNames[] = {"a", "b", "mode", nullptr};
  PyObject *a, *b;
  const char* mode = "auto";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UU|s", const_cast<char**>(kNames), &a, &b, &mode)) return -1;
  Tuning t;
  if (tuning_for(mode, t) < 0) return -1;
  diff::CharView av, bv;
  if (diff::str_view(a, av) < 0 || diff::str_view(b, bv) < 0) return -1;
  if (diff::matching_blocks(av, bv, blocks, t, &counters) < 0) {
    PyErr_NoMemory();
    return -1;
  }
  if (a_out != nullptr) *a_out = a;
  if (b_out != nullptr) *b_out = b;
  return 0;
}

PyObject* matching_blocks_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  Vec<diff::Block> blocks;
  diff::Counters counters;
  if (run(args, kwargs, blocks, counters) < 0) return nullptr;
  Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(blocks.size())));
  if (!out) return nullptr;
  for (size_t k = 0; k < blocks.size(); ++k) {
    PyObject* t = Py_BuildValue("(iii)", blocks[k].a, blocks[k].b, blocks[k].size);
    if (t == nullptr) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), t);
  }
  return out.release();
}

PyObject* opcodes_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  Vec<diff::Block> blocks;
  diff::Counters counters;
  if (run(args, kwargs, blocks, counters) < 0) return nullptr;
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return nullptr;
  auto add = [&](const char* tag, long i1, long i2, long j1, long j2) {
    Ref t = Ref::steal(Py_BuildValue("(sllll)", tag, i1, i2, j1, j2));
    return t ? PyList_Append(out.get(), t.get()) : -1;
  };
  long i = 0, j = 0;
  for (size_t k = 0; k < blocks.size(); ++k) {
    const long ai = blocks[k].a, bj = blocks[k].b, size = blocks[k].size;
    const char* tag = i < ai && j < bj ? "replace" : i < ai ? "delete" : j < bj ? "insert" : nullptr;
    if (tag != nullptr && add(tag, i, ai, j, bj) < 0) return nullptr;
    i = ai + size;
    j = bj + size;
    if (size > 0 && add("equal", ai, i, bj, j) < 0) return nullptr;
  }
  return out.release();
}

PyObject* counters_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  Vec<diff::Block> blocks;
  diff::Counters c;
  if (run(args, kwargs, blocks, c) < 0) return nullptr;
  return Py_BuildValue("{sKsOsKsKsKsKsKsKsO}", "seed_runs", c.seed_runs, "seeds_abandoned",
                       c.seeds_abandoned ? Py_True : Py_False, "by_seeds", c.by_seeds, "by_small_table",
                       c.by_small_table, "by_table", c.by_table, "by_suffix_array", c.by_suffix_array, "probes",
                       c.probes, "budget_exceeded", c.budget_exceeded, "suffix_array_built",
                       c.suffix_array_built ? Py_True : Py_False);
}

PyMethodDef kFunctions[] = {
    {"matching_blocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(matching_blocks_fn)),
     METH_VARARGS | METH_KEYWORDS, "matching_blocks(a, b, mode='auto')\n--\n\nAs SequenceMatcher.get_matching_blocks()."},
    {"opcodes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(opcodes_fn)),
     METH_VARARGS | METH_KEYWORDS, "opcodes(a, b, mode='auto')\n--\n\nAs SequenceMatcher.get_opcodes()."},
    {"counters", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(counters_fn)),
     METH_VARARGS | METH_KEYWORDS, "counters(a, b, mode='auto')\n--\n\nWhat the diff of a and b ran."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject*) { return 0; }

struct NoState {};

DRAVIK_MODULE_DEF(kModuleDef, "dravik_observe._diff", "The native diff on its own, for tests and benchmarks.",
                  NoState, kFunctions, exec_module, nullptr, nullptr, nullptr);

}  // namespace

}  // namespace dravik::diff_binding

PyMODINIT_FUNC PyInit__diff(void) { return PyModuleDef_Init(&dravik::diff_binding::kModuleDef); }

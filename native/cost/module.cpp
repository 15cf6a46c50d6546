// dravik_observe.cost: price tables and cost estimators.
#include "common/function.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "cost/estimators.hpp"
#include "cost/price_tables.hpp"
#include "cost/state.hpp"

#include <new>

namespace dravik::cost {

namespace {

// Formatted lazily by logging, with repr of the model and the provider.
constexpr const char* kUnknownModelWarning =
    "estimate_cost: no cost mapping for model=%r (provider=%r). Returning 0.0 \u2014 cost analytics will "
    "understate spend on this model until MODEL_COSTS is updated. Suppressing further warnings for this model.";

State* get_state(PyObject* m) { return static_cast<State*>(PyModule_GetState(m)); }

int init_state(PyObject* m, State* st) {
  if (intern_all(st->names, kNameTexts, N_COUNT) < 0) return -1;
  st->function_type = make_function_type(m);
  if (st->function_type == nullptr) return -1;
  st->warn_format = PyUnicode_FromString(kUnknownModelWarning);
  if (st->warn_format == nullptr) return -1;
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return -1;
  if (!(st->sorted_fn = PyObject_GetAttrString(builtins.get(), "sorted")) ||
      !(st->len_fn = PyObject_GetAttrString(builtins.get(), "len")) ||
      !(st->reverse_kw = Py_BuildValue("(ss)", "key", "reverse"))) {
    return -1;
  }
  st->model_index = new (std::nothrow) PrefixIndex();
  st->embedding_index = new (std::nothrow) PrefixIndex();
  if (st->model_index == nullptr || st->embedding_index == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  int watcher_id = -1;
  if (PrefixIndex::track_changes_init(watcher_id) < 0) return -1;
  st->watcher_id = watcher_id + 1;
  st->model_index->watcher_id = st->embedding_index->watcher_id = watcher_id;
  return 0;
}

int exec_module(PyObject* m) {
  State* st = get_state(m);
  if (init_state(m, st) < 0) return -1;

  Ref logging = Ref::steal(PyImport_ImportModule("logging"));
  if (!logging || PyModule_AddObjectRef(m, "logging", logging.get()) < 0) return -1;
  if (add_owned(m, "_cost_logger", get_logger("dravik.observe.cost").release()) < 0) return -1;
  if (add_owned(m, "_UNKNOWN_MODELS_LOGGED", PySet_New(nullptr)) < 0) return -1;
  if (add_owned(m, "MODEL_COSTS", build_model_costs()) < 0) return -1;
  if (add_owned(m, "MULTIMODAL_COSTS", build_multimodal_costs()) < 0) return -1;
  if (add_owned(m, "EMBEDDING_COSTS", build_embedding_costs()) < 0) return -1;
  Ref free_list = Ref::steal(Py_BuildValue("[ss]", "ollama", "local"));
  if (!free_list || add_owned(m, "_FREE_PROVIDERS", PyFrozenSet_New(free_list.get())) < 0) return -1;
  if (add_function(st->function_type, m, &kEstimateCost) < 0) return -1;
  if (add_function(st->function_type, m, &kEstimateEmbeddingCost) < 0) return -1;
  return 0;
}

int traverse_module(PyObject* m, visitproc visit, void* arg) {
  State* st = get_state(m);
  if (st == nullptr) return 0;
  Py_VISIT(st->function_type);
  Py_VISIT(st->warn_format);
  Py_VISIT(st->sorted_fn);
  Py_VISIT(st->len_fn);
  Py_VISIT(st->reverse_kw);
  for (PrefixIndex* index : {st->model_index, st->embedding_index}) {
    if (index != nullptr) {
      const int r = index->traverse(visit, arg);
      if (r != 0) return r;
    }
  }
  return visit_all(st->names, N_COUNT, visit, arg);
}

int clear_module(PyObject* m) {
  State* st = get_state(m);
  if (st == nullptr) return 0;
  Py_CLEAR(st->function_type);
  Py_CLEAR(st->warn_format);
  Py_CLEAR(st->sorted_fn);
  Py_CLEAR(st->len_fn);
  Py_CLEAR(st->reverse_kw);
  clear_all(st->names, N_COUNT);
  if (st->model_index != nullptr) st->model_index->clear();
  if (st->embedding_index != nullptr) st->embedding_index->clear();
  return 0;
}

void free_module(void* m) {
  clear_module(static_cast<PyObject*>(m));
  State* st = get_state(static_cast<PyObject*>(m));
  if (st == nullptr) return;
  delete st->model_index;
  delete st->embedding_index;
  st->model_index = st->embedding_index = nullptr;
  if (st->watcher_id > 0) PrefixIndex::track_changes_fini(st->watcher_id - 1);
  st->watcher_id = 0;
}

DRAVIK_MODULE_DEF(kModuleDef, "dravik_observe.cost",
                  "Client-side price tables for LLM calls and the estimators that read them.",
                  State, nullptr, exec_module, traverse_module, clear_module, free_module);

}  // namespace

}  // namespace dravik::cost

PyMODINIT_FUNC PyInit_cost(void) { return PyModuleDef_Init(&dravik::cost::kModuleDef); }

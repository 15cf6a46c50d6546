// estimate_cost and estimate_embedding_cost.
#include "cost/estimators.hpp"

#include "common/call.hpp"
#include "common/lookup.hpp"
#include "cost/prefix_match.hpp"
#include "cost/state.hpp"

namespace dravik::cost {

namespace {

// Whether a non-empty provider is one of the free ones: 1, 0, or -1.
int is_free_provider(Function* f, State* st, PyObject* provider) {
  if (PyUnicode_GET_LENGTH(provider) == 0) return 0;
  Ref free = get_global(f, st->names[N_FREE_PROVIDERS]);
  if (!free) return -1;
  if (PyFrozenSet_CheckExact(free.get())) return PySet_Contains(free.get(), provider);
  return PySequence_Contains(free.get(), provider);
}

// Exact key, then longest prefix: 1 with `record` set, 0, or -1.
int find_record(State* st, PrefixIndex* index, PyObject* table, PyObject* name, Ref& record) {
  int found = table_get(st, table, name, record);
  if (found != 0) return found;
  Ref key;
  if (longest_prefix(st, index, table, name, key) < 0) return -1;
  if (!key) return 0;
  return table_get(st, table, key.get(), record);
}

int as_double(PyObject* v, double& out) {
  out = PyFloat_AsDouble(v);
  return (out == -1.0 && PyErr_Occurred()) ? -1 : 0;
}

int record_price(PyObject* record, PyObject* key, double& out) {
  Ref v;
  if (PyDict_CheckExact(record)) {
    PyObject* item = PyDict_GetItemWithError(record, key);
    if (item == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
      return -1;
    }
    v = Ref::borrow(item);
  } else {
    v = Ref::steal(PyObject_GetItem(record, key));
    if (!v) return -1;
  }
  return as_double(v.get(), out);
}

PyObject* unknown_model(Function* f, State* st, PyObject* model, PyObject* provider) {
  // Warn once per model name; nothing here may fail the estimate.
  [&]() -> int {
    Ref seen = get_global(f, st->names[N_UNKNOWN_MODELS_LOGGED]);
    if (!seen) return -1;
    const int known = PySet_CheckExact(seen.get()) ? PySet_Contains(seen.get(), model)
                                                     : PySequence_Contains(seen.get(), model);
    if (known != 0) return known < 0 ? -1 : 0;
    if (PySet_CheckExact(seen.get())) {
      if (PySet_Add(seen.get(), model) < 0) return -1;
    } else {
      Ref r = call_method(seen.get(), st->names[N_add], model);
      if (!r) return -1;
    }
    Ref logger = get_global(f, st->names[N_cost_logger]);
    if (!logger) return -1;
    Ref r = call_method(logger.get(), st->names[N_warning], st->warn_format, model, provider);
    return r ? 0 : -1;
  }();
  if (PyErr_Occurred() && !swallow_exception()) return nullptr;
  return PyFloat_FromDouble(0.0);
}

PyObject* estimate_cost_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  PyObject* provider = args[3];
  const int free = is_free_provider(f, st, provider);
  if (free != 0) return free < 0 ? nullptr : PyFloat_FromDouble(0.0);

  Ref model = Ref::borrow(args[0]);
  const Py_ssize_t len = PyUnicode_GET_LENGTH(model.get());
  // A "models/" prefix (as some SDKs report names) is dropped once.
  if (len >= 7) {
    const int kind = PyUnicode_KIND(model.get());
    const void* data = PyUnicode_DATA(model.get());
    static constexpr char kPrefix[] = "models/";
    bool match = true;
    for (int i = 0; i < 7 && match; ++i) match = PyUnicode_READ(kind, data, i) == static_cast<Py_UCS4>(kPrefix[i]);
    if (match) {
      model = Ref::steal(PyUnicode_Substring(model.get(), 7, len));
      if (!model) return nullptr;
    }
  }

  Ref table = get_global(f, st->names[N_MODEL_COSTS]);
  if (!table) return nullptr;
  Ref record;
  int found = find_record(st, st->model_index, table.get(), model.get(), record);
  if (found < 0) return nullptr;
  if (found == 0) {
    const Py_ssize_t mlen = PyUnicode_GET_LENGTH(model.get());
    const Py_ssize_t slash = PyUnicode_FindChar(model.get(), '/', 0, mlen, -1);
    if (slash == -2) return nullptr;
    if (slash >= 0) {
      Ref bare = Ref::steal(PyUnicode_Substring(model.get(), slash + 1, mlen));
      if (!bare) return nullptr;
      found = find_record(st, st->model_index, table.get(), bare.get(), record);
      if (found < 0) return nullptr;
    }
  }
  if (found == 0) return unknown_model(f, st, model.get(), provider);

  if (!PyDict_Check(record.get())) {
    PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "dict", Py_TYPE(record.get())->tp_name);
    return nullptr;
  }
  double in_price, out_price;
  if (record_price(record.get(), st->names[N_input], in_price) < 0) return nullptr;
  if (record_price(record.get(), st->names[N_output], out_price) < 0) return nullptr;
  const double tokens_in = PyLong_AsDouble(args[1]);
  if (tokens_in == -1.0 && PyErr_Occurred()) return nullptr;
  const double tokens_out = PyLong_AsDouble(args[2]);
  if (tokens_out == -1.0 && PyErr_Occurred()) return nullptr;
  return PyFloat_FromDouble(tokens_in * in_price + tokens_out * out_price);
}

PyObject* estimate_embedding_cost_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  const int free = is_free_provider(f, st, args[2]);
  if (free != 0) return free < 0 ? nullptr : PyFloat_FromDouble(0.0);
  Ref table = get_global(f, st->names[N_EMBEDDING_COSTS]);
  if (!table) return nullptr;
  Ref price_obj;
  const int found = find_record(st, st->embedding_index, table.get(), args[0], price_obj);
  if (found < 0) return nullptr;
  if (found == 0) return PyFloat_FromDouble(0.0);
  double price;
  if (as_double(price_obj.get(), price) < 0) return nullptr;
  const double tokens = PyLong_AsDouble(args[1]);
  if (tokens == -1.0 && PyErr_Occurred()) return nullptr;
  return PyFloat_FromDouble(tokens * price);
}

constexpr Param kEstimateCostParams[] = {
    {"model", ArgType::Str, "str"},
    {"tokens_in", ArgType::Int, "int"},
    {"tokens_out", ArgType::Int, "int"},
    {"provider", ArgType::Str, "str", DefaultKind::EmptyStr},
};

constexpr Param kEstimateEmbeddingParams[] = {
    {"model", ArgType::Str, "str"},
    {"tokens", ArgType::Int, "int"},
    {"provider", ArgType::Str, "str", DefaultKind::EmptyStr},
};

}  // namespace

const FuncSpec kEstimateCost = {
    "estimate_cost",
    "Estimate the cost in USD of an LLM call from its model name and token counts.\n\n"
    "Known models are priced by exact name, then by the longest table key the name\n"
    "starts with, then by the part after the last '/'. Free local providers cost 0.0;\n"
    "an unknown model costs 0.0 and is reported once per process.",
    kEstimateCostParams,
    4,
    estimate_cost_impl,
    "float",
};

const FuncSpec kEstimateEmbeddingCost = {
    "estimate_embedding_cost",
    "Estimate the cost in USD of an embedding call from its model name and token count.\n\n"
    "Models are priced by exact name, then by the longest table key the name starts\n"
    "with; free local providers and unknown models cost 0.0.",
    kEstimateEmbeddingParams,
    3,
    estimate_embedding_cost_impl,
    "float",
};

}  // namespace dravik::cost

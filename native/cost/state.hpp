// State of the dravik_observe.cost module.
#pragma once

#include "common/function.hpp"
#include "cost/prefix_index.hpp"

namespace dravik::cost {

enum Name : int {
  N_MODEL_COSTS,
  N_EMBEDDING_COSTS,
  N_FREE_PROVIDERS,
  N_UNKNOWN_MODELS_LOGGED,
  N_cost_logger,
  N_input,
  N_output,
  N_warning,
  N_get,
  N_keys,
  N_startswith,
  N_add,
  N_COUNT
};

inline constexpr const char* kNameTexts[N_COUNT] = {
    "MODEL_COSTS", "EMBEDDING_COSTS", "_FREE_PROVIDERS", "_UNKNOWN_MODELS_LOGGED", "_cost_logger", "input",
    "output",      "warning",         "get",             "keys",                   "startswith",   "add",
};

struct State {
  PyTypeObject* function_type;
  PyObject* warn_format;  // the unknown-model warning
  PyObject* sorted_fn;    // builtins.sorted, for tables of unusual shape
  PyObject* len_fn;       // builtins.len
  PyObject* reverse_kw;   // ("key", "reverse")
  PyObject* names[N_COUNT];
  // Longest-prefix indexes of MODEL_COSTS and EMBEDDING_COSTS (owned).
  PrefixIndex* model_index;
  PrefixIndex* embedding_index;
  int watcher_id;  // the change tracker's id plus one; 0 when none
};

}  // namespace dravik::cost

// Shared declarations of the _rx binding.
#pragma once

#include "common/refs.hpp"
#include "regex/regex.hpp"

namespace dravik::rx_binding {

extern PyModuleDef kModuleDef;

struct ModState {
  rx::CaseFixes* fixes;
  PyTypeObject* pattern_type;
  PyTypeObject* scanner_type;
};

inline ModState* get_state(PyObject* m) { return static_cast<ModState*>(PyModule_GetState(m)); }
ModState* state_of_type(PyTypeObject* tp);

// Binds positional and keyword arguments to `names`; the first `required`
// are mandatory.  -1 with TypeError.
int bind_args(const char* fname, const char* const* names, int n, int required, PyObject* const* args,
              Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

int init_types(PyObject* module, ModState* st);
PyObject* new_pattern(ModState* st, PyObject* pattern, long flags);

}  // namespace dravik::rx_binding

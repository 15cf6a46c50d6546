// dravik_observe.instrumentors._pelrow: tool-decision recording.
#include "common/function.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "host/host.hpp"
#include "instrumentors/pelrow/state.hpp"

namespace dravik::pelrow {

namespace {

State* get_state(PyObject* m) { return static_cast<State*>(PyModule_GetState(m)); }

int exec_module(PyObject* m) {
  State* st = get_state(m);
  if (intern_all(st->names, kNameTexts, N_COUNT) < 0) return -1;
  if (!(st->function_type = make_function_type(m)) ||
      !(st->decision_kwnames =
            Py_BuildValue("(sssss)", "name", "options", "chosen", "reasoning", "instrumentation_type")) ||
      !(st->empty_str = PyUnicode_FromStringAndSize("", 0))) {
    return -1;
  }

  Ref logging = Ref::steal(PyImport_ImportModule("logging"));
  if (!logging || PyModule_AddObjectRef(m, "logging", logging.get()) < 0) return -1;
  Ref typing = Ref::steal(PyImport_ImportModule("typing"));
  if (!typing || add_owned(m, "Any", PyObject_GetAttrString(typing.get(), "Any")) < 0) return -1;
  // The only host name needed at import: a missing host fails the import.
  Ref ctx_module = Ref::steal(PyImport_ImportModule(host::kContextVarModule));
  if (!ctx_module ||
      add_owned(m, host::kContextVarName, PyObject_GetAttrString(ctx_module.get(), host::kContextVarName)) < 0) {
    return -1;
  }
  if (add_owned(m, "logger", get_logger("dravik_observe.instrumentors._pelrow").release()) < 0) return -1;
  if (add_function(st->function_type, m, &kExtractToolNames) < 0) return -1;
  if (add_function(st->function_type, m, &kRecordToolDecisions) < 0) return -1;
  return 0;
}

int traverse_module(PyObject* m, visitproc visit, void* arg) {
  State* st = get_state(m);
  if (st == nullptr) return 0;
  Py_VISIT(st->function_type);
  Py_VISIT(st->decision_kwnames);
  Py_VISIT(st->empty_str);
  return visit_all(st->names, N_COUNT, visit, arg);
}

int clear_module(PyObject* m) {
  State* st = get_state(m);
  if (st == nullptr) return 0;
  Py_CLEAR(st->function_type);
  Py_CLEAR(st->decision_kwnames);
  Py_CLEAR(st->empty_str);
  clear_all(st->names, N_COUNT);
  return 0;
}

DRAVIK_MODULE_DEF(kModuleDef, "dravik_observe.instrumentors._pelrow",
                  "Records the tools an LLM chose to call as decisions on the active run.",
                  State, nullptr, exec_module, traverse_module, clear_module, free_by_clearing<clear_module>);

}  // namespace

}  // namespace dravik::pelrow

PyMODINIT_FUNC PyInit__pelrow(void) { return PyModuleDef_Init(&dravik::pelrow::kModuleDef); }

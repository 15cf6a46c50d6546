// record_tool_decisions: one decision per LLM response with tool calls.
#include "common/call.hpp"
#include "common/lookup.hpp"
#include "host/host.hpp"
#include "instrumentors/pelrow/state.hpp"

namespace dravik::pelrow {

namespace {

// Builds the decision and hands it to the run context; -1 on any error.
int record(State* st, PyObject* ctx, PyObject* tool_calls, PyObject* available) {
  Ref chosen = Ref::steal(PyList_New(0));
  if (!chosen) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tool_calls); ++i) {
    Ref call = Ref::borrow(PyList_GET_ITEM(tool_calls, i));
    if (!PyDict_CheckExact(call.get())) {
      PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "dict", Py_TYPE(call.get())->tp_name);
      return -1;
    }
    PyObject* name = PyDict_GetItemWithError(call.get(), st->names[N_name]);
    if (name == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, st->names[N_name]);
      return -1;
    }
    if (PyList_Append(chosen.get(), name) < 0) return -1;
  }
  PyObject* options =
      (available != Py_None && PyList_GET_SIZE(available) > 0) ? available : chosen.get();

  Ref name, chosen_value, reasoning;
  const Py_ssize_t count = PyList_GET_SIZE(chosen.get());
  if (count == 1) {
    PyObject* only = PyList_GET_ITEM(chosen.get(), 0);
    Ref text = Ref::steal(PyObject_Format(only, st->empty_str));
    if (!text) return -1;
    name = Ref::steal(PyUnicode_Concat(st->names[N_tool_call_prefix], text.get()));
    chosen_value = Ref::borrow(only);
    reasoning = Ref::borrow(st->names[N_single_reasoning]);
  } else {
    name = Ref::borrow(st->names[N_tool_calls]);
    chosen_value = Ref::steal(PyUnicode_Join(st->names[N_comma_sep], chosen.get()));
    reasoning = Ref::steal(
        PyUnicode_FromFormat("Auto-detected %zd parallel tool calls from LLM response", count));
  }
  if (!name || !chosen_value || !reasoning) return -1;
  // ctx.record_decision(name=..., options=..., chosen=..., reasoning=..., instrumentation_type=...)
  PyObject* argv[] = {ctx, name.get(), options, chosen_value.get(), reasoning.get(), st->names[N_auto]};
  Ref r = Ref::steal(PyObject_VectorcallMethod(st->names[N_record_decision], argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                               st->decision_kwnames));
  return r ? 0 : -1;
}

PyObject* record_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  PyObject* tool_calls = args[0];
  Ref var = get_global(f, st->names[N_current_context]);
  if (!var) return nullptr;
  Ref ctx = host::context_var_get(var.get());
  if (!ctx) return nullptr;
  if (ctx.get() == Py_None || PyList_GET_SIZE(tool_calls) == 0) Py_RETURN_NONE;
  // Observability must not break the instrumented call.
  if (record(st, ctx.get(), tool_calls, args[1]) < 0 && !swallow_exception()) return nullptr;
  Py_RETURN_NONE;
}

constexpr Param kParams[] = {
    {"tool_calls", ArgType::List, "list[dict[str, Any]]"},
    {"available_tools", ArgType::ListOrNone, "list[str] | None", DefaultKind::None},
};

}  // namespace

const FuncSpec kRecordToolDecisions = {
    "record_tool_decisions",
    "Record the model's choice of tools as one decision on the active run.\n\n"
    "tool_calls are the tool calls of an LLM response (dicts with a \"name\");\n"
    "available_tools are the tool names the request offered. Failures are ignored.",
    kParams,
    2,
    record_impl,
    "None",
    ResultCheck::None,
    WhenDetached::ReturnNone,
};

}  // namespace dravik::pelrow

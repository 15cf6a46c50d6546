// The policy-driven "llm.before" gate that runs ahead of the guard proper.
#include "host/host.hpp"
#include "instrumentors/guard/helpers.hpp"

namespace dravik::guard {

namespace {

// 1 when DRAVIK_SURFACE_GATE switches the gate off, 0 when not, -1 on error.
// Read on every call so it can be flipped at run time.
int gate_switched_off(State* st) {
  Ref os = import_module(S(st, S_mod_os));
  if (!os) return -1;
  Ref environ = Ref::steal(PyObject_GetAttr(os.get(), S(st, S_environ)));
  if (!environ) return -1;
  Ref raw = call_method(environ.get(), S(st, S_get), S(st, S_gate_env), S(st, S_empty));
  if (!raw) return -1;
  Ref stripped = call_method(raw.get(), S(st, S_strip));
  if (!stripped) return -1;
  Ref value = call_method(stripped.get(), S(st, S_lower));
  if (!value) return -1;
  for (Name off : {S_off_0, S_off_false, S_off_no, S_off_off}) {
    const int eq = equals(value.get(), S(st, off));
    if (eq != 0) return eq;
  }
  return 0;
}

// outcome.<name> or `fallback` when that is false (empty or None).
Ref attr_or(PyObject* outcome, PyObject* name, PyObject* fallback) {
  Ref v = Ref::steal(PyObject_GetAttr(outcome, name));
  if (!v) return Ref();
  const int truth = PyObject_IsTrue(v.get());
  if (truth < 0) return Ref();
  return truth ? std::move(v) : Ref::borrow(fallback);
}

// Marks the active run as blocked by governance; failures are ignored.
int mark_run_blocked(State* st, PyObject* reason) {
  const int rc = [&]() -> int {
    Ref var = import_from(S(st, S_mod_context_var), S(st, S_current_context));
    if (!var) return -1;
    Ref ctx = host::context_var_get(var.get());
    if (!ctx) return -1;
    if (ctx.get() == Py_None) return 0;
    if (PyObject_SetAttr(ctx.get(), S(st, S_governance_blocked), Py_True) < 0) return -1;
    return PyObject_SetAttr(ctx.get(), S(st, S_governance_reason), reason);
  }();
  if (rc < 0 && !swallow_exception()) return -1;
  return 0;
}

// Steps 3 to 9 of the gate, inside the caller's exception guard.  A new
// reference (a result or None), or NULL with an exception set.
Ref decide(Function* f, State* st, PyObject* messages, PyObject* model, PyObject* system) {
  Ref gate_surface = import_from(S(st, S_mod_surface_gate), S(st, S_gate_surface));
  if (!gate_surface) return Ref();
  Ref result_cls = import_from(S(st, S_mod_types), S(st, S_PromptGuardResult));
  if (!result_cls) return Ref();
  PyObject* extract_args[] = {messages, system};
  Ref text = call_global(f, st, S_extract_text, extract_args, 2);
  if (!text) return Ref();
  Ref payload = Ref::steal(PyDict_New());
  if (!payload || PyDict_SetItem(payload.get(), S(st, S_model), model) < 0 ||
      PyDict_SetItem(payload.get(), S(st, S_text), text.get()) < 0) {
    return Ref();
  }
  Ref outcome = call(gate_surface.get(), S(st, S_llm_before), payload.get());
  if (!outcome) return Ref();

  Ref is_block = Ref::steal(PyObject_GetAttr(outcome.get(), S(st, S_is_block)));
  if (!is_block) return Ref();
  const int blocked = PyObject_IsTrue(is_block.get());
  if (blocked < 0) return Ref();
  if (blocked) {
    Ref reason = attr_or(outcome.get(), S(st, S_reason), S(st, S_blocked_default));
    if (!reason) return Ref();
    if (mark_run_blocked(st, reason.get()) < 0) return Ref();
    Ref violations = Ref::steal(PyList_New(1));
    if (!violations) return Ref();
    PyList_SET_ITEM(violations.get(), 0, reason.new_ref());
    PyObject* values[] = {Py_False, S(st, S_block), violations.get(), S(st, S_policy)};
    return call_kw(result_cls.get(), values, st->kwnames[KW_policy_block]);
  }

  Ref action = Ref::steal(PyObject_GetAttr(outcome.get(), S(st, S_action)));
  if (!action) return Ref();
  const int warn = equals(action.get(), S(st, S_warn));
  if (warn < 0) return Ref();
  if (warn) {
    Ref emit_warn = import_from(S(st, S_mod_surface_gate), S(st, S_emit_warn));
    if (!emit_warn) return Ref();
    Ref surface;
    const int has_surface = get_optional_attr(outcome.get(), S(st, S_surface), surface);
    if (has_surface < 0) return Ref();
    const int surface_set = has_surface ? PyObject_IsTrue(surface.get()) : 0;
    if (surface_set < 0) return Ref();
    if (!surface_set && PyObject_SetAttr(outcome.get(), S(st, S_surface), S(st, S_llm_before)) < 0) return Ref();
    Ref ignored = call(emit_warn.get(), outcome.get());
    if (!ignored) return Ref();
    return none_ref();
  }

  action = Ref::steal(PyObject_GetAttr(outcome.get(), S(st, S_action)));
  if (!action) return Ref();
  const int redact = equals(action.get(), S(st, S_redact));
  if (redact < 0) return Ref();
  if (!redact) return none_ref();

  PyObject* redact_args[] = {messages, system};
  Ref redacted = call_global(f, st, S_redact_messages, redact_args, 2);
  if (!redacted) return Ref();
  Ref redacted_messages, redacted_system;
  if (unpack2(redacted.get(), redacted_messages, redacted_system) < 0) return Ref();
  Ref reason = attr_or(outcome.get(), S(st, S_reason), S(st, S_redacted_default));
  if (!reason) return Ref();
  Ref violations = Ref::steal(PyList_New(1));
  if (!violations) return Ref();
  PyList_SET_ITEM(violations.get(), 0, reason.new_ref());
  PyObject* values[] = {Py_True, S(st, S_redact), violations.get(), redacted_messages.get(), S(st, S_policy)};
  Ref result = call_kw(result_cls.get(), values, st->kwnames[KW_policy_redact]);
  if (!result) return Ref();
  if (redacted_system.get() != Py_None &&
      PyObject_SetAttr(result.get(), S(st, S_redacted_system_attr), redacted_system.get()) < 0) {
    return Ref();
  }
  return result;
}

PyObject* surface_gate_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  const int off = gate_switched_off(st);
  if (off < 0) return nullptr;
  if (off) Py_RETURN_NONE;
  // Degrade-safe: any ordinary failure from here on allows the call.
  Ref result = decide(f, st, args[0], args[1], args[2]);
  if (result) return result.release();
  if (!swallow_exception()) return nullptr;
  Py_RETURN_NONE;
}

constexpr Param kGateParams[] = {
    {"messages", ArgType::List, "list"},
    {"model", ArgType::Str, "str"},
    {"system", ArgType::Str, "str"},
};

}  // namespace

const FuncSpec kSurfaceGate = {
    "_surface_gate_llm_before",
    "Consult the policy-driven \"llm.before\" surface gate before a model call.\n\n"
    "Returns a blocking or redacting PromptGuardResult, or None to let the call\n"
    "go on to the prompt guard. Switched off by DRAVIK_SURFACE_GATE set to 0,\n"
    "false, no or off; any failure means allow.",
    kGateParams,
    3,
    surface_gate_impl,
    "PromptGuardResult | None",
    ResultCheck::None,
    WhenDetached::ReturnNone,
};

}  // namespace dravik::guard

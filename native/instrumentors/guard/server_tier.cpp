// The server-side scan through the host client, and the carrying of the
// service's edits into every message (recovering them: edit_recovery.cpp).
#include "instrumentors/guard/message_rewrite.hpp"
#include "instrumentors/guard/substitutions.hpp"

namespace dravik::guard {

namespace {

// The client steps, inside the caller's exception guard.  NULL with an
// exception set on failure; None when the client is not configured.
Ref ask_service(State* st, PyObject* text, PyObject* model) {
  Ref client_cls = import_from(S(st, S_mod_client), S(st, S_DravikObserveClient));
  if (!client_cls) return Ref();
  Ref configured = call_method(client_cls.get(), S(st, S_is_configured));
  if (!configured) return Ref();
  const int ok = PyObject_IsTrue(configured.get());
  if (ok < 0) return Ref();
  if (!ok) return none_ref();
  Ref client = call(client_cls.get());
  if (!client) return Ref();
  PyObject* argv[] = {client.get(), text, model};
  Ref result = Ref::steal(PyObject_VectorcallMethod(S(st, S_prompt_guard_sync), argv,
                                                    1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                    st->kwnames[KW_prompt_guard]));
  if (!result) return Ref();
  if (!PyDict_CheckExact(result.get()) && result.get() != Py_None) {
    PyErr_Format(PyExc_TypeError, "prompt_guard_sync returned %.200s, expected dict or None",
                 Py_TYPE(result.get())->tp_name);
    return Ref();
  }
  return result;
}

PyObject* server_check_prompt_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  Ref result = ask_service(st, args[0], args[1]);
  if (result) return result.release();
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  Ref exc = take_exception();
  Ref logger = global(f, st, S_logger);
  if (!logger) return nullptr;
  Ref logged = call_method(logger.get(), S(st, S_debug), S(st, S_msg_server_failed), exc.get());
  if (!logged) return nullptr;
  Py_RETURN_NONE;
}

PyObject* apply_substitutions_impl(Function* f, PyObject* const* args) {
  SubstitutionPlan plan;
  return plan.apply(module_state<State>(f), args[0], args[1]).release();
}

PyObject* redact_messages_ml_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  PyObject* pairs = args[2];
  PyObject* local_args[] = {args[0], args[1]};
  Ref local = call_global(f, st, S_redact_messages, local_args, 2);
  if (!local) return nullptr;
  Ref msgs, sys_text;
  if (unpack2(local.get(), msgs, sys_text) < 0) return nullptr;
  if (PyList_GET_SIZE(pairs) == 0) return PyTuple_Pack(2, msgs.get(), sys_text.get());

  // One plan for every text, while _apply_substitutions is still this
  // module's own function (whose body is exactly plan.apply).
  SubstitutionPlan plan;
  auto substitute = [&](PyObject* text) -> Ref {
    Ref fn = global(f, st, S_apply_substitutions);
    if (!fn) return Ref();
    if (fn.get() == st->own[S_apply_substitutions] && PyUnicode_CheckExact(text)) return plan.apply(st, text, pairs);
    PyObject* call_args[] = {text, pairs};
    return Ref::steal(PyObject_Vectorcall(fn.get(), call_args, 2, nullptr));
  };
  Ref out = rewrite_messages(st, msgs.get(), substitute);
  if (!out) return nullptr;
  const int has_system = PyObject_IsTrue(sys_text.get());
  if (has_system < 0) return nullptr;
  Ref system = has_system ? plain_if_str_subclass(sys_text.get()) : Ref::borrow(S(st, S_empty));
  if (!system) return nullptr;
  Ref new_system = substitute(system.get());
  if (!new_system) return nullptr;
  return PyTuple_Pack(2, out.get(), new_system.get());
}

constexpr Param kServerParams[] = {
    {"text", ArgType::Str, "str"},
    {"model", ArgType::Str, "str", DefaultKind::EmptyStr},
};
constexpr Param kApplyParams[] = {
    {"text", ArgType::Str, "str"},
    {"pairs", ArgType::List, "list[tuple[str, str]]"},
};
constexpr Param kRedactMlParams[] = {
    {"messages", ArgType::List, "list"},
    {"system", ArgType::Str, "str"},
    {"pairs", ArgType::List, "list[tuple[str, str]]"},
};

}  // namespace

const FuncSpec kServerCheckPrompt = {
    "_server_check_prompt",
    "Ask the observe service's prompt guard to scan text.\n\n"
    "Returns the service's response dict, or None when the client is not\n"
    "configured or anything fails (failures are logged at debug level).",
    kServerParams,
    2,
    server_check_prompt_impl,
    "dict | None",
    ResultCheck::None,
    WhenDetached::ReturnNone,
};

const FuncSpec kApplySubstitutions = {
    "_apply_substitutions",
    "Replace each found text by its placeholder, in list order. Literal, all occurrences.",
    kApplyParams,
    2,
    apply_substitutions_impl,
    "str",
    ResultCheck::StrOrNone,
};

const FuncSpec kRedactMessagesMl = {
    "_redact_messages_ml",
    "Local regex scrub PLUS the ML guard's own substitutions, per message.\n\n"
    "Returns redacted copies of messages and the system prompt; the originals\n"
    "are not modified.",
    kRedactMlParams,
    3,
    redact_messages_ml_impl,
    "tuple[list, str]",
};

}  // namespace dravik::guard

// configure and check_prompt: the guard's state and its check flow.
#include "instrumentors/guard/helpers.hpp"

namespace dravik::guard {

namespace {

PyObject* configure_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  PyObject* enabled = args[0];  // already True or False
  PyObject* server = args[1];
  PyObject* action = args[2];   // exactly a str
  PyObject* stored_action = S(st, S_block);
  for (Name known : {S_block, S_warn, S_redact}) {
    if (PyUnicode_Compare(action, S(st, known)) == 0) stored_action = action;
  }
  PyObject* globals = f->globals;
  if (PyDict_SetItem(globals, S(st, S_enabled), enabled) < 0 ||
      PyDict_SetItem(globals, S(st, S_server_check), server) < 0 ||
      PyDict_SetItem(globals, S(st, S_action_var), stored_action) < 0) {
    return nullptr;
  }
  if (enabled == Py_True) {
    Ref logger = global(f, st, S_logger);
    if (!logger) return nullptr;
    PyObject* argv[] = {logger.get(), S(st, S_msg_configured), enabled, server, stored_action};
    Ref logged = Ref::steal(
        PyObject_VectorcallMethod(S(st, S_debug), argv, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!logged) return nullptr;
  }
  Py_RETURN_NONE;
}

// 1 when the module global `name` is true, 0 when false, -1 on error.
int global_truth(Function* f, State* st, Name name) {
  Ref v = global(f, st, name);
  if (!v) return -1;
  return PyObject_IsTrue(v.get());
}

// 1 when `text` is empty or only whitespace (str.strip() would be empty).
int is_blank(State* st, PyObject* text) {
  if (PyUnicode_CheckExact(text)) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return 0;
    }
    return 1;
  }
  Ref stripped = call_method(text, S(st, S_strip));
  if (!stripped) return -1;
  const int truth = PyObject_IsTrue(stripped.get());
  return truth < 0 ? -1 : !truth;
}

// Adds the server tier's findings to `violations`; updates `source` and
// `server_redacted_text`.
int merge_server_result(State* st, PyObject* server_result, Ref& violations, Ref& source,
                        Ref& server_redacted_text) {
  Ref empty_list = Ref::steal(PyList_New(0));
  if (!empty_list) return -1;
  Ref server_violations = mapping_get(st, server_result, S(st, S_violations), empty_list.get());
  if (!server_violations) return -1;
  const int any = PyObject_IsTrue(server_violations.get());
  if (any < 0) return -1;
  if (any) {
    const int had_local = PyObject_IsTrue(violations.get());
    if (had_local < 0) return -1;
    const int rc = for_each_item(server_violations.get(), [&](PyObject* entry) -> int {
      Ref desc;
      if (PyUnicode_Check(entry)) {
        desc = Ref::borrow(entry);
      } else {
        // A mapping's detail, or, only when it has none, its string form.
        desc = mapping_get(st, entry, S(st, S_detail), st->missing);
        if (!desc) return -1;
        if (desc.get() == st->missing) {
          desc = Ref::steal(PyObject_Str(entry));
          if (!desc) return -1;
        }
      }
      const int known = PySequence_Contains(violations.get(), desc.get());
      if (known != 0) return known < 0 ? -1 : 0;
      Ref tagged = format_into(st, S(st, S_server_tag), desc.get());
      if (!tagged) return -1;
      return append_to(st, violations.get(), tagged.get());
    });
    if (rc < 0) return -1;
    source = Ref::borrow(S(st, had_local ? S_both : S_server));
  }
  server_redacted_text = mapping_get(st, server_result, S(st, S_redacted_text), Py_None);
  return server_redacted_text ? 0 : -1;
}

PyObject* check_prompt_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  PyObject* messages = args[0];
  PyObject* model = args[1];
  PyObject* system = args[2];

  Ref gated = call_global(f, st, S_surface_gate_llm_before, args, 3);
  if (!gated) return nullptr;
  if (gated.get() != Py_None) return gated.release();

  const int enabled = global_truth(f, st, S_enabled);
  if (enabled <= 0) {
    if (enabled < 0) return nullptr;
    Py_RETURN_NONE;
  }

  Ref result_cls = import_from(S(st, S_mod_types), S(st, S_PromptGuardResult));
  if (!result_cls) return nullptr;

  PyObject* extract_args[] = {messages, system};
  Ref text = call_global(f, st, S_extract_text, extract_args, 2);
  if (!text) return nullptr;
  const int blank = is_blank(st, text.get());
  if (blank != 0) {
    if (blank < 0) return nullptr;
    Py_RETURN_NONE;
  }

  PyObject* text_arg[] = {text.get()};
  Ref pii = call_global(f, st, S_detect_pii, text_arg, 1);
  if (!pii) return nullptr;
  Ref credentials = call_global(f, st, S_detect_credentials, text_arg, 1);
  if (!credentials) return nullptr;
  Ref injection = call_global(f, st, S_detect_injection, text_arg, 1);
  if (!injection) return nullptr;
  Ref violations = Ref::steal(PyNumber_Add(pii.get(), credentials.get()));
  if (!violations) return nullptr;
  violations = Ref::steal(PyNumber_Add(violations.get(), injection.get()));
  if (!violations) return nullptr;
  Ref source = Ref::borrow(S(st, S_local));
  Ref server_redacted_text = none_ref();

  const int server_on = global_truth(f, st, S_server_check);
  if (server_on < 0) return nullptr;
  if (server_on) {
    PyObject* server_args[] = {text.get(), model};
    Ref server_result = call_global(f, st, S_server_check_prompt, server_args, 2);
    if (!server_result) return nullptr;
    const int usable = PyObject_IsTrue(server_result.get());
    if (usable < 0) return nullptr;
    if (usable && merge_server_result(st, server_result.get(), violations, source, server_redacted_text) < 0) {
      return nullptr;
    }
  }

  const int any = PyObject_IsTrue(violations.get());
  if (any < 0) return nullptr;
  if (!any) {
    PyObject* values[] = {Py_True, S(st, S_allow), source.get()};
    return call_kw(result_cls.get(), values, st->kwnames[KW_allow]).release();
  }

  Ref action = global(f, st, S_action_var);
  if (!action) return nullptr;
  Ref redacted_messages = none_ref();
  Ref redacted_system = none_ref();

  const int redact = equals(action.get(), S(st, S_redact));
  if (redact < 0) return nullptr;
  if (redact) {
    // The service's scrubbed copy counts only when it is a non-empty str;
    // anything else leaves the regex pass alone.
    PyObject* scrubbed = S(st, S_empty);
    if (PyUnicode_Check(server_redacted_text.get())) scrubbed = server_redacted_text.get();
    Ref scrubbed_plain = plain_if_str_subclass(scrubbed);
    if (!scrubbed_plain) return nullptr;
    PyObject* ml_args[] = {text.get(), scrubbed_plain.get()};
    Ref pairs = call_global(f, st, S_ml_substitutions, ml_args, 2);
    if (!pairs) return nullptr;
    PyObject* redact_args[] = {messages, system, pairs.get()};
    Ref redacted = call_global(f, st, S_redact_messages_ml, redact_args, 3);
    if (!redacted) return nullptr;
    if (unpack2(redacted.get(), redacted_messages, redacted_system) < 0) return nullptr;
  }

  const int warn = equals(action.get(), S(st, S_warn));
  if (warn < 0) return nullptr;
  if (warn) {
    Ref joined = Ref::steal(PyUnicode_Join(S(st, S_semicolon_sep), violations.get()));
    if (!joined) return nullptr;
    Ref logger = global(f, st, S_logger);
    if (!logger) return nullptr;
    Ref logged = call_method(logger.get(), S(st, S_warning), S(st, S_msg_warn_mode), joined.get());
    if (!logged) return nullptr;
  }

  PyObject* values[] = {warn ? Py_True : Py_False, action.get(), violations.get(), source.get(),
                        redacted_messages.get()};
  Ref result = call_kw(result_cls.get(), values, st->kwnames[KW_verdict]);
  if (!result) return nullptr;
  if (redacted_system.get() != Py_None &&
      PyObject_SetAttr(result.get(), S(st, S_redacted_system_attr), redacted_system.get()) < 0) {
    return nullptr;
  }
  return result.release();
}

constexpr Param kConfigureParams[] = {
    {"enabled", ArgType::Bool, "bool", DefaultKind::False},
    {"server", ArgType::Bool, "bool", DefaultKind::False},
    {"action", ArgType::Str, "str", DefaultKind::Str, "block"},
};
constexpr Param kCheckParams[] = {
    {"messages", ArgType::List, "list"},
    {"model", ArgType::Str, "str", DefaultKind::EmptyStr},
    {"system", ArgType::Str, "str", DefaultKind::EmptyStr},
};

}  // namespace

const FuncSpec kConfigure = {
    "configure",
    "Configure the prompt guard (called by the kit's init()).\n\n"
    "enabled turns the local regex tier on, server adds the observe service's\n"
    "ML scan, and action is one of \"block\", \"warn\" or \"redact\" (anything else\n"
    "means \"block\").",
    kConfigureParams,
    3,
    configure_impl,
    "None",
};

const FuncSpec kCheckPrompt = {
    "check_prompt",
    "Check an outgoing prompt before an LLM call.\n\n"
    "The policy surface gate runs first; then, when the guard is enabled, the\n"
    "local detectors and optionally the server tier. Returns None when there is\n"
    "nothing to check, otherwise a PromptGuardResult: \"allow\", \"warn\" (passes),\n"
    "\"block\" (the caller raises PromptGuardError) or \"redact\" (the caller goes\n"
    "on with result.redacted_messages).",
    kCheckParams,
    3,
    check_prompt_impl,
    "PromptGuardResult | None",
};

}  // namespace dravik::guard

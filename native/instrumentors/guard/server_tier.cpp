// The server-side scan through the host client, and the carrying of the
// service's edits into every message.
#include "instrumentors/guard/message_rewrite.hpp"

#include <algorithm>
#include <vector>

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

struct Pair {
  Ref found;
  Ref placeholder;
  Py_ssize_t found_len;
};

// The (found, placeholder) pairs of the "replace" opcodes, in opcode order.
// -1 with an exception set on failure.
int collect_pairs(State* st, PyObject* original, PyObject* redacted, std::vector<Pair>& pairs) {
  Ref matcher_cls = import_from(S(st, S_mod_difflib), S(st, S_SequenceMatcher));
  if (!matcher_cls) return -1;
  PyObject* argv[] = {nullptr, Py_None, original, redacted, Py_False};
  Ref matcher = Ref::steal(PyObject_Vectorcall(matcher_cls.get(), argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                               st->kwnames[KW_autojunk]));
  if (!matcher) return -1;
  Ref opcodes = call_method(matcher.get(), S(st, S_get_opcodes));
  if (!opcodes) return -1;
  return for_each_item(opcodes.get(), [&](PyObject* op) -> int {
    Ref seq = Ref::steal(PySequence_Tuple(op));
    if (!seq) return -1;
    if (PyTuple_GET_SIZE(seq.get()) != 5) {
      PyErr_SetString(PyExc_ValueError, "unexpected opcode shape");
      return -1;
    }
    const int is_replace = equals(PyTuple_GET_ITEM(seq.get(), 0), S(st, S_replace_tag));
    if (is_replace <= 0) return is_replace;
    Py_ssize_t bounds[4];
    for (int k = 0; k < 4; ++k) {
      bounds[k] = PyNumber_AsSsize_t(PyTuple_GET_ITEM(seq.get(), k + 1), PyExc_OverflowError);
      if (bounds[k] == -1 && PyErr_Occurred()) return -1;
    }
    Ref found_raw = Ref::steal(PyUnicode_Substring(original, bounds[0], bounds[1]));
    if (!found_raw) return -1;
    Ref found = call_method(found_raw.get(), S(st, S_strip));
    if (!found) return -1;
    Ref ph_raw = Ref::steal(PyUnicode_Substring(redacted, bounds[2], bounds[3]));
    if (!ph_raw) return -1;
    Ref placeholder = call_method(ph_raw.get(), S(st, S_strip));
    if (!placeholder) return -1;
    const Py_ssize_t found_len = PyUnicode_GET_LENGTH(found.get());
    const Py_ssize_t ph_len = PyUnicode_GET_LENGTH(placeholder.get());
    if (found_len == 0 || ph_len == 0) return 0;
    if (ph_len > std::max<Py_ssize_t>(64, 2 * found_len)) return 0;
    pairs.push_back(Pair{std::move(found), std::move(placeholder), found_len});
    return 0;
  });
}

PyObject* ml_substitutions_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  PyObject* original = args[0];
  PyObject* redacted = args[1];
  if (PyUnicode_GET_LENGTH(original) == 0 || PyUnicode_GET_LENGTH(redacted) == 0) return PyList_New(0);
  const int same = equals(original, redacted);
  if (same < 0) return nullptr;
  if (same) return PyList_New(0);

  std::vector<Pair> pairs;
  if (collect_pairs(st, original, redacted, pairs) < 0) {
    if (!swallow_exception()) return nullptr;
    return PyList_New(0);
  }
  // Longest found text first, so an entity is replaced before any shorter
  // one nested in it; equal lengths keep their opcode order.
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const Pair& a, const Pair& b) { return a.found_len > b.found_len; });
  Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  for (size_t i = 0; out && i < pairs.size(); ++i) {
    PyObject* pair = PyTuple_Pack(2, pairs[i].found.get(), pairs[i].placeholder.get());
    if (pair == nullptr) {
      out.reset();
      break;
    }
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), pair);
  }
  if (out) return out.release();
  if (!swallow_exception()) return nullptr;
  return PyList_New(0);
}

PyObject* apply_substitutions_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  PyObject* pairs = args[1];
  Ref text = Ref::borrow(args[0]);
  if (PyUnicode_GET_LENGTH(text.get()) == 0 || PyList_GET_SIZE(pairs) == 0) return text.release();
  const int rc = for_each_item(pairs, [&](PyObject* pair) -> int {
    Ref found, placeholder;
    if (unpack2(pair, found, placeholder) < 0) return -1;
    const int non_empty = PyObject_IsTrue(found.get());
    if (non_empty <= 0) return non_empty;
    const int present = PySequence_Contains(text.get(), found.get());
    if (present <= 0) return present;
    // str.replace: literal text, every occurrence.
    text = call_method(text.get(), S(st, S_replace_tag), found.get(), placeholder.get());
    return text ? 0 : -1;
  });
  return rc < 0 ? nullptr : text.release();
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

  auto substitute = [&](PyObject* text) -> Ref {
    PyObject* call_args[] = {text, pairs};
    return call_global(f, st, S_apply_substitutions, call_args, 2);
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
constexpr Param kMlParams[] = {
    {"original", ArgType::Str, "str"},
    {"redacted", ArgType::Str, "str"},
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

const FuncSpec kMlSubstitutions = {
    "_ml_substitutions",
    "Recover the service's edits as (found, placeholder) pairs, longest found text first.\n\n"
    "Diffs the text that was sent against the service's scrubbed copy; each\n"
    "replaced span becomes one pair. Any failure gives an empty list.",
    kMlParams,
    2,
    ml_substitutions_impl,
    "list[tuple[str, str]]",
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

// Placeholder redaction of text and of message lists.
#include "instrumentors/guard/message_rewrite.hpp"
#include "instrumentors/guard/pattern_engine.hpp"

namespace dravik::guard {

namespace {

// Replaces the matches of every pattern of one dict table, in table order.
Ref redact_with_table(Function* f, State* st, Name table_name, Ref text) {
  Ref table = global(f, st, table_name);
  if (!table) return Ref();
  Ref entries = items_snapshot(st, table.get());
  if (!entries) return Ref();
  const int rc = for_each_item(entries.get(), [&](PyObject* entry) -> int {
    Ref label, pattern;
    if (unpack2(entry, label, pattern) < 0) return -1;
    Ref upper = call_method(label.get(), S(st, S_upper));
    if (!upper) return -1;
    Ref placeholder = format_into(st, S(st, S_hashes), upper.get(), S(st, S_hashes));
    if (!placeholder) return -1;
    text = engine_replace_all(st, pattern.get(), text.get(), placeholder.get());
    return text ? 0 : -1;
  });
  return rc < 0 ? Ref() : std::move(text);
}

PyObject* redact_text_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  Ref text = redact_with_table(f, st, S_PII_PATTERNS, Ref::borrow(args[0]));
  if (!text) return nullptr;
  return redact_with_table(f, st, S_CREDENTIAL_PATTERNS, std::move(text)).release();
}

PyObject* redact_messages_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  PyObject* system = args[1];
  auto redact = [&](PyObject* text) -> Ref { return call_global(f, st, S_redact_text, &text, 1); };
  Ref messages = rewrite_messages(st, args[0], redact);
  if (!messages) return nullptr;
  Ref redacted_system = PyUnicode_GET_LENGTH(system) > 0 ? redact(system) : Ref::borrow(system);
  if (!redacted_system) return nullptr;
  return PyTuple_Pack(2, messages.get(), redacted_system.get());
}

constexpr Param kTextParam[] = {
    {"text", ArgType::Str, "str"},
};
constexpr Param kMessagesParams[] = {
    {"messages", ArgType::List, "list"},
    {"system", ArgType::Str, "str", DefaultKind::EmptyStr},
};

}  // namespace

const FuncSpec kRedactText = {
    "_redact_text",
    "Replace every PII and credential match in text with its ##TYPE## placeholder.",
    kTextParam,
    1,
    redact_text_impl,
    "str",
    ResultCheck::StrOrNone,
};

const FuncSpec kRedactMessages = {
    "_redact_messages",
    "Return redacted copies of messages and the system prompt. Does NOT mutate the originals.",
    kMessagesParams,
    2,
    redact_messages_impl,
    "tuple[list, str]",
};

}  // namespace dravik::guard

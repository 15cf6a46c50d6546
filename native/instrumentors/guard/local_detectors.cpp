// Prompt text extraction and the three local detectors.
#include "instrumentors/guard/helpers.hpp"
#include "instrumentors/guard/pattern_engine.hpp"

#include <vector>

namespace dravik::guard {

namespace {

PyObject* extract_text_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  PyObject* messages = args[0];
  PyObject* system = args[1];
  Ref parts = Ref::steal(PyList_New(0));
  if (!parts) return nullptr;
  if (PyUnicode_GET_LENGTH(system) > 0 && PyList_Append(parts.get(), system) < 0) return nullptr;

  auto add_block = [&](PyObject* block) -> int {
    if (!PyDict_Check(block)) return 0;
    Ref type = mapping_get(st, block, S(st, S_type), Py_None);
    if (!type) return -1;
    const int is_text = equals(type.get(), S(st, S_text));
    if (is_text <= 0) return is_text;
    // A non-str "text" is kept: the join below rejects it with TypeError.
    Ref text = mapping_get(st, block, S(st, S_text), S(st, S_empty));
    if (!text) return -1;
    return PyList_Append(parts.get(), text.get());
  };
  auto add_message = [&](PyObject* msg) -> int {
    if (!PyDict_Check(msg)) return 0;
    Ref content = mapping_get(st, msg, S(st, S_content), S(st, S_empty));
    if (!content) return -1;
    if (PyUnicode_Check(content.get())) return PyList_Append(parts.get(), content.get());
    if (PyList_Check(content.get())) return for_each_item(content.get(), add_block);
    return 0;
  };
  if (for_each_item(messages, add_message) < 0) return nullptr;
  return PyUnicode_Join(S(st, S_newline), parts.get());
}

// One description per (label, pattern) entry of a dict table that matches.
PyObject* detect_labelled(Function* f, Name table_name, Name prefix, PyObject* text) {
  State* st = module_state<State>(f);
  Ref table = global(f, st, table_name);
  if (!table) return nullptr;
  Ref entries = items_snapshot(st, table.get());
  if (!entries) return nullptr;
  Ref found = Ref::steal(PyList_New(0));
  if (!found) return nullptr;
  // The snapshot (a list of the items) keeps every pattern alive.
  std::vector<PyObject*> patterns;
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(entries.get()); ++k) {
    PyObject* item = PyList_GET_ITEM(entries.get(), k);
    patterns.push_back(PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2 ? PyTuple_GET_ITEM(item, 1) : nullptr);
  }
  TableSearch searches;
  if (searches.prepare(st, std::move(patterns), text) < 0) return nullptr;
  size_t k = 0;
  const int rc = for_each_item(entries.get(), [&](PyObject* entry) -> int {
    Ref label, pattern;
    if (unpack2(entry, label, pattern) < 0) return -1;
    const int hit = searches.search(st, k++, pattern.get(), text, nullptr);
    if (hit <= 0) return hit;
    Ref desc = format_into(st, S(st, prefix), label.get());
    return desc ? PyList_Append(found.get(), desc.get()) : -1;
  });
  return rc < 0 ? nullptr : found.release();
}

PyObject* detect_pii_impl(Function* f, PyObject* const* args) {
  return detect_labelled(f, S_PII_PATTERNS, S_pii_prefix, args[0]);
}

PyObject* detect_credentials_impl(Function* f, PyObject* const* args) {
  return detect_labelled(f, S_CREDENTIAL_PATTERNS, S_credential_prefix, args[0]);
}

PyObject* detect_injection_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  PyObject* text = args[0];
  Ref table = global(f, st, S_INJECTION_PATTERNS);
  if (!table) return nullptr;
  Ref found = Ref::steal(PyList_New(0));
  if (!found) return nullptr;
  // A list is walked by index as it stands at each step (see for_each_item);
  // its entries as they are now are held here for the one pass over the text.
  std::vector<Ref> held;
  std::vector<PyObject*> patterns;
  if (PyList_CheckExact(table.get())) {
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(table.get()); ++k) {
      held.push_back(Ref::borrow(PyList_GET_ITEM(table.get(), k)));
      patterns.push_back(held.back().get());
    }
  }
  TableSearch searches;
  if (searches.prepare(st, std::move(patterns), text) < 0) return nullptr;
  size_t k = 0;
  const int rc = for_each_item(table.get(), [&](PyObject* pattern) -> int {
    Ref matched;
    const int hit = searches.search(st, k++, pattern, text, &matched);
    if (hit <= 0) return hit;
    Ref desc = format_into(st, S(st, S_injection_prefix), matched.get(), S(st, S_quote));
    return desc ? PyList_Append(found.get(), desc.get()) : -1;
  });
  return rc < 0 ? nullptr : found.release();
}

constexpr Param kExtractParams[] = {
    {"messages", ArgType::List, "list"},
    {"system", ArgType::Str, "str", DefaultKind::EmptyStr},
};
constexpr Param kTextParam[] = {
    {"text", ArgType::Str, "str"},
};

}  // namespace

const FuncSpec kExtractText = {
    "_extract_text",
    "Join the text of a chat request into one string for scanning.\n\n"
    "Accepts messages whose \"content\" is a string and messages whose \"content\"\n"
    "is a list of typed blocks ({\"type\": \"text\", \"text\": ...}); a non-empty\n"
    "system prompt comes first. Parts are joined with newlines.",
    kExtractParams,
    2,
    extract_text_impl,
    "str",
    ResultCheck::StrOrNone,
};

const FuncSpec kDetectPii = {
    "_detect_pii",
    "Return one description per kind of personal data found in text.",
    kTextParam,
    1,
    detect_pii_impl,
    "list[str]",
};

const FuncSpec kDetectCredentials = {
    "_detect_credentials",
    "Return one description per kind of credential found in text; the secret is never included.",
    kTextParam,
    1,
    detect_credentials_impl,
    "list[str]",
};

const FuncSpec kDetectInjection = {
    "_detect_injection",
    "Return one description per prompt-injection pattern found in text, quoting its first match.",
    kTextParam,
    1,
    detect_injection_impl,
    "list[str]",
};

}  // namespace dravik::guard

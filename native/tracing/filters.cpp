// Spans that are dropped before conversion, and the provider behind a model name.
#include "common/str_ready.hpp"
#include "tracing/functions.hpp"
#include "tracing/support.hpp"

#include <string.h>

namespace dravik::tracing {

namespace {

// Substring test for short texts: memchr to each candidate start, then memcmp.
bool ascii_contains(const char* hay, Py_ssize_t hay_len, const char* needle, Py_ssize_t len) {
  if (len == 0) return true;
  if (len > hay_len) return false;
  const char* p = hay;
  const char* const last = hay + (hay_len - len);
  while (p <= last) {
    p = static_cast<const char*>(memchr(p, needle[0], static_cast<size_t>(last - p + 1)));
    if (p == nullptr) return false;
    if (memcmp(p + 1, needle + 1, static_cast<size_t>(len - 1)) == 0) return true;
    ++p;
  }
  return false;
}

// Whether any entry of `table` occurs in `url`, in table order and
// stopping at the first hit.
PyObject* any_entry_in(PyObject* table, PyObject* url) {
  const bool ascii_url = is_ascii_str(url);
  // A tuple (the tables as built) is read in place: it cannot change.
  const bool tuple = PyTuple_CheckExact(table);
  Ref it = tuple ? Ref() : Ref::steal(PyObject_GetIter(table));
  if (!tuple && !it) return nullptr;
  for (Py_ssize_t i = 0;; ++i) {
    Ref entry;
    if (tuple) {
      if (i >= PyTuple_GET_SIZE(table)) break;
      entry = Ref::borrow(PyTuple_GET_ITEM(table, i));
    } else if (!(entry = Ref::steal(PyIter_Next(it.get())))) {
      break;
    }
    PyObject* e = entry.get();
    if (ascii_url && is_ascii_str(e)) {
      // Plain ASCII on both sides: a byte search finds exactly what `in` finds.
      const Py_ssize_t n = PyUnicode_GET_LENGTH(e);
      if (ascii_contains(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(url)), PyUnicode_GET_LENGTH(url),
                         reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(e)), n)) {
        Py_RETURN_TRUE;
      }
      continue;
    }
    const int in = PySequence_Contains(url, e);
    if (in < 0) return nullptr;
    if (in) Py_RETURN_TRUE;
  }
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_FALSE;
}

// The same for the global table `table_name`, with `url` lower-cased first
// when `lower`; `url` is the text found (not yet lower-cased).
PyObject* url_in_table(Function* f, State* st, Name table_name, UrlTableSlot slot, PyObject* url, bool lower) {
  Ref lowered;
  if (lower && !is_ascii_str(url)) {
    // Lowered before the table is looked up, as the rule orders it: this
    // calls the object's own lower().
    if (!(lowered = lower_text(st, url))) return nullptr;
  }
  Ref table = get_global(f, st->names[table_name]);
  if (!table) return nullptr;
  if (!lowered) {
    const int r = url_table_contains(st->url_tables[slot], table.get(), url, lower);
    if (r >= 0) return PyBool_FromLong(r);
    if (lower && !(lowered = lower_text(st, url))) return nullptr;
  }
  return any_entry_in(table.get(), lowered ? lowered.get() : url);
}

PyObject* is_dravik_api_call_impl(Function* f, PyObject* const* args) {
  State* st = state_of(f);
  PyObject* attrs = args[0];
  Ref url = attr_first_true(st, attrs, st->names[N_v_empty], N_a_url_full, N_a_http_url, N_a_http_target);
  if (!url) return nullptr;
  const int t = truth(url.get());
  if (t < 0) return nullptr;
  if (!t) Py_RETURN_FALSE;
  return url_in_table(f, st, N_EXCLUDED_URL_PATTERNS, UT_own_api, url.get(), false);
}

PyObject* host_table_test(Function* f, PyObject* attrs, Name table_name, UrlTableSlot slot) {
  State* st = state_of(f);
  Ref url = attr_first_true(st, attrs, st->names[N_v_empty], N_a_url_full, N_a_http_url, N_a_server_address);
  if (!url) return nullptr;
  const int t = truth(url.get());
  if (t < 0) return nullptr;
  if (!t) Py_RETURN_FALSE;
  return url_in_table(f, st, table_name, slot, url.get(), true);
}

PyObject* is_llm_provider_http_call_impl(Function* f, PyObject* const* args) {
  return host_table_test(f, args[0], N_LLM_PROVIDER_HOSTS, UT_llm_providers);
}

PyObject* is_noisy_infra_call_impl(Function* f, PyObject* const* args) {
  return host_table_test(f, args[0], N_NOISY_INFRA_HOSTS, UT_noisy_infra);
}

struct ProviderRule {
  const char* prefixes[8];
  Name label;
};

const ProviderRule kProviderRules[] = {
    {{"gpt", "o1", "o3", "o4", "text-embedding", "dall-e", "whisper", "tts"}, N_v_openai},
    {{"claude"}, N_v_anthropic},
    {{"gemini"}, N_v_google},
    {{"llama", "meta-llama", "codellama"}, N_v_meta},
    {{"mistral"}, N_v_mistral},
    {{"command", "embed-"}, N_v_cohere},
    {{"groq"}, N_v_groq},
};

// Prefix test against an ASCII prefix, on any str.
bool has_prefix(PyObject* s, const char* prefix) {
  const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  Py_ssize_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= len || PyUnicode_READ(kind, data, i) != static_cast<Py_UCS4>(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

PyObject* derive_llm_provider_impl(Function* f, PyObject* const* args) {
  State* st = state_of(f);
  Ref lowered = lower_text(st, args[0]);
  if (!lowered) return nullptr;
  for (const ProviderRule& rule : kProviderRules) {
    for (const char* prefix : rule.prefixes) {
      if (prefix == nullptr) break;
      if (has_prefix(lowered.get(), prefix)) return Py_NewRef(st->names[rule.label]);
    }
  }
  // Rule 7 also holds for "groq" anywhere in the name.
  Ref groq = Ref::steal(PyUnicode_FromString("groq"));
  if (!groq) return nullptr;
  const int in = PyUnicode_Contains(lowered.get(), groq.get());
  if (in < 0) return nullptr;
  if (in) return Py_NewRef(st->names[N_v_groq]);
  Py_RETURN_NONE;
}

const Param kAttrsParam[] = {{"attrs", ArgType::Dict, "dict"}};
const Param kModelNameParam[] = {{"model_name", ArgType::Str, "str"}};

}  // namespace

const FuncSpec kIsDravikApiCall = {
    "_is_dravik_api_call", "Check if a span represents a call to the Dravik API itself.", kAttrsParam, 1,
    is_dravik_api_call_impl, "bool",
};

const FuncSpec kIsLlmProviderHttpCall = {
    "_is_llm_provider_http_call",
    "Check if an HTTP span targets a known LLM provider API.\n"
    "\n"
    "    These spans are dropped because the provider instrumentors already\n"
    "    record the full LLM call with tokens, cost and model information.\n"
    "    ",
    kAttrsParam,
    1,
    is_llm_provider_http_call_impl,
    "bool",
};

const FuncSpec kIsNoisyInfraCall = {
    "_is_noisy_infra_call", "Check if an HTTP span is infrastructure noise (model downloads, etc.).", kAttrsParam, 1,
    is_noisy_infra_call_impl, "bool",
};

const FuncSpec kDeriveLlmProvider = {
    "_derive_llm_provider", "Best-effort LLM provider derivation from model name.", kModelNameParam, 1,
    derive_llm_provider_impl, "str | None", ResultCheck::StrOrNone,
};

}  // namespace dravik::tracing

// Pattern texts are stored exactly as `re` receives them.  The dict order
// is the order of the reported violations and of the redaction passes.
#include "instrumentors/guard/pattern_tables.hpp"

namespace dravik::guard {

namespace {

struct Entry {
  const char* label;  // nullptr in the injection list
  const char* text;
  bool ignore_case;
};

constexpr Entry kPii[] = {
    {"ssn", R"re(\b\d{3}-\d{2}-\d{4}\b)re", false},
    // "[A-Z|a-z]" holds a literal bar; the table has always matched so.
    {"email", R"re(\b[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Z|a-z]{2,}\b)re", false},
    {"phone", R"re(\b(?:\+1[-.\s]?)?\(?\d{3}\)?[-.\s]?\d{3}[-.\s]?\d{4}\b)re", false},
    {"credit_card", R"re(\b(?:\d{4}[-\s]?){3}\d{4}\b)re", false},
};

constexpr Entry kCredentials[] = {
    {"password", R"re((?:password|passwd|pwd)\s*[:=]\s*\S+)re", true},
    {"api_key", R"re((?:api[_-]?key|apikey|api[_-]?secret)\s*[:=]\s*\S+)re", true},
    {"secret", R"re((?:secret[_-]?key|access[_-]?key|client[_-]?secret)\s*[:=]\s*\S+)re", true},
    {"aws_key", R"re(\bAKIA[0-9A-Z]{16}\b)re", false},
    {"generic_token", R"re(\b(?:sk-|pk_live_|sk_live_|rk_live_|sk_test_)[a-zA-Z0-9]{20,}\b)re", false},
    {"github_pat", R"re(\bghp_[a-zA-Z0-9]{36}\b)re", false},
    {"dravik_key", R"re(\bdrv_sk_[a-zA-Z0-9]+\b)re", false},
};

constexpr Entry kInjection[] = {
    {nullptr, R"re(ignore\s+(?:all\s+)?previous\s+instructions)re", true},
    {nullptr, R"re(ignore\s+(?:all\s+)?above\s+instructions)re", true},
    {nullptr, R"re(you\s+are\s+now\s+(?:a|an)\s+)re", true},
    {nullptr, R"re(forget\s+(?:all\s+)?(?:your|previous)\s+instructions)re", true},
    {nullptr, R"re(disregard\s+(?:all\s+)?previous)re", true},
    {nullptr, R"re(new\s+instructions?\s*:)re", true},
    {nullptr, R"re(override\s+(?:your\s+)?(?:system|instructions))re", true},
    {nullptr, R"re(```system\b)re", true},
    {nullptr, R"re(\[system\]\s*:)re", true},
    {nullptr, R"re(<\|system\|>)re", true},
    {nullptr, R"re(ADMIN\s+MODE\s+ENABLED)re", true},
    {nullptr, R"re(developer\s+mode\s+(?:is\s+)?(?:enabled|activated|on))re", true},
    {nullptr, R"re(jailbreak)re", true},
    {nullptr, R"re(DAN\s+mode)re", true},
};

// re.compile(text) or re.compile(text, re.IGNORECASE).
Ref compile(PyObject* re_module, const Entry& e) {
  Ref compile_fn = Ref::steal(PyObject_GetAttrString(re_module, "compile"));
  if (!compile_fn) return Ref();
  Ref text = Ref::steal(PyUnicode_FromString(e.text));
  if (!text) return Ref();
  if (!e.ignore_case) return Ref::steal(PyObject_CallOneArg(compile_fn.get(), text.get()));
  Ref flag = Ref::steal(PyObject_GetAttrString(re_module, "IGNORECASE"));
  if (!flag) return Ref();
  return Ref::steal(PyObject_CallFunctionObjArgs(compile_fn.get(), text.get(), flag.get(), nullptr));
}

template <size_t N>
PyObject* build_dict(PyObject* re_module, const Entry (&entries)[N]) {
  Ref table = Ref::steal(PyDict_New());
  if (!table) return nullptr;
  for (const Entry& e : entries) {
    Ref pattern = compile(re_module, e);
    if (!pattern || PyDict_SetItemString(table.get(), e.label, pattern.get()) < 0) return nullptr;
  }
  return table.release();
}

}  // namespace

PyObject* build_pii_patterns(PyObject* re_module) { return build_dict(re_module, kPii); }

PyObject* build_credential_patterns(PyObject* re_module) { return build_dict(re_module, kCredentials); }

PyObject* build_injection_patterns(PyObject* re_module) {
  Ref table = Ref::steal(PyList_New(0));
  if (!table) return nullptr;
  for (const Entry& e : kInjection) {
    Ref pattern = compile(re_module, e);
    if (!pattern || PyList_Append(table.get(), pattern.get()) < 0) return nullptr;
  }
  return table.release();
}

}  // namespace dravik::guard

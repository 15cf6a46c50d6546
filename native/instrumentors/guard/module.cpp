// dravik_observe.instrumentors._guard: the client-side prompt guard.
#include "common/function.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "instrumentors/guard/engine_cache.hpp"
#include "instrumentors/guard/pattern_tables.hpp"
#include "instrumentors/guard/state.hpp"

#include <new>

namespace dravik::guard {

namespace {

constexpr const char* kErrorDoc = "Raised when prompt guard blocks an LLM call.";

State* get_state(PyObject* m) { return static_cast<State*>(PyModule_GetState(m)); }

// The module's functions, under the global names they are published as.
struct Published {
  Name name;
  const FuncSpec* desc;
};

const Published kFunctions[] = {
    {S_extract_text, &kExtractText},
    {S_detect_pii, &kDetectPii},
    {S_detect_credentials, &kDetectCredentials},
    {S_detect_injection, &kDetectInjection},
    {S_redact_text, &kRedactText},
    {S_redact_messages, &kRedactMessages},
    {S_server_check_prompt, &kServerCheckPrompt},
    {S_ml_substitutions, &kMlSubstitutions},
    {S_apply_substitutions, &kApplySubstitutions},
    {S_redact_messages_ml, &kRedactMessagesMl},
    {S_surface_gate_llm_before, &kSurfaceGate},
};

// The keyword names of each Kw call, NULL-terminated.
constexpr const char* kKeywordNames[KW_COUNT][6] = {
    {"passed", "action", "source", nullptr},
    {"passed", "action", "violations", "source", "redacted_messages", nullptr},
    {"passed", "action", "violations", "source", nullptr},
    {"passed", "action", "violations", "redacted_messages", "source", nullptr},
    {"text", "model", nullptr},
    {"autojunk", nullptr},
};

int init_state(PyObject* m, State* st) {
  if (intern_all(st->names, kNameTexts, S_COUNT) < 0) return -1;
  st->function_type = make_function_type(m);
  if (st->function_type == nullptr) return -1;
  for (int k = 0; k < KW_COUNT; ++k) {
    st->kwnames[k] = str_tuple(kKeywordNames[k]);
    if (st->kwnames[k] == nullptr) return -1;
  }
  st->missing = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  return st->missing == nullptr ? -1 : 0;
}

int add_own_function(PyObject* m, State* st, Name name, const FuncSpec* desc) {
  Ref fn = Ref::steal(make_function(st->function_type, m, desc));
  if (!fn || PyModule_AddObjectRef(m, desc->name, fn.get()) < 0) return -1;
  st->own[name] = fn.release();
  return 0;
}

// type(Exception)("PromptGuardError", (Exception,), namespace)
int add_error_class(PyObject* m, State* st) {
  Ref modname = Ref::steal(PyModule_GetNameObject(m));
  if (!modname) return -1;
  Ref init = Ref::steal(make_function(st->function_type, m, &kErrorInit, "PromptGuardError.__init__"));
  if (!init) return -1;
  Ref ns = Ref::steal(PyDict_New());
  if (!ns || PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0) return -1;
  Ref qualname = Ref::steal(PyUnicode_FromString("PromptGuardError"));
  Ref doc = Ref::steal(PyUnicode_FromString(kErrorDoc));
  if (!qualname || !doc) return -1;
  if (PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__init__", init.get()) < 0) {
    return -1;
  }
  Ref bases = Ref::steal(PyTuple_Pack(1, PyExc_Exception));
  if (!bases) return -1;
  PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(PyExc_Exception));
  Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(meta, qualname.get(), bases.get(), ns.get(), nullptr));
  if (!cls || PyModule_AddObjectRef(m, "PromptGuardError", cls.get()) < 0) return -1;
  st->error_class = cls.release();
  return 0;
}

int exec_module(PyObject* m) {
  State* st = get_state(m);
  if (init_state(m, st) < 0) return -1;

  Ref logging = Ref::steal(PyImport_ImportModule("logging"));
  if (!logging || PyModule_AddObjectRef(m, "logging", logging.get()) < 0) return -1;
  Ref re = Ref::steal(PyImport_ImportModule("re"));
  if (!re || PyModule_AddObjectRef(m, "re", re.get()) < 0) return -1;
  st->engine = new (std::nothrow) EngineCache();
  if (st->engine == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  if (st->engine->init(re.get()) < 0) return -1;
  if (add_owned(m, "logger", get_logger("dravik_observe.instrumentors._guard").release()) < 0) return -1;

  if (PyModule_AddObjectRef(m, "_enabled", Py_False) < 0) return -1;
  if (PyModule_AddObjectRef(m, "_server_check", Py_False) < 0) return -1;
  if (PyModule_AddObjectRef(m, "_action", S(st, S_block)) < 0) return -1;

  if (add_owned(m, "_PII_PATTERNS", build_pii_patterns(re.get())) < 0) return -1;
  if (add_owned(m, "_CREDENTIAL_PATTERNS", build_credential_patterns(re.get())) < 0) return -1;
  if (add_owned(m, "_INJECTION_PATTERNS", build_injection_patterns(re.get())) < 0) return -1;

  for (const Published& p : kFunctions) {
    if (add_own_function(m, st, p.name, p.desc) < 0) return -1;
  }
  if (add_function(st->function_type, m, &kConfigure) < 0) return -1;
  if (add_function(st->function_type, m, &kCheckPrompt) < 0) return -1;
  return add_error_class(m, st);
}

int traverse_module(PyObject* m, visitproc visit, void* arg) {
  State* st = get_state(m);
  if (st == nullptr) return 0;
  Py_VISIT(st->function_type);
  Py_VISIT(st->error_class);
  Py_VISIT(st->matcher_snapshot);
  Py_VISIT(st->missing);
  if (const int r = visit_all(st->names, S_COUNT, visit, arg)) return r;
  if (const int r = visit_all(st->own, S_COUNT, visit, arg)) return r;
  if (st->engine != nullptr) {
    if (const int r = st->engine->traverse(visit, arg)) return r;
  }
  return visit_all(st->kwnames, KW_COUNT, visit, arg);
}

int clear_module(PyObject* m) {
  State* st = get_state(m);
  if (st == nullptr) return 0;
  Py_CLEAR(st->function_type);
  Py_CLEAR(st->error_class);
  Py_CLEAR(st->matcher_snapshot);
  Py_CLEAR(st->missing);
  clear_all(st->names, S_COUNT);
  clear_all(st->own, S_COUNT);
  clear_all(st->kwnames, KW_COUNT);
  if (st->engine != nullptr) st->engine->clear();
  return 0;
}

void free_module(void* m) {
  clear_module(static_cast<PyObject*>(m));
  State* st = get_state(static_cast<PyObject*>(m));
  if (st != nullptr) {
    delete st->engine;
    st->engine = nullptr;
  }
}

DRAVIK_MODULE_DEF(kModuleDef, "dravik_observe.instrumentors._guard",
                  "Client-side prompt guard for LLM calls.\n\n"
    "check_prompt scans the outgoing messages for personal data, credentials and\n"
    "prompt-injection phrases (local regular expressions, optionally the observe\n"
    "service's ML scanner) and blocks, warns about or redacts the call as\n"
    "configured; a policy-driven surface gate runs ahead of it.",
                  State, nullptr, exec_module, traverse_module, clear_module, free_module);

}  // namespace

}  // namespace dravik::guard

PyMODINIT_FUNC PyInit__guard(void) { return PyModuleDef_Init(&dravik::guard::kModuleDef); }

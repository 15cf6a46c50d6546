// PromptGuardError.__init__: keeps the blocking result and builds the message.
#include "instrumentors/guard/helpers.hpp"

namespace dravik::guard {

namespace {

constexpr Py_ssize_t kShown = 5;

PyObject* error_init_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  PyObject* self = args[0];
  PyObject* result = args[1];
  if (PyObject_SetAttr(self, S(st, S_result), result) < 0) return nullptr;
  Ref violations = Ref::steal(PyObject_GetAttr(result, S(st, S_violations)));
  if (!violations) return nullptr;
  Ref shown = Ref::steal(PySequence_GetSlice(violations.get(), 0, kShown));
  if (!shown) return nullptr;
  Ref summary = Ref::steal(PyUnicode_Join(S(st, S_semicolon_sep), shown.get()));
  if (!summary) return nullptr;
  const Py_ssize_t count = PyObject_Size(violations.get());
  if (count < 0) return nullptr;
  if (count > kShown) {
    Ref more = Ref::steal(PyUnicode_FromFormat("%U (+%zd more)", summary.get(), count - kShown));
    if (!more) return nullptr;
    summary = std::move(more);
  }
  Ref message = Ref::steal(PyUnicode_Concat(S(st, S_blocked_prefix), summary.get()));
  if (!message) return nullptr;
  // super().__init__(message)
  Ref parent = call(reinterpret_cast<PyObject*>(&PySuper_Type), st->error_class, self);
  if (!parent) return nullptr;
  Ref done = call_method(parent.get(), S(st, S_init), message.get());
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

constexpr Param kInitParams[] = {
    {"self"},
    {"result", ArgType::Any, "PromptGuardResult"},
};

}  // namespace

const FuncSpec kErrorInit = {
    "__init__", nullptr, kInitParams, 2, error_init_impl, "None",
};

}  // namespace dravik::guard

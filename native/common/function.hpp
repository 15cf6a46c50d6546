// The function objects of the native modules.
//
// Built-in function objects cannot carry annotations and do not bind as
// methods, so every module function is an instance of one small type of our
// own: vectorcall entry, an argument binder driven by a static descriptor,
// `__name__`/`__qualname__`/`__module__`/`__doc__`, string `__annotations__`,
// a `__signature__` that `inspect` understands, `__get__` binding, and the
// module's namespace as `__globals__` for call-time lookups.
#pragma once

#include "common/refs.hpp"

#include <cstddef>
#include <cstdint>

namespace dravik {

// Declared parameter types, enforced by the binder.
enum class ArgType : std::uint8_t {
  Any,         // anything
  Str,         // exactly str
  Dict,        // exactly dict
  List,        // exactly list
  ListOrNone,  // exactly list, or None
  Int,         // exact int, or any number converted as int() does
  Bool,        // the truth value
};

// Defaults of optional parameters.
enum class DefaultKind : std::uint8_t { Required, None, False, EmptyStr, Str, Int };

struct Param {
  const char* name;
  ArgType type = ArgType::Any;
  const char* annotation = nullptr;  // string annotation, or nullptr for none
  DefaultKind def = DefaultKind::Required;
  const char* def_str = nullptr;  // DefaultKind::Str
  long long def_int = 0;          // DefaultKind::Int
};

// What the binder checks on a result.
enum class ResultCheck : std::uint8_t { None, StrOrNone };

// What a call does once the function's module has been torn down (see
// function_detached): raise RuntimeError, or return None for a function
// whose contract is to ignore its own failures.
enum class WhenDetached : std::uint8_t { Raise, ReturnNone };

struct Function;
// The typed body of a function: receives the bound (and converted)
// arguments, one per parameter, as borrowed references.
using Impl = PyObject* (*)(Function* self, PyObject* const* args);

inline constexpr int kMaxParams = 8;

struct FuncSpec {
  const char* name;
  const char* doc;  // nullptr for none
  const Param* params;
  int nparams;
  Impl impl;
  const char* return_annotation = nullptr;
  ResultCheck result = ResultCheck::None;
  WhenDetached detached = WhenDetached::Raise;
};

// Module globals that a function's calls read, remembered while the module
// namespace is unchanged: its version tag moves on with every change, and
// with only exact str keys a lookup there runs no code of its own, so the
// remembered value is what the lookup would find (see get_global).
struct GlobalsCache {
  static constexpr int kSlots = 8;
  std::uint64_t version;       // the namespace's tag the slots hold for
  bool usable;                 // every key of the namespace an exact str then
  int count;                   // slots in use
  int next;                    // the slot replaced next once all are in use
  PyObject* names[kSlots];     // strong
  PyObject* values[kSlots];    // borrowed from the namespace while unchanged
};

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FuncSpec* spec;
  PyObject* module;       // the owning module (strong)
  PyObject* globals;      // the module's namespace (strong)
  PyObject* name;         // str
  PyObject* qualname;     // str
  PyObject* modname;      // str or None
  PyObject* doc;          // str or None
  PyObject* param_names;  // tuple of interned str
  PyObject* defaults;     // tuple, one item per parameter (NULL slots for required)
  PyObject* annotations;  // dict
  PyObject* dict;         // __dict__
  PyObject* weakreflist;
  PyObject* signature;    // cached inspect.Signature or NULL
  GlobalsCache globals_cache;
};

// Creates the function type for one module (a heap type bound to `module`).
PyTypeObject* make_function_type(PyObject* module);

// Creates a function object of `type` from a static descriptor.  `qualname` defaults
// to the descriptor's name (methods pass "Class.method").
PyObject* make_function(PyTypeObject* type, PyObject* module, const FuncSpec* spec,
                        const char* qualname = nullptr);

// Creates a function and stores it in the module under its name.
int add_function(PyTypeObject* type, PyObject* module, const FuncSpec* spec);

inline bool is_function_of(PyObject* obj, PyTypeObject* type) noexcept {
  return Py_IS_TYPE(obj, type);
}

// Every module's state struct begins with the function type it made; its
// m_clear releases it first, so a NULL there marks a state torn down.
struct StateHead {
  PyTypeObject* function_type;
};

// True once the collector has cleared the function or its module.  Clearing
// a cycle runs in any order and a finaliser that runs meanwhile may still
// call a member, so every call checks this before touching the state.
inline bool function_detached(Function* f) noexcept {
  if (f->module == nullptr || f->globals == nullptr || f->param_names == nullptr || f->defaults == nullptr) {
    return true;
  }
  const StateHead* head = static_cast<const StateHead*>(PyModule_GetState(f->module));
  return head == nullptr || head->function_type == nullptr;
}

// The state struct of the owning module (valid while !function_detached(f)).
template <class State>
inline State* module_state(Function* f) noexcept {
  static_assert(offsetof(State, function_type) == 0, "a module state begins with its function type");
  return static_cast<State*>(PyModule_GetState(f->module));
}

// Raises the declared-type error for `obj` given to parameter `param`.
void raise_arg_type(const char* param, const char* expected, PyObject* obj);

}  // namespace dravik

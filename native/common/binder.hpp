// Argument binding for native functions (see function.hpp).
#pragma once

#include "common/function.hpp"

#include <string_view>

namespace dravik {

struct BoundArgs {
  PyObject* args[kMaxParams];  // borrowed from the call, the defaults or `owned`
  Ref owned[kMaxParams];       // converted values
};

// Binds a vectorcall's arguments to the function's parameters, applies the
// defaults and enforces the declared types.  -1 with TypeError on failure.
int bind_arguments(Function* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, BoundArgs& out);

// Converts an argument declared `int`: an exact int as is, any other number
// as int() would; a non-number raises TypeError naming the parameter.
int convert_int(const char* param, PyObject* obj, Ref& out);

// Whether `v` passes the declared-type check of a parameter of type `t`
// unchanged: exactly the declared type (None too for ListOrNone), an exact
// int for Int, True or False for Bool.  Anything else the binder converts
// (Int, Bool) or rejects with the declared-type TypeError.
bool has_declared_type(ArgType t, PyObject* v) noexcept;

// Calls `callable`, one of the module's own function objects, with
// positional arguments.  When they already have the declared types the
// body runs directly: the binder would pass them on unchanged, so the
// outcome is that of a call through the binder, which any other call takes
// (and which converts, rejects or reports a torn-down module as usual).
Ref call_native(PyObject* callable, PyObject* const* args, int nargs);

// Applies the declared result check; steals `result`.
PyObject* check_result(const FuncSpec* spec, PyObject* result);

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

}  // namespace dravik

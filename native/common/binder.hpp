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

// Applies the declared result check; steals `result`.
PyObject* check_result(const FuncSpec* spec, PyObject* result);

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

}  // namespace dravik

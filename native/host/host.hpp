// What the native modules use of the host kit (the interpreted part of
// dravik_observe): module and attribute names, and the run-context read.
#pragma once

#include "common/refs.hpp"

namespace dravik::host {

inline constexpr const char* kContextVarModule = "dravik_observe.instrumentors._context_var";
inline constexpr const char* kContextVarName = "_current_context";
inline constexpr const char* kTypesModule = "dravik_observe.types";
inline constexpr const char* kGuardResultName = "PromptGuardResult";
inline constexpr const char* kClientModule = "dravik_observe.client";
inline constexpr const char* kClientName = "DravikObserveClient";
inline constexpr const char* kSurfaceGateModule = "dravik_observe.decisions.surface_gate";

// `var.get()` for the host's context variable: the active run context or
// None.  A plain ContextVar is read directly; anything else through its
// own `get` method.
Ref context_var_get(PyObject* var);

}  // namespace dravik::host

// State of the dravik_observe.instrumentors._pelrow module.
#pragma once

#include "common/function.hpp"

namespace dravik::pelrow {

enum Name : int {
  N_tools,
  N_function,
  N_name,
  N_get,
  N_current_context,
  N_record_decision,
  N_tool_call_prefix,
  N_tool_calls,
  N_single_reasoning,
  N_auto,
  N_comma_sep,
  N_COUNT
};

inline constexpr const char* kNameTexts[N_COUNT] = {
    "tools",
    "function",
    "name",
    "get",
    "_current_context",
    "record_decision",
    "tool_call:",
    "tool_calls",
    "Auto-detected from LLM tool_calls response",
    "auto",
    ", ",
};

struct State {
  PyTypeObject* function_type;
  PyObject* decision_kwnames;  // ("name", "options", "chosen", "reasoning", "instrumentation_type")
  PyObject* empty_str;
  PyObject* names[N_COUNT];
};

extern const FuncSpec kExtractToolNames;
extern const FuncSpec kRecordToolDecisions;

}  // namespace dravik::pelrow

// Reading the SDK's span, span context and status without calling their
// Python-level property functions.
//
// Each property the span capture reads is a plain getter: `return
// self._name`, `return self[0]`, `return MappingProxyType(self._attributes
// or {})`.  When an object is exactly the SDK's class, that class still
// carries the property found when it was checked (its version tag is
// unchanged), and the getter's code is still the checked one, the getter's
// own expression is evaluated here instead: the same attribute read or
// tuple item, without the function call.  The check compares the getter's
// bytecode, names and constants with a reference compiled at import, once
// per version of the class; anything else (other classes, subclasses,
// patched classes, getters given other code) calls the property.  Not seen:
// a property object re-initialised in place with another getter (its
// __init__ called again), which changes neither the class nor its tag.
#pragma once

#include "tracing/state.hpp"

namespace dravik::tracing {

// The properties of the SDK's ReadableSpan that the span capture reads.
enum SpanProp : int { SP_attributes, SP_name, SP_kind, SP_start_time, SP_end_time, SP_context, SP_parent, SP_status };
// SpanContext: trace_id (item 0), span_id (item 1).  Status: status_code.
enum ContextProp : int { CP_trace_id, CP_span_id };

// Finds the SDK's classes and compiles the reference getters; without the
// SDK every read goes through the properties.  -1 on error.
int init_field_reads(State* st);
int traverse_field_reads(State* st, visitproc visit, void* arg);
// Whether `fn` is a plain function whose code equals the reference getter
// `name`: 1, 0, or -1 on error.
int matches_reference(State* st, PyObject* fn, PyObject* name);
void clear_field_reads(State* st);

// span.<prop>
Ref span_property(State* st, PyObject* span, SpanProp prop);
// context.trace_id / context.span_id
Ref context_id(State* st, PyObject* context, ContextProp prop);
// status.status_code
Ref status_code_of(State* st, PyObject* status);

// A span's attribute mapping, as `span.attributes` gives it.
struct SpanAttrs {
  Ref value;                 // the mapping object, when one was made or read
  Ref hold;                  // keeps `dict` alive while host code runs between reads
  PyObject* dict = nullptr;  // an exact dict that answers every read as the mapping would
  bool truth = false;        // the mapping's truth value
  bool value_is_dict = false;  // the property's value itself is an exact dict
  // Read through the SDK's fields, where no code of the span's own runs: a
  // second read with nothing run in between gives the same mapping.
  bool direct = false;

  // mapping.get(key, dflt); a false mapping reads as an empty dict.
  Ref get(State* st, Name key, PyObject* dflt = Py_None) const;
  // A new dict copied from the mapping (empty when the mapping is false).
  Ref copy() const;
};
int span_attributes(State* st, PyObject* span, SpanAttrs& out);

}  // namespace dravik::tracing

// What happened to the spans a processor saw: read-only counts on each
// DravikSpanProcessor, kept in a small native base class of the processor
// so that counting a span is one increment.
#pragma once

#include "tracing/state.hpp"

namespace dravik::tracing {

enum SpanCount : int { SC_captured, SC_outside_run, SC_filtered, SC_merged, SC_failed, SC_COUNT };

struct CountsObject {
  PyObject_HEAD
  unsigned long long counts[SC_COUNT];
};

// The base class that holds the counts (a heap type of the module).
PyTypeObject* make_counts_type(PyObject* module);

// Counts one span on `self` when it is a processor (an unbound call may
// pass anything as self).
inline void count_span(State* st, PyObject* self, SpanCount which) {
  if (Py_IS_TYPE(self, st->processor_type) || (st->counts_type != nullptr && PyObject_TypeCheck(self, st->counts_type))) {
    ++reinterpret_cast<CountsObject*>(self)->counts[which];
  }
}

}  // namespace dravik::tracing

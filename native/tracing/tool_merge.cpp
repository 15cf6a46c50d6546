// Copying a tool span's attributes into the tool-call entry the host recorded.
#include "tracing/functions.hpp"
#include "tracing/support.hpp"

namespace dravik::tracing {

namespace {

// entry.get(key)
Ref entry_get(State* st, PyObject* entry, PyObject* key) {
  if (PyDict_CheckExact(entry)) return dict_get(entry, key);
  return call_method(entry, st->names[N_m_get], key);
}

// Whether `entry` is a tool entry named `target`: 1, 0 or -1.
int is_match(State* st, PyObject* entry, PyObject* target) {
  Ref kind = entry_get(st, entry, st->names[N_p_kind]);
  if (!kind) return -1;
  int ne = compare(kind.get(), st->names[N_v_tool], Py_NE);
  if (ne != 0) return ne < 0 ? -1 : 0;
  Ref name = entry_get(st, entry, st->names[N_p_name]);
  if (!name) return -1;
  ne = compare(name.get(), target, Py_NE);
  return ne < 0 ? -1 : !ne;
}

// Walks `entries` from the newest back: the first match (new reference), or
// an empty Ref (with or without an error set).
Ref find_match(State* st, PyObject* entries, PyObject* target) {
  if (PyList_CheckExact(entries)) {
    for (Py_ssize_t i = PyList_GET_SIZE(entries) - 1; i >= 0; --i) {
      if (i >= PyList_GET_SIZE(entries)) continue;  // shrunk by a comparison
      Ref entry = Ref::borrow(PyList_GET_ITEM(entries, i));
      const int m = is_match(st, entry.get(), target);
      if (m < 0) return Ref();
      if (m) return entry;
    }
    return Ref();
  }
  Ref reversed = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyReversed_Type), entries));
  if (!reversed) return Ref();
  while (Ref entry = Ref::steal(PyIter_Next(reversed.get()))) {
    const int m = is_match(st, entry.get(), target);
    if (m < 0) return Ref();
    if (m) return entry;
  }
  return Ref();
}

// Steps 4 to 6: -1 on error, else 0 with `match` set when an entry was merged.
int merge_into_entry(Function* f, State* st, PyObject* ctx, PyObject* attrs, PyObject* target, Ref& match) {
  Ref entries;
  if (get_optional_attr(ctx, st->names[N_c_spans], entries) < 0) return -1;
  if (!entries) return 0;
  int t = truth(entries.get());
  if (t <= 0) return t;
  match = find_match(st, entries.get(), target);
  if (!match) return PyErr_Occurred() ? -1 : 0;
  PyObject* entry = match.get();

  Ref existing = entry_get(st, entry, st->names[N_p_attributes]);
  if (!existing) return -1;
  Ref merged = PyDict_Check(existing.get()) ? std::move(existing) : Ref::steal(PyDict_New());
  if (!merged) return -1;
  const bool exact = PyDict_CheckExact(merged.get());

  Ref drop = get_global(f, st->names[N_OTEL_DROP_KEYS]);
  if (!drop) return -1;
  // The run's redaction function covers what the merge copies as well: a
  // string value is stored as the function's result on it.  The host's own
  // values are left as the host recorded them.
  Ref redact_fn;
  const int has_fn = get_optional_attr(ctx, st->names[N_c_redact_fn], redact_fn);
  if (has_fn < 0) return -1;
  if (has_fn) {
    const int t = truth(redact_fn.get());
    if (t < 0) return -1;
    if (!t) redact_fn.reset();
  }
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  const Py_ssize_t size = PyDict_GET_SIZE(attrs);
  while (PyDict_Next(attrs, &pos, &k, &v)) {
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    const int dropped = PyAnySet_CheckExact(drop.get()) ? PySet_Contains(drop.get(), key.get())
                                                        : PySequence_Contains(drop.get(), key.get());
    if (dropped < 0) return -1;
    if (!dropped) {
      Ref clean = call_fn(f, st, F_clean_attr_key, key.get());
      if (!clean) return -1;
      const int present = exact ? PyDict_Contains(merged.get(), clean.get())
                                : PySequence_Contains(merged.get(), clean.get());
      if (present < 0) return -1;
      if (!present) {
        if (redact_fn && PyUnicode_Check(value.get())) {
          value = call(redact_fn.get(), value.get());
          if (!value) return -1;
        }
        const int rc = exact ? PyDict_SetItem(merged.get(), clean.get(), value.get())
                             : PyObject_SetItem(merged.get(), clean.get(), value.get());
        if (rc < 0) return -1;
      }
    }
    if (PyDict_GET_SIZE(attrs) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return -1;
    }
  }
  const int rc = PyDict_CheckExact(entry) ? PyDict_SetItem(entry, st->names[N_p_attributes], merged.get())
                                          : PyObject_SetItem(entry, st->names[N_p_attributes], merged.get());
  return rc < 0 ? -1 : 0;
}

// Step 7: the span's id onto the entry.
int set_span_id(State* st, PyObject* entry, PyObject* span) {
  Ref context = span_property(st, span, SP_context);
  if (!context) return -1;
  int t = truth(context.get());
  if (t <= 0) return t;
  Ref span_id;
  if (get_optional_attr(context.get(), st->names[N_p_span_id], span_id) < 0) return -1;
  if (!span_id) return 0;
  if ((t = truth(span_id.get())) <= 0) return t;
  Ref text = hex_id(st, span_id.get(), 16);
  if (!text) return -1;
  return PyDict_CheckExact(entry) ? PyDict_SetItem(entry, st->names[N_r_span_id], text.get())
                                  : PyObject_SetItem(entry, st->names[N_r_span_id], text.get());
}

PyObject* merge_impl(Function* f, PyObject* const* args) {
  State* st = state_of(f);
  PyObject* ctx = args[0];
  PyObject* span = args[1];
  PyObject* attrs = args[2];

  Ref span_type = attr_get(st, attrs, N_a_span_type);
  if (!span_type) return nullptr;
  int t = compare(span_type.get(), st->names[N_v_tool_call], Py_NE);
  if (t < 0) return nullptr;
  if (t) Py_RETURN_NONE;
  Ref target = attr_get(st, attrs, N_a_tool);
  if (!target || (t = truth(target.get())) < 0) return nullptr;
  if (!t) Py_RETURN_NONE;

  Ref match;
  if (merge_into_entry(f, st, ctx, attrs, target.get(), match) < 0) {
    if (!swallow_exception()) return nullptr;
    Py_RETURN_NONE;
  }
  if (match && set_span_id(st, match.get(), span) < 0 && !swallow_exception()) return nullptr;
  Py_RETURN_NONE;
}

const Param kMergeParams[] = {{"ctx"}, {"span"}, {"attrs", ArgType::Dict, "dict"}};

}  // namespace

const FuncSpec kMergeOtelAttrs = {
    "_merge_otel_attrs_into_recorded_span",
    "Merge a tool span's OTel attributes into the matching hand-recorded tool entry.\n"
    "\n"
    "    The host's tool helper opens an OTel span for each tool call and, in the\n"
    "    same wrapper, records the call on the run context (``_spans``).  The entry\n"
    "    carries only the narrow arguments given to ``record_tool_call`` while the\n"
    "    rich detail sits on the span as attributes, so when the span ends its\n"
    "    attributes are copied into the entry and the service shows them.\n"
    "\n"
    "    Only tool spans are merged: LLM, decision, reasoning and retrieval records\n"
    "    have their own, larger payloads, and the raw attribute surface would\n"
    "    bloat them.  The entry is matched on the user-visible tool name in\n"
    "    \"dravik.tool\" (the span's own name is prefixed with the operation), and\n"
    "    the entries are searched from the newest backwards so that the call in\n"
    "    flight, whose end triggered the merge, wins.  Values the host recorded\n"
    "    win over span attributes.\n"
    "    ",
    kMergeParams,
    3,
    merge_impl,
    "None",
};

}  // namespace dravik::tracing

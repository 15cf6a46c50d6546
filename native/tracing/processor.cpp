// DravikSpanProcessor's methods: capture of every span that ends inside a run.
#include "common/unpack.hpp"
#include "host/host.hpp"
#include "tracing/functions.hpp"
#include "tracing/span_counts.hpp"
#include "tracing/support.hpp"

namespace dravik::tracing {

namespace {

// from ..instrumentors._context_var import _current_context
Ref current_context_var(Function* f, State* st) {
  Ref var;
  const int found = cached_import_from(st->names[N_mod_context_var], st->names[N_c_current_context],
                                       st->imports[KI_current_context], var);
  if (found < 0) return Ref();
  if (found) return var;
  Ref fromlist = Ref::steal(PyTuple_Pack(1, st->names[N_c_current_context]));
  if (!fromlist) return Ref();
  Ref mod = Ref::steal(
      PyImport_ImportModuleLevelObject(st->names[N_mod_context_var_rel], f->globals, nullptr, fromlist.get(), 2));
  if (!mod) return Ref();
  var = Ref::steal(PyObject_GetAttr(mod.get(), st->names[N_c_current_context]));
  if (!var && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%U'", st->names[N_c_current_context]);
  }
  return var;
}

int record_integration(State* st, PyObject* ctx, PyObject* label, PyObject* category) {
  return report_integration(st, ctx, label, category);
}

// Step 4: the integrations of `attrs`, each reported to the run.
int record_integrations(Function* f, State* st, PyObject* ctx, PyObject* attrs) {
  Ref extract = get_global(f, st->names[kFnGlobal[F_extract_integrations]]);
  if (!extract) return -1;
  if (extract.get() == st->original[F_extract_integrations]) {
    // Our own rules: their pairs need no list; all are found before any is reported.
    IntegrationPairs pairs;
    if (extract_integrations(reinterpret_cast<Function*>(extract.get()), st, attrs, pairs) < 0) return -1;
    for (int i = 0; i < pairs.n; ++i) {
      if (pairs.second[i]) {
        if (record_integration(st, ctx, pairs.first[i].get(), pairs.second[i].get()) < 0) return -1;
        continue;
      }
      Ref label;
      Ref category;
      if (unpack2(pairs.first[i].get(), label, category) < 0) return -1;
      if (record_integration(st, ctx, label.get(), category.get()) < 0) return -1;
    }
    return 0;
  }
  Ref results = call(extract.get(), attrs);
  if (!results) return -1;
  Ref it = Ref::steal(PyObject_GetIter(results.get()));
  if (!it) return -1;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    Ref label;
    Ref category;
    if (unpack2(item.get(), label, category) < 0) return -1;
    if (record_integration(st, ctx, label.get(), category.get()) < 0) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

// Truth of one of the filters: 1 means drop the span.
int drops(Function* f, State* st, Fn filter, PyObject* attrs) {
  Ref r = call_fn(f, st, filter, attrs);
  if (!r) return -1;
  return truth(r.get());
}

// The capture of one ended span; -1 with an exception set on failure,
// else 0 with `outcome` set.
int capture(Function* f, State* st, PyObject* span, SpanCount& outcome) {
  Ref var = current_context_var(f, st);
  if (!var) return -1;
  Ref ctx = host::context_var_get(var.get());
  if (!ctx) return -1;
  outcome = SC_outside_run;
  if (ctx.get() == Py_None) return 0;
  Ref run_id = Ref::steal(PyObject_GetAttr(ctx.get(), st->names[N_c_run_id]));
  if (!run_id) return -1;
  int t = truth(run_id.get());
  if (t <= 0) return t;

  // A plain dict of the span's attributes, shared by the steps below.
  SpanAttrs attributes;
  if (span_attributes(st, span, attributes) < 0) return -1;
  Ref attrs = attributes.truth && attributes.value_is_dict ? std::move(attributes.value) : attributes.copy();
  if (!attrs) return -1;
  const CopyStamp stamp(attributes.direct && attrs.get() != attributes.dict ? attributes.dict : nullptr, attrs.get());
  const OpenedView view(st, attrs.get(), stamp.source);

  if (record_integrations(f, st, ctx.get(), attrs.get()) < 0) return -1;

  Ref span_type = attr_get(st, attrs.get(), N_a_span_type);
  if (!span_type || (t = truth(span_type.get())) < 0) return -1;
  if (t) {
    Ref r = call_fn(f, st, F_merge, ctx.get(), span, attrs.get());
    outcome = SC_merged;
    return r ? 0 : -1;
  }

  outcome = SC_filtered;
  for (Fn filter : {F_is_dravik_api_call, F_is_llm_provider_http_call, F_is_noisy_infra_call}) {
    if ((t = drops(f, st, filter, attrs.get())) != 0) return t < 0 ? -1 : 0;
  }

  Ref record;
  {
    const OfferedCopy offer(st, stamp);
    record = call_fn(f, st, F_span_to_dict, span);
  }
  if (!record) return -1;

  Ref redact_fn = Ref::steal(PyObject_GetAttr(ctx.get(), st->names[N_c_redact_fn]));
  if (!redact_fn || (t = truth(redact_fn.get())) < 0) return -1;
  if (t) {
    redact_fn = Ref::steal(PyObject_GetAttr(ctx.get(), st->names[N_c_redact_fn]));
    if (!redact_fn) return -1;
    Ref r = call_fn(f, st, F_redact_span_dict, record.get(), redact_fn.get());
    if (!r) return -1;
  }

  Ref buffer = Ref::steal(PyObject_GetAttr(ctx.get(), st->names[N_c_otel_spans]));
  if (!buffer) return -1;
  outcome = SC_captured;
  if (PyList_CheckExact(buffer.get())) return PyList_Append(buffer.get(), record.get());
  Ref r = call_method(buffer.get(), st->names[N_m_append], record.get());
  return r ? 0 : -1;
}

PyObject* on_end_impl(Function* f, PyObject* const* args) {
  State* st = state_of(f);
  SpanCount outcome = SC_failed;
  if (capture(f, st, args[1], outcome) < 0) {
    if (!swallow_exception()) return nullptr;
    outcome = SC_failed;
  }
  count_span(st, args[0], outcome);
  Py_RETURN_NONE;
}

PyObject* return_none(Function*, PyObject* const*) { Py_RETURN_NONE; }
PyObject* return_true(Function*, PyObject* const*) { Py_RETURN_TRUE; }

const Param kOnStartParams[] = {
    {"self"}, {"span", ArgType::Any, "'ReadableSpan'"}, {"parent_context", ArgType::Any, nullptr, DefaultKind::None}};
const Param kOnEndParams[] = {{"self"}, {"span", ArgType::Any, "'ReadableSpan'"}};
const Param kSelfParam[] = {{"self"}};
const Param kForceFlushParams[] = {{"self"},
                                   {"timeout_millis", ArgType::Int, "int", DefaultKind::Int, nullptr, 30000}};

const Param kNoopOnStartParams[] = {{"self"}, {"span"}, {"parent_context", ArgType::Any, nullptr, DefaultKind::None}};
const Param kNoopOnEndParams[] = {{"self"}, {"span"}};
const Param kNoopForceFlushParams[] = {{"self"},
                                       {"timeout_millis", ArgType::Any, nullptr, DefaultKind::Int, nullptr, 30000}};

}  // namespace

// A processor whose module has been torn down lets spans end without effect.
const FuncSpec kOnStart = {"on_start", nullptr, kOnStartParams, 3, return_none, "None", ResultCheck::None,
                           WhenDetached::ReturnNone};
const FuncSpec kOnEnd = {"on_end", "Called when a span ends. Convert and buffer it.", kOnEndParams, 2, on_end_impl,
                         "None", ResultCheck::None, WhenDetached::ReturnNone};
const FuncSpec kShutdown = {"shutdown", nullptr, kSelfParam, 1, return_none, "None", ResultCheck::None,
                            WhenDetached::ReturnNone};
const FuncSpec kForceFlush = {"force_flush", nullptr, kForceFlushParams, 2, return_true, "bool"};

const FuncSpec kNoopOnStart = {"on_start", nullptr, kNoopOnStartParams, 3, return_none};
const FuncSpec kNoopOnEnd = {"on_end", nullptr, kNoopOnEndParams, 2, return_none};
const FuncSpec kNoopShutdown = {"shutdown", nullptr, kSelfParam, 1, return_none};
const FuncSpec kNoopForceFlush = {"force_flush", nullptr, kNoopForceFlushParams, 2, return_true};

}  // namespace dravik::tracing

// dravik_observe.tracing.vintrel: OpenTelemetry span capture into the active run.
#include "common/call.hpp"
#include "common/cpython_private.hpp"
#include "common/lookup.hpp"
#include "common/module.hpp"
#include "common/names.hpp"
#include "tracing/functions.hpp"
#include "tracing/span_counts.hpp"
#include "tracing/support.hpp"
#include "tracing/tables.hpp"

namespace dravik::tracing {

namespace {

State* get_state(PyObject* m) { return static_cast<State*>(PyModule_GetState(m)); }

constexpr const char* kCapturingDoc = "Captures completed OTel spans into the active DravikContext._spans buffer.";
constexpr const char* kNoopDoc = "No-op processor when OTel is not installed.";

// The SDK's attribute container, kept only when its item access and length
// are the SDK's own plain-dict reading and a probe confirms its iteration;
// otherwise span attributes are always read through the mapping protocol.
// -1 with an exception set on failure (the caller decides what is fatal).
int init_bounded_attrs(State* st) {
  Ref module_name = Ref::steal(PyUnicode_FromString("opentelemetry.attributes"));
  Ref class_name = Ref::steal(PyUnicode_FromString("BoundedAttributes"));
  Ref abc_name = Ref::steal(PyUnicode_FromString("collections.abc"));
  Ref mapping_name = Ref::steal(PyUnicode_FromString("Mapping"));
  if (!module_name || !class_name || !abc_name || !mapping_name) return -1;
  Ref cls = import_from(module_name.get(), class_name.get());
  if (!cls) return -1;
  Ref mapping = import_from(abc_name.get(), mapping_name.get());
  if (!mapping) return -1;
  if (!PyType_Check(cls.get())) return 0;
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls.get());
  // Own __getitem__/__iter__/__len__, and get/keys inherited from Mapping.
  for (const char* own : {"__getitem__", "__iter__", "__len__"}) {
    Ref key = Ref::steal(PyUnicode_InternFromString(own));
    if (!key) return -1;
    PyObject* fn = PyDict_GetItemWithError(tp->tp_dict, key.get());
    if (fn == nullptr) return PyErr_Occurred() ? -1 : 0;
    if (!PyFunction_Check(fn)) return 0;
    if (own[2] == 'i') continue;  // __iter__ differs between SDK versions: the probe below
    const int same = matches_reference(st, fn, key.get());
    if (same <= 0) return same;
  }
  for (const char* inherited : {"get", "keys"}) {
    Ref mine = Ref::steal(PyObject_GetAttrString(cls.get(), inherited));
    if (!mine) return -1;
    Ref base = Ref::steal(PyObject_GetAttrString(mapping.get(), inherited));
    if (!base) return -1;
    if (mine.get() != base.get()) return 0;
  }
  // A class-level `_dict` would shadow the instance's.
  Ref probe_attr;
  const int shadowed = get_optional_attr(cls.get(), st->names[N_p_dict], probe_attr);
  if (shadowed != 0) return shadowed < 0 ? -1 : 0;

  // Probe: a filled container read through a proxy both ways.
  Ref items = Ref::steal(Py_BuildValue("{s:i,s:s,s:d}", "b.key", 1, "a.key", "v", "c.key", 2.5));
  Ref kwargs = Ref::steal(PyDict_New());
  if (!items || !kwargs || PyDict_SetItemString(kwargs.get(), "attributes", items.get()) < 0) return -1;
  Ref empty_args = Ref::steal(PyTuple_New(0));
  if (!empty_args) return -1;
  Ref inst = Ref::steal(PyObject_Call(cls.get(), empty_args.get(), kwargs.get()));
  if (!inst) return -1;
  Ref proxy = Ref::steal(PyDictProxy_New(inst.get()));
  if (!proxy) return -1;
  Ref generic = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), proxy.get()));
  if (!generic) return -1;
  Ref inner = Ref::steal(PyObject_GetAttr(inst.get(), st->names[N_p_dict]));
  if (!inner) return -1;
  if (!PyDict_CheckExact(inner.get())) return 0;
  int same = PyObject_RichCompareBool(generic.get(), inner.get(), Py_EQ);
  if (same <= 0) return same;
  Ref generic_keys = Ref::steal(PySequence_List(generic.get()));
  if (!generic_keys) return -1;
  Ref inner_keys = Ref::steal(PySequence_List(inner.get()));
  if (!inner_keys) return -1;
  if ((same = PyObject_RichCompareBool(generic_keys.get(), inner_keys.get(), Py_EQ)) <= 0) return same;

  // Any later change to the class or a base resets this tag.
  st->bounded_attrs_version = cpython::type_version_tag(tp, st->names[N_m_get]);
  if (st->bounded_attrs_version == 0) return PyErr_Occurred() ? -1 : 0;
  st->bounded_attrs_type = reinterpret_cast<PyTypeObject*>(cls.release());
  return 0;
}

// The SDK's SpanKind, kept when its `value` is the Enum's own descriptor
// (which answers with the member's `_value_`).
int init_span_kind(State* st) {
  Ref trace_name = Ref::steal(PyUnicode_FromString("opentelemetry.trace"));
  Ref kind_name = Ref::steal(PyUnicode_FromString("SpanKind"));
  Ref enum_name = Ref::steal(PyUnicode_FromString("enum"));
  Ref enum_cls_name = Ref::steal(PyUnicode_FromString("Enum"));
  if (!trace_name || !kind_name || !enum_name || !enum_cls_name) return -1;
  Ref cls = import_from(trace_name.get(), kind_name.get());
  if (!cls) return -1;
  Ref enum_cls = import_from(enum_name.get(), enum_cls_name.get());
  if (!enum_cls) return -1;
  if (!PyType_Check(cls.get()) || !PyType_Check(enum_cls.get())) return 0;
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls.get());
  PyObject* original = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(enum_cls.get())->tp_dict,
                                               st->names[N_p_value]);
  if (original == nullptr) return PyErr_Occurred() ? -1 : 0;
  Ref held = Ref::borrow(original);
  PyObject* found = mro_lookup(tp, st->names[N_p_value]);
  if (found != original) return PyErr_Occurred() ? -1 : 0;
  if (mro_lookup(tp, st->names[N_p_value_]) != nullptr) return 0;
  if (PyErr_Occurred()) return -1;
  st->span_kind_version = cpython::type_version_tag(tp, st->names[N_p_value]);
  if (st->span_kind_version == 0) return PyErr_Occurred() ? -1 : 0;
  st->span_kind_type = reinterpret_cast<PyTypeObject*>(cls.release());
  return 0;
}

int init_state(PyObject* m, State* st) {
  if (intern_all(st->names, kNameTexts, N_COUNT) < 0) return -1;
  st->function_type = make_function_type(m);
  if (st->function_type == nullptr) return -1;
  st->db_short_names = build_db_short_names();
  st->clean_key_cache = PyDict_New();
  st->label_cache = PyDict_New();
  st->record_template = build_record_template(st);
  st->run_method.checks_left = kRunMethodChecks;
  if (!st->db_short_names || !st->clean_key_cache || !st->label_cache || !st->record_template) {
    return -1;
  }
  return 0;
}

// `from opentelemetry.sdk.trace import SpanProcessor, ReadableSpan`: 1 when
// imported, 0 on ImportError, -1 on any other failure.
int import_otel(Ref& span_processor, Ref& readable_span) {
  Ref module_name = Ref::steal(PyUnicode_FromString("opentelemetry.sdk.trace"));
  Ref sp_name = Ref::steal(PyUnicode_InternFromString("SpanProcessor"));
  Ref rs_name = Ref::steal(PyUnicode_InternFromString("ReadableSpan"));
  if (!module_name || !sp_name || !rs_name) return -1;
  span_processor = import_from(module_name.get(), sp_name.get());
  if (span_processor) readable_span = import_from(module_name.get(), rs_name.get());
  if (span_processor && readable_span) return 1;
  if (PyErr_ExceptionMatches(PyExc_ImportError)) {
    PyErr_Clear();
    span_processor.reset();
    readable_span.reset();
    return 0;
  }
  return -1;
}

int add_table(PyObject* m, const char* name, PyObject* table) { return add_owned(m, name, table); }

int add_fn(PyObject* m, State* st, Fn id, const FuncSpec* desc) {
  Ref fn = Ref::steal(make_function(st->function_type, m, desc));
  if (!fn || PyModule_AddObjectRef(m, desc->name, fn.get()) < 0) return -1;
  st->original[id] = fn.release();
  return 0;
}

int add_processor_class(PyObject* m, State* st, PyObject* base, bool capturing) {
  const FuncSpec* const capturing_methods[] = {&kOnStart, &kOnEnd, &kShutdown, &kForceFlush};
  const FuncSpec* const noop_methods[] = {&kNoopOnStart, &kNoopOnEnd, &kNoopShutdown, &kNoopForceFlush};
  Ref ns = Ref::steal(PyDict_New());
  Ref modname = Ref::steal(PyModule_GetNameObject(m));
  if (!ns || !modname) return -1;
  if (PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0) return -1;
  Ref qualname = Ref::steal(PyUnicode_FromString("DravikSpanProcessor"));
  Ref doc = Ref::steal(PyUnicode_FromString(capturing ? kCapturingDoc : kNoopDoc));
  if (!qualname || !doc || PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0) {
    return -1;
  }
  for (int i = 0; i < 5; ++i) {
    const FuncSpec* desc = i == 4 ? (capturing ? &kCounters : &kNoopCounters)
                                  : (capturing ? capturing_methods[i] : noop_methods[i]);
    Ref qn = Ref::steal(PyUnicode_FromFormat("DravikSpanProcessor.%s", desc->name));
    if (!qn) return -1;
    const char* qualname_text = PyUnicode_AsUTF8(qn.get());
    if (qualname_text == nullptr) return -1;
    Ref fn = Ref::steal(make_function(st->function_type, m, desc, qualname_text));
    if (!fn) return -1;
    if (i == 4) {
      // A read-only property over the getter.
      fn = call(reinterpret_cast<PyObject*>(&PyProperty_Type), fn.get());
      if (!fn) return -1;
    }
    if (PyDict_SetItemString(ns.get(), desc->name, fn.get()) < 0) return -1;
  }
  // The capturing processor keeps its span counts in a native base class.
  Ref bases = Ref::steal(capturing ? PyTuple_Pack(2, base, reinterpret_cast<PyObject*>(st->counts_type))
                                   : PyTuple_Pack(1, base));
  if (!bases) return -1;
  PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base));
  Ref cls = call(metaclass, qualname.get(), bases.get(), ns.get());
  if (!cls) return -1;
  if (capturing) {
    if (!PyType_Check(cls.get()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls.get()), st->counts_type)) {
      PyErr_SetString(PyExc_TypeError, "the processor class does not hold span counts");
      return -1;
    }
    st->processor_type = reinterpret_cast<PyTypeObject*>(cls.new_ref());
  }
  return PyModule_AddObjectRef(m, "DravikSpanProcessor", cls.get());
}

int exec_module(PyObject* m) {
  State* st = get_state(m);
  if (init_state(m, st) < 0) return -1;

  Ref modname = Ref::steal(PyModule_GetNameObject(m));
  if (!modname) return -1;
  const char* modname_text = PyUnicode_AsUTF8(modname.get());
  if (modname_text == nullptr) return -1;
  if (add_owned(m, "logger", get_logger(modname_text).release()) < 0) return -1;

  Ref span_processor;
  Ref readable_span;
  const int has_otel = import_otel(span_processor, readable_span);
  if (has_otel < 0) return -1;
  if (has_otel) {
    if (PyModule_AddObjectRef(m, "SpanProcessor", span_processor.get()) < 0 ||
        PyModule_AddObjectRef(m, "ReadableSpan", readable_span.get()) < 0) {
      return -1;
    }
    // Optional speed-ups: a failure leaves the generic reads on.  The
    // reference getters come first: the container check uses them too.
    for (int (*init)(State*) : {init_field_reads, init_bounded_attrs, init_span_kind}) {
      if (init(st) < 0 && !swallow_exception()) return -1;
    }
  }
  if (PyModule_AddObjectRef(m, "_HAS_OTEL", has_otel ? Py_True : Py_False) < 0) return -1;

  // Kinds and display names.
  if (add_table(m, "_SPAN_TYPE_MAP", build_span_type_map()) < 0) return -1;
  if (add_table(m, "_OTEL_KIND_MAP", build_otel_kind_map()) < 0) return -1;
  if (add_fn(m, st, F_resolve_kind, &kResolveKind) < 0) return -1;
  if (add_fn(m, st, F_build_display_name, &kBuildDisplayName) < 0) return -1;
  if (add_fn(m, st, F_display_name, &kDisplayName) < 0) return -1;
  // Call classification.
  if (add_table(m, "_EXCLUDED_URL_PATTERNS", build_excluded_url_patterns()) < 0) return -1;
  if (add_table(m, "_LLM_PROVIDER_HOSTS", build_llm_provider_hosts()) < 0) return -1;
  if (add_table(m, "_NOISY_INFRA_HOSTS", build_noisy_infra_hosts()) < 0) return -1;
  if (add_fn(m, st, F_is_dravik_api_call, &kIsDravikApiCall) < 0) return -1;
  if (add_fn(m, st, F_is_llm_provider_http_call, &kIsLlmProviderHttpCall) < 0) return -1;
  if (add_fn(m, st, F_is_noisy_infra_call, &kIsNoisyInfraCall) < 0) return -1;
  if (add_fn(m, st, F_derive_llm_provider, &kDeriveLlmProvider) < 0) return -1;
  // Integrations.
  if (add_table(m, "_FRAMEWORK_PROVIDERS", build_framework_providers()) < 0) return -1;
  if (add_table(m, "_ATTR_PREFIX_INTEGRATIONS", build_attr_prefix_integrations()) < 0) return -1;
  if (add_table(m, "_MODERATION_INTEGRATION", build_moderation_integration()) < 0) return -1;
  if (add_fn(m, st, F_extract_integrations, &kExtractIntegrations) < 0) return -1;
  // Tool-span merge and redaction.
  if (add_table(m, "_OTEL_DROP_KEYS", build_otel_drop_keys()) < 0) return -1;
  if (add_fn(m, st, F_merge, &kMergeOtelAttrs) < 0) return -1;
  if (add_fn(m, st, F_redact_span_dict, &kRedactSpanDict) < 0) return -1;
  if (add_fn(m, st, F_redact_dict_values, &kRedactDictValues) < 0) return -1;
  // Span records.
  if (add_fn(m, st, F_span_to_dict, &kSpanToDict) < 0) return -1;
  if (add_fn(m, st, F_clean_attr_key, &kCleanAttrKey) < 0) return -1;

  if (has_otel && (st->counts_type = make_counts_type(m)) == nullptr) return -1;
  PyObject* base = has_otel ? span_processor.get() : reinterpret_cast<PyObject*>(&PyBaseObject_Type);
  return add_processor_class(m, st, base, has_otel != 0);
}

int traverse_module(PyObject* m, visitproc visit, void* arg) {
  State* st = get_state(m);
  if (st == nullptr) return 0;
  Py_VISIT(st->function_type);
  Py_VISIT(st->db_short_names);
  Py_VISIT(st->bounded_attrs_type);
  Py_VISIT(st->span_kind_type);
  Py_VISIT(st->clean_key_cache);
  Py_VISIT(st->label_cache);
  Py_VISIT(st->record_template);
  Py_VISIT(st->attrs_copy.source);
  Py_VISIT(st->attrs_copy.copy);
  Py_VISIT(st->attrs_view.dict);
  Py_VISIT(st->attrs_view.source);
  Py_VISIT(st->attrs_view.keys);
  for (const UrlTable& t : st->url_tables) Py_VISIT(t.table);
  Py_VISIT(st->run_method.type);
  Py_VISIT(st->run_method.method);
  Py_VISIT(st->run_method.code);
  Py_VISIT(st->run_method.next_globals);
  Py_VISIT(st->run_method.next_builtins);
  for (const RunMethod::Counter& e : st->run_method.counters) {
    Py_VISIT(e.table);
    Py_VISIT(e.label);
    Py_VISIT(e.category);
  }
  for (const KeyShape& shape : st->key_shapes) {
    Py_VISIT(shape.keys);
    Py_VISIT(shape.cleaned);
    Py_VISIT(shape.proto);
  }
  Py_VISIT(st->counts_type);
  Py_VISIT(st->status_code_cls);
  Py_VISIT(st->status_error);
  Py_VISIT(st->processor_type);
  for (const KnownImport& k : st->imports) {
    if (const int r = traverse_import(k, visit, arg)) return r;
  }
  if (const int r = traverse_field_reads(st, visit, arg)) return r;
  for (PyObject* fn : st->original) Py_VISIT(fn);
  return visit_all(st->names, N_COUNT, visit, arg);
}

int clear_module(PyObject* m) {
  State* st = get_state(m);
  if (st == nullptr) return 0;
  Py_CLEAR(st->function_type);
  Py_CLEAR(st->db_short_names);
  Py_CLEAR(st->bounded_attrs_type);
  Py_CLEAR(st->span_kind_type);
  Py_CLEAR(st->clean_key_cache);
  Py_CLEAR(st->label_cache);
  Py_CLEAR(st->record_template);
  Py_CLEAR(st->attrs_copy.source);
  Py_CLEAR(st->attrs_copy.copy);
  Py_CLEAR(st->attrs_view.dict);
  Py_CLEAR(st->attrs_view.source);
  Py_CLEAR(st->attrs_view.keys);
  for (UrlTable& t : st->url_tables) {
    t.usable = false;
    Py_CLEAR(t.table);
  }
  for (HexIds& ids : st->hex_ids) {
    clear_all(ids.value, kHexIdsKept);
    clear_all(ids.text, kHexIdsKept);
  }
  Py_CLEAR(st->run_method.type);
  Py_CLEAR(st->run_method.method);
  Py_CLEAR(st->run_method.code);
  Py_CLEAR(st->run_method.next_globals);
  Py_CLEAR(st->run_method.next_builtins);
  st->run_method.next_fn = nullptr;
  for (RunMethod::Counter& e : st->run_method.counters) {
    Py_CLEAR(e.table);
    Py_CLEAR(e.label);
    Py_CLEAR(e.category);
    e.counter = nullptr;
  }
  for (KeyShape& shape : st->key_shapes) {
    Py_CLEAR(shape.keys);
    Py_CLEAR(shape.cleaned);
    Py_CLEAR(shape.proto);
  }
  Py_CLEAR(st->counts_type);
  Py_CLEAR(st->status_code_cls);
  Py_CLEAR(st->status_error);
  Py_CLEAR(st->processor_type);
  for (KnownImport& k : st->imports) forget_import(k);
  clear_field_reads(st);
  clear_all(st->original, F_COUNT);
  clear_all(st->names, N_COUNT);
  return 0;
}

DRAVIK_MODULE_DEF(kModuleDef, "dravik_observe.tracing.vintrel",
                  "Span capture: completed OpenTelemetry spans become records on the active run.",
                  State, nullptr, exec_module, traverse_module, clear_module, free_by_clearing<clear_module>);

}  // namespace

}  // namespace dravik::tracing

PyMODINIT_FUNC PyInit_vintrel(void) { return PyModuleDef_Init(&dravik::tracing::kModuleDef); }

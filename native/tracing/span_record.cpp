// Completed spans as span records, and the record's attribute-key rule.
#include "tracing/functions.hpp"
#include "tracing/support.hpp"

#include <cstring>
#include <utility>

namespace dravik::tracing {

namespace {

constexpr Name kRecordKeys[] = {N_p_name,       N_p_kind,       N_p_status,      N_r_duration_ms, N_p_attributes,
                                N_r_input_data, N_r_output_data, N_r_start_ns,   N_r_end_ns,      N_r_trace_id,
                                N_r_span_id,    N_r_parent_id,  N_r_from_processor};

// The value the record template holds under `key`.
PyObject* record_default(State* st, Name key) {
  switch (key) {
    case N_p_status: return st->names[N_v_ok];
    case N_r_trace_id:
    case N_r_span_id:
    case N_r_parent_id: return st->names[N_v_empty];
    case N_r_from_processor: return Py_True;
    default: return Py_None;
  }
}

// Whether `key` starts with one of the two stripped namespaces.
bool has_namespace(State* st, PyObject* key) {
  return starts_with(key, st->names[N_v_genai_prefix]) || starts_with(key, st->names[N_v_dravik_prefix]);
}

// The key with its first namespace stripped ("gen_ai." and "dravik." are
// both seven characters long, the dot last).
Ref cleaned_key(State* st, PyObject* key) {
  if (!has_namespace(st, key)) return Ref::borrow(key);
  return Ref::steal(PyUnicode_Substring(key, 7, PyUnicode_GET_LENGTH(key)));
}

PyObject* clean_attr_key_impl(Function* f, PyObject* const* args) {
  return cleaned_key(state_of(f), args[0]).release();
}

// Truthy value of `key`, else the value of `fallback` with `dflt`.
Ref value_or(State* st, PyObject* attrs, Name key, Name fallback, PyObject* dflt) {
  Ref v = attr_first_true(st, attrs, nullptr, key);
  if (v || PyErr_Occurred()) return v;
  return attr_get(st, attrs, fallback, dflt);
}

// `value or 0` of a span time.
Ref time_or_zero(State* st, PyObject* span, SpanProp prop, PyObject* zero) {
  Ref v = span_property(st, span, prop);
  if (!v) return v;
  const int t = truth(v.get());
  if (t < 0) return Ref();
  return t ? std::move(v) : Ref::borrow(zero);
}

// int((end - start) / 1_000_000) when end > start, else None.
Ref duration_ms(PyObject* start, PyObject* end) {
  if (PyLong_CheckExact(start) && PyLong_CheckExact(end)) {
    int overflow = 0;
    const long long s = PyLong_AsLongLongAndOverflow(start, &overflow);
    const long long e = overflow ? 0 : PyLong_AsLongLongAndOverflow(end, &overflow);
    // Below 2**53 the difference converts to a double exactly, so one
    // correctly rounded division gives what int / int gives.
    if (!overflow && !PyErr_Occurred() && e > s && s >= 0 && (e - s) < (1LL << 53)) {
      return Ref::steal(PyLong_FromDouble(static_cast<double>(e - s) / 1000000.0));
    }
    if (PyErr_Occurred()) return Ref();
    if (!overflow && e <= s) return none_ref();
  }
  const int later = PyObject_RichCompareBool(end, start, Py_GT);
  if (later < 0) return Ref();
  if (!later) return none_ref();
  Ref diff = Ref::steal(PyNumber_Subtract(end, start));
  if (!diff) return Ref();
  Ref million = Ref::steal(PyLong_FromLong(1000000));
  if (!million) return Ref();
  Ref ratio = Ref::steal(PyNumber_TrueDivide(diff.get(), million.get()));
  if (!ratio) return Ref();
  return Ref::steal(PyNumber_Long(ratio.get()));
}

// json.loads(value); None when decoding raises an Exception.
Ref decode_payload(PyObject* json, State* st, PyObject* value) {
  Ref out = call_method(json, st->names[N_m_loads], value);
  if (out) return out;
  if (!swallow_exception()) return Ref();
  return none_ref();
}

// The cleaned key of attribute key `k`, from the cache when it is there.
Ref cached_clean_key(State* st, PyObject* k) {
  if (!PyUnicode_CheckExact(k)) return PyUnicode_Check(k) ? cleaned_key(st, k) : Ref::borrow(k);
  PyObject* known = PyDict_GetItemWithError(st->clean_key_cache, k);
  if (known != nullptr) return Ref::borrow(known);
  if (PyErr_Occurred()) return Ref();
  Ref key = cleaned_key(st, k);
  if (key && PyUnicode_GET_LENGTH(k) <= kCachedTextMax && PyDict_GET_SIZE(st->clean_key_cache) < kCacheLimit &&
      PyDict_SetItem(st->clean_key_cache, k, key.get()) < 0) {
    return Ref();
  }
  return key;
}

// Room left in a cleaned dict for the summary keys of an "llm" record.
constexpr Py_ssize_t kSummaryKeys = 7;

// The summary keys of an "llm" record, in the order the summary sets them.
constexpr Name kSummaryNames[] = {N_r_model, N_r_tokens_in, N_r_tokens_out, N_r_total_tokens,
                                  N_r_cost, N_r_finish_reasons, N_r_response_model};

// Remembers the key sequence of `attrs` (exact str keys only), with the
// cleaned dict's keys in their final order and, for an "llm" record
// (`summary`), the summary keys after them.  The dict is grown by insertion
// of str keys only, as a dict literal is (the interpreter keeps such dicts
// in its compact form for str keys), and its copies are filled without
// growing.  A slot in use is given up only for a sequence missed twice in a
// row, so that more kinds of span than slots do not rebuild slots on every
// span.  -1 on error.
int remember_shape(State* st, PyObject* attrs, bool summary) {
  const Py_ssize_t n = PyDict_GET_SIZE(attrs);
  if (n == 0 || n > kShapeKeysMax) return 0;
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  if (!PyDict_Next(attrs, &pos, &k, &v)) return 0;
  // A slot found by the same length and first key goes (the lookup stops
  // there), else a free one, else the next in turn.
  KeyShape* slot = nullptr;
  bool free_slot = false;
  for (KeyShape& shape : st->key_shapes) {
    if (shape.keys != nullptr && PyTuple_GET_SIZE(shape.keys) == n && PyTuple_GET_ITEM(shape.keys, 0) == k &&
        shape.summary == summary) {
      slot = &shape;
      break;
    }
  }
  for (KeyShape& shape : st->key_shapes) {
    if (slot == nullptr && shape.keys == nullptr) {
      slot = &shape;
      free_slot = true;
    }
  }
  if (!free_slot) {
    const bool again = st->missed_size == n && st->missed_first == k;
    st->missed_size = n;
    st->missed_first = k;
    if (!again) return 0;
    if (slot == nullptr) {
      slot = &st->key_shapes[st->key_shape_next];
      st->key_shape_next = (st->key_shape_next + 1) % kKeyShapes;
    }
  }
  Ref keys = Ref::steal(PyTuple_New(n));
  Ref cleaned = keys ? Ref::steal(PyTuple_New(n)) : Ref();
  Ref proto = cleaned ? Ref::steal(PyDict_New()) : Ref();
  if (!proto) return -1;
  pos = 0;
  for (Py_ssize_t i = 0; PyDict_Next(attrs, &pos, &k, &v); ++i) {
    if (!PyUnicode_CheckExact(k) || i >= n) return 0;
    Ref key = cached_clean_key(st, k);
    if (!key || PyDict_SetItem(proto.get(), key.get(), Py_None) < 0) return -1;
    PyTuple_SET_ITEM(keys.get(), i, Py_NewRef(k));
    PyTuple_SET_ITEM(cleaned.get(), i, key.release());
  }
  std::uint8_t placed = 0;
  if (summary) {
    for (Name key : kSummaryNames) {
      const int present = PyDict_Contains(proto.get(), st->names[key]);
      if (present < 0) return -1;
      if (!present && key == N_r_finish_reasons) placed |= kFinishPlaced;
      if (!present && key == N_r_response_model) placed |= kResponsePlaced;
      if (!present && PyDict_SetItem(proto.get(), st->names[key], Py_None) < 0) return -1;
    }
  }
  std::uint8_t at[kAttrNames];
  for (int j = 0; j < kAttrNames; ++j) {
    at[j] = kNoKey;
    for (Py_ssize_t i = 0; i < n; ++i) {
      // Both exact str: equal text is what the dict lookup matches.
      if (PyUnicode_Compare(PyTuple_GET_ITEM(keys.get(), i), st->names[N_a_span_type + j]) == 0) {
        at[j] = static_cast<std::uint8_t>(i);
        break;
      }
    }
  }
  // Released only once the slot is whole again: a release can run code.
  Ref old_keys = Ref::steal(slot->keys);
  Ref old_cleaned = Ref::steal(slot->cleaned);
  Ref old_proto = Ref::steal(slot->proto);
  slot->keys = keys.release();
  slot->cleaned = cleaned.release();
  slot->proto = proto.release();
  slot->summary = summary;
  slot->placed = placed;
  std::memcpy(slot->at, at, sizeof at);
  return 0;
}

// The cleaned dict of `attrs` made from a remembered key sequence: a copy
// of its dict, each value set in the attributes' order as the generic loop
// sets them (the same keys, first places, last values), followed by the
// summary keys (values None) when `summary`, with `placed` saying which of
// them only the summary may keep.  `out` stays empty when no remembered
// sequence is the one of `attrs`; -1 on error.
int shaped_clean(State* st, PyObject* attrs, bool summary, Ref& out, std::uint8_t& placed) {
  if (const AttrsView* view = view_for(st, attrs)) {
    // The capture has read these attributes in order already.
    for (const KeyShape& shape : st->key_shapes) {
      if (shape.keys != view->keys || shape.summary != summary) continue;
      // Held, and read, before the copy: the slot may be replaced meanwhile
      // (a collection running a finalizer that ends a span).
      Ref keys = Ref::borrow(shape.keys);
      Ref cleaned = Ref::borrow(shape.cleaned);
      Ref proto = Ref::borrow(shape.proto);
      const std::uint8_t shape_placed = shape.placed;
      Ref dict = Ref::steal(PyDict_Copy(proto.get()));
      if (!dict) return -1;
      // The copy may have run a collection, and with it any code: the view
      // is used only if it still answers.  Setting values of keys the copy
      // holds runs none.
      if (view_for(st, attrs) != view || view->keys != keys.get()) break;
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cleaned.get()); ++i) {
        if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(cleaned.get(), i), view->values[i]) < 0) return -1;
      }
      placed = shape_placed;
      out = std::move(dict);
      return 0;
    }
  }
  const Py_ssize_t n = PyDict_GET_SIZE(attrs);
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  if (n == 0 || !PyDict_Next(attrs, &pos, &k, &v)) return 0;
  const KeyShape* found = find_shape(st, n, k, summary ? ShapeKind::summary : ShapeKind::plain);
  if (found == nullptr) return 0;
  const std::uint8_t found_placed = found->placed;
  // Held: the slot may be replaced meanwhile (a collection running a
  // finalizer that ends a span).
  Ref keys = Ref::borrow(found->keys);
  Ref cleaned = Ref::borrow(found->cleaned);
  Ref proto = Ref::borrow(found->proto);
  Ref dict = Ref::steal(PyDict_Copy(proto.get()));
  if (!dict) return -1;
  Py_ssize_t i = 0;
  do {
    if (i >= n || PyTuple_GET_ITEM(keys.get(), i) != k) return 0;
    if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(cleaned.get(), i), v) < 0) return -1;
    ++i;
  } while (PyDict_Next(attrs, &pos, &k, &v));
  if (i != n) return 0;
  placed = found_placed;
  out = std::move(dict);
  return 0;
}

// {cleaned key: value} of `attrs` by the generic loop, sized for the
// summary keys as well when the record may be an "llm" one; the key
// sequence is remembered (with the summary keys when `summary`) when every
// key is an exact str.
Ref clean_keys(State* st, PyObject* attrs, bool maybe_llm, bool summary) {
  Ref cleaned = Ref::steal(cpython::dict_new_presized(PyDict_GET_SIZE(attrs) + (maybe_llm ? kSummaryKeys : 0)));
  if (!cleaned) return cleaned;
  bool all_text = true;
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  while (PyDict_Next(attrs, &pos, &k, &v)) {
    Ref value = Ref::borrow(v);
    all_text = all_text && PyUnicode_CheckExact(k);
    Ref key = cached_clean_key(st, k);
    if (!key || PyDict_SetItem(cleaned.get(), key.get(), value.get()) < 0) return Ref();
  }
  if (all_text && remember_shape(st, attrs, summary) < 0) return Ref();
  return cleaned;
}

// Whether `v` can never take part in a reference cycle, by the collector's
// own rule: it is no container, or a tuple the collector no longer tracks.
bool acyclic(PyObject* v) { return !PyObject_IS_GC(v) || (PyTuple_CheckExact(v) && !PyObject_GC_IsTracked(v)); }

// What the collector would do on its next passes, done now so that the
// records a run keeps cost it nothing: a tuple of acyclic items, then the
// cleaned dict of acyclic keys and values, are no longer tracked (a dict
// is tracked again as soon as a container is stored in it).
void untrack_if_acyclic(PyObject* dict) {
  if (!PyObject_GC_IsTracked(dict)) return;
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    if (PyTuple_CheckExact(v) && PyObject_GC_IsTracked(v)) {
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) {
        if (!acyclic(PyTuple_GET_ITEM(v, i))) return;
      }
      PyObject_GC_UnTrack(v);
    }
    if (!acyclic(k) || !acyclic(v)) return;
  }
  PyObject_GC_UnTrack(dict);
}

// A tool's own failure marks the record as failed too.
int tool_status_failed(State* st, PyObject* status) {
  if (!PyUnicode_Check(status)) return 0;
  Ref lowered = call_method(status, st->names[N_m_lower]);
  if (!lowered) return -1;
  for (const char* word : {"error", "failed", "failure"}) {
    if (PyUnicode_CompareWithASCIIString(lowered.get(), word) == 0) return 1;
  }
  return 0;
}

int add_llm_summary(State* st, PyObject* attrs, PyObject* cleaned, PyObject* zero, std::uint8_t& set) {
  set = 0;
  Ref model = value_or(st, attrs, N_a_request_model, N_a_llm_model, st->names[N_v_empty]);
  if (!model) return -1;
  Ref tokens_in = value_or(st, attrs, N_a_usage_in, N_a_llm_in, zero);
  if (!tokens_in) return -1;
  Ref tokens_out = value_or(st, attrs, N_a_usage_out, N_a_llm_out, zero);
  if (!tokens_out) return -1;
  Ref total = Ref::steal(PyNumber_Add(tokens_in.get(), tokens_out.get()));
  if (!total) return -1;
  Ref cost = attr_get(st, attrs, N_a_llm_cost, zero);
  if (!cost) return -1;
  if (PyDict_SetItem(cleaned, st->names[N_r_model], model.get()) < 0 ||
      PyDict_SetItem(cleaned, st->names[N_r_tokens_in], tokens_in.get()) < 0 ||
      PyDict_SetItem(cleaned, st->names[N_r_tokens_out], tokens_out.get()) < 0 ||
      PyDict_SetItem(cleaned, st->names[N_r_total_tokens], total.get()) < 0 ||
      PyDict_SetItem(cleaned, st->names[N_r_cost], cost.get()) < 0) {
    return -1;
  }
  Ref finish = attr_get(st, attrs, N_a_finish_reasons);
  if (!finish) return -1;
  int t = truth(finish.get());
  if (t < 0) return -1;
  if (t && PyDict_SetItem(cleaned, st->names[N_r_finish_reasons], finish.get()) < 0) return -1;
  if (t) set |= kFinishPlaced;
  Ref response_model = attr_get(st, attrs, N_a_response_model);
  if (!response_model || (t = truth(response_model.get())) < 0) return -1;
  if (t) {
    const int differs = compare(response_model.get(), model.get(), Py_NE);
    if (differs < 0) return -1;
    if (differs && PyDict_SetItem(cleaned, st->names[N_r_response_model], response_model.get()) < 0) return -1;
    if (differs) set |= kResponsePlaced;
  }
  return 0;
}

// Whether `StatusCode.ERROR` on `cls` is the plain member in the class's own
// dict: the metaclass adds nothing of that name, reads attributes with
// type's own __getattribute__, and the member is no descriptor.
int error_member_is_plain(State* st, PyTypeObject* cls, PyObject* member) {
  PyTypeObject* meta = Py_TYPE(cls);
  PyObject* name = st->names[N_ERROR];
  PyObject* type_getattribute = mro_lookup(&PyType_Type, st->names[N_m_getattribute]);
  if (type_getattribute == nullptr) return PyErr_Occurred() ? -1 : 0;
  if (mro_lookup(meta, st->names[N_m_getattribute]) != type_getattribute) return PyErr_Occurred() ? -1 : 0;
  if (mro_lookup(meta, name) != nullptr) return 0;
  if (PyErr_Occurred()) return -1;
  if (mro_lookup(cls, name) != member) return PyErr_Occurred() ? -1 : 0;
  return Py_TYPE(member)->tp_descr_get == nullptr;
}

// StatusCode.ERROR of the class found at call time.  The member read last
// is used again while the class is the same object and neither it nor its
// metaclass has changed since (so the lookup would end in the same place).
Ref status_error(State* st, PyObject* cls) {
  if (cls == st->status_code_cls && cpython::type_version_valid(reinterpret_cast<PyTypeObject*>(cls), st->status_code_version) &&
      cpython::type_version_valid(Py_TYPE(cls), st->status_code_meta_version)) {
    return Ref::borrow(st->status_error);
  }
  Ref error = Ref::steal(PyObject_GetAttr(cls, st->names[N_ERROR]));
  if (!error || !PyType_Check(cls)) return error;
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
  const unsigned int version = cpython::type_version_tag(tp, st->names[N_ERROR]);
  const unsigned int meta_version = version ? cpython::type_version_tag(Py_TYPE(cls), st->names[N_ERROR]) : 0;
  const int plain = meta_version ? error_member_is_plain(st, tp, error.get()) : 0;
  if (plain < 0 || PyErr_Occurred()) return Ref();
  if (plain && cpython::type_version_valid(tp, version) && cpython::type_version_valid(Py_TYPE(cls), meta_version)) {
    // Released only once the state is whole again: a release can run code.
    Ref old_cls = Ref::steal(st->status_code_cls);
    Ref old_error = Ref::steal(st->status_error);
    st->status_code_cls = Py_NewRef(cls);
    st->status_error = error.new_ref();
    st->status_code_version = version;
    st->status_code_meta_version = meta_version;
  }
  return error;
}

// The hexadecimal text of a span context's id `prop`.
Ref id_text(State* st, PyObject* context, ContextProp prop, int digits) {
  Ref v = context_id(st, context, prop);
  if (!v) return v;
  return hex_id(st, v.get(), digits);
}

}  // namespace

CopyStamp::CopyStamp(PyObject* source, PyObject* copy) {
  if (source == nullptr || !PyDict_CheckExact(source) || !PyDict_CheckExact(copy)) return;
  this->source = source;
  this->copy = copy;
  source_version = cpython::dict_version_tag(source);
  copy_version = cpython::dict_version_tag(copy);
}

OfferedCopy::OfferedCopy(State* st, const CopyStamp& stamp) : st_(st) {
  AttrsCopy& offer = st->attrs_copy;
  if (stamp.source == nullptr || offer.source != nullptr) return;
  offer.source = Py_NewRef(stamp.source);
  offer.copy = Py_NewRef(stamp.copy);
  offer.source_version = stamp.source_version;
  offer.copy_version = stamp.copy_version;
  offered_ = true;
}

OfferedCopy::~OfferedCopy() {
  if (!offered_) return;
  // Released only once the state is whole again: a release can run code.
  AttrsCopy& offer = st_->attrs_copy;
  Ref source = Ref::steal(offer.source);
  Ref copy = Ref::steal(offer.copy);
  offer.source = nullptr;
  offer.copy = nullptr;
}

PyObject* offered_copy(State* st, PyObject* source) {
  // A dict's version tag changes with each change to it, and no two
  // changes anywhere give the same tag: both dicts are as they were.
  const AttrsCopy& offer = st->attrs_copy;
  if (source == nullptr || source != offer.source) return nullptr;
  if (cpython::dict_version_tag(source) != offer.source_version ||
      cpython::dict_version_tag(offer.copy) != offer.copy_version) {
    return nullptr;
  }
  return offer.copy;
}

namespace {

// _resolve_kind(span).  Our own function reads the mapping just read here
// again, with nothing run in between, when that read was a direct one: it
// is handed over instead of being read twice.  Its body runs with `f`, a
// function of the same module (the same globals and state) that is running.
Ref kind_of(Function* f, State* st, PyObject* span, const SpanAttrs& attributes) {
  if (!attributes.direct) return call_fn(f, st, F_resolve_kind, span);
  Ref g = get_global(f, st->names[kFnGlobal[F_resolve_kind]]);
  if (!g) return g;
  if (g.get() != st->original[F_resolve_kind]) return call(g.get(), span);
  return Ref::steal(check_result(&kResolveKind, resolve_kind_with(f, span, attributes)));
}

PyObject* span_to_dict_impl(Function* f, PyObject* const* args) {
  State* st = state_of(f);
  PyObject* span = args[0];
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return nullptr;

  // 1. A record-owned copy of the attributes. 2. Kind.
  Ref attrs;
  Ref kind;
  {
    SpanAttrs attributes;
    if (span_attributes(st, span, attributes) < 0) return nullptr;
    PyObject* offered = attributes.direct && attributes.truth ? offered_copy(st, attributes.dict) : nullptr;
    attrs = offered != nullptr ? Ref::borrow(offered) : attributes.copy();
    if (!attrs) return nullptr;
    kind = kind_of(f, st, span, attributes);
    if (!kind) return nullptr;
  }

  // 3. Timing. 4. Display name.
  Ref start = time_or_zero(st, span, SP_start_time, zero.get());
  if (!start) return nullptr;
  Ref end = time_or_zero(st, span, SP_end_time, zero.get());
  if (!end) return nullptr;
  // A span without a start time has no duration (not one measured from the epoch).
  Ref duration = start.get() == zero.get() ? none_ref() : duration_ms(start.get(), end.get());
  if (!duration) return nullptr;
  Ref span_name = span_property(st, span, SP_name);
  if (!span_name) return nullptr;
  Ref display = call_fn(f, st, F_build_display_name, span_name.get(), attrs.get());
  if (!display) return nullptr;

  // 5. Cleaned attribute keys; later keys win on collisions.  Sized once
  // for them and, on "llm" records, the summary keys of step 7 (a kind that
  // is not an exact str is compared in step 7 only, in its place).
  const bool exact_kind = PyUnicode_CheckExact(kind.get());
  const bool llm_kind = exact_kind && PyUnicode_Compare(kind.get(), st->names[N_v_llm]) == 0;
  const bool maybe_llm = !exact_kind || llm_kind;
  Ref cleaned;
  std::uint8_t placed = 0;
  if (exact_kind && shaped_clean(st, attrs.get(), llm_kind, cleaned, placed) < 0) return nullptr;
  if (!cleaned && !(cleaned = clean_keys(st, attrs.get(), maybe_llm, llm_kind))) return nullptr;
  // 6. Tool payloads.
  Ref input = none_ref();
  Ref output = none_ref();
  Ref tool_status;
  int is_tool = compare(kind.get(), st->names[N_v_tool], Py_EQ);
  if (is_tool < 0) return nullptr;
  if (is_tool) {
    const int has_input = PyDict_Contains(attrs.get(), st->names[N_a_tool_input]);
    if (has_input < 0) return nullptr;
    if (has_input) {
      Ref json = fresh_import(st->names[N_mod_json]);
      if (!json) return nullptr;
      Ref raw = attr_get(st, attrs.get(), N_a_tool_input, st->names[N_v_empty_json]);
      if (!raw || !(input = decode_payload(json.get(), st, raw.get()))) return nullptr;
      raw = attr_get(st, attrs.get(), N_a_tool_output, st->names[N_v_empty_json]);
      if (!raw || !(output = decode_payload(json.get(), st, raw.get()))) return nullptr;
      tool_status = attr_get(st, attrs.get(), N_a_tool_status);
      if (!tool_status) return nullptr;
    }
  }

  // 7. LLM summary.
  const int is_llm = compare(kind.get(), st->names[N_v_llm], Py_EQ);
  if (is_llm < 0) return nullptr;
  if (is_llm) {
    std::uint8_t set = 0;
    if (add_llm_summary(st, attrs.get(), cleaned.get(), zero.get(), set) < 0) return nullptr;
    // Summary keys the copied dict holds in their place but this summary
    // does not set go (deleting a str key runs no code).
    if ((placed & ~set & kFinishPlaced) != 0 && PyDict_DelItem(cleaned.get(), st->names[N_r_finish_reasons]) < 0) {
      return nullptr;
    }
    if ((placed & ~set & kResponsePlaced) != 0 &&
        PyDict_DelItem(cleaned.get(), st->names[N_r_response_model]) < 0) {
      return nullptr;
    }
  }
  untrack_if_acyclic(cleaned.get());

  // 8. Identifiers.
  Ref trace_id = Ref::borrow(st->names[N_v_empty]);
  Ref span_id = Ref::borrow(st->names[N_v_empty]);
  Ref parent_id = Ref::borrow(st->names[N_v_empty]);
  Ref context = span_property(st, span, SP_context);
  if (!context) return nullptr;
  int t = truth(context.get());
  if (t < 0) return nullptr;
  if (t) {
    trace_id = id_text(st, context.get(), CP_trace_id, 32);
    if (!trace_id) return nullptr;
    span_id = id_text(st, context.get(), CP_span_id, 16);
    if (!span_id) return nullptr;
  }
  Ref parent = span_property(st, span, SP_parent);
  if (!parent || (t = truth(parent.get())) < 0) return nullptr;
  if (t) {
    Ref pid = context_id(st, parent.get(), CP_span_id);
    if (!pid || (t = truth(pid.get())) < 0) return nullptr;
    if (t && !(parent_id = hex_id(st, pid.get(), 16))) return nullptr;
  }

  // 9. Status: the span's ERROR code, or a tool that reported its own failure.
  PyObject* status = st->names[N_v_ok];
  Ref span_status = span_property(st, span, SP_status);
  if (!span_status || (t = truth(span_status.get())) < 0) return nullptr;
  if (t) {
    Ref code = status_code_of(st, span_status.get());
    if (!code || (t = truth(code.get())) < 0) return nullptr;
    if (t) {
      Ref status_code =
          fresh_import_from(st->names[N_mod_otel_trace], st->names[N_StatusCode], st->imports[KI_status_code]);
      if (!status_code) return nullptr;
      Ref error = status_error(st, status_code.get());
      if (!error) return nullptr;
      const int is_error = equals(code.get(), error.get());
      if (is_error < 0) return nullptr;
      if (is_error) status = st->names[N_v_error];
    }
  }
  if (tool_status && status != st->names[N_v_error]) {
    const int failed = tool_status_failed(st, tool_status.get());
    if (failed < 0) return nullptr;
    if (failed) status = st->names[N_v_error];
  }

  // 10. The record, keys in their fixed order.  The copied template holds
  // every key with its usual value ("ok", None, "", True); setting keys it
  // already holds keeps its order and size, and a value that is the
  // template's own needs no setting.
  Ref record = Ref::steal(PyDict_Copy(st->record_template));
  if (!record) return nullptr;
  PyObject* r = record.get();
  const std::pair<Name, PyObject*> fields[] = {
      {N_p_name, display.get()},         {N_p_kind, kind.get()},        {N_p_status, status},
      {N_r_duration_ms, duration.get()}, {N_p_attributes, cleaned.get()}, {N_r_input_data, input.get()},
      {N_r_output_data, output.get()},   {N_r_start_ns, start.get()},   {N_r_end_ns, end.get()},
      {N_r_trace_id, trace_id.get()},    {N_r_span_id, span_id.get()},  {N_r_parent_id, parent_id.get()},
  };
  for (const auto& [key, value] : fields) {
    if (value == record_default(st, key)) continue;
    if (PyDict_SetItem(r, st->names[key], value) < 0) return nullptr;
  }
  return record.release();
}

const Param kSpanParam[] = {{"span", ArgType::Any, "'ReadableSpan'"}};
const Param kKeyParam[] = {{"k", ArgType::Str, "str"}};

}  // namespace

PyObject* build_record_template(State* st) {
  Ref record = Ref::steal(PyDict_New());
  if (!record) return nullptr;
  for (Name key : kRecordKeys) {
    if (PyDict_SetItem(record.get(), st->names[key], record_default(st, key)) < 0) return nullptr;
  }
  return record.release();
}

const FuncSpec kSpanToDict = {
    "_span_to_dict", "Convert a completed OTel ReadableSpan to the dict format expected by _spans.", kSpanParam, 1,
    span_to_dict_impl, "dict",
};

const FuncSpec kCleanAttrKey = {
    "_clean_attr_key",
    "Strip one leading namespace from dravik. and gen_ai. attribute keys.\n"
    "\n"
    "    dravik.firecrawl.scrape_id -> firecrawl.scrape_id\n"
    "    gen_ai.usage.input_tokens -> usage.input_tokens\n"
    "    Other keys are returned unchanged.\n"
    "    ",
    kKeyParam,
    1,
    clean_attr_key_impl,
    "str",
    ResultCheck::StrOrNone,
};

}  // namespace dravik::tracing

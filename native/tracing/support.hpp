// Small helpers shared by the span-capture functions.
#pragma once

#include "common/binder.hpp"
#include "common/call.hpp"
#include "common/cpython_private.hpp"
#include "common/lookup.hpp"
#include "common/str_ready.hpp"
#include "tracing/span_fields.hpp"
#include "tracing/state.hpp"

namespace dravik::tracing {

inline State* state_of(Function* f) noexcept { return module_state<State>(f); }

// d.get(key, dflt) on an exact dict; NULL only on error.
inline Ref dict_get(PyObject* d, PyObject* key, PyObject* dflt = Py_None) {
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (v != nullptr) return Ref::borrow(v);
  if (PyErr_Occurred()) return Ref();
  return Ref::borrow(dflt);
}

// The open attribute view when it answers reads of `d` (the dict it read
// or the dict that one is a copy of, both unchanged since), else NULL.
inline const AttrsView* view_for(const State* st, PyObject* d) {
  const AttrsView& v = st->attrs_view;
  if (v.dict == nullptr || (d != v.dict && d != v.source)) return nullptr;
  if (cpython::dict_version_tag(v.dict) != v.version) return nullptr;
  if (v.source != nullptr && cpython::dict_version_tag(v.source) != v.source_version) return nullptr;
  return &v;
}

// d.get(name, dflt) for an attribute name on an exact dict of attributes.
inline Ref attr_get(State* st, PyObject* d, Name key, PyObject* dflt = Py_None) {
  if (is_attr_name(key)) {
    if (const AttrsView* v = view_for(st, d)) {
      const std::uint8_t i = v->at[key - N_a_span_type];
      return Ref::borrow(i != kNoKey ? v->values[i] : dflt);
    }
  }
  return dict_get(d, st->names[key], dflt);
}

// The first true value among attribute names `keys` of `d`, else `dflt`.
template <class... K>
inline Ref attr_first_true(State* st, PyObject* d, PyObject* dflt, K... keys) {
  for (Name key : {keys...}) {
    Ref v = attr_get(st, d, key);
    if (!v) return Ref();
    const int t = truth(v.get());
    if (t < 0) return Ref();
    if (t) return v;
  }
  return Ref::borrow(dflt);
}

// Which remembered sequences a search takes: those with the summary keys,
// those without, or either.
enum class ShapeKind { plain, summary, any };

// The remembered key sequence of `n` keys whose first key is `first`
// (the object itself), of the kind asked; NULL when none is.
inline const KeyShape* find_shape(const State* st, Py_ssize_t n, PyObject* first, ShapeKind kind) {
  for (const KeyShape& shape : st->key_shapes) {
    if (shape.keys != nullptr && PyTuple_GET_SIZE(shape.keys) == n && PyTuple_GET_ITEM(shape.keys, 0) == first &&
        (kind == ShapeKind::any || shape.summary == (kind == ShapeKind::summary))) {
      return &shape;
    }
  }
  return nullptr;
}

// While it lives, lets the reads of attribute names on `dict` (and on
// `source`, when `dict` was just copied from it) be answered from one pass
// over `dict`, if its key sequence is a remembered one.  One capture at a
// time holds the view; the others read the dicts.
class OpenedView {
 public:
  OpenedView(State* st, PyObject* dict, PyObject* source);
  ~OpenedView();
  OpenedView(const OpenedView&) = delete;
  OpenedView& operator=(const OpenedView&) = delete;

 private:
  State* st_;
  bool opened_ = false;
};

// a == b / a != b as the `==` and `!=` operators give them (no identity shortcut).
inline int compare(PyObject* a, PyObject* b, int op) {
  Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
  if (!r) return -1;
  if (r.get() == Py_True) return 1;
  if (r.get() == Py_False) return 0;
  return truth(r.get());
}

// format(value, format_spec)
inline Ref format_value(PyObject* value, PyObject* format_spec) { return Ref::steal(PyObject_Format(value, format_spec)); }

// Calls the module function bound to the global of `fn` at this moment.
// While that global is still the function made at import, it is called as
// one of the module's own (see call_native); otherwise whatever the host
// bound there is called like any callable.
template <class... A>
inline Ref call_fn(Function* self, State* st, Fn fn, A... args) {
  Ref g = get_global(self, st->names[kFnGlobal[fn]]);
  if (!g) return Ref();
  if (g.get() == st->original[fn]) {
    PyObject* argv[] = {args...};
    return call_native(g.get(), argv, static_cast<int>(sizeof...(A)));
  }
  return call(g.get(), args...);
}

// Reading a span's attribute mapping.  The SDK hands out a read-only proxy
// over its own container class, whose Python-level methods cost far more
// than the lookups themselves.  When the proxy and the container are the
// unmodified originals, the plain dict behind them answers every read
// exactly as the mapping protocol would.  `backing_dict` puts that dict
// (or the mapping itself when it is an exact dict) in `out` and returns 1;
// 0 when the generic protocol must be used; -1 on error.
int backing_dict(State* st, PyObject* mapping, Ref& out);
// The same for the SDK's container itself.
int bounded_backing(State* st, PyObject* container, Ref& out);

// The 13 keys of a span record in their order, with the values most
// records keep ("ok", None, "", True): each record starts as a copy.
PyObject* build_record_template(State* st);

// The first definition of `name` along the type's MRO (borrowed), or NULL
// (with an exception set only on a real error).
PyObject* mro_lookup(PyTypeObject* tp, PyObject* name);

// A module already in sys.modules: 1 with `out` set, 0 when it is not
// there (the import machinery decides), -1 on error (a lookup in the module
// cache that raised, as the import statement's own lookup would).  The
// cache is read directly: the exported lookup also checks whether the
// module is still being initialised, which costs more than the rest of a
// dropped span and matters only during the first import.
inline int loaded_module(PyObject* name, Ref& out) {
  PyObject* modules = PyImport_GetModuleDict();
  if (modules == nullptr || !PyDict_CheckExact(modules)) return 0;
  PyObject* mod = PyDict_GetItemWithError(modules, name);
  if (mod == nullptr) return PyErr_Occurred() ? -1 : 0;
  if (mod == Py_None) return 0;
  out = Ref::borrow(mod);
  return 1;
}

// `import <name>` at call time, served from the module cache.
inline Ref fresh_import(PyObject* name) {
  Ref mod;
  const int found = loaded_module(name, mod);
  if (found < 0) return Ref();
  if (found) return mod;
  return import_module(name);
}

// `from <module> import <attr>` served from the module cache (and from
// `known` while that still holds): 1 with `out` set, 0 when the module is
// not loaded or has no such attribute (the import machinery decides), -1 on
// error.
inline int cached_import_from(PyObject* module_name, PyObject* attr, KnownImport& known, Ref& out) {
  if (PyObject* v = known_import(known)) {
    out = Ref::borrow(v);
    return 1;
  }
  forget_import(known);
  Ref held;
  const int found = loaded_module(module_name, held);
  if (found <= 0) return found;
  if (PyModule_CheckExact(held.get())) {
    // A plain module is read through its namespace (the module type defines
    // none of these names); only a value found there is remembered.
    out = Ref::borrow(PyDict_GetItemWithError(PyModule_GetDict(held.get()), attr));
    if (out) {
      remember_import(known, held.get(), out.get());
      return 1;
    }
    if (PyErr_Occurred()) return -1;
  }
  out = Ref::steal(PyObject_GetAttr(held.get(), attr));
  if (out) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

// `from <module> import <attr>` at call time, served from the module cache.
inline Ref fresh_import_from(PyObject* module_name, PyObject* attr, KnownImport& known) {
  Ref v;
  const int found = cached_import_from(module_name, attr, known, v);
  if (found < 0) return Ref();
  if (found) return v;
  return import_from(module_name, attr);
}

// a == b where both types keep object's own comparison (identity), else the operator.
inline int equals(PyObject* a, PyObject* b) {
  const richcmpfunc base = PyBaseObject_Type.tp_richcompare;
  if (Py_TYPE(a)->tp_richcompare == base && Py_TYPE(b)->tp_richcompare == base) return a == b;
  Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  if (!r) return -1;
  return truth(r.get());
}

// str.lower() of `s`; ASCII text is lowered here, anything else by the
// object's own method.
Ref lower_text(State* st, PyObject* s);

// Whether an entry of `table` occurs in `url`, lower-cased first when
// `lower`: 1 or 0 when `url` is an ASCII str and `table` a tuple of str
// (answered from the table as prepared in `slot`), else -2: the caller
// tests entry by entry.  Never fails.
int url_table_contains(UrlTable& slot, PyObject* table, PyObject* url, bool lower);

// format(value, "032x") / format(value, "016x") for span ids; `digits` is 32 or 16.
Ref hex_id(State* st, PyObject* value, int digits);

// A dict copy and the dict it was copied from, with their version tags
// when the copy was made (where dicts carry them; else nothing is kept).
struct CopyStamp {
  PyObject* source = nullptr;
  PyObject* copy = nullptr;
  std::uint64_t source_version = 0;
  std::uint64_t copy_version = 0;
  // Just after `copy` was copied from `source` (both exact dicts, kept
  // alive by the caller); `source` may be NULL.
  CopyStamp(PyObject* source, PyObject* copy);
};

// While it lives, offers the stamped copy to the record conversions of the
// span it was copied from: a conversion takes it only while neither dict
// has changed since the copy was made.
class OfferedCopy {
 public:
  OfferedCopy(State* st, const CopyStamp& stamp);
  ~OfferedCopy();
  OfferedCopy(const OfferedCopy&) = delete;
  OfferedCopy& operator=(const OfferedCopy&) = delete;

 private:
  State* st_;
  bool offered_ = false;
};
// The offered copy when it is a copy of `source` as `source` is now
// (borrowed), else NULL.
PyObject* offered_copy(State* st, PyObject* source);

// ctx._record_integration(label, category); -1 with an exception set on error.
int report_integration(State* st, PyObject* ctx, PyObject* label, PyObject* category);
inline constexpr int kRunMethodChecks = 64;  // checks of run classes after changes

// The body of `_resolve_kind(span)` on the attribute mapping already read
// from `span`; `f` is a live function of the module (its globals are read).
// New reference, or NULL on error.
PyObject* resolve_kind_with(Function* f, PyObject* span, const SpanAttrs& attrs);

// The `value` of a span kind (an enumeration member), or the kind itself.
Ref span_kind_value(State* st, PyObject* kind);

// The integration pairs of one span, as `_extract_integrations_from_attrs`
// finds them: appended to a list, or (for the processor) kept here until
// they are reported.  A pair taken from a module table is kept whole, to be
// unpacked when it is reported.
inline constexpr int kMaxIntegrationPairs = 8;  // two from the provider rule, one per other rule
struct IntegrationPairs {
  PyObject* list = nullptr;
  Ref first[kMaxIntegrationPairs];
  Ref second[kMaxIntegrationPairs];  // empty when `first` is a whole pair
  int n = 0;
  int add(PyObject* label, PyObject* category);
  int add_pair(PyObject* pair);
  Py_ssize_t size() const { return list != nullptr ? PyList_GET_SIZE(list) : n; }
};

// The rules of `_extract_integrations_from_attrs` on the exact dict `attrs`;
// `f` is the function whose module globals are read.  -1 on error.
int extract_integrations(Function* f, State* st, PyObject* attrs, IntegrationPairs& out);

inline bool starts_with(PyObject* s, PyObject* prefix) {
  return PyUnicode_Tailmatch(s, prefix, 0, PY_SSIZE_T_MAX, -1) == 1;
}

}  // namespace dravik::tracing

// SDK span properties read through the fields behind them (see span_fields.hpp).
#include "tracing/span_fields.hpp"

#include "common/cpython_private.hpp"
#include "common/lookup.hpp"
#include "common/names.hpp"
#include "tracing/support.hpp"

namespace dravik::tracing {

namespace {

// The getters as the SDK writes them; a getter of the SDK is skipped only
// while its code equals the one of the same name here.
constexpr const char* kReferenceSource =
    "def attributes(self):\n    return MappingProxyType(self._attributes or {})\n"
    "def name(self):\n    return self._name\n"
    "def kind(self):\n    return self._kind\n"
    "def start_time(self):\n    return self._start_time\n"
    "def end_time(self):\n    return self._end_time\n"
    "def context(self):\n    return self._context\n"
    "def parent(self):\n    return self._parent\n"
    "def status(self):\n    return self._status\n"
    "def trace_id(self):\n    return self[0]\n"
    "def span_id(self):\n    return self[1]\n"
    "def status_code(self):\n    return self._status_code\n"
    "def __getitem__(self, key):\n    return self._dict[key]\n"
    "def __len__(self):\n    return len(self._dict)\n"
    // Not a getter: the run's method counting an integration, evaluated in
    // run_integrations.cpp while the run class's method has this code.  Its
    // module imports itertools, which changes how the attribute of an
    // imported module is loaded (3.13 loads it as a plain attribute).
    "import itertools\n"
    "def _record_integration(self, name, category):\n    \"\"\"-\"\"\"\n    key = (name, category)\n"
    "    counter = self._integrations.get(key)\n    if counter is None:\n"
    "        counter = self._integrations.setdefault(key, itertools.count())\n    next(counter)\n";

struct ClassDesc {
  const char* module;
  const char* name;
  int nprops;
  Name props[kMaxClassProps];
};

const ClassDesc kClasses[K_COUNT] = {
    {"opentelemetry.sdk.trace",
     "ReadableSpan",
     8,
     {N_p_attributes, N_p_name, N_p_kind, N_p_start_time, N_p_end_time, N_p_context, N_p_parent, N_p_status}},
    {"opentelemetry.trace", "SpanContext", 2, {N_p_trace_id, N_p_span_id}},
    {"opentelemetry.trace", "Status", 1, {N_p_status_code}},
};

// The field behind each ReadableSpan property, in SpanProp order.
const Name kSpanFields[] = {N_f_attributes, N_f_name,    N_f_kind,   N_f_start_time,
                            N_f_end_time,   N_f_context, N_f_parent, N_f_status};

// How often a class is checked again after it changed.
constexpr int kChecks = 64;

// An Exception from a check means "not verified"; anything else propagates.
int failed_check() { return swallow_exception() ? 0 : -1; }

// getattr(code, name) == getattr(ref, name); absent on both counts as equal.
int same_attr(PyObject* code, PyObject* ref, const char* name) {
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) return -1;
  Ref a;
  Ref b;
  const int ra = get_optional_attr(code, key.get(), a);
  if (ra < 0) return -1;
  const int rb = get_optional_attr(ref, key.get(), b);
  if (rb < 0) return -1;
  if (ra != rb) return 0;
  if (ra == 0) return 1;
  return PyObject_RichCompareBool(a.get(), b.get(), Py_EQ);
}

// Whether two code objects run the same instructions on the same names and
// constants.  The first constant is the docstring (or None) and is not read
// by the code; constants must match in type as well (0 and False differ as
// subscripts of nothing here, but equal values of other types could).
int same_code(PyObject* code, PyObject* ref) {
  if (!PyCode_Check(code) || !PyCode_Check(ref)) return 0;
  for (const char* attr : {"co_code", "co_names", "co_argcount", "co_posonlyargcount", "co_kwonlyargcount",
                           "co_freevars", "co_cellvars", "co_exceptiontable"}) {
    const int same = same_attr(code, ref, attr);
    if (same <= 0) return same;
  }
  Ref fa = Ref::steal(PyObject_GetAttrString(code, "co_flags"));
  Ref fb = fa ? Ref::steal(PyObject_GetAttrString(ref, "co_flags")) : Ref();
  if (!fb) return -1;
  const long kinds = CO_VARARGS | CO_VARKEYWORDS | CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR |
                     CO_ITERABLE_COROUTINE | CO_NESTED;
  const long flags_a = PyLong_AsLong(fa.get());
  const long flags_b = PyLong_AsLong(fb.get());
  if (PyErr_Occurred()) return -1;
  if ((flags_a & kinds) != (flags_b & kinds)) return 0;
  Ref ca = Ref::steal(PyObject_GetAttrString(code, "co_consts"));
  Ref cb = ca ? Ref::steal(PyObject_GetAttrString(ref, "co_consts")) : Ref();
  if (!cb) return -1;
  if (!PyTuple_CheckExact(ca.get()) || !PyTuple_CheckExact(cb.get())) return 0;
  const Py_ssize_t n = PyTuple_GET_SIZE(ca.get());
  if (n != PyTuple_GET_SIZE(cb.get())) return 0;
  for (Py_ssize_t i = 1; i < n; ++i) {
    PyObject* x = PyTuple_GET_ITEM(ca.get(), i);
    PyObject* y = PyTuple_GET_ITEM(cb.get(), i);
    if (Py_TYPE(x) != Py_TYPE(y)) return 0;
    const int eq = PyObject_RichCompareBool(x, y, Py_EQ);
    if (eq <= 0) return eq;
  }
  return 1;
}

void forget(FieldReads& fr) {
  fr.version = 0;
  fr.fields_in_dict = false;
  clear_all(fr.getters, kMaxClassProps);
  clear_all(fr.codes, kMaxClassProps);
}

// Whether the generic lookup of each field of class `k` on its instances
// goes straight to the instance dict: the class keeps that dict at a fixed
// offset and no class in the MRO has an attribute of the field's name.
// 1, 0, or -1 on error.
int fields_in_instance_dict(State* st, SdkClass k, PyTypeObject* tp) {
  if (tp->tp_dictoffset <= 0 || k == K_span_context) return 0;
  for (Name field : kSpanFields) {
    if (k == K_status) field = N_f_status_code;
    if (mro_lookup(tp, st->names[field]) != nullptr) return 0;
    if (PyErr_Occurred()) return -1;
    if (k == K_status) break;
  }
  return 1;
}

// Finds the verified getters of class `k` in its present state, into
// `getters` and `codes`: the version tag they hold for, or 0 when the class
// cannot be read directly (-1 with an exception set on error).
long long verify_class(State* st, SdkClass k, PyTypeObject* tp, Ref* getters, Ref* codes, bool& in_dict) {
  // Properties are found by the generic attribute lookup only.
  if (tp->tp_getattro != PyObject_GenericGetAttr) return 0;
  if (k == K_span_context) {
    // `self[i]` of a tuple subclass that keeps the tuple's item access.
    if (!PyType_IsSubtype(tp, &PyTuple_Type) || tp->tp_as_mapping == nullptr ||
        tp->tp_as_mapping->mp_subscript != PyTuple_Type.tp_as_mapping->mp_subscript) {
      return 0;
    }
  }
  const ClassDesc& desc = kClasses[k];
  const unsigned int version = cpython::type_version_tag(tp, st->names[desc.props[0]]);
  if (version == 0) return PyErr_Occurred() ? failed_check() : 0;
  int found = 0;
  for (int i = 0; i < desc.nprops; ++i) {
    PyObject* prop_name = st->names[desc.props[i]];
    PyObject* descr = mro_lookup(tp, prop_name);
    if (descr == nullptr) {
      if (PyErr_Occurred() && failed_check() < 0) return -1;
      continue;
    }
    if (!Py_IS_TYPE(descr, &PyProperty_Type)) continue;
    Ref held_descr = Ref::borrow(descr);
    Ref fget = Ref::steal(PyObject_GetAttr(descr, st->names[N_p_fget]));
    if (!fget) {
      if (failed_check() < 0) return -1;
      continue;
    }
    Ref code = PyFunction_Check(fget.get()) ? Ref::borrow(PyFunction_GET_CODE(fget.get())) : Ref();
    const int same = matches_reference(st, fget.get(), prop_name);
    if (same < 0 && failed_check() < 0) return -1;
    if (same <= 0) continue;
    getters[i] = std::move(fget);
    codes[i] = std::move(code);
    ++found;
  }
  const int plain = found ? fields_in_instance_dict(st, k, tp) : 0;
  if (plain < 0 && failed_check() < 0) return -1;
  in_dict = plain > 0;
  // Nothing above may change the class, but a tag that moved would make
  // every getter found here suspect.
  if (!found || !cpython::type_version_valid(tp, version)) return 0;
  return version;
}

// Checks class `k` again: 1 checked (some getters may still have to be
// called), 0 not checked, -1 on error.
int check_class(State* st, SdkClass k) {
  FieldReads& fr = st->field_reads[k];
  if (fr.checking || fr.checks_left <= 0) return 0;
  --fr.checks_left;
  forget(fr);
  Ref tp = Ref::borrow(reinterpret_cast<PyObject*>(fr.type));
  Ref getters[kMaxClassProps];
  Ref codes[kMaxClassProps];
  bool in_dict = false;
  fr.checking = true;
  const long long version = verify_class(st, k, reinterpret_cast<PyTypeObject*>(tp.get()), getters, codes, in_dict);
  fr.checking = false;
  if (version <= 0) return static_cast<int>(version);
  // The state is written only now, whole, and released only after.
  forget(fr);
  for (int i = 0; i < kMaxClassProps; ++i) {
    fr.getters[i] = getters[i].release();
    fr.codes[i] = codes[i].release();
  }
  fr.version = static_cast<unsigned int>(version);
  fr.fields_in_dict = in_dict;
  return 1;
}

// 1 when property `i` of `obj` (of class `k`) is read through its field,
// 0 when the property must be called, -1 on error.
inline int direct(State* st, SdkClass k, PyObject* obj, int i) {
  FieldReads& fr = st->field_reads[k];
  PyTypeObject* tp = Py_TYPE(obj);
  if (tp != fr.type) return 0;
  if (!cpython::type_version_valid(tp, fr.version)) {
    const int checked = check_class(st, k);
    if (checked <= 0) return checked;
  }
  PyObject* getter = fr.getters[i];
  return getter != nullptr && PyFunction_GET_CODE(getter) == fr.codes[i];
}

// obj.<field> for an object that direct() accepted for class `k`: from the
// instance dict, as the generic lookup reads it, while no class attribute
// can come first; else through the lookup (which also raises the error).
Ref read_field(State* st, SdkClass k, PyObject* obj, PyObject* field) {
  if (st->field_reads[k].fields_in_dict) {
    if (PyObject* dict = cpython::instance_dict(obj)) {
      Ref held = Ref::borrow(dict);  // a key's __eq__ could replace it
      PyObject* v = PyDict_GetItemWithError(dict, field);
      if (v != nullptr) return Ref::borrow(v);
      if (PyErr_Occurred()) return Ref();
    }
  }
  return Ref::steal(PyObject_GetAttr(obj, field));
}

}  // namespace

PyObject* mro_lookup(PyTypeObject* tp, PyObject* name) {
  PyObject* mro = tp->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) return nullptr;
  Ref held = Ref::borrow(mro);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    if (!PyType_Check(base)) continue;
#if PY_VERSION_HEX >= 0x030C0000
    // The interpreter's own static types keep their dict elsewhere.
    Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
#else
    Ref dict = Ref::borrow(reinterpret_cast<PyTypeObject*>(base)->tp_dict);
#endif
    if (!dict) {
      if (PyErr_Occurred()) return nullptr;
      continue;
    }
    // Borrowed from the dict of a type in the MRO, which the MRO keeps alive.
    PyObject* v = PyDict_GetItemWithError(dict.get(), name);
    if (v != nullptr || PyErr_Occurred()) return v;
  }
  return nullptr;
}

int matches_reference(State* st, PyObject* fn, PyObject* name) {
  if (st->reference_getters == nullptr || !PyFunction_Check(fn) || PyFunction_GET_CLOSURE(fn) != nullptr) return 0;
  PyObject* reference = PyDict_GetItemWithError(st->reference_getters, name);
  if (reference == nullptr) return PyErr_Occurred() ? -1 : 0;
  if (!PyFunction_Check(reference)) return 0;
  Ref held = Ref::borrow(reference);
  return same_code(PyFunction_GET_CODE(fn), PyFunction_GET_CODE(reference));
}

int init_field_reads(State* st) {
  Ref globals = Ref::steal(PyDict_New());
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return -1;
  Ref code = Ref::steal(Py_CompileString(kReferenceSource, "<dravik span getters>", Py_file_input));
  if (!code) return -1;
  Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  if (!done) return -1;
  for (int k = 0; k < K_COUNT; ++k) {
    Ref module_name = Ref::steal(PyUnicode_FromString(kClasses[k].module));
    Ref class_name = Ref::steal(PyUnicode_FromString(kClasses[k].name));
    if (!module_name || !class_name) return -1;
    Ref cls = import_from(module_name.get(), class_name.get());
    if (!cls) {
      if (!swallow_exception()) return -1;
      continue;
    }
    if (!PyType_Check(cls.get())) continue;
    FieldReads& fr = st->field_reads[k];
    fr.type = reinterpret_cast<PyTypeObject*>(cls.release());
    fr.checks_left = kChecks;
  }
  st->reference_getters = globals.release();
  return 0;
}

int traverse_field_reads(State* st, visitproc visit, void* arg) {
  Py_VISIT(st->reference_getters);
  for (FieldReads& fr : st->field_reads) {
    Py_VISIT(fr.type);
    for (PyObject* g : fr.getters) Py_VISIT(g);
    for (PyObject* c : fr.codes) Py_VISIT(c);
  }
  return 0;
}

void clear_field_reads(State* st) {
  Py_CLEAR(st->reference_getters);
  for (FieldReads& fr : st->field_reads) {
    forget(fr);
    Py_CLEAR(fr.type);
  }
}

Ref span_property(State* st, PyObject* span, SpanProp prop) {
  const int d = direct(st, K_span, span, prop);
  if (d < 0) return Ref();
  if (d) return read_field(st, K_span, span, st->names[kSpanFields[prop]]);
  return Ref::steal(PyObject_GetAttr(span, st->names[kClasses[K_span].props[prop]]));
}

Ref context_id(State* st, PyObject* context, ContextProp prop) {
  const int d = direct(st, K_span_context, context, prop);
  if (d < 0) return Ref();
  if (d && PyTuple_GET_SIZE(context) > prop) return Ref::borrow(PyTuple_GET_ITEM(context, prop));
  return Ref::steal(PyObject_GetAttr(context, st->names[kClasses[K_span_context].props[prop]]));
}

Ref status_code_of(State* st, PyObject* status) {
  const int d = direct(st, K_status, status, 0);
  if (d < 0) return Ref();
  if (d) return read_field(st, K_status, status, st->names[N_f_status_code]);
  return Ref::steal(PyObject_GetAttr(status, st->names[N_p_status_code]));
}

namespace {

// Completes `out` from the mapping object in `out.value`.
int from_mapping(State* st, SpanAttrs& out) {
  const int found = backing_dict(st, out.value.get(), out.hold);
  if (found < 0) return -1;
  if (found) {
    out.dict = out.hold.get();
    out.truth = PyDict_GET_SIZE(out.dict) != 0;
    return 0;
  }
  const int t = truth(out.value.get());
  if (t < 0) return -1;
  out.truth = t != 0;
  return 0;
}

}  // namespace

int span_attributes(State* st, PyObject* span, SpanAttrs& out) {
  const int d = direct(st, K_span, span, SP_attributes);
  if (d < 0) return -1;
  if (d) {
    // The getter names MappingProxyType through its module's globals.
    PyObject* globals = PyFunction_GET_GLOBALS(st->field_reads[K_span].getters[SP_attributes]);
    PyObject* proxy_type = PyDict_GetItemWithError(globals, st->names[N_g_mapping_proxy]);
    if (proxy_type == nullptr && PyErr_Occurred()) return -1;
    if (proxy_type == reinterpret_cast<PyObject*>(&PyDictProxy_Type)) {
      out.direct = true;
      Ref inner = read_field(st, K_span, span, st->names[N_f_attributes]);
      if (!inner) return -1;
      if (inner.get() == Py_None) return 0;  // MappingProxyType({})
      int found = 1;
      if (PyDict_CheckExact(inner.get())) {
        out.hold = Ref::borrow(inner.get());
      } else if ((found = bounded_backing(st, inner.get(), out.hold)) < 0) {
        return -1;
      }
      if (found) {
        // A proxy of the container, or of {} when it is empty: the same reads.
        out.dict = out.hold.get();
        out.truth = PyDict_GET_SIZE(out.dict) != 0;
        return 0;
      }
      // `self._attributes or {}` and the proxy over it, as the getter makes them.
      const int t = truth(inner.get());
      if (t < 0) return -1;
      if (!t) inner = Ref::steal(PyDict_New());
      if (!inner) return -1;
      out.value = Ref::steal(PyDictProxy_New(inner.get()));
      if (!out.value) return -1;
      return from_mapping(st, out);
    }
  }
  out.value = Ref::steal(PyObject_GetAttr(span, st->names[N_p_attributes]));
  if (!out.value) return -1;
  out.value_is_dict = PyDict_CheckExact(out.value.get());
  return from_mapping(st, out);
}

Ref SpanAttrs::get(State* st, Name key, PyObject* dflt) const {
  if (!truth) return Ref::borrow(dflt);
  if (dict != nullptr) return attr_get(st, dict, key, dflt);
  return call_method(value.get(), st->names[N_m_get], st->names[key], dflt);
}

Ref SpanAttrs::copy() const {
  if (!truth) return Ref::steal(PyDict_New());
  if (dict != nullptr) return Ref::steal(PyDict_Copy(dict));
  return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), value.get()));
}

}  // namespace dravik::tracing

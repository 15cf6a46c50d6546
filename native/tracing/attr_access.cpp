// Reading span attribute mappings without the SDK container's Python methods.
#include "tracing/support.hpp"

namespace dravik::tracing {

namespace {

bool container_unmodified(State* st) {
  return cpython::type_version_valid(st->bounded_attrs_type, st->bounded_attrs_version);
}

}  // namespace

int bounded_backing(State* st, PyObject* container, Ref& out) {
  out.reset();
  if (st->bounded_attrs_type == nullptr || !Py_IS_TYPE(container, st->bounded_attrs_type)) return 0;
  if (!container_unmodified(st)) return 0;
  // The proxy's get() and keys() look these names up on the instance first.
  // A lookup that raises (a key of the instance dict with a hostile __eq__)
  // leaves the reads to the generic protocol, which meets the same key;
  // an interrupt goes to the caller.
  Ref inst = Ref::steal(PyObject_GenericGetDict(container, nullptr));
  if (!inst) return swallow_exception() ? 0 : -1;
  if (!PyDict_CheckExact(inst.get())) return 0;
  Ref items = Ref::borrow(PyDict_GetItemWithError(inst.get(), st->names[N_p_dict]));
  if (!items) return PyErr_Occurred() && !swallow_exception() ? -1 : 0;
  if (!PyDict_CheckExact(items.get())) return 0;
  for (Name own : {N_m_get, N_m_keys}) {
    if (PyDict_GetItemWithError(inst.get(), st->names[own]) != nullptr) return 0;
    if (PyErr_Occurred()) return swallow_exception() ? 0 : -1;
  }
  out = std::move(items);
  return 1;
}

int backing_dict(State* st, PyObject* mapping, Ref& out) {
  out.reset();
  if (PyDict_CheckExact(mapping)) {
    out = Ref::borrow(mapping);
    return 1;
  }
  if (!Py_IS_TYPE(mapping, &PyDictProxy_Type)) return 0;
  PyObject* inner = cpython::mappingproxy_target(mapping);
  if (PyDict_CheckExact(inner)) {
    out = Ref::borrow(inner);
    return 1;
  }
  // The proxy keeps its container alive while the caller holds the proxy.
  return bounded_backing(st, inner, out);
}

}  // namespace dravik::tracing

namespace dravik::tracing {

namespace {

bool type_unchanged(PyTypeObject* tp, unsigned int version) { return cpython::type_version_valid(tp, version); }

}  // namespace

Ref span_kind_value(State* st, PyObject* kind) {
  // The SDK's members answer `value` with their `_value_` while the Enum's
  // own `value` is in place; anything else goes the generic way.
  if (st->span_kind_type != nullptr && Py_IS_TYPE(kind, st->span_kind_type) &&
      type_unchanged(st->span_kind_type, st->span_kind_version)) {
    Ref v;
    const int found = get_optional_attr(kind, st->names[N_p_value_], v);
    if (found != 0) return v;
  }
  Ref v;
  if (get_optional_attr(kind, st->names[N_p_value], v) < 0) return Ref();
  if (!v) return Ref::borrow(kind);
  return v;
}

namespace {

void put_hex(char* out, unsigned long long v) {
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i) {
    out[i] = kDigits[v & 0xF];
    v >>= 4;
  }
}

}  // namespace

Ref lower_text(State* st, PyObject* s) {
  if (PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s)) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const Py_UCS1* src = PyUnicode_1BYTE_DATA(s);
    Py_ssize_t i = 0;
    while (i < n && !(src[i] >= 'A' && src[i] <= 'Z')) ++i;
    if (i == n) return Ref::borrow(s);
    Ref out = Ref::steal(PyUnicode_New(n, 127));
    if (!out) return out;
    Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.get());
    for (Py_ssize_t j = 0; j < n; ++j) {
      const Py_UCS1 c = src[j];
      dst[j] = (c >= 'A' && c <= 'Z') ? static_cast<Py_UCS1>(c + ('a' - 'A')) : c;
    }
    return out;
  }
  return call_method(s, st->names[N_m_lower]);
}

Ref hex_id(State* st, PyObject* value, int digits) {
  if (PyLong_CheckExact(value)) {
    if (digits == 16) {
      const unsigned long long v = PyLong_AsUnsignedLongLong(value);
      if (!(v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        Ref out = Ref::steal(PyUnicode_New(16, 127));
        if (out) put_hex(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get())), v);
        return out;
      }
      PyErr_Clear();
    } else {
      Ref sixty_four = Ref::steal(PyLong_FromLong(64));
      Ref high_obj = sixty_four ? Ref::steal(PyNumber_Rshift(value, sixty_four.get())) : Ref();
      if (!high_obj) return Ref();
      const unsigned long long high = PyLong_AsUnsignedLongLong(high_obj.get());
      if (!(high == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        const unsigned long long low = PyLong_AsUnsignedLongLongMask(value);
        if (!(low == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
          Ref out = Ref::steal(PyUnicode_New(32, 127));
          if (out) {
            char* text = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get()));
            put_hex(text, high);
            put_hex(text + 16, low);
          }
          return out;
        }
      }
      PyErr_Clear();
    }
  }
  return format_value(value, st->names[digits == 32 ? N_v_hex32 : N_v_hex16]);
}

}  // namespace dravik::tracing

// Reading span attribute mappings without the SDK container's Python methods.
#include "tracing/support.hpp"

namespace dravik::tracing {

namespace {

bool container_unmodified(State* st) {
  return cpython::type_version_valid(st->bounded_attrs_type, st->bounded_attrs_version);
}

}  // namespace

PyObject* backing_dict(State* st, PyObject* mapping) {
  if (PyDict_CheckExact(mapping)) return mapping;
  if (!Py_IS_TYPE(mapping, &PyDictProxy_Type)) return nullptr;
  PyObject* inner = cpython::mappingproxy_target(mapping);
  if (PyDict_CheckExact(inner)) return inner;
  if (st->bounded_attrs_type == nullptr || !Py_IS_TYPE(inner, st->bounded_attrs_type)) return nullptr;
  if (!container_unmodified(st)) return nullptr;
  // The proxy's get() and keys() look these names up on the instance first.
  Ref inst = Ref::steal(PyObject_GenericGetDict(inner, nullptr));
  if (!inst || !PyDict_CheckExact(inst.get())) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* items = PyDict_GetItemWithError(inst.get(), st->names[N_p_dict]);
  if (items == nullptr || !PyDict_CheckExact(items)) {
    PyErr_Clear();
    return nullptr;
  }
  if (PyDict_GetItemWithError(inst.get(), st->names[N_m_get]) != nullptr ||
      PyDict_GetItemWithError(inst.get(), st->names[N_m_keys]) != nullptr || PyErr_Occurred()) {
    PyErr_Clear();
    return nullptr;
  }
  // `inst` keeps `items` alive only while the container does; the caller
  // holds the proxy, which holds the container.
  return items;
}

Ref copy_mapping(State* st, PyObject* mapping) {
  PyObject* d = backing_dict(st, mapping);
  if (d != nullptr) return Ref::steal(PyDict_Copy(d));
  return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), mapping));
}

int mapping_truth(State* st, PyObject* mapping) {
  PyObject* d = backing_dict(st, mapping);
  if (d != nullptr) return PyDict_GET_SIZE(d) != 0;
  return PyObject_IsTrue(mapping);
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
    const int found = lookup_attr(kind, st->names[N_p_value_], v);
    if (found != 0) return v;
  }
  Ref v;
  if (lookup_attr(kind, st->names[N_p_value], v) < 0) return Ref();
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

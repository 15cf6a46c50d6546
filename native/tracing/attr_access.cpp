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

// 16 lowercase hexadecimal digits of `v`, two at a time.
void put_hex(char* out, unsigned long long v) {
  static const char kPairs[] =
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
      "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f"
      "404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f"
      "606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f"
      "808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"
      "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf"
      "c0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedf"
      "e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";
  for (size_t i = 8; i-- > 0;) {
    const size_t byte = static_cast<size_t>(v & 0xFF);
    out[2 * i] = kPairs[2 * byte];
    out[2 * i + 1] = kPairs[2 * byte + 1];
    v >>= 8;
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
  // Exact ints in range are written here; anything else (negative, too
  // wide, other types) as format() writes it.
  if (PyLong_CheckExact(value)) {
    // An int never changes: the text written for the same object stands.
    HexIds& kept = st->hex_ids[digits == 32 ? 1 : 0];
    for (int i = 0; i < kHexIdsKept; ++i) {
      if (kept.value[i] == value) return Ref::borrow(kept.text[i]);
    }
    unsigned long long low = 0;
    unsigned long long high = 0;
    int fits = 1;
    if (digits == 16) {
      // A negative or wider value raises OverflowError (then format() writes it).
      low = PyLong_AsUnsignedLongLong(value);
      if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Ref();
        PyErr_Clear();
        fits = 0;
      }
    } else {
      unsigned char bytes[16] = {};
      fits = cpython::long_as_unsigned_bytes(value, bytes, sizeof bytes);
      if (fits < 0) return Ref();
      for (std::size_t i = 8; i-- > 0;) {
        low = (low << 8) | bytes[i];
        high = (high << 8) | bytes[i + 8];
      }
    }
    if (fits) {
      Ref out = Ref::steal(PyUnicode_New(digits, 127));
      if (!out) return out;
      char* text = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get()));
      if (digits == 32) {
        put_hex(text, high);
        text += 16;
      }
      put_hex(text, low);
      const int slot = kept.next;
      kept.next = (slot + 1) % kHexIdsKept;
      Py_XSETREF(kept.value[slot], Py_NewRef(value));
      Py_XSETREF(kept.text[slot], Py_NewRef(out.get()));
      return out;
    }
  }
  return format_value(value, st->names[digits == 32 ? N_v_hex32 : N_v_hex16]);
}

}  // namespace dravik::tracing

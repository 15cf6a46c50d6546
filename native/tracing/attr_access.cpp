// Reading span attribute mappings without the SDK container's Python methods.
#include "tracing/support.hpp"

namespace dravik::tracing {

namespace {

// The object layout of types.MappingProxyType (unchanged from 3.10 to 3.13).
struct ProxyLayout {
  PyObject_HEAD
  PyObject* mapping;
};

bool container_unmodified(State* st) {
  PyTypeObject* tp = st->bounded_attrs_type;
  if (tp->tp_version_tag == 0 || tp->tp_version_tag != st->bounded_attrs_version) return false;
#if PY_VERSION_HEX < 0x030C0000
  if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return false;
#endif
  return true;
}

}  // namespace

PyObject* backing_dict(State* st, PyObject* mapping) {
  if (PyDict_CheckExact(mapping)) return mapping;
  if (!Py_IS_TYPE(mapping, &PyDictProxy_Type)) return nullptr;
  PyObject* inner = reinterpret_cast<ProxyLayout*>(mapping)->mapping;
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

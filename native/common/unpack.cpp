#include "common/unpack.hpp"

namespace dravik {

int unpack2(PyObject* obj, Ref& a, Ref& b) {
  // Exact tuples and lists of two are read in place.
  if ((PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) && PySequence_Fast_GET_SIZE(obj) == 2) {
    a = Ref::borrow(PySequence_Fast_GET_ITEM(obj, 0));
    b = Ref::borrow(PySequence_Fast_GET_ITEM(obj, 1));
    return 0;
  }
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
    }
    return -1;
  }
  Ref* slots[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    *slots[i] = Ref::steal(PyIter_Next(it.get()));
    if (!*slots[i]) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
      }
      return -1;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

}  // namespace dravik

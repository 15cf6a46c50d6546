#include "host/host.hpp"

namespace dravik::host {

Ref context_var_get(PyObject* var) {
  if (PyContextVar_CheckExact(var)) {
    PyObject* value = nullptr;
    if (PyContextVar_Get(var, nullptr, &value) < 0) return Ref();
    if (value == nullptr) {
      // No value and no default: ContextVar.get() raises LookupError(var).
      PyErr_SetObject(PyExc_LookupError, var);
      return Ref();
    }
    return Ref::steal(value);
  }
  return Ref::steal(PyObject_CallMethod(var, "get", nullptr));
}

}  // namespace dravik::host

// Reading a str in place.
#pragma once

#include <Python.h>

namespace dravik {

// Strings built through the legacy wide-character API are only readable in
// place once made ready (3.12 removed that representation); -1 with an
// exception set on failure.
inline int str_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_READY(s);
#else
  (void)s;
  return 0;
#endif
}

}  // namespace dravik

// Pattern calls through the pattern objects' own `search` and `sub`, so any
// object a host puts in a table (a compiled `re` pattern or a look-alike)
// is honoured.
#include "instrumentors/guard/pattern_engine.hpp"

#include "common/call.hpp"

namespace dravik::guard {

int engine_search(State* st, PyObject* pattern, PyObject* text, Ref* match) {
  Ref m = call_method(pattern, S(st, S_search), text);
  if (!m) return -1;
  const int found = PyObject_IsTrue(m.get());
  if (found > 0 && match != nullptr) *match = std::move(m);
  return found;
}

Ref engine_match_text(State* st, PyObject* match) { return call_method(match, S(st, S_group)); }

Ref engine_replace_all(State* st, PyObject* pattern, PyObject* text, PyObject* literal) {
  // A replacement string goes through `re`'s template parser, where a
  // backslash starts a group reference or an escape; doubling each one
  // keeps the text literal.  Without backslashes it is literal already.
  Ref repl = Ref::borrow(literal);
  if (PyUnicode_Check(literal)) {
    const Py_ssize_t at = PyUnicode_FindChar(literal, '\\', 0, PyUnicode_GET_LENGTH(literal), 1);
    if (at == -2) return Ref();
    if (at >= 0) {
      repl = Ref::steal(PyUnicode_Replace(literal, S(st, S_backslash), S(st, S_double_backslash), -1));
      if (!repl) return Ref();
    }
  }
  return call_method(pattern, S(st, S_sub), repl.get(), text);
}

}  // namespace dravik::guard

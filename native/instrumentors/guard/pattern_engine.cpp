// Compiled `re` patterns of a syntax the native engine takes run natively,
// with results identical to `re`; any other object a host puts in a table
// (a pattern the engine refuses, a look-alike) is called through its own
// `search` and `sub`.
#include "instrumentors/guard/pattern_engine.hpp"

#include "common/call.hpp"
#include "instrumentors/guard/engine_cache.hpp"

namespace dravik::guard {

namespace {

int generic_search(State* st, PyObject* pattern, PyObject* text, Ref* matched) {
  Ref m = call_method(pattern, S(st, S_search), text);
  if (!m) return -1;
  const int found = PyObject_IsTrue(m.get());
  if (found > 0 && matched != nullptr) {
    *matched = call_method(m.get(), S(st, S_group));
    if (!*matched) return -1;
  }
  return found;
}

Ref generic_replace_all(State* st, PyObject* pattern, PyObject* text, PyObject* literal) {
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

// The native form of `pattern` when it applies to `text`; -1 on error.
int native_for(State* st, PyObject* pattern, PyObject* text, std::shared_ptr<rx::Regex>& out) {
  out.reset();
  if (!PyUnicode_Check(text)) return 0;  // re's own error for other texts
  return st->engine->lookup(pattern, out);
}

}  // namespace

int engine_search(State* st, PyObject* pattern, PyObject* text, Ref* matched) {
  std::shared_ptr<rx::Regex> regex;
  if (native_for(st, pattern, text, regex) < 0) return -1;
  if (regex == nullptr) return generic_search(st, pattern, text, matched);
  rx::Span span;
  const int found = regex->search(text, 0, span);
  if (found > 0 && matched != nullptr) {
    *matched = Ref::steal(PyUnicode_Substring(text, span.start, span.end));
    if (!*matched) return -1;
  }
  return found;
}

Ref engine_replace_all(State* st, PyObject* pattern, PyObject* text, PyObject* literal) {
  std::shared_ptr<rx::Regex> regex;
  if (native_for(st, pattern, text, regex) < 0) return Ref();
  if (regex == nullptr || !PyUnicode_CheckExact(literal)) return generic_replace_all(st, pattern, text, literal);
  return Ref::steal(regex->replace_all(text, literal));
}

}  // namespace dravik::guard

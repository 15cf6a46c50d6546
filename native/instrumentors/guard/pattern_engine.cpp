// Compiled `re` patterns of a syntax the native engine takes run natively,
// with results identical to `re`; any other object a host puts in a table
// (a pattern the engine refuses, a look-alike) is called through its own
// `search` and `sub`.
#include "instrumentors/guard/pattern_engine.hpp"

#include "common/call.hpp"
#include "common/str_ready.hpp"
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
int native_for(State* st, PyObject* pattern, PyObject* text, rx::Regex*& out,
               std::shared_ptr<rx::Regex>* keep = nullptr) {
  out = nullptr;
  if (!PyUnicode_Check(text)) return 0;  // re's own error for other texts
  return st->engine->lookup(pattern, out, keep);
}

// A native search; a Regex busy in another thread's long search hands the
// call to `re` (same answer) rather than wait.
int native_search(State* st, rx::Regex& regex, PyObject* pattern, PyObject* text, Ref* matched) {
  rx::Span span;
  const int found = regex.search(text, 0, span);
  if (found == rx::kBusy) return generic_search(st, pattern, text, matched);
  if (found > 0 && matched != nullptr) {
    *matched = Ref::steal(PyUnicode_Substring(text, span.start, span.end));
    if (!*matched) return -1;
  }
  return found;
}

}  // namespace

// Both keep the Regex alive for a search that releases the GIL.
int engine_search(State* st, PyObject* pattern, PyObject* text, Ref* matched) {
  rx::Regex* regex = nullptr;
  std::shared_ptr<rx::Regex> keep;
  if (native_for(st, pattern, text, regex, &keep) < 0) return -1;
  if (regex == nullptr) return generic_search(st, pattern, text, matched);
  return native_search(st, *regex, pattern, text, matched);
}

Ref engine_replace_all(State* st, PyObject* pattern, PyObject* text, PyObject* literal) {
  rx::Regex* regex = nullptr;
  std::shared_ptr<rx::Regex> keep;
  if (native_for(st, pattern, text, regex, &keep) < 0) return Ref();
  if (regex == nullptr || !PyUnicode_CheckExact(literal)) return generic_replace_all(st, pattern, text, literal);
  Ref out = Ref::steal(regex->replace_all(text, literal));
  if (!out && !PyErr_Occurred()) return generic_replace_all(st, pattern, text, literal);  // busy
  return out;
}

int TableSearch::prepare(State* st, std::vector<PyObject*> patterns, PyObject* text) {
  patterns_ = std::move(patterns);
  regexes_.assign(patterns_.size(), nullptr);
  answers_.assign(patterns_.size(), rx::TableAnswer());
  if (!PyUnicode_Check(text)) return 0;
#if PY_VERSION_HEX < 0x030C0000
  if (str_ready(text) < 0) return -1;
#endif
  long_text_ = PyUnicode_GET_LENGTH(text) >= rx::kReleaseGilAt;
  std::vector<rx::Regex*> native;
  std::vector<PyObject*> native_patterns;
  for (size_t k = 0; k < patterns_.size(); ++k) {
    if (patterns_[k] == nullptr) continue;
    if (native_for(st, patterns_[k], text, regexes_[k]) < 0) return -1;
    if (regexes_[k] != nullptr) {
      native.push_back(regexes_[k]);
      native_patterns.push_back(patterns_[k]);
    }
  }
  // One pattern is as well served by its own search.
  constexpr size_t kFusedFrom = 2;
  if (native.size() < kFusedFrom) return 0;
  std::shared_ptr<const TablePlan> plan = st->engine->plan_for(native, native_patterns);
  if (!plan) {
    PyErr_NoMemory();
    return -1;
  }
  Array<rx::TableAnswer> a;
  bool ok;
  if (long_text_) {
    // Reads the text and the plan's patterns (claimed for the scan) only.
    Py_BEGIN_ALLOW_THREADS
    ok = plan->scanner.answers(text, a);
    Py_END_ALLOW_THREADS
  } else {
    ok = plan->scanner.answers(text, a);
  }
  if (!ok) {
    PyErr_NoMemory();
    return -1;
  }
  for (size_t k = 0, j = 0; k < patterns_.size(); ++k)
    if (regexes_[k] != nullptr) answers_[k] = a[j++];
  return 0;
}

int TableSearch::search(State* st, size_t k, PyObject* pattern, PyObject* text, Ref* matched) {
  if (k >= patterns_.size() || patterns_[k] != pattern || regexes_[k] == nullptr)
    return engine_search(st, pattern, text, matched);
  const rx::TableAnswer& a = answers_[k];
  if (a.kind == rx::TableAnswer::kNone) return 0;
  if (a.kind == rx::TableAnswer::kFound) {
    if (matched != nullptr) {
      *matched = Ref::steal(PyUnicode_Substring(text, a.span.start, a.span.end));
      if (!*matched) return -1;
    }
    return 1;
  }
  // A long search releases the GIL: it needs its own hold on the Regex.
  if (long_text_) return engine_search(st, pattern, text, matched);
  return native_search(st, *regexes_[k], pattern, text, matched);
}

}  // namespace dravik::guard

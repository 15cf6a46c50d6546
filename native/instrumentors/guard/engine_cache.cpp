#include "instrumentors/guard/engine_cache.hpp"

#include <string>

namespace dravik::guard {

int EngineCache::init(PyObject* re_module) {
  if (rx::load_case_fixes(fixes_) < 0) return -1;
  Ref empty = Ref::steal(PyObject_CallMethod(re_module, "compile", "s", ""));
  if (!empty) return -1;
  pattern_type_ = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(empty.get())));
  return 0;
}

int EngineCache::lookup(PyObject* pattern, rx::Regex*& out) {
  out = nullptr;
  if (pattern_type_ == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(pattern)) != pattern_type_) return 0;
  for (const Entry& e : entries_) {
    if (e.pattern == pattern) {
      out = e.regex.get();
      return 0;
    }
  }
  std::string why;
  std::unique_ptr<rx::Regex> regex = rx::Regex::from_re_pattern(pattern, fixes_, why);
  if (!regex && PyErr_Occurred()) return -1;
  if (entries_.size() >= kMaxEntries) drop_entries();
  entries_.push_back({Py_NewRef(pattern), std::move(regex)});
  out = entries_.back().regex.get();
  return 0;
}

int EngineCache::traverse(visitproc visit, void* arg) {
  Py_VISIT(pattern_type_);
  for (const Entry& e : entries_) Py_VISIT(e.pattern);
  return 0;
}

void EngineCache::drop_entries() {
  // Detach first: releasing a pattern may run arbitrary code.
  std::vector<Entry> old;
  old.swap(entries_);
  for (Entry& e : old) Py_CLEAR(e.pattern);
}

void EngineCache::clear() {
  drop_entries();
  Py_CLEAR(pattern_type_);
}

}  // namespace dravik::guard

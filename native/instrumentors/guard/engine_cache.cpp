#include "instrumentors/guard/engine_cache.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace dravik::guard {

namespace {
std::vector<rx::Regex*> raw_of(const std::vector<std::shared_ptr<rx::Regex>>& regs) {
  std::vector<rx::Regex*> out;
  out.reserve(regs.size());
  for (const auto& r : regs) out.push_back(r.get());
  return out;
}
}  // namespace

TablePlan::TablePlan(std::vector<std::shared_ptr<rx::Regex>> regs)
    : regexes(std::move(regs)), raw(raw_of(regexes)) {}

std::shared_ptr<const TablePlan> EngineCache::plan_for(const std::vector<rx::Regex*>& regexes,
                                                       const std::vector<PyObject*>& patterns) {
  constexpr size_t kPlans = 8;
  for (size_t k = 0; k < plans_.size(); ++k) {
    if (plans_[k]->raw == regexes) {
      if (k > 0) std::rotate(plans_.begin(), plans_.begin() + static_cast<std::ptrdiff_t>(k),
                             plans_.begin() + static_cast<std::ptrdiff_t>(k) + 1);
      return plans_[0];
    }
  }
  std::vector<std::shared_ptr<rx::Regex>> shared;
  shared.reserve(patterns.size());
  // Each was just looked up, and its pattern is alive.
  for (PyObject* p : patterns) shared.push_back(entries_.find(p)->second.regex);
  auto plan = std::make_shared<TablePlan>(std::move(shared));
  if (!plan->init()) return nullptr;
  plans_.insert(plans_.begin(), plan);
  if (plans_.size() > kPlans) plans_.pop_back();
  return plan;
}

int EngineCache::init(PyObject* re_module) {
  if (rx::load_case_fixes(fixes_) < 0) return -1;
  Ref empty = Ref::steal(PyObject_CallMethod(re_module, "compile", "s", ""));
  if (!empty) return -1;
  Py_XSETREF(pattern_type_, Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(empty.get()))));
  return 0;
}

namespace {
// The address of the object a weak reference points to, or null when it
// died (only compared, never dereferenced).
PyObject* referent(PyObject* weak) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* obj = nullptr;
  if (PyWeakref_GetRef(weak, &obj) < 0) {
    PyErr_Clear();  // not a weak reference: cannot happen, ours are
    return nullptr;
  }
  Py_XDECREF(obj);  // the caller's pattern (or the dead entry) keeps it alive
  return obj;
#else
  PyObject* obj = PyWeakref_GetObject(weak);
  return obj == Py_None ? nullptr : obj;
#endif
}
}  // namespace

int EngineCache::lookup(PyObject* pattern, rx::Regex*& out, std::shared_ptr<rx::Regex>* keep) {
  out = nullptr;
  if (pattern_type_ == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(pattern)) != pattern_type_) return 0;
  auto it = entries_.find(pattern);
  if (it != entries_.end()) {
    if (referent(it->second.weak) == pattern) {
      out = it->second.regex.get();
      if (keep != nullptr) *keep = it->second.regex;
      return 0;
    }
    // The address now belongs to a new object.
    Entry stale = std::move(it->second);
    entries_.erase(it);
    Py_CLEAR(stale.weak);
  }
  std::string why;
  std::unique_ptr<rx::Regex> regex = rx::Regex::from_re_pattern(pattern, fixes_, why);
  if (!regex && PyErr_Occurred()) return -1;
  Ref weak = Ref::steal(PyWeakref_NewRef(pattern, nullptr));
  if (!weak) return -1;
  if (entries_.size() >= sweep_at_) {
    sweep();
    // Amortised: the next sweep comes once the live entries have doubled.
    sweep_at_ = std::max<size_t>(256, entries_.size() * 2);
  }
  Entry& e = entries_[pattern];
  e.weak = weak.release();
  e.regex = std::move(regex);
  out = e.regex.get();
  if (keep != nullptr) *keep = e.regex;
  return 0;
}

void EngineCache::sweep() {
  std::vector<PyObject*> dead;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (referent(it->second.weak) == nullptr) {
      dead.push_back(it->second.weak);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  for (PyObject* w : dead) Py_DECREF(w);
}

int EngineCache::traverse(visitproc visit, void* arg) {
  Py_VISIT(pattern_type_);
  for (const auto& kv : entries_) Py_VISIT(kv.second.weak);
  return 0;
}

void EngineCache::clear() {
  // Detach first: releasing a reference may run arbitrary code.
  std::unordered_map<PyObject*, Entry> old;
  old.swap(entries_);
  for (auto& kv : old) Py_CLEAR(kv.second.weak);
  plans_.clear();
  Py_CLEAR(pattern_type_);
}

}  // namespace dravik::guard

// _apply_substitutions: each (found, placeholder) pair in list order, every
// occurrence of found replaced by placeholder in the output of the previous
// pair.
#pragma once

#include "instrumentors/guard/helpers.hpp"
#include "instrumentors/guard/literal_set.hpp"

#include <memory>

namespace dravik::guard {

// What a long pair list needs, prepared once for any number of texts: all
// found texts in one literal set, so that a text is searched once for all
// of them instead of once per pair.
class SubstitutionPlan {
 public:
  SubstitutionPlan() = default;
  SubstitutionPlan(const SubstitutionPlan&) = delete;
  SubstitutionPlan& operator=(const SubstitutionPlan&) = delete;

  // text after every pair of `pairs` (a list); NULL with an exception set
  // on failure.  The plan is (re)made from `pairs` when it was made from
  // other contents.
  Ref apply(State* st, PyObject* text, PyObject* pairs);

 private:
  int prepare(PyObject* pairs);
  bool made_from(PyObject* pairs) const;
  Ref apply_planned(PyObject* text);

  Ref pairs_;  // tuple: the pair objects the plan was made from
  bool usable_ = false;
  std::unique_ptr<LiteralSet> literals_;
  Array<Py_ssize_t> longest_from_;
};

}  // namespace dravik::guard

#include "instrumentors/guard/substitutions.hpp"

#include "instrumentors/guard/literal_replace.hpp"

#include <algorithm>
#include <new>

namespace dravik::guard {

namespace {

// Below this many pairs, searching per pair is cheaper than the plan.
constexpr Py_ssize_t kPlanFrom = 8;

// The pairs in list order, as the interpreter would run them: any pair, any
// found and placeholder objects.
Ref apply_each(State* st, PyObject* text_in, PyObject* pairs) {
  Ref text = Ref::borrow(text_in);
  const int rc = for_each_item(pairs, [&](PyObject* pair) -> int {
    Ref found, placeholder;
    if (unpack2(pair, found, placeholder) < 0) return -1;
    const int non_empty = PyObject_IsTrue(found.get());
    if (non_empty <= 0) return non_empty;
    const int present = PySequence_Contains(text.get(), found.get());
    if (present <= 0) return present;
    // str.replace: literal text, every occurrence.
    text = call_method(text.get(), S(st, S_replace_tag), found.get(), placeholder.get());
    return text ? 0 : -1;
  });
  return rc < 0 ? Ref() : std::move(text);
}

}  // namespace

bool SubstitutionPlan::made_from(PyObject* pairs) const {
  if (!pairs_) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(pairs_.get());
  if (PyList_GET_SIZE(pairs) != n) return false;
  for (Py_ssize_t k = 0; k < n; ++k) {
    if (PyList_GET_ITEM(pairs, k) != PyTuple_GET_ITEM(pairs_.get(), k)) return false;
  }
  return true;
}

// The plan applies to lists of exact (str, str) tuples only: with anything
// else, truth tests, membership and replace may run code of the objects'
// own, so each pair goes through the interpreter's operations in turn.
int SubstitutionPlan::prepare(PyObject* pairs) {
  literals_.reset();
  usable_ = false;
  pairs_ = Ref::steal(PyList_AsTuple(pairs));
  if (!pairs_) return -1;
  const Py_ssize_t n = PyTuple_GET_SIZE(pairs_.get());
  if (n < kPlanFrom) return 0;
  size_t chars = 0;
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* pair = PyTuple_GET_ITEM(pairs_.get(), k);
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyUnicode_CheckExact(PyTuple_GET_ITEM(pair, 0)) ||
        !PyUnicode_CheckExact(PyTuple_GET_ITEM(pair, 1))) {
      return 0;
    }
    chars += static_cast<size_t>(PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(pair, 0)));
  }
  std::unique_ptr<LiteralSet> literals(new (std::nothrow) LiteralSet());
  if (!literals || !literals->start(static_cast<uint32_t>(n), chars)) {
    PyErr_NoMemory();
    return -1;
  }
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* found = PyTuple_GET_ITEM(PyTuple_GET_ITEM(pairs_.get(), k), 0);
    if (PyUnicode_GET_LENGTH(found) > 0 && !literals->add(static_cast<uint32_t>(k), found)) {
      PyErr_NoMemory();
      return -1;
    }
  }
  if (!literals->finish()) {
    PyErr_NoMemory();
    return -1;
  }
  // longest_from_[k]: the longest found text of pair k or a later one.
  if (!longest_from_.allocate(static_cast<size_t>(n) + 1)) {
    PyErr_NoMemory();
    return -1;
  }
  longest_from_[static_cast<size_t>(n)] = 0;
  for (Py_ssize_t k = n; k-- > 0;) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(PyTuple_GET_ITEM(pairs_.get(), k), 0));
    longest_from_[static_cast<size_t>(k)] = std::max(len, longest_from_[static_cast<size_t>(k) + 1]);
  }
  literals_ = std::move(literals);
  usable_ = true;
  return 0;
}

// A pair can only act where its found text occurs.  One scan of the text
// tells which found texts occur in it.  A replacement can only create a new
// occurrence that overlaps (or, for an empty placeholder, spans) the text
// it put in, so after each replacement only the stretches around the
// placeholders are scanned again.  The marks may say "occurs" for a found
// text that no longer does; the search before replacing settles that.
Ref SubstitutionPlan::apply_planned(PyObject* text_in) {
  const Py_ssize_t n = PyTuple_GET_SIZE(pairs_.get());
  Array<uint8_t> seen;
  Vec<Py_ssize_t> at;
  if (!seen.allocate_zeroed(static_cast<size_t>(n))) return Ref::steal(PyErr_NoMemory());
  Ref text = Ref::borrow(text_in);
  literals_->scan(text.get(), 0, PyUnicode_GET_LENGTH(text.get()), seen.data());
  // Literals after the current pair that the marks do not name yet: the
  // only ones a new scan could still bring in.
  auto found_at = [this](Py_ssize_t k) { return PyTuple_GET_ITEM(PyTuple_GET_ITEM(pairs_.get(), k), 0); };
  Py_ssize_t unmarked = 0;
  for (Py_ssize_t k = 0; k < n; ++k) unmarked += !seen[static_cast<size_t>(k)] && PyUnicode_GET_LENGTH(found_at(k)) > 0;
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* found = found_at(k);
    if (!seen[static_cast<size_t>(k)]) {
      unmarked -= PyUnicode_GET_LENGTH(found) > 0;
      continue;
    }
    PyObject* placeholder = PyTuple_GET_ITEM(PyTuple_GET_ITEM(pairs_.get(), k), 1);
    const Py_ssize_t found_len = PyUnicode_GET_LENGTH(found);
    Ref replaced = replace_literal(text.get(), found, placeholder, at);
    if (!replaced) return Ref();
    if (at.empty()) continue;
    text = std::move(replaced);
    // A new occurrence of a later literal lies within its length of a
    // placeholder; pair lists come longest first, so that shrinks.
    const Py_ssize_t reach = longest_from_[static_cast<size_t>(k) + 1];
    if (unmarked == 0 || reach <= 0) continue;
    const Py_ssize_t ph_len = PyUnicode_GET_LENGTH(placeholder);
    const Py_ssize_t new_len = PyUnicode_GET_LENGTH(text.get());
    Py_ssize_t lo = 0, hi = -1;  // the stretch waiting to be scanned
    auto flush = [&] {
      if (hi > lo) unmarked -= literals_->scan(text.get(), lo, hi, seen.data(), k);
    };
    for (size_t m = 0; m < at.size(); ++m) {
      const Py_ssize_t start = at[m] + static_cast<Py_ssize_t>(m) * (ph_len - found_len);
      const Py_ssize_t s = std::max<Py_ssize_t>(0, start - (reach - 1));
      const Py_ssize_t e = std::min(new_len, start + ph_len + (reach - 1));
      if (s > hi) {
        flush();
        lo = s;
      }
      hi = std::max(hi, e);
    }
    flush();
  }
  return text;
}

Ref SubstitutionPlan::apply(State* st, PyObject* text, PyObject* pairs) {
  if (PyUnicode_GET_LENGTH(text) == 0 || PyList_GET_SIZE(pairs) == 0) return Ref::borrow(text);
  if (!made_from(pairs) && prepare(pairs) < 0) return Ref();
  if (!usable_) return apply_each(st, text, pairs);
  return apply_planned(text);
}

}  // namespace dravik::guard

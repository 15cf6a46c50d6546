// A set of literal strings found all at once in a text (Aho-Corasick over
// code points): which of them occur in a stretch of text, in one pass.
#pragma once

#include "common/refs.hpp"
#include "common/arrays.hpp"

namespace dravik::guard {

class LiteralSet {
 public:
  // Literal `id` (ids from 0, below `count`) is the non-empty str `s`.
  // Every literal is added before finish().  False when out of memory.
  bool start(uint32_t count, size_t total_chars);
  bool add(uint32_t id, PyObject* s);
  bool finish();

  // Sets seen[id] for every literal that occurs inside s[lo:hi]; returns
  // how many literals with an id above `after` it newly marked.
  uint32_t scan(PyObject* s, Py_ssize_t lo, Py_ssize_t hi, uint8_t* seen, int64_t after = -1);
  // The longest literal's length.
  Py_ssize_t longest() const noexcept { return longest_; }

 private:
  int32_t child(int32_t state, uint32_t ch) const noexcept;
  bool set_child(int32_t state, uint32_t ch, int32_t to);
  int32_t new_state(int32_t depth);
  // The class of a character: 0 for characters in no literal.
  uint32_t class_of(uint32_t ch) const noexcept;
  bool add_class(uint32_t ch);
  bool build_table();
  template <class Next>
  uint32_t scan_with(PyObject* s, Py_ssize_t lo, Py_ssize_t hi, uint8_t* seen, int64_t after, Next next);

  // Edges in an open-addressed table keyed by (state, character); the
  // root's edges for characters below 256 also in a direct table.
  Array<uint64_t> keys_;
  Array<int32_t> targets_;
  size_t mask_ = 0;
  int32_t root_edges_[256];
  Vec<uint64_t> edges_;   // every edge's key, for the breadth-first pass
  Vec<int32_t> depth_;    // per state
  Array<uint32_t> edge_order_;  // edges by the depth of their child
  Vec<int32_t> fail_;     // longest proper suffix that is a state
  Vec<int32_t> output_;   // nearest state on the suffix chain ending a literal (or -1)
  Vec<int32_t> ends_;     // first literal ending here (or -1), chained by next_
  Vec<uint32_t> stamp_;   // last scan that reported this state's literals
  Array<int32_t> next_;   // per literal: the next literal with the same end state
  uint32_t scans_ = 0;
  Py_ssize_t longest_ = 0;
  // Characters of the literals numbered 1..classes_-1: below 256 directly,
  // the others in an open-addressed table.
  uint32_t low_class_[256];
  Array<uint32_t> high_keys_, high_classes_;
  size_t high_mask_ = 0;
  uint32_t classes_ = 1;
  // When small enough: every transition, failures resolved, by state and
  // class; and per state the first state on its suffix chain that ends a
  // literal (or -1).
  Array<int32_t> table_;
  Array<int32_t> report_;
};

}  // namespace dravik::guard

// The native matching engine's compiled forms of the guard's patterns.
//
// A table entry that is a compiled `re` pattern of a syntax the engine takes
// is run natively; the compiled form is kept with the pattern object (which
// is immutable) so it is built once.  Every other entry is run through the
// object's own `search` and `sub`.
#pragma once

#include "common/refs.hpp"
#include "regex/regex.hpp"

#include <memory>
#include <vector>

namespace dravik::guard {

class EngineCache {
 public:
  // Reads the interpreter's case equivalences and the `re` pattern type.
  int init(PyObject* re_module);

  // The engine's form of `pattern`, or null when the object is not a `re`
  // pattern the engine takes; -1 with an exception set on failure.
  int lookup(PyObject* pattern, rx::Regex*& out);

  int traverse(visitproc visit, void* arg);
  // Releases every reference held (the module's clear and free).
  void clear();

 private:
  void drop_entries();
  struct Entry {
    PyObject* pattern;  // strong
    std::unique_ptr<rx::Regex> regex;  // null: not for the engine
  };
  // Hosts may swap table entries at will; past this many, start afresh.
  static constexpr size_t kMaxEntries = 128;

  rx::CaseFixes fixes_;
  PyObject* pattern_type_ = nullptr;  // strong: type(re.compile(""))
  std::vector<Entry> entries_;
};

}  // namespace dravik::guard

// The native matching engine's compiled forms of the guard's patterns.
//
// A table entry that is a compiled `re` pattern of a syntax the engine takes
// is run natively; every other entry is run through the object's own
// `search` and `sub`.  The compiled form lives as long as the pattern object
// does (the cache holds a weak reference to it, so an entry a host drops from
// its tables is forgotten with the object), however many patterns there are:
// a host with hundreds of rules compiles each once.
#pragma once

#include "common/refs.hpp"
#include "regex/regex.hpp"
#include "regex/table_scan.hpp"

#include <memory>
#include <unordered_map>
#include <vector>

namespace dravik::guard {

// The engine's patterns of one table, in order, with the scanner that
// passes over a text once for all of them.
struct TablePlan {
  explicit TablePlan(std::vector<std::shared_ptr<rx::Regex>> regs);
  // Builds the scanner; false when out of memory.
  bool init() { return scanner.init(raw.data(), raw.size()); }
  std::vector<std::shared_ptr<rx::Regex>> regexes;  // keeps them alive
  std::vector<rx::Regex*> raw;                      // the same, to compare with
  rx::TableScanner scanner;
};

class EngineCache {
 public:
  EngineCache() = default;
  EngineCache(const EngineCache&) = delete;
  EngineCache& operator=(const EngineCache&) = delete;
  ~EngineCache() { clear(); }

  // Reads the interpreter's case equivalences and the `re` pattern type.
  int init(PyObject* re_module);

  // The engine's form of `pattern`, or null when the object is not a `re`
  // pattern the engine takes; -1 with an exception set on failure.  It
  // lives while the pattern object does and the cache is not cleared;
  // `keep`, when given, shares it (for a search that releases the GIL).
  int lookup(PyObject* pattern, rx::Regex*& out, std::shared_ptr<rx::Regex>* keep = nullptr);

  // The plan for these patterns, whose engine forms (all of them) are
  // `regexes` (the last few plans are kept: tables rarely change); null when
  // out of memory.
  std::shared_ptr<const TablePlan> plan_for(const std::vector<rx::Regex*>& regexes,
                                            const std::vector<PyObject*>& patterns);

  int traverse(visitproc visit, void* arg);
  // Releases every reference held (module clear and free).
  void clear();

 private:
  struct Entry {
    PyObject* weak = nullptr;          // strong reference to a weakref of the pattern
    std::shared_ptr<rx::Regex> regex;  // null: not for the engine
  };
  // Drops the entries whose pattern is gone.
  void sweep();

  rx::CaseFixes fixes_;
  PyObject* pattern_type_ = nullptr;  // strong: type(re.compile(""))
  // Keyed by the pattern's address; the weak reference tells a live entry
  // from one whose object died and whose address was reused.
  std::unordered_map<PyObject*, Entry> entries_;
  size_t sweep_at_ = 256;
  std::vector<std::shared_ptr<const TablePlan>> plans_;  // most recently used first
};

}  // namespace dravik::guard

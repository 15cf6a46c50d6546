// A cached index of a price table's keys for longest-prefix search.
//
// The index is rebuilt whenever the table object or its contents change, so
// a search through it finds exactly the key that sorting the current keys by
// descending length (stable) and scanning for the first prefix would find.
#pragma once

#include "common/refs.hpp"

#include <cstdint>
#include <vector>

namespace dravik::cost {

// Whether exact str `key` (of length `klen`) is a prefix of exact str `name`.
bool str_has_prefix(PyObject* name, PyObject* key, Py_ssize_t klen);

class PrefixIndex {
 public:
  PrefixIndex() = default;
  PrefixIndex(const PrefixIndex&) = delete;
  PrefixIndex& operator=(const PrefixIndex&) = delete;
  ~PrefixIndex() { clear(); }

  // Longest prefix of exact str `name` among the keys of exact dict `table`.
  // 1 with `out` set to the key, 0 for none, -1 with an exception set, and
  // -2 when the table cannot be indexed (a key that is not an exact str).
  int find(PyObject* table, PyObject* name, Ref& out);

  void clear();
  int traverse(visitproc visit, void* arg);

  // Process-wide set-up of change tracking for one interpreter; -1 on error.
  static int track_changes_init(int& watcher_id);
  static void track_changes_fini(int watcher_id);
  int watcher_id = -1;

 private:
  struct Entry {
    PyObject* key;  // borrowed from keys_
    Py_ssize_t len;
  };
  int rebuild(PyObject* table);
  bool current(PyObject* table) const;

  PyObject* table_ = nullptr;  // strong: pins the identity checked by current()
  PyObject* keys_ = nullptr;   // strong: a list keeping the indexed keys alive
  std::uint64_t version_ = 0;
  bool indexable_ = false;
  static constexpr int kBuckets = 129;  // ASCII first characters, then the rest
  std::vector<Entry> buckets_[kBuckets];
};

}  // namespace dravik::cost

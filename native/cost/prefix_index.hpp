// A cached index of a price table's keys for longest-prefix search.
//
// The keys are held in a compressed trie (a radix tree over code points), so
// a search walks the name once, whatever the number of keys, and the deepest
// key on the way is the longest prefix: exactly the key that sorting the
// current keys by descending length (stable) and scanning for the first
// prefix would find, since two different keys of one length cannot both be
// prefixes of a name.  The index is rebuilt whenever the table object or its
// contents change.
#pragma once

#include "common/refs.hpp"

#include <cstdint>

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

  struct Node {
    std::uint32_t label;        // offset of the edge label in the character pool
    std::uint32_t label_len;    // characters on the edge from the parent
    std::uint32_t first_child;  // children are consecutive, sorted by first character
    std::uint32_t child_count;
    std::int32_t key;           // index of the key ending here in keys_, or -1
  };

 private:
  int rebuild(PyObject* table);
  bool current(PyObject* table) const;
  template <typename Char>
  std::int32_t walk(const Char* name, Py_ssize_t len) const;

  PyObject* table_ = nullptr;  // strong: pins the identity checked by current()
  PyObject* keys_ = nullptr;   // strong: a list keeping the indexed keys alive
  std::uint64_t version_ = 0;
  bool indexable_ = false;
  Py_UCS4* pool_ = nullptr;         // every key's characters, back to back
  Node* nodes_ = nullptr;           // nodes_[0] is the root (empty label)
  Py_UCS4* first_chars_ = nullptr;  // first label character of each node
};

}  // namespace dravik::cost

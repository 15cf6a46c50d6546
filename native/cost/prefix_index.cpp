#include "cost/prefix_index.hpp"

#include "common/cpython_private.hpp"
#include "common/str_ready.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <new>

namespace dravik::cost {

namespace {

#if PY_VERSION_HEX >= 0x030C0000
// Dict watchers report every change of a watched table; any change of any
// watched table moves the generation on, which invalidates every index.
std::atomic<std::uint64_t> g_generation{1};

int on_table_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  g_generation.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

std::uint64_t version_of(PyObject*) { return g_generation.load(std::memory_order_relaxed); }
#else
// Before 3.12 every dict carries a version tag that changes on each mutation.
std::uint64_t version_of(PyObject* table) { return cpython::dict_version_tag(table); }
#endif

using Node = PrefixIndex::Node;

// The arrays of one trie, freed together unless handed over.
struct Trie {
  Py_UCS4* pool = nullptr;
  Node* nodes = nullptr;
  Py_UCS4* first_chars = nullptr;
  Trie() = default;
  Trie(const Trie&) = delete;
  Trie& operator=(const Trie&) = delete;
  ~Trie() {
    delete[] pool;
    delete[] nodes;
    delete[] first_chars;
  }
};

// Copies the characters of exact str `s` to `out` as code points.
void copy_chars(PyObject* s, Py_UCS4* out) {
  const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
  const void* data = PyUnicode_DATA(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      std::copy_n(static_cast<const Py_UCS1*>(data), len, out);
      break;
    case PyUnicode_2BYTE_KIND:
      std::copy_n(static_cast<const Py_UCS2*>(data), len, out);
      break;
    default:
      std::copy_n(static_cast<const Py_UCS4*>(data), len, out);
      break;
  }
}

// Builds the trie of `n` exact str keys (the items of `keys`) with `total`
// characters in all; -1 with MemoryError set.
int build_trie(PyObject* keys, std::uint32_t n, std::uint32_t total, Trie& trie) {
  struct Item {
    std::uint32_t offset, length, key;  // the key's characters in the pool; its index in `keys`
    std::uint32_t next;                 // its character at the current depth plus one; 0 when it ends there
  };
  struct Span {
    std::uint32_t lo, hi, depth;  // items[lo..hi) share their first `depth` characters
  };
  const std::uint32_t max_nodes = 2 * n + 1;  // every node below the root ends a key or branches
  trie.pool = new (std::nothrow) Py_UCS4[total > 0 ? total : 1];
  trie.nodes = new (std::nothrow) Node[max_nodes];
  trie.first_chars = new (std::nothrow) Py_UCS4[max_nodes];
  struct Scratch {
    Item* items;
    Span* spans;
    ~Scratch() {
      delete[] items;
      delete[] spans;
    }
  } scratch{new (std::nothrow) Item[n > 0 ? n : 1], new (std::nothrow) Span[max_nodes]};
  Item* items = scratch.items;
  Span* spans = scratch.spans;
  if (!trie.pool || !trie.nodes || !trie.first_chars || !items || !spans) {
    PyErr_NoMemory();
    return -1;
  }
  std::uint32_t at = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    PyObject* key = PyList_GET_ITEM(keys, i);
    const auto len = static_cast<std::uint32_t>(PyUnicode_GET_LENGTH(key));
    copy_chars(key, trie.pool + at);
    items[i] = {at, len, i, 0};
    at += len;
  }
  const Py_UCS4* pool = trie.pool;

  // Breadth first, so that the children of each node are consecutive.  Each
  // node sorts its keys by their next character only (a radix sort from the
  // front, spread over the nodes), which costs far less than ordering whole
  // strings up front.
  trie.nodes[0] = {0, 0, 1, 0, -1};
  trie.first_chars[0] = 0;
  spans[0] = {0, n, 0};
  std::uint32_t count = 1;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t lo = spans[i].lo;
    const std::uint32_t hi = spans[i].hi;
    const std::uint32_t depth = spans[i].depth;
    Node& node = trie.nodes[i];
    for (std::uint32_t j = lo; j < hi; ++j) {
      Item& it = items[j];
      it.next = it.length > depth ? pool[it.offset + depth] + 1 : 0;
    }
    std::sort(items + lo, items + hi, [](const Item& a, const Item& b) { return a.next < b.next; });
    // The key that ends here, if any, sorts first (keys are distinct: one at most).
    if (lo < hi && items[lo].next == 0) node.key = static_cast<std::int32_t>(items[lo++].key);
    node.first_child = count;
    for (std::uint32_t j = lo; j < hi;) {
      const Item& a = items[j];
      const Py_UCS4 c = a.next - 1;
      // The group of keys going on with `c`, and what all of them share.
      std::uint32_t end = a.length;
      std::uint32_t k = j + 1;
      for (; k < hi && items[k].next == a.next; ++k) {
        const Item& b = items[k];
        const std::uint32_t limit = std::min(end, b.length);
        std::uint32_t pos = depth + 1;
        while (pos < limit && pool[a.offset + pos] == pool[b.offset + pos]) ++pos;
        end = pos;
      }
      trie.nodes[count] = {a.offset + depth, end - depth, 0, 0, -1};
      trie.first_chars[count] = c;
      spans[count] = {j, k, end};
      ++count;
      j = k;
    }
    node.child_count = count - node.first_child;
  }
  return 0;
}

}  // namespace

bool str_has_prefix(PyObject* name, PyObject* key, Py_ssize_t klen) {
  const int kk = PyUnicode_KIND(key);
  const int nk = PyUnicode_KIND(name);
  if (kk > nk) return false;  // canonical strings: the key holds a wider character
  const void* kd = PyUnicode_DATA(key);
  const void* nd = PyUnicode_DATA(name);
  if (kk == nk) return std::memcmp(kd, nd, static_cast<size_t>(klen) * kk) == 0;
  for (Py_ssize_t i = 0; i < klen; ++i) {
    if (PyUnicode_READ(kk, kd, i) != PyUnicode_READ(nk, nd, i)) return false;
  }
  return true;
}

int PrefixIndex::track_changes_init(int& watcher_id) {
#if PY_VERSION_HEX >= 0x030C0000
  watcher_id = PyDict_AddWatcher(on_table_event);
  if (watcher_id < 0) {
    // No watcher slot left: run without the index.
    PyErr_Clear();
    watcher_id = -1;
  }
#else
  watcher_id = 0;
#endif
  return 0;
}

void PrefixIndex::track_changes_fini(int watcher_id) {
#if PY_VERSION_HEX >= 0x030C0000
  // Runs from the module's deallocation, which may happen while an
  // exception is propagating: keep that one, drop only our own.
  if (watcher_id < 0) return;
  PyObject* pending = PyErr_GetRaisedException();
  if (PyDict_ClearWatcher(watcher_id) < 0) PyErr_Clear();
  PyErr_SetRaisedException(pending);
#else
  (void)watcher_id;
#endif
}

bool PrefixIndex::current(PyObject* table) const { return table == table_ && version_ == version_of(table); }

int PrefixIndex::rebuild(PyObject* table) {
  // Taken first: a change made while the keys are read (a finalizer run by
  // the collector) then leaves the index stale, to be rebuilt next time.
  const std::uint64_t version = version_of(table);
#if PY_VERSION_HEX >= 0x030C0000
  if (PyDict_Watch(watcher_id, table) < 0) return -1;
#endif
  Ref keys = Ref::steal(PyDict_Keys(table));
  if (!keys) return -1;
  const Py_ssize_t n = PyList_GET_SIZE(keys.get());
  bool indexable = n <= (std::numeric_limits<std::int32_t>::max() - 1) / 2;
  Py_ssize_t total = 0;
  for (Py_ssize_t i = 0; indexable && i < n; ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    if (!PyUnicode_CheckExact(key)) {
      indexable = false;
      break;
    }
    if (str_ready(key) < 0) return -1;
    total += PyUnicode_GET_LENGTH(key);
    if (total > std::numeric_limits<std::int32_t>::max()) indexable = false;
  }
  Trie trie;
  if (indexable &&
      build_trie(keys.get(), static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(total), trie) < 0) {
    return -1;
  }
  // The old index is released only once the new one is in place: releasing
  // a table can run finalizers, which may search again.
  PyObject* old_table = table_;
  PyObject* old_keys = keys_;
  table_ = Py_NewRef(table);
  keys_ = keys.release();
  version_ = version;
  indexable_ = indexable;
  std::swap(pool_, trie.pool);
  std::swap(nodes_, trie.nodes);
  std::swap(first_chars_, trie.first_chars);
  Py_XDECREF(old_table);
  Py_XDECREF(old_keys);
  return 0;
}

template <typename Char>
std::int32_t PrefixIndex::walk(const Char* name, Py_ssize_t len) const {
  std::int32_t best = nodes_[0].key;  // the empty key, if any
  const Node* node = nodes_;
  Py_ssize_t pos = 0;
  while (pos < len && node->child_count != 0) {
    const Py_UCS4 c = name[pos];
    const Py_UCS4* first = first_chars_ + node->first_child;
    const Py_UCS4* last = first + node->child_count;
    const Py_UCS4* it = std::lower_bound(first, last, c);
    if (it == last || *it != c) break;
    const Node* child = nodes_ + (it - first_chars_);
    if (static_cast<Py_ssize_t>(child->label_len) > len - pos) break;
    const Py_UCS4* label = pool_ + child->label;
    for (std::uint32_t i = 1; i < child->label_len; ++i) {
      if (label[i] != static_cast<Py_UCS4>(name[pos + i])) return best;
    }
    pos += child->label_len;
    node = child;
    if (child->key >= 0) best = child->key;
  }
  return best;
}

int PrefixIndex::find(PyObject* table, PyObject* name, Ref& out) {
  if (watcher_id < 0) return -2;
  if (str_ready(name) < 0) return -1;
  if (!current(table) && rebuild(table) < 0) return -1;
  if (!indexable_) return -2;
  const Py_ssize_t len = PyUnicode_GET_LENGTH(name);
  const void* data = PyUnicode_DATA(name);
  std::int32_t key;
  switch (PyUnicode_KIND(name)) {
    case PyUnicode_1BYTE_KIND:
      key = walk(static_cast<const Py_UCS1*>(data), len);
      break;
    case PyUnicode_2BYTE_KIND:
      key = walk(static_cast<const Py_UCS2*>(data), len);
      break;
    default:
      key = walk(static_cast<const Py_UCS4*>(data), len);
      break;
  }
  if (key < 0) return 0;
  out = Ref::borrow(PyList_GET_ITEM(keys_, key));
  return 1;
}

void PrefixIndex::clear() {
  PyObject* table = table_;
  PyObject* keys = keys_;
  table_ = keys_ = nullptr;
  version_ = 0;
  indexable_ = false;
  delete[] pool_;
  delete[] nodes_;
  delete[] first_chars_;
  pool_ = nullptr;
  nodes_ = nullptr;
  first_chars_ = nullptr;
  Py_XDECREF(table);
  Py_XDECREF(keys);
}

int PrefixIndex::traverse(visitproc visit, void* arg) {
  Py_VISIT(table_);
  Py_VISIT(keys_);
  return 0;
}

}  // namespace dravik::cost

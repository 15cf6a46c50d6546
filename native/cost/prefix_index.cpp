#include "cost/prefix_index.hpp"

#include "common/cpython_private.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

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

int bucket_of(PyObject* s) {
  if (PyUnicode_GET_LENGTH(s) == 0) return -1;
  const Py_UCS4 c = PyUnicode_READ_CHAR(s, 0);
  return c < 128 ? static_cast<int>(c) : 128;
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
  clear();
#if PY_VERSION_HEX >= 0x030C0000
  if (PyDict_Watch(watcher_id, table) < 0) return -1;
#endif
  Ref keys = Ref::steal(PyDict_Keys(table));
  if (!keys) return -1;
  const Py_ssize_t n = PyList_GET_SIZE(keys.get());
  indexable_ = true;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    if (!PyUnicode_CheckExact(key)) {
      indexable_ = false;
      break;
    }
    const int b = bucket_of(key);
    // The empty key is a prefix of every name, the shortest: the ASCII
    // buckets all end with it.
    if (b < 0) {
      for (auto& bucket : buckets_) bucket.push_back({key, 0});
    } else {
      buckets_[b].push_back({key, PyUnicode_GET_LENGTH(key)});
    }
  }
  if (!indexable_) {
    for (auto& bucket : buckets_) bucket.clear();
  } else {
    for (auto& bucket : buckets_) {
      std::stable_sort(bucket.begin(), bucket.end(), [](const Entry& a, const Entry& b) { return a.len > b.len; });
    }
  }
  table_ = Py_NewRef(table);
  keys_ = keys.release();
  version_ = version_of(table);
  return 0;
}

int PrefixIndex::find(PyObject* table, PyObject* name, Ref& out) {
  if (watcher_id < 0) return -2;
  if (!current(table) && rebuild(table) < 0) return -1;
  if (!indexable_) return -2;
  const Py_ssize_t nlen = PyUnicode_GET_LENGTH(name);
  int b = bucket_of(name);
  if (b < 0) {
    // Only the empty key is a prefix of the empty name; it sits in every bucket.
    b = 0;
  }
  for (const Entry& e : buckets_[b]) {
    if (e.len > nlen) continue;
    if (str_has_prefix(name, e.key, e.len)) {
      out = Ref::borrow(e.key);
      return 1;
    }
  }
  return 0;
}

void PrefixIndex::clear() {
  for (auto& bucket : buckets_) bucket.clear();
  Py_CLEAR(table_);
  Py_CLEAR(keys_);
  version_ = 0;
  indexable_ = false;
}

int PrefixIndex::traverse(visitproc visit, void* arg) {
  Py_VISIT(table_);
  Py_VISIT(keys_);
  return 0;
}

}  // namespace dravik::cost

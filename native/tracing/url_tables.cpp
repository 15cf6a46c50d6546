// Substring tests of ASCII URLs against the URL tables, with each table's
// entries grouped by first byte once, while the table is the same tuple.
#include "common/str_ready.hpp"
#include "tracing/support.hpp"

namespace dravik::tracing {

namespace {

inline unsigned fold(unsigned c, bool lower) { return (lower && c - 'A' < 26U) ? c + ('a' - 'A') : c; }

// Takes the entries of `table` (held by `t`), or marks the table unusable.
void prepare(UrlTable& t, PyObject* table) {
  // The table replaced goes once the slot is whole again: its release can
  // run code (an entry's finalizer), which may test URLs itself.
  t.usable = false;
  const Ref old = Ref::steal(t.table);
  t.table = Py_NewRef(table);
  t.has_empty = false;
  std::uint8_t count[128] = {};
  const Py_ssize_t n = PyTuple_GET_SIZE(table);
  int ascii = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* e = PyTuple_GET_ITEM(table, i);
    // Anything but a ready exact str is tested by the generic `in` (which may raise).
    if (!PyUnicode_CheckExact(e) || !str_is_ready(e)) return;
    // Text with other characters never occurs in ASCII text.
    if (!PyUnicode_IS_ASCII(e)) continue;
    if (PyUnicode_GET_LENGTH(e) == 0) {
      t.has_empty = true;
      continue;
    }
    if (++ascii > kUrlTableEntries) return;
    ++count[PyUnicode_1BYTE_DATA(e)[0]];
  }
  unsigned at = 0;
  t.firsts[0] = t.firsts[1] = 0;
  for (unsigned c = 0; c < 128; ++c) {
    t.start[c] = static_cast<std::uint8_t>(at);
    t.count[c] = count[c];
    at += count[c];
    if (count[c] != 0) t.firsts[c >> 6] |= std::uint64_t{1} << (c & 63);
  }
  std::uint8_t filled[128] = {};
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* e = PyTuple_GET_ITEM(table, i);
    if (!PyUnicode_IS_ASCII(e) || PyUnicode_GET_LENGTH(e) == 0) continue;
    const unsigned c = PyUnicode_1BYTE_DATA(e)[0];
    UrlTable::Entry& slot = t.entries[t.start[c] + filled[c]++];
    slot.text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(e));
    slot.len = PyUnicode_GET_LENGTH(e);
  }
  t.usable = true;
}

bool occurs(const UrlTable& t, const Py_UCS1* s, Py_ssize_t n, bool lower) {
  if (t.has_empty) return true;
  for (Py_ssize_t p = 0; p < n; ++p) {
    const unsigned c = fold(s[p], lower);
    if (((t.firsts[c >> 6] >> (c & 63)) & 1) == 0) continue;
    const unsigned end = t.start[c] + t.count[c];
    for (unsigned j = t.start[c]; j < end; ++j) {
      const UrlTable::Entry& e = t.entries[j];
      if (e.len > n - p) continue;
      Py_ssize_t i = 1;
      while (i < e.len && fold(s[p + i], lower) == static_cast<unsigned char>(e.text[i])) ++i;
      if (i == e.len) return true;
    }
  }
  return false;
}

}  // namespace

int url_table_contains(UrlTable& slot, PyObject* table, PyObject* url, bool lower) {
  // On ASCII text str.lower() changes only A-Z, and `in` has no other
  // answer than a byte search gives; the tuple and its str cannot change.
  if (!is_ascii_str(url)) return -2;
  if (!PyTuple_CheckExact(table)) return -2;
  if (table != slot.table) prepare(slot, table);
  if (slot.table != table || !slot.usable) return -2;
  return occurs(slot, PyUnicode_1BYTE_DATA(url), PyUnicode_GET_LENGTH(url), lower) ? 1 : 0;
}

}  // namespace dravik::tracing

#include "instrumentors/guard/literal_replace.hpp"

#include <algorithm>
#include <cstring>

namespace dravik::guard {

namespace {

// Needles up to this long are found by their first character and a
// comparison; longer ones by the interpreter's own search, which stays
// linear on repetitive text.
constexpr Py_ssize_t kShortNeedle = 32;

template <class T>
bool find_short(const T* s, Py_ssize_t n, const T* p, Py_ssize_t m, Vec<Py_ssize_t>& at) {
  const T first = p[0];
  const Py_ssize_t last = n - m;  // last possible start
  Py_ssize_t i = 0;
  while (i <= last) {
    const T* hit;
    if constexpr (sizeof(T) == 1) {
      hit = static_cast<const T*>(std::memchr(s + i, first, static_cast<size_t>(last - i + 1)));
      if (hit == nullptr) break;
    } else {
      hit = std::find(s + i, s + last + 1, first);
      if (hit == s + last + 1) break;
    }
    const Py_ssize_t j = hit - s;
    Py_ssize_t k = 1;
    while (k < m && s[j + k] == p[k]) ++k;
    if (k == m) {
      if (!at.push(j)) return false;
      i = j + m;
    } else {
      i = j + 1;
    }
  }
  return true;
}

// The occurrences of found in text; -1 with an exception set on failure.
int find_all(PyObject* text, PyObject* found, Vec<Py_ssize_t>& at) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text), m = PyUnicode_GET_LENGTH(found);
  const int kind = PyUnicode_KIND(text);
  // A found text of a wider kind holds a character the text cannot.
  // Callers drop empty found texts before they get here.
  if (m == 0 || m > n || PyUnicode_KIND(found) > kind) return 0;
  if (m > kShortNeedle) {
    for (Py_ssize_t from = 0;;) {
      const Py_ssize_t i = PyUnicode_Find(text, found, from, n, 1);
      if (i == -2) return -1;
      if (i < 0) return 0;
      if (!at.push(i)) break;
      from = i + m;
    }
  } else {
    // The needle in the text's own width.
    Py_UCS4 needle[kShortNeedle] = {};
    uint8_t n1[kShortNeedle] = {};
    uint16_t n2[kShortNeedle] = {};
    const int fkind = PyUnicode_KIND(found);
    const void* fdata = PyUnicode_DATA(found);
    for (Py_ssize_t k = 0; k < m; ++k) needle[k] = PyUnicode_READ(fkind, fdata, k);
    bool ok;
    if (kind == PyUnicode_1BYTE_KIND) {
      for (Py_ssize_t k = 0; k < m; ++k) n1[k] = static_cast<uint8_t>(needle[k]);
      ok = find_short(static_cast<const uint8_t*>(PyUnicode_DATA(text)), n, n1, m, at);
    } else if (kind == PyUnicode_2BYTE_KIND) {
      for (Py_ssize_t k = 0; k < m; ++k) n2[k] = static_cast<uint16_t>(needle[k]);
      ok = find_short(static_cast<const uint16_t*>(PyUnicode_DATA(text)), n, n2, m, at);
    } else {
      ok = find_short(static_cast<const Py_UCS4*>(PyUnicode_DATA(text)), n, needle, m, at);
    }
    if (ok) return 0;
  }
  PyErr_NoMemory();
  return -1;
}

// The largest character value of the kind class that holds `c`: a string
// is stored in the narrowest class that holds all its characters.
Py_UCS4 class_max(Py_UCS4 c) {
  return c < 0x80 ? 0x7F : c < 0x100 ? 0xFF : c < 0x10000 ? 0xFFFF : 0x10FFFF;
}

template <class T>
Py_UCS4 max_char(const T* s, Py_ssize_t lo, Py_ssize_t hi) {
  T best = 0;
  for (Py_ssize_t i = lo; i < hi; ++i) best = s[i] > best ? s[i] : best;
  return best;
}

// The largest character of text outside the occurrences.
Py_UCS4 kept_max(PyObject* text, Py_ssize_t found_len, const Vec<Py_ssize_t>& at) {
  if (PyUnicode_IS_ASCII(text)) return 0;  // nothing above what any placeholder needs
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  Py_UCS4 best = 0;
  Py_ssize_t from = 0;
  for (size_t k = 0; k <= at.size(); ++k) {
    const Py_ssize_t to = k < at.size() ? at[k] : PyUnicode_GET_LENGTH(text);
    Py_UCS4 m;
    if (kind == PyUnicode_1BYTE_KIND) {
      m = max_char(static_cast<const uint8_t*>(data), from, to);
    } else if (kind == PyUnicode_2BYTE_KIND) {
      m = max_char(static_cast<const uint16_t*>(data), from, to);
    } else {
      m = max_char(static_cast<const Py_UCS4*>(data), from, to);
    }
    best = std::max(best, m);
    from = to + found_len;
  }
  return best;
}

// Copies characters into a string made here and not yet shared; the
// target's kind holds every one of them (its kind was chosen from them).
void copy_chars(PyObject* to, Py_ssize_t to_start, PyObject* from, Py_ssize_t from_start, Py_ssize_t n) {
  const int tk = PyUnicode_KIND(to), fk = PyUnicode_KIND(from);
  void* td = PyUnicode_DATA(to);
  const void* fd = PyUnicode_DATA(from);
  if (tk == fk) {
    std::memcpy(static_cast<char*>(td) + to_start * tk, static_cast<const char*>(fd) + from_start * fk,
                static_cast<size_t>(n) * static_cast<size_t>(tk));
    return;
  }
  for (Py_ssize_t i = 0; i < n; ++i) PyUnicode_WRITE(tk, td, to_start + i, PyUnicode_READ(fk, fd, from_start + i));
}

}  // namespace

Ref replace_literal(PyObject* text, PyObject* found, PyObject* placeholder, Vec<Py_ssize_t>& at) {
  at.clear();
  if (find_all(text, found, at) < 0) return Ref();
  if (at.empty()) return Ref::borrow(text);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text), m = PyUnicode_GET_LENGTH(found);
  const Py_ssize_t p = PyUnicode_GET_LENGTH(placeholder);
  const Py_ssize_t count = static_cast<Py_ssize_t>(at.size());
  if (p > m && (p - m) > (PY_SSIZE_T_MAX - n) / count) return Ref::steal(PyErr_NoMemory());
  const Py_ssize_t out_len = n + count * (p - m);
  Py_UCS4 top = class_max(kept_max(text, m, at));
  if (p > 0) top = std::max(top, class_max(PyUnicode_MAX_CHAR_VALUE(placeholder)));
  Ref out = Ref::steal(PyUnicode_New(out_len, top));
  if (!out || out_len == 0) return out;
  Py_ssize_t from = 0, to = 0;
  for (Py_ssize_t k = 0; k < count; ++k) {
    const Py_ssize_t piece = at[static_cast<size_t>(k)] - from;
    copy_chars(out.get(), to, text, from, piece);
    copy_chars(out.get(), to + piece, placeholder, 0, p);
    to += piece + p;
    from = at[static_cast<size_t>(k)] + m;
  }
  copy_chars(out.get(), to, text, from, n - from);
  return out;
}

}  // namespace dravik::guard

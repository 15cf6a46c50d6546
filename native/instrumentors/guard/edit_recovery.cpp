// _ml_substitutions: the service's edits recovered from a diff of the text
// that was sent against the service's scrubbed copy.
//
// While difflib's SequenceMatcher is the standard library's own, the diff
// runs natively (same blocks, same opcodes) and, once it proves long, with
// the GIL released; any other SequenceMatcher a host puts in its place is
// called as it is.
#include "diff/matching_blocks.hpp"
#include "diff/str_view.hpp"
#include "instrumentors/guard/helpers.hpp"
#include "instrumentors/guard/matcher_identity.hpp"

#include <algorithm>

namespace dravik::guard {

namespace {

// A diff lets other threads run once its work passes this many steps
// (about a millisecond).  Shorter ones keep the GIL: taking it back can
// wait for another thread's switch interval, far longer than they take.
constexpr uint64_t kReleaseGilAfter = uint64_t{1} << 20;

// Releases the GIL from inside the diff, which touches no interpreter
// object from then on.
void release_gil(void* saved) { *static_cast<PyThreadState**>(saved) = PyEval_SaveThread(); }

// The kept (found, placeholder) tuples in opcode order, with their found
// texts' lengths; allocation failures are reported, never thrown.
struct Pairs {
  Ref list = Ref::steal(PyList_New(0));
  Vec<Py_ssize_t> found_len;

  int add(PyObject* found, PyObject* placeholder) {
    Ref pair = Ref::steal(PyTuple_Pack(2, found, placeholder));
    if (!pair || PyList_Append(list.get(), pair.get()) < 0) return -1;
    if (found_len.push(PyUnicode_GET_LENGTH(found))) return 0;
    PyErr_NoMemory();
    return -1;
  }
};

// Keeps the pair of one "replace" opcode: both sides stripped of surrounding
// whitespace (str.strip()), both non-empty, the placeholder not
// disproportionately long.  -1 with an exception set on failure.
int keep_replacement(PyObject* original, Py_ssize_t i1, Py_ssize_t i2, PyObject* redacted, Py_ssize_t j1,
                     Py_ssize_t j2, Pairs& pairs) {
  auto strip = [](PyObject* s, Py_ssize_t& lo, Py_ssize_t& hi) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    while (lo < hi && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, lo))) ++lo;
    while (hi > lo && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, hi - 1))) --hi;
  };
  strip(original, i1, i2);
  strip(redacted, j1, j2);
  const Py_ssize_t found_len = i2 - i1, ph_len = j2 - j1;
  if (found_len == 0 || ph_len == 0) return 0;
  if (ph_len > std::max<Py_ssize_t>(64, 2 * found_len)) return 0;
  Ref found = Ref::steal(PyUnicode_Substring(original, i1, i2));
  if (!found) return -1;
  Ref placeholder = Ref::steal(PyUnicode_Substring(redacted, j1, j2));
  if (!placeholder) return -1;
  return pairs.add(found.get(), placeholder.get());
}

int native_pairs(PyObject* original, PyObject* redacted, Pairs& pairs) {
  // Held across the diff, which reads the characters in place.
  Ref a_ref = Ref::borrow(original), b_ref = Ref::borrow(redacted);
  diff::CharView a, b;
  if (diff::str_view(a_ref.get(), a) < 0 || diff::str_view(b_ref.get(), b) < 0) return -1;
  Vec<diff::Block> blocks;
  PyThreadState* saved = nullptr;
  const diff::LongRunHook hook{release_gil, &saved, kReleaseGilAfter};
  const int rc = diff::matching_blocks(a, b, blocks, diff::Tuning{}, nullptr, &hook);
  if (saved != nullptr) PyEval_RestoreThread(saved);
  if (rc < 0) {
    PyErr_NoMemory();
    return -1;
  }
  // get_opcodes(): between consecutive blocks, a gap on both sides is a
  // "replace".
  Py_ssize_t i = 0, j = 0;
  for (size_t k = 0; k < blocks.size(); ++k) {
    const diff::Block& blk = blocks[k];
    if (i < blk.a && j < blk.b && keep_replacement(original, i, blk.a, redacted, j, blk.b, pairs) < 0) return -1;
    i = static_cast<Py_ssize_t>(blk.a) + blk.size;
    j = static_cast<Py_ssize_t>(blk.b) + blk.size;
  }
  return 0;
}

// Through the SequenceMatcher found: its opcodes, read as difflib gives them.
int generic_pairs(State* st, PyObject* matcher_cls, PyObject* original, PyObject* redacted,
                  Pairs& pairs) {
  PyObject* argv[] = {nullptr, Py_None, original, redacted, Py_False};
  Ref matcher = Ref::steal(PyObject_Vectorcall(matcher_cls, argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                               st->kwnames[KW_autojunk]));
  if (!matcher) return -1;
  Ref opcodes = call_method(matcher.get(), S(st, S_get_opcodes));
  if (!opcodes) return -1;
  return for_each_item(opcodes.get(), [&](PyObject* op) -> int {
    Ref seq = Ref::steal(PySequence_Tuple(op));
    if (!seq) return -1;
    if (PyTuple_GET_SIZE(seq.get()) != 5) {
      PyErr_SetString(PyExc_ValueError, "unexpected opcode shape");
      return -1;
    }
    const int is_replace = equals(PyTuple_GET_ITEM(seq.get(), 0), S(st, S_replace_tag));
    if (is_replace <= 0) return is_replace;
    Py_ssize_t bounds[4];
    for (int k = 0; k < 4; ++k) {
      bounds[k] = PyNumber_AsSsize_t(PyTuple_GET_ITEM(seq.get(), k + 1), PyExc_OverflowError);
      if (bounds[k] == -1 && PyErr_Occurred()) return -1;
    }
    Ref found_raw = Ref::steal(PyUnicode_Substring(original, bounds[0], bounds[1]));
    if (!found_raw) return -1;
    Ref found = call_method(found_raw.get(), S(st, S_strip));
    if (!found) return -1;
    Ref ph_raw = Ref::steal(PyUnicode_Substring(redacted, bounds[2], bounds[3]));
    if (!ph_raw) return -1;
    Ref placeholder = call_method(ph_raw.get(), S(st, S_strip));
    if (!placeholder) return -1;
    const Py_ssize_t found_len = PyUnicode_GET_LENGTH(found.get());
    const Py_ssize_t ph_len = PyUnicode_GET_LENGTH(placeholder.get());
    if (found_len == 0 || ph_len == 0) return 0;
    if (ph_len > std::max<Py_ssize_t>(64, 2 * found_len)) return 0;
    return pairs.add(found.get(), placeholder.get());
  });
}

// The (found, placeholder) pairs of the "replace" opcodes, in opcode order.
// -1 with an exception set on failure.
int collect_pairs(State* st, PyObject* original, PyObject* redacted, Pairs& pairs) {
  Ref matcher_cls = import_from(S(st, S_mod_difflib), S(st, S_SequenceMatcher));
  if (!matcher_cls) return -1;
  const int native = is_original_matcher(st, matcher_cls.get());
  if (native < 0) return -1;
  if (native) return native_pairs(original, redacted, pairs);
  return generic_pairs(st, matcher_cls.get(), original, redacted, pairs);
}

PyObject* ml_substitutions_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  PyObject* original = args[0];
  PyObject* redacted = args[1];
  if (PyUnicode_GET_LENGTH(original) == 0 || PyUnicode_GET_LENGTH(redacted) == 0) return PyList_New(0);
  const int same = equals(original, redacted);
  if (same < 0) return nullptr;
  if (same) return PyList_New(0);

  Pairs pairs;
  if (!pairs.list || collect_pairs(st, original, redacted, pairs) < 0) {
    if (!swallow_exception()) return nullptr;
    return PyList_New(0);
  }
  // Longest found text first, so an entity is replaced before any shorter
  // one nested in it; equal lengths keep their opcode order.
  const size_t n = pairs.found_len.size();
  Vec<uint32_t> order;
  Ref out;
  if (order.reserve(n)) {
    for (size_t i = 0; i < n; ++i) order.push(static_cast<uint32_t>(i));
    const Py_ssize_t* len = pairs.found_len.data();
    std::stable_sort(order.data(), order.data() + n, [len](uint32_t x, uint32_t y) { return len[x] > len[y]; });
    out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  } else {
    PyErr_NoMemory();
  }
  if (!out) {
    if (!swallow_exception()) return nullptr;
    return PyList_New(0);
  }
  for (size_t i = 0; i < n; ++i) {
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(PyList_GET_ITEM(pairs.list.get(), order[i])));
  }
  return out.release();
}

constexpr Param kMlParams[] = {
    {"original", ArgType::Str, "str"},
    {"redacted", ArgType::Str, "str"},
};

}  // namespace

const FuncSpec kMlSubstitutions = {
    "_ml_substitutions",
    "Recover the service's edits as (found, placeholder) pairs, longest found text first.\n\n"
    "Diffs the text that was sent against the service's scrubbed copy; each\n"
    "replaced span becomes one pair. Any failure gives an empty list.",
    kMlParams,
    2,
    ml_substitutions_impl,
    "list[tuple[str, str]]",
};

}  // namespace dravik::guard

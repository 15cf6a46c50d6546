// The Pattern and Scanner types of the _rx binding.
#include "regex/binding/types.hpp"
#include "common/str_ready.hpp"

#include "regex/table_scan.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <thread>

namespace dravik::rx_binding {

namespace {

struct PatternObject {
  PyObject_HEAD
  rx::Regex* re;
  PyObject* pattern;
  long flags;
};

struct ScannerObject {
  PyObject_HEAD
  rx::TableScanner* scanner;
  PyObject* patterns;  // tuple of PatternObject
};

PyObject* span_tuple(const rx::Span& sp) { return Py_BuildValue("(nn)", sp.start, sp.end); }

// Another thread's long search holds the pattern: let it run, then retry.
void wait_a_moment() {
  Py_BEGIN_ALLOW_THREADS
  std::this_thread::yield();
  Py_END_ALLOW_THREADS
}

int require_str(PyObject* text, const char* what) {
  if (PyUnicode_Check(text)) return 0;
  PyErr_Format(PyExc_TypeError, "%s must be a str, not %.200s", what, Py_TYPE(text)->tp_name);
  return -1;
}

// ---- Pattern ----------------------------------------------------------------

void pattern_dealloc(PyObject* self) {
  auto* p = reinterpret_cast<PatternObject*>(self);
  PyTypeObject* tp = Py_TYPE(self);
  delete p->re;
  p->re = nullptr;
  Py_CLEAR(p->pattern);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* pattern_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"text", "pos"};
  PyObject* vals[2] = {nullptr, nullptr};
  if (bind_args("search", kNames, 2, 1, args, nargs, kwnames, vals) < 0) return nullptr;
  if (require_str(vals[0], "text") < 0) return nullptr;
  Py_ssize_t pos = 0;
  if (vals[1] != nullptr) {
    pos = PyLong_AsSsize_t(vals[1]);
    if (pos == -1 && PyErr_Occurred()) return nullptr;
  }
  rx::Span sp;
  int r;
  while ((r = reinterpret_cast<PatternObject*>(self)->re->search(vals[0], pos, sp)) == rx::kBusy) wait_a_moment();
  if (r < 0) return nullptr;
  if (r == 0) Py_RETURN_NONE;
  return span_tuple(sp);
}

PyObject* pattern_sub(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"repl", "text"};
  PyObject* vals[2] = {nullptr, nullptr};
  if (bind_args("sub", kNames, 2, 2, args, nargs, kwnames, vals) < 0) return nullptr;
  if (require_str(vals[0], "repl") < 0 || require_str(vals[1], "text") < 0) return nullptr;
  try {
    for (;;) {
      PyObject* out = reinterpret_cast<PatternObject*>(self)->re->replace_all(vals[1], vals[0]);
      if (out != nullptr || PyErr_Occurred()) return out;
      wait_a_moment();
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* pattern_get_pattern(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<PatternObject*>(self)->pattern);
}
PyObject* pattern_get_flags(PyObject* self, void*) {
  return PyLong_FromLong(reinterpret_cast<PatternObject*>(self)->flags);
}

PyObject* pattern_repr(PyObject* self) {
  auto* p = reinterpret_cast<PatternObject*>(self);
  return PyUnicode_FromFormat("_rx.compile(%R, %ld)", p->pattern, p->flags);
}

PyMethodDef kPatternMethods[] = {
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pattern_search)),
     METH_FASTCALL | METH_KEYWORDS, "search(text, pos=0)\n--\n\n(start, end) of re's first match, or None."},
    {"sub", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pattern_sub)), METH_FASTCALL | METH_KEYWORDS,
     "sub(repl, text)\n--\n\nEvery match replaced by repl, taken literally."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kPatternGetSet[] = {
    {"pattern", pattern_get_pattern, nullptr, "The pattern text.", nullptr},
    {"flags", pattern_get_flags, nullptr, "The flags given to compile.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kPatternSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pattern_dealloc)},
    {Py_tp_methods, kPatternMethods},
    {Py_tp_getset, kPatternGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(pattern_repr)},
    {Py_tp_doc, const_cast<char*>("A compiled pattern of the linear-time engine.")},
    {0, nullptr},
};

PyType_Spec kPatternSpec = {
    "dravik_observe._rx.Pattern",
    sizeof(PatternObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kPatternSlots,
};

// ---- Scanner ----------------------------------------------------------------

PyObject* scanner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ModState* st = state_of_type(type);
  if (st == nullptr) return nullptr;
  PyObject* seq = nullptr;
  static const char* kw[] = {"patterns", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Scanner", const_cast<char**>(kw), &seq)) return nullptr;
  Ref tup = Ref::steal(PySequence_Tuple(seq));
  if (!tup) return nullptr;
  std::vector<rx::Regex*> regs;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tup.get()); ++i) {
    PyObject* item = PyTuple_GET_ITEM(tup.get(), i);
    if (!Py_IS_TYPE(item, st->pattern_type)) {
      PyErr_Format(PyExc_TypeError, "Scanner takes _rx patterns, not %.200s", Py_TYPE(item)->tp_name);
      return nullptr;
    }
    regs.push_back(reinterpret_cast<PatternObject*>(item)->re);
  }
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  auto* so = reinterpret_cast<ScannerObject*>(self.get());
  so->patterns = tup.release();
  so->scanner = new (std::nothrow) rx::TableScanner();
  if (so->scanner == nullptr || !so->scanner->init(regs.data(), regs.size())) return PyErr_NoMemory();
  return self.release();
}

void scanner_dealloc(PyObject* self) {
  auto* s = reinterpret_cast<ScannerObject*>(self);
  PyTypeObject* tp = Py_TYPE(self);
  delete s->scanner;
  s->scanner = nullptr;
  Py_CLEAR(s->patterns);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* scanner_search_each(PyObject* self, PyObject* text) {
  if (require_str(text, "text") < 0) return nullptr;
  Array<std::optional<rx::Span>> found;
  if (reinterpret_cast<ScannerObject*>(self)->scanner->search_each(text, found) < 0) return nullptr;
  Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!out) return nullptr;
  for (size_t k = 0; k < found.size(); ++k) {
    PyObject* v = found[k] ? span_tuple(*found[k]) : Py_NewRef(Py_None);
    if (v == nullptr) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), v);
  }
  return out.release();
}

PyObject* scanner_answers(PyObject* self, PyObject* text) {
  if (require_str(text, "text") < 0) return nullptr;
#if PY_VERSION_HEX < 0x030C0000
  if (str_ready(text) < 0) return nullptr;
#endif
  Array<rx::TableAnswer> a;
  if (!reinterpret_cast<ScannerObject*>(self)->scanner->answers(text, a)) return PyErr_NoMemory();
  Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(a.size())));
  if (!out) return nullptr;
  for (size_t k = 0; k < a.size(); ++k) {
    PyObject* v = a[k].kind == rx::TableAnswer::kFound  ? span_tuple(a[k].span)
                  : a[k].kind == rx::TableAnswer::kNone ? Py_NewRef(Py_False)
                                                        : Py_NewRef(Py_None);
    if (v == nullptr) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), v);
  }
  return out.release();
}

PyObject* scanner_get_patterns(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<ScannerObject*>(self)->patterns);
}

PyMethodDef kScannerMethods[] = {
    {"search_each", scanner_search_each, METH_O,
     "search_each(text)\n--\n\nThe first match (start, end) of every pattern, or None, in order."},
    {"answers", scanner_answers, METH_O,
     "answers(text)\n--\n\nWhat the one pass over text tells, per pattern: its first match (start, end), False "
     "(no match), or None (left to its own search)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kScannerGetSet[] = {
    {"patterns", scanner_get_patterns, nullptr, "The patterns, in order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kScannerSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scanner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scanner_dealloc)},
    {Py_tp_methods, kScannerMethods},
    {Py_tp_getset, kScannerGetSet},
    {Py_tp_doc, const_cast<char*>("Scanner(patterns): runs several patterns over one text.")},
    {0, nullptr},
};

PyType_Spec kScannerSpec = {
    "dravik_observe._rx.Scanner",
    sizeof(ScannerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kScannerSlots,
};

}  // namespace

ModState* state_of_type(PyTypeObject* tp) {
  // The types are final (no subclasses), so the defining module is the type's own.
  PyObject* m = PyType_GetModule(tp);
  return m == nullptr ? nullptr : get_state(m);
}

int bind_args(const char* fname, const char* const* names, int n, int required, PyObject* const* args,
              Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %d arguments (%zd given)", fname, n, nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
      const char* key = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
      if (key == nullptr) return -1;
      int slot = -1;
      for (int j = 0; j < n; ++j)
        if (std::strcmp(key, names[j]) == 0) slot = j;
      if (slot < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", fname, key);
        return -1;
      }
      if (out[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, key);
        return -1;
      }
      out[slot] = args[nargs + k];
    }
  }
  for (int j = 0; j < required; ++j)
    if (out[j] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", fname, names[j]);
      return -1;
    }
  return 0;
}

int init_types(PyObject* module, ModState* st) {
  st->pattern_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kPatternSpec, nullptr));
  if (st->pattern_type == nullptr) return -1;
  st->scanner_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kScannerSpec, nullptr));
  if (st->scanner_type == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "Pattern", reinterpret_cast<PyObject*>(st->pattern_type)) < 0) return -1;
  if (PyModule_AddObjectRef(module, "Scanner", reinterpret_cast<PyObject*>(st->scanner_type)) < 0) return -1;
  return 0;
}

PyObject* new_pattern(ModState* st, PyObject* pattern, long flags) {
  std::string why;
  std::unique_ptr<rx::Regex> re;
  try {
    re = rx::Regex::compile(pattern, flags, *st->fixes, why);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!re) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "unsupported by the linear-time engine: %s", why.c_str());
    return nullptr;
  }
  auto* obj = PyObject_New(PatternObject, st->pattern_type);
  if (obj == nullptr) return nullptr;
  obj->re = re.release();
  obj->pattern = Py_NewRef(pattern);
  obj->flags = flags;
  return reinterpret_cast<PyObject*>(obj);
}

}  // namespace dravik::rx_binding

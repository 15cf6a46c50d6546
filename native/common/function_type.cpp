// The native function type: attributes, binding as a method, signature, GC.
#include "common/binder.hpp"
#include "common/lookup.hpp"

#include <structmember.h>

namespace dravik {

namespace {

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
  Function* f = reinterpret_cast<Function*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->module);
  Py_VISIT(f->globals);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->modname);
  Py_VISIT(f->doc);
  Py_VISIT(f->param_names);
  Py_VISIT(f->defaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->dict);
  Py_VISIT(f->signature);
  return 0;
}

int fn_clear(PyObject* self) {
  Function* f = reinterpret_cast<Function*>(self);
  Py_CLEAR(f->module);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->modname);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->param_names);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->signature);
  forget_globals(f);
  return 0;
}

void fn_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Function* f = reinterpret_cast<Function*>(self);
  if (f->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// The fields below may have been cleared by the collector (fn_clear) while
// a finaliser still holds the function: every reader tolerates NULL.

PyObject* fn_repr(PyObject* self) {
  Function* f = reinterpret_cast<Function*>(self);
  if (f->qualname == nullptr) return PyUnicode_FromFormat("<function %s at %p>", f->spec->name, self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

// Attribute accessors --------------------------------------------------------

PyObject* name_or_spec(PyObject* field, const Function* f) {
  return field != nullptr ? Py_NewRef(field) : PyUnicode_FromString(f->spec->name);
}
PyObject* or_none(PyObject* field) { return Py_NewRef(field != nullptr ? field : Py_None); }

PyObject* get_name(PyObject* self, void*) {
  Function* f = reinterpret_cast<Function*>(self);
  return name_or_spec(f->name, f);
}
PyObject* get_qualname(PyObject* self, void*) {
  Function* f = reinterpret_cast<Function*>(self);
  return name_or_spec(f->qualname, f);
}
PyObject* get_doc(PyObject* self, void*) { return or_none(reinterpret_cast<Function*>(self)->doc); }
PyObject* get_module(PyObject* self, void*) { return or_none(reinterpret_cast<Function*>(self)->modname); }
PyObject* get_globals(PyObject* self, void*) { return or_none(reinterpret_cast<Function*>(self)->globals); }
PyObject* get_annotations(PyObject* self, void*) {
  Function* f = reinterpret_cast<Function*>(self);
  if (f->annotations == nullptr) {
    f->annotations = PyDict_New();
    if (f->annotations == nullptr) return nullptr;
  }
  return Py_NewRef(f->annotations);
}

int set_str_field(PyObject** field, PyObject* value, const char* what, bool allow_none) {
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "cannot delete %s", what);
    return -1;
  }
  if (!PyUnicode_Check(value) && !(allow_none && value == Py_None)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_XSETREF(*field, Py_NewRef(value));
  return 0;
}
int set_name(PyObject* self, PyObject* v, void*) {
  return set_str_field(&reinterpret_cast<Function*>(self)->name, v, "__name__", false);
}
int set_qualname(PyObject* self, PyObject* v, void*) {
  return set_str_field(&reinterpret_cast<Function*>(self)->qualname, v, "__qualname__", false);
}
int set_any(PyObject** field, PyObject* value) {
  Py_XSETREF(*field, Py_NewRef(value != nullptr ? value : Py_None));
  return 0;
}
int set_doc(PyObject* self, PyObject* v, void*) { return set_any(&reinterpret_cast<Function*>(self)->doc, v); }
int set_module(PyObject* self, PyObject* v, void*) {
  return set_any(&reinterpret_cast<Function*>(self)->modname, v);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
  if (v == nullptr || v == Py_None) {
    PyObject* fresh = PyDict_New();
    if (fresh == nullptr) return -1;
    Py_XSETREF(reinterpret_cast<Function*>(self)->annotations, fresh);
    return 0;
  }
  if (!PyDict_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(reinterpret_cast<Function*>(self)->annotations, Py_NewRef(v));
  return 0;
}

// Trailing defaults, as Python functions publish them.
PyObject* get_defaults(PyObject* self, void*) {
  Function* f = reinterpret_cast<Function*>(self);
  const FuncSpec* s = f->spec;
  int first = s->nparams;
  while (first > 0 && s->params[first - 1].def != DefaultKind::Required) --first;
  if (first == s->nparams || f->defaults == nullptr) Py_RETURN_NONE;
  return PyTuple_GetSlice(f->defaults, first, s->nparams);
}

PyObject* build_signature(Function* f) {
  // Held for the whole build: a key's __eq__ run by a lookup below may
  // rebind __annotations__ and would otherwise free the dict being read.
  Ref annotations = Ref::borrow(f->annotations);
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  if (!parameter_cls) return nullptr;
  Ref kind = Ref::steal(PyObject_GetAttrString(parameter_cls.get(), "POSITIONAL_OR_KEYWORD"));
  if (!kind) return nullptr;
  const FuncSpec* s = f->spec;
  Ref params = Ref::steal(PyList_New(0));
  if (!params) return nullptr;
  for (int i = 0; i < s->nparams; ++i) {
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    if (PyDict_SetItemString(kwargs.get(), "kind", kind.get()) < 0) return nullptr;
    if (s->params[i].def != DefaultKind::Required &&
        PyDict_SetItemString(kwargs.get(), "default", PyTuple_GET_ITEM(f->defaults, i)) < 0) {
      return nullptr;
    }
    PyObject* name = PyTuple_GET_ITEM(f->param_names, i);
    Ref ann = Ref::borrow(PyDict_GetItemWithError(annotations.get(), name));
    if (!ann && PyErr_Occurred()) return nullptr;
    if (ann && PyDict_SetItemString(kwargs.get(), "annotation", ann.get()) < 0) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(1, name));
    if (!args) return nullptr;
    Ref p = Ref::steal(PyObject_Call(parameter_cls.get(), args.get(), kwargs.get()));
    if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
  }
  Ref signature_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
  if (!signature_cls) return nullptr;
  Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
  Ref kwargs = Ref::steal(PyDict_New());
  if (!args || !kwargs) return nullptr;
  // Not PyDict_GetItemString, which would hide an error (or an interrupt)
  // raised while comparing keys.
  Ref return_key = Ref::steal(PyUnicode_InternFromString("return"));
  if (!return_key) return nullptr;
  Ref ret = Ref::borrow(PyDict_GetItemWithError(annotations.get(), return_key.get()));
  if (!ret && PyErr_Occurred()) return nullptr;
  if (ret && PyDict_SetItemString(kwargs.get(), "return_annotation", ret.get()) < 0) return nullptr;
  return PyObject_Call(signature_cls.get(), args.get(), kwargs.get());
}

PyObject* get_signature(PyObject* self, void*) {
  Function* f = reinterpret_cast<Function*>(self);
  if (f->signature == nullptr) {
    if (f->param_names == nullptr || f->defaults == nullptr) {
      PyErr_Format(PyExc_RuntimeError, "%.200s(): its module has been torn down", f->spec->name);
      return nullptr;
    }
    PyObject* built = build_signature(f);
    if (built == nullptr) return nullptr;
    // Building runs Python code, so another thread may have cached one
    // meanwhile: keep that one rather than overwrite (and leak) it.
    if (f->signature == nullptr) {
      f->signature = built;
    } else {
      Py_DECREF(built);
    }
  }
  return Py_NewRef(f->signature);
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {Py_tp_getset, fn_getset},
    {Py_tp_members, fn_members},
    {0, nullptr},
};

PyObject* make_default(const Param& p) {
  switch (p.def) {
    case DefaultKind::Required: return nullptr;
    case DefaultKind::None: return Py_NewRef(Py_None);
    case DefaultKind::False: return Py_NewRef(Py_False);
    case DefaultKind::EmptyStr: return PyUnicode_FromStringAndSize("", 0);
    case DefaultKind::Str: return PyUnicode_FromString(p.def_str);
    case DefaultKind::Int: return PyLong_FromLongLong(p.def_int);
  }
  return nullptr;
}

}  // namespace

PyTypeObject* make_function_type(PyObject* module) {
  static PyType_Spec spec = {
      "dravik_observe.native_function",
      sizeof(Function),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
          Py_TPFLAGS_DISALLOW_INSTANTIATION,
      fn_slots,
  };
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

PyObject* make_function(PyTypeObject* type, PyObject* module, const FuncSpec* spec, const char* qualname) {
  if (spec->nparams > kMaxParams) {
    PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
    return nullptr;
  }
  Function* f = PyObject_GC_New(Function, type);
  if (f == nullptr) return nullptr;
  f->vectorcall = function_vectorcall;
  f->spec = spec;
  f->module = Py_NewRef(module);
  f->globals = Py_XNewRef(PyModule_GetDict(module));
  f->name = PyUnicode_InternFromString(spec->name);
  f->qualname = PyUnicode_FromString(qualname != nullptr ? qualname : spec->name);
  f->modname = PyModule_GetNameObject(module);
  f->doc = spec->doc != nullptr ? PyUnicode_FromString(spec->doc) : Py_NewRef(Py_None);
  f->param_names = PyTuple_New(spec->nparams);
  f->defaults = PyTuple_New(spec->nparams);
  f->annotations = PyDict_New();
  f->dict = nullptr;
  f->weakreflist = nullptr;
  f->signature = nullptr;
  f->globals_cache = GlobalsCache{};
  Ref self = Ref::steal(reinterpret_cast<PyObject*>(f));
  if (!f->globals || !f->name || !f->qualname || !f->modname || !f->doc || !f->param_names || !f->defaults ||
      !f->annotations) {
    return nullptr;
  }
  for (int i = 0; i < spec->nparams; ++i) {
    const Param& p = spec->params[i];
    PyObject* name = PyUnicode_InternFromString(p.name);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(f->param_names, i, name);
    if (p.def != DefaultKind::Required) {
      PyObject* d = make_default(p);
      if (d == nullptr) return nullptr;
      PyTuple_SET_ITEM(f->defaults, i, d);
    } else {
      PyTuple_SET_ITEM(f->defaults, i, Py_NewRef(Py_None));  // never read
    }
    if (p.annotation != nullptr) {
      Ref ann = Ref::steal(PyUnicode_FromString(p.annotation));
      if (!ann || PyDict_SetItem(f->annotations, name, ann.get()) < 0) return nullptr;
    }
  }
  if (spec->return_annotation != nullptr) {
    Ref ann = Ref::steal(PyUnicode_FromString(spec->return_annotation));
    if (!ann || PyDict_SetItemString(f->annotations, "return", ann.get()) < 0) return nullptr;
  }
  PyObject_GC_Track(self.get());
  return self.release();
}

int add_function(PyTypeObject* type, PyObject* module, const FuncSpec* spec) {
  Ref fn = Ref::steal(make_function(type, module, spec));
  if (!fn) return -1;
  return PyModule_AddObjectRef(module, spec->name, fn.get());
}

}  // namespace dravik

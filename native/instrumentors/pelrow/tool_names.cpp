// extract_tool_names_from_request: the names of the tools a request offered.
#include "common/call.hpp"
#include "common/lookup.hpp"
#include "instrumentors/pelrow/state.hpp"

namespace dravik::pelrow {

namespace {

// `key in mapping` followed by `mapping[key]`: 1 with `out`, 0, or -1.
int mapping_item(PyObject* mapping, PyObject* key, Ref& out) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = PyDict_GetItemWithError(mapping, key);
    if (v == nullptr) return PyErr_Occurred() ? -1 : 0;
    out = Ref::borrow(v);
    return 1;
  }
  const int has = PySequence_Contains(mapping, key);
  if (has <= 0) return has;
  out = Ref::steal(PyObject_GetItem(mapping, key));
  return out ? 1 : -1;
}

// The name of one offered tool: 1 with `out`, 0 when it has none, or -1.
int tool_name(State* st, PyObject* tool, Ref& out) {
  PyObject* s_name = st->names[N_name];
  if (PyDict_Check(tool)) {
    // tool.get("function", {})
    Ref fn;
    if (PyDict_CheckExact(tool)) {
      PyObject* v = PyDict_GetItemWithError(tool, st->names[N_function]);
      if (v == nullptr && PyErr_Occurred()) return -1;
      fn = Ref::borrow(v);
    } else {
      Ref empty = Ref::steal(PyDict_New());
      if (!empty) return -1;
      fn = call_method(tool, st->names[N_get], st->names[N_function], empty.get());
      if (!fn) return -1;
    }
    if (fn && PyDict_Check(fn.get())) {
      const int found = mapping_item(fn.get(), s_name, out);
      if (found != 0) return found;
    }
    return mapping_item(tool, s_name, out);
  }
  Ref fn;
  const int has_fn = get_optional_attr(tool, st->names[N_function], fn);
  if (has_fn < 0) return -1;
  if (has_fn > 0) {
    const int found = get_optional_attr(fn.get(), s_name, out);
    if (found != 0) return found;
  }
  return get_optional_attr(tool, s_name, out);
}

PyObject* extract_impl(Function* f, PyObject* const* args) {
  State* st = module_state<State>(f);
  Ref names = Ref::steal(PyList_New(0));
  if (!names) return nullptr;
  PyObject* tools = PyDict_GetItemWithError(args[0], st->names[N_tools]);
  if (tools == nullptr) return PyErr_Occurred() ? nullptr : names.release();
  Ref hold = Ref::borrow(tools);  // the caller's dict may change under us
  const int truth = PyObject_IsTrue(tools);
  if (truth <= 0) return truth < 0 ? nullptr : names.release();
  Ref it = Ref::steal(PyObject_GetIter(tools));
  if (!it) return nullptr;
  while (Ref tool = Ref::steal(PyIter_Next(it.get()))) {
    Ref name;
    const int found = tool_name(st, tool.get(), name);
    if (found < 0) return nullptr;
    if (found > 0 && PyList_Append(names.get(), name.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return names.release();
}

constexpr Param kParams[] = {{"kwargs", ArgType::Dict, "dict"}};

}  // namespace

const FuncSpec kExtractToolNames = {
    "extract_tool_names_from_request",
    "Return the names of the tools offered in an LLM request's keyword arguments.\n\n"
    "Reads kwargs[\"tools\"]: OpenAI-style {\"type\": \"function\", \"function\": {\"name\": ...}}\n"
    "entries, dicts with a top-level \"name\", and objects with a .function.name or .name.",
    kParams,
    1,
    extract_impl,
    "list[str]",
};

}  // namespace dravik::pelrow

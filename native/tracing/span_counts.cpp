// The processor's span counts and their read-only view.
#include "tracing/span_counts.hpp"

#include "tracing/functions.hpp"
#include "tracing/support.hpp"

namespace dravik::tracing {

namespace {

void counts_dealloc(PyObject* self) {
  // Also reached from the processor subclass's own dealloc, with the
  // subclass as the type: its tp_free and its reference are the ones to use.
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyType_Slot kCountsSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(counts_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_doc, const_cast<char*>("Span counts of a DravikSpanProcessor.")},
    {0, nullptr},
};

PyType_Spec kCountsSpec = {
    "dravik_observe.tracing.vintrel._SpanCounts",
    sizeof(CountsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    kCountsSlots,
};

// The keys live in the module state: a dict built per read must not make
// and intern fresh key strings every time.
constexpr Name kCountNames[SC_COUNT] = {N_c_captured, N_c_outside_run, N_c_filtered, N_c_merged, N_c_failed};

PyObject* counts_dict(State* st, const unsigned long long* counts) {
  Ref out = Ref::steal(PyDict_New());
  if (!out) return nullptr;
  for (int i = 0; i < SC_COUNT; ++i) {
    Ref n = Ref::steal(PyLong_FromUnsignedLongLong(counts != nullptr ? counts[i] : 0));
    if (!n || PyDict_SetItem(out.get(), name(st, kCountNames[i]), n.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* counters_impl(Function* f, PyObject* const* args) {
  State* st = state_of(f);
  PyObject* self = args[0];
  if (st->counts_type == nullptr || !PyObject_TypeCheck(self, st->counts_type)) {
    PyErr_Format(PyExc_TypeError, "counters of a DravikSpanProcessor, not of a '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
  }
  return counts_dict(st, reinterpret_cast<CountsObject*>(self)->counts);
}

PyObject* noop_counters_impl(Function* f, PyObject* const*) { return counts_dict(state_of(f), nullptr); }

const Param kSelfParam[] = {{"self"}};

constexpr const char* kCountersDoc =
    "What became of the spans this processor saw, counted since it was made.\n"
    "\n"
    "    A dict of five counts: \"captured\" (recorded on the active run),\n"
    "    \"outside_run\" (no run was active), \"filtered\" (dropped as noise: the\n"
    "    observe service's own traffic, raw calls to LLM provider APIs, model\n"
    "    downloads), \"merged\" (the kit's own spans, merged into the records it\n"
    "    made) and \"failed\" (lost to an error, silently).\n"
    "    ";

}  // namespace

PyTypeObject* make_counts_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kCountsSpec, nullptr));
}

const FuncSpec kCounters = {"counters", kCountersDoc, kSelfParam, 1, counters_impl, "dict[str, int]"};
const FuncSpec kNoopCounters = {"counters", nullptr, kSelfParam, 1, noop_counters_impl};

}  // namespace dravik::tracing

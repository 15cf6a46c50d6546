// Which integrations (providers, frameworks, stores, ...) a span shows.
#include "tracing/functions.hpp"
#include "tracing/support.hpp"

namespace dravik::tracing {

int IntegrationPairs::add(PyObject* label, PyObject* category) {
  if (list != nullptr) {
    Ref pair = Ref::steal(PyTuple_Pack(2, label, category));
    if (!pair) return -1;
    return PyList_Append(list, pair.get());
  }
  if (n == kMaxIntegrationPairs) {
    PyErr_SetString(PyExc_SystemError, "too many integration pairs");
    return -1;
  }
  first[n] = Ref::borrow(label);
  second[n++] = Ref::borrow(category);
  return 0;
}

int IntegrationPairs::add_pair(PyObject* pair) {
  if (list != nullptr) return PyList_Append(list, pair);
  if (n == kMaxIntegrationPairs) {
    PyErr_SetString(PyExc_SystemError, "too many integration pairs");
    return -1;
  }
  first[n++] = Ref::borrow(pair);
  return 0;
}

namespace {

// (_display_name(value), category)
int append_labelled(Function* f, State* st, IntegrationPairs& results, PyObject* value, Name category) {
  Ref label = call_fn(f, st, F_display_name, value);
  if (!label) return -1;
  return results.add(label.get(), st->names[category]);
}

// Value of `key` when true: 1 with `out` set, 0 when false, -1 on error.
int true_value(State* st, PyObject* attrs, Name key, Ref& out) {
  out = attr_get(st, attrs, key);
  if (!out) return -1;
  return truth(out.get());
}

// The first prefix pair of the global table that a "dravik." key starts
// with: 1 when one was appended, 0 when none, -1 on error.
int prefix_fallback(Function* f, State* st, PyObject* attrs, IntegrationPairs& results) {
  Ref table = get_global(f, st->names[N_ATTR_PREFIX_INTEGRATIONS]);
  if (!table) return -1;
  Ref items;
  if (!PyDict_CheckExact(table.get())) {
    Ref view = call_method(table.get(), st->names[N_m_items]);
    if (!view) return -1;
    items = Ref::steal(PySequence_List(view.get()));
    if (!items) return -1;
  }
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  const Py_ssize_t size = PyDict_GET_SIZE(attrs);
  while (PyDict_Next(attrs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key) || !starts_with(key, st->names[N_v_dravik_prefix])) continue;
    Ref held = Ref::borrow(key);
    if (!items) {
      Py_ssize_t tpos = 0;
      PyObject* prefix;
      PyObject* pair;
      while (PyDict_Next(table.get(), &tpos, &prefix, &pair)) {
        if (!PyUnicode_Check(prefix)) {
          PyErr_Format(PyExc_TypeError, "startswith first arg must be str or a tuple of str, not %.100s",
                       Py_TYPE(prefix)->tp_name);
          return -1;
        }
        if (starts_with(held.get(), prefix)) return results.add_pair(pair) < 0 ? -1 : 1;
      }
    } else {
      const Py_ssize_t n = PyList_GET_SIZE(items.get());
      for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
        PyObject* prefix = nullptr;
        PyObject* pair = nullptr;
        if (!PyArg_ParseTuple(item.get(), "OO:items", &prefix, &pair)) return -1;
        Ref starts = call_method(held.get(), st->names[N_m_startswith], prefix);
        if (!starts) return -1;
        const int t = truth(starts.get());
        if (t < 0) return -1;
        if (t) return results.add_pair(pair) < 0 ? -1 : 1;
      }
    }
    if (PyDict_GET_SIZE(attrs) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return -1;
    }
  }
  return 0;
}

}  // namespace

int extract_integrations(Function* f, State* st, PyObject* attrs, IntegrationPairs& out) {
  Ref v;
  int t;

  // 1. Provider name: a framework (with the provider behind its model) or an LLM provider.
  if ((t = true_value(st, attrs, N_a_provider_name, v)) < 0) return -1;
  if (t) {
    Ref lowered = lower_text(st, v.get());
    if (!lowered) return -1;
    Ref frameworks = get_global(f, st->names[N_FRAMEWORK_PROVIDERS]);
    if (!frameworks) return -1;
    const int is_framework = PyAnySet_Check(frameworks.get()) ? PySet_Contains(frameworks.get(), lowered.get())
                                                              : PySequence_Contains(frameworks.get(), lowered.get());
    if (is_framework < 0) return -1;
    if (is_framework) {
      if (append_labelled(f, st, out, v.get(), N_v_framework) < 0) return -1;
      Ref model = attr_first_true(st, attrs, nullptr, N_a_llm_model);
      if (!model) {
        if (PyErr_Occurred()) return -1;
        model = attr_get(st, attrs, N_a_request_model);
        if (!model) return -1;
      }
      if ((t = truth(model.get())) < 0) return -1;
      if (t) {
        Ref real = call_fn(f, st, F_derive_llm_provider, model.get());
        if (!real || (t = truth(real.get())) < 0) return -1;
        if (t && out.add(real.get(), st->names[N_v_llm]) < 0) return -1;
      }
    } else if (append_labelled(f, st, out, v.get(), N_v_llm) < 0) {
      return -1;
    }
  }

  // 2. Framework.
  if ((t = true_value(st, attrs, N_a_framework, v)) < 0) return -1;
  if (t && append_labelled(f, st, out, v.get(), N_v_framework) < 0) return -1;

  // 3. Retrieval source, else collection.
  Ref source = attr_first_true(st, attrs, Py_None, N_a_retrieval_source);
  if (!source) return -1;
  if (source.get() == Py_None) {
    source = attr_get(st, attrs, N_a_retrieval_collection);
    if (!source) return -1;
  }
  if ((t = truth(source.get())) < 0) return -1;
  if (t && append_labelled(f, st, out, source.get(), N_v_retrieval) < 0) return -1;

  // 4. Embedding model, verbatim.
  if ((t = true_value(st, attrs, N_a_embedding_model, v)) < 0) return -1;
  if (t && out.add(v.get(), st->names[N_v_embedding]) < 0) return -1;

  // 5. Guardrail name verbatim; else any moderation verdict.
  if ((t = true_value(st, attrs, N_a_guardrail_name, v)) < 0) return -1;
  if (t) {
    if (out.add(v.get(), st->names[N_v_safety]) < 0) return -1;
  } else {
    Ref flagged = attr_get(st, attrs, N_a_moderation_flagged);
    if (!flagged) return -1;
    if (flagged.get() != Py_None) {
      Ref pair = get_global(f, st->names[N_MODERATION_INTEGRATION]);
      if (!pair || out.add_pair(pair.get()) < 0) return -1;
    }
  }

  // 6. Evaluation framework. 7. Reranker.
  if ((t = true_value(st, attrs, N_a_eval_framework, v)) < 0) return -1;
  if (t && append_labelled(f, st, out, v.get(), N_v_eval) < 0) return -1;
  if ((t = true_value(st, attrs, N_a_rerank_system, v)) < 0) return -1;
  if (t && append_labelled(f, st, out, v.get(), N_v_reranking) < 0) return -1;

  // 8. Only when nothing else was found: the first known "dravik.<service>." key.
  if (out.size() == 0 && prefix_fallback(f, st, attrs, out) < 0) return -1;
  return 0;
}

namespace {

PyObject* extract_integrations_impl(Function* f, PyObject* const* args) {
  Ref results = Ref::steal(PyList_New(0));
  if (!results) return nullptr;
  IntegrationPairs pairs;
  pairs.list = results.get();
  if (extract_integrations(f, state_of(f), args[0], pairs) < 0) return nullptr;
  return results.release();
}



const Param kAttrsParam[] = {{"attrs", ArgType::Dict, "dict"}};

}  // namespace

const FuncSpec kExtractIntegrations = {
    "_extract_integrations_from_attrs",
    "Extract (display_name, category) pairs from span attributes.\n"
    "\n"
    "    Called on every span to detect which integrations (LLM providers,\n"
    "    frameworks, vector DBs, embedding models, guardrails, ...) were used.\n"
    "    Must be fast: a handful of dict lookups per span.\n"
    "    ",
    kAttrsParam,
    1,
    extract_integrations_impl,
    "list[tuple[str, str]]",
};

}  // namespace dravik::tracing

// Record kinds and readable names for spans, and labels for raw identifiers.
#include "tracing/functions.hpp"
#include "tracing/support.hpp"

namespace dravik::tracing {

namespace {

// "".join(format(p, "") for p in parts)
Ref join_formatted(State* st, std::initializer_list<PyObject*> parts) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
  if (!tuple) return Ref();
  Py_ssize_t i = 0;
  for (PyObject* p : parts) {
    PyObject* text = PyObject_Format(p, st->names[N_v_empty]);
    if (text == nullptr) return Ref();
    PyTuple_SET_ITEM(tuple.get(), i++, text);
  }
  return Ref::steal(PyUnicode_Join(st->names[N_v_empty], tuple.get()));
}

// urlparse(url).hostname, or the URL itself when there is none or parsing fails.
Ref url_host(State* st, PyObject* url) {
  Ref host;
  Ref urlparse =
      fresh_import_from(st->names[N_mod_urllib_parse], st->names[N_m_urlparse], st->imports[KI_urlparse]);
  if (urlparse) {
    Ref parsed = call(urlparse.get(), url);
    if (parsed) host = Ref::steal(PyObject_GetAttr(parsed.get(), st->names[N_p_hostname]));
  }
  if (host) {
    const int t = truth(host.get());
    if (t > 0) return host;
    if (t == 0) return Ref::borrow(url);
  }
  if (!swallow_exception()) return Ref();
  return Ref::borrow(url);
}

// `re`'s \w for str patterns: str.isalnum() or "_".
inline bool is_word_char(Py_UCS4 ch) { return ch == '_' || Py_UNICODE_ISALNUM(ch); }

// re.match(r"(\w+)", text).group(1).upper(), or "" when there is no match.
Ref operation_word(State* st, PyObject* text) {
  if (PyUnicode_Check(text)) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t n = 0;
    while (n < len && is_word_char(PyUnicode_READ(kind, data, n))) ++n;
    if (n == 0) return Ref::borrow(st->names[N_v_empty]);
    Ref word = Ref::steal(PyUnicode_Substring(text, 0, n));
    if (!word) return Ref();
    return call_method(word.get(), st->names[N_m_upper]);
  }
  // Not text: let the regular-expression module decide (bytes raise there).
  Ref re = fresh_import(st->names[N_mod_re]);
  if (!re) return Ref();
  Ref m = call_method(re.get(), st->names[N_m_match], st->names[N_v_word_pattern], text);
  if (!m) return Ref();
  if (m.get() == Py_None) return Ref::borrow(st->names[N_v_empty]);
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return Ref();
  Ref word = call_method(m.get(), st->names[N_m_group], one.get());
  if (!word) return Ref();
  return call_method(word.get(), st->names[N_m_upper]);
}

}  // namespace

PyObject* resolve_kind_with(Function* f, PyObject* span, const SpanAttrs& attrs) {
  State* st = state_of(f);
  Ref span_type = attrs.get(st, N_a_span_type, st->names[N_v_empty]);
  if (!span_type) return nullptr;
  int t = truth(span_type.get());
  if (t < 0) return nullptr;
  if (t) {
    Ref table = get_global(f, st->names[N_SPAN_TYPE_MAP]);
    if (!table) return nullptr;
    const int in = PySequence_Contains(table.get(), span_type.get());
    if (in < 0) return nullptr;
    if (in) return PyObject_GetItem(table.get(), span_type.get());
  }
  Ref tool = attrs.get(st, N_a_tool_name);
  if (!tool || (t = truth(tool.get())) < 0) return nullptr;
  if (t) return Py_NewRef(st->names[N_v_tool]);
  for (Name key : {N_a_genai_system, N_a_request_model}) {
    Ref v = attrs.get(st, key);
    if (!v || (t = truth(v.get())) < 0) return nullptr;
    if (t) return Py_NewRef(st->names[N_v_llm]);
  }

  Ref kind = span_property(st, span, SP_kind);
  if (!kind) return nullptr;
  Ref value = span_kind_value(st, kind.get());
  if (!value) return nullptr;
  Ref table = get_global(f, st->names[N_OTEL_KIND_MAP]);
  if (!table) return nullptr;
  if (PyDict_CheckExact(table.get())) return dict_get(table.get(), value.get(), st->names[N_v_chain]).release();
  return call_method(table.get(), st->names[N_m_get], value.get(), st->names[N_v_chain]).release();
}

namespace {

PyObject* resolve_kind_impl(Function* f, PyObject* const* args) {
  SpanAttrs attrs;
  if (span_attributes(state_of(f), args[0], attrs) < 0) return nullptr;
  return resolve_kind_with(f, args[0], attrs);
}

PyObject* build_display_name_impl(Function* f, PyObject* const* args) {
  State* st = state_of(f);
  PyObject* span_name = args[0];
  PyObject* attrs = args[1];
  PyObject* empty = st->names[N_v_empty];

  Ref tool = attr_get(st, attrs, N_a_tool_name);
  if (!tool) return nullptr;
  int t = truth(tool.get());
  if (t < 0) return nullptr;
  if (t) return tool.release();  // the result check rejects a non-str name

  Ref db_system = attr_get(st, attrs, N_a_db_system, empty);
  if (!db_system) return nullptr;
  Ref http_method = attr_first_true(st, attrs, nullptr, N_a_http_request_method);
  if (!http_method) {
    if (PyErr_Occurred()) return nullptr;
    http_method = attr_get(st, attrs, N_a_http_method, empty);
    if (!http_method) return nullptr;
  }

  if ((t = truth(http_method.get())) < 0) return nullptr;
  if (t) {
    Ref url = attr_first_true(st, attrs, empty, N_a_url_full, N_a_http_url, N_a_server_address);
    if (!url || (t = truth(url.get())) < 0) return nullptr;
    if (!t) return Py_NewRef(span_name);
    Ref host = url_host(st, url.get());
    if (!host) return nullptr;
    return join_formatted(st, {http_method.get(), st->names[N_v_space], host.get()}).release();
  }

  if ((t = truth(db_system.get())) < 0) return nullptr;
  if (t) {
    Ref short_name = dict_get(st->db_short_names, db_system.get(), db_system.get());
    if (!short_name) return nullptr;
    Ref statement = attr_get(st, attrs, N_a_db_statement, empty);
    if (!statement || (t = truth(statement.get())) < 0) return nullptr;
    if (t) {
      Ref stripped = call_method(statement.get(), st->names[N_m_strip]);
      if (!stripped) return nullptr;
      Ref op = operation_word(st, stripped.get());
      if (!op || (t = truth(op.get())) < 0) return nullptr;
      if (t) return join_formatted(st, {short_name.get(), st->names[N_v_space], op.get()}).release();
    }
    return join_formatted(st, {short_name.get(), st->names[N_v_space], span_name}).release();
  }

  Ref rpc_system = attr_get(st, attrs, N_a_rpc_system, empty);
  if (!rpc_system || (t = truth(rpc_system.get())) < 0) return nullptr;
  if (t) {
    Ref service = attr_get(st, attrs, N_a_rpc_service, empty);
    Ref method = service ? attr_get(st, attrs, N_a_rpc_method, empty) : Ref();
    if (!method) return nullptr;
    const int ts = truth(service.get());
    if (ts < 0) return nullptr;
    if (ts) {
      const int tm = truth(method.get());
      if (tm < 0) return nullptr;
      if (tm) {
        return join_formatted(
                   st, {rpc_system.get(), st->names[N_v_space], service.get(), st->names[N_v_dot], method.get()})
            .release();
      }
    }
  }

  Ref messaging = attr_get(st, attrs, N_a_messaging_system, empty);
  if (!messaging || (t = truth(messaging.get())) < 0) return nullptr;
  if (t) {
    Ref destination = attr_get(st, attrs, N_a_messaging_destination, empty);
    if (!destination || (t = truth(destination.get())) < 0) return nullptr;
    if (t) {
      return join_formatted(st, {messaging.get(), st->names[N_v_space], span_name, st->names[N_v_space],
                                 destination.get()})
          .release();
    }
  }
  return Py_NewRef(span_name);
}

// "_" to " ", then str.title.
Ref make_label(State* st, PyObject* raw) {
  Ref text = Ref::borrow(raw);
  const Py_ssize_t at = PyUnicode_FindChar(raw, '_', 0, PyUnicode_GET_LENGTH(raw), 1);
  if (at == -2) return Ref();
  if (at >= 0) {
    text = Ref::steal(PyUnicode_Replace(raw, st->names[N_v_underscore], st->names[N_v_space], -1));
    if (!text) return Ref();
  }
  return call_method(text.get(), st->names[N_m_title]);
}

PyObject* display_name_impl(Function* f, PyObject* const* args) {
  State* st = state_of(f);
  PyObject* raw = args[0];
  PyObject* known = PyDict_GetItemWithError(st->label_cache, raw);
  if (known != nullptr) return Py_NewRef(known);
  if (PyErr_Occurred()) return nullptr;
  Ref label = make_label(st, raw);
  if (label && PyUnicode_GET_LENGTH(raw) <= kCachedTextMax && PyDict_GET_SIZE(st->label_cache) < kCacheLimit &&
      PyDict_SetItem(st->label_cache, raw, label.get()) < 0) {
    return nullptr;
  }
  return label.release();
}

const Param kResolveKindParams[] = {{"span", ArgType::Any, "'ReadableSpan'"}};
const Param kBuildDisplayNameParams[] = {{"span_name", ArgType::Str, "str"}, {"attrs", ArgType::Dict, "dict"}};
const Param kDisplayNameParams[] = {{"raw", ArgType::Str, "str"}};

}  // namespace

const FuncSpec kResolveKind = {
    "_resolve_kind", "Determine the Django Span kind from an OTel span.", kResolveKindParams, 1, resolve_kind_impl,
    "str", ResultCheck::StrOrNone,
};

const FuncSpec kBuildDisplayName = {
    "_build_display_name",
    "Build a human-readable display name for infrastructure spans.\n"
    "\n"
    "    Turns the generic names that OTel auto-instrumentors give spans into\n"
    "    descriptive ones, for example:\n"
    "      HTTP: \"GET\" -> \"GET api.stripe.com\"\n"
    "      DB:   \"SELECT\" -> \"pg SELECT\", \"query\" -> \"redis GET\"\n"
    "    ",
    kBuildDisplayNameParams,
    2,
    build_display_name_impl,
    "str",
    ResultCheck::StrOrNone,
};

const FuncSpec kDisplayName = {
    "_display_name", "Convert a raw provider/source string to a display name.", kDisplayNameParams, 1,
    display_name_impl, "str", ResultCheck::StrOrNone,
};

}  // namespace dravik::tracing

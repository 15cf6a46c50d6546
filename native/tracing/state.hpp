// State of the dravik_observe.tracing.vintrel module.
#pragma once

#include "common/function.hpp"
#include "common/lookup.hpp"

#include <cstdint>

namespace dravik::tracing {

// Interned names: module globals, attribute keys, span properties, record
// keys and the short texts the functions return.
#define VINTREL_NAMES(X)                                                   \
  X(SPAN_TYPE_MAP, "_SPAN_TYPE_MAP")                                       \
  X(OTEL_KIND_MAP, "_OTEL_KIND_MAP")                                       \
  X(EXCLUDED_URL_PATTERNS, "_EXCLUDED_URL_PATTERNS")                       \
  X(LLM_PROVIDER_HOSTS, "_LLM_PROVIDER_HOSTS")                             \
  X(NOISY_INFRA_HOSTS, "_NOISY_INFRA_HOSTS")                               \
  X(FRAMEWORK_PROVIDERS, "_FRAMEWORK_PROVIDERS")                           \
  X(ATTR_PREFIX_INTEGRATIONS, "_ATTR_PREFIX_INTEGRATIONS")                 \
  X(MODERATION_INTEGRATION, "_MODERATION_INTEGRATION")                     \
  X(OTEL_DROP_KEYS, "_OTEL_DROP_KEYS")                                     \
  X(fn_resolve_kind, "_resolve_kind")                                      \
  X(fn_build_display_name, "_build_display_name")                          \
  X(fn_display_name, "_display_name")                                      \
  X(fn_is_dravik_api_call, "_is_dravik_api_call")                          \
  X(fn_is_llm_provider_http_call, "_is_llm_provider_http_call")            \
  X(fn_is_noisy_infra_call, "_is_noisy_infra_call")                        \
  X(fn_derive_llm_provider, "_derive_llm_provider")                        \
  X(fn_extract_integrations, "_extract_integrations_from_attrs")           \
  X(fn_merge, "_merge_otel_attrs_into_recorded_span")                      \
  X(fn_redact_span_dict, "_redact_span_dict")                              \
  X(fn_redact_dict_values, "_redact_dict_values")                          \
  X(fn_span_to_dict, "_span_to_dict")                                      \
  X(fn_clean_attr_key, "_clean_attr_key")                                  \
  X(a_span_type, "dravik.span_type")                                       \
  X(a_tool_name, "dravik.tool.name")                                       \
  X(a_tool, "dravik.tool")                                                 \
  X(a_tool_input, "dravik.tool.input")                                     \
  X(a_tool_output, "dravik.tool.output")                                   \
  X(a_tool_status, "dravik.tool.status")                                   \
  X(a_genai_system, "gen_ai.system")                                       \
  X(a_request_model, "gen_ai.request.model")                               \
  X(a_provider_name, "gen_ai.provider.name")                               \
  X(a_usage_in, "gen_ai.usage.input_tokens")                               \
  X(a_usage_out, "gen_ai.usage.output_tokens")                             \
  X(a_finish_reasons, "gen_ai.response.finish_reasons")                    \
  X(a_response_model, "gen_ai.response.model")                             \
  X(a_llm_model, "dravik.llm.model")                                       \
  X(a_llm_in, "dravik.llm.input_tokens")                                   \
  X(a_llm_out, "dravik.llm.output_tokens")                                 \
  X(a_llm_cost, "dravik.llm.cost")                                         \
  X(a_framework, "dravik.framework")                                       \
  X(a_retrieval_source, "dravik.retrieval.source")                         \
  X(a_retrieval_collection, "dravik.retrieval.collection")                 \
  X(a_embedding_model, "dravik.embedding.model")                           \
  X(a_guardrail_name, "dravik.guardrail.name")                             \
  X(a_moderation_flagged, "dravik.moderation.flagged")                     \
  X(a_eval_framework, "dravik.eval.framework")                             \
  X(a_rerank_system, "dravik.rerank.system")                               \
  X(a_db_system, "db.system")                                              \
  X(a_db_statement, "db.statement")                                        \
  X(a_http_request_method, "http.request.method")                          \
  X(a_http_method, "http.method")                                          \
  X(a_url_full, "url.full")                                                \
  X(a_http_url, "http.url")                                                \
  X(a_http_target, "http.target")                                          \
  X(a_server_address, "server.address")                                    \
  X(a_rpc_system, "rpc.system")                                            \
  X(a_rpc_service, "rpc.service")                                          \
  X(a_rpc_method, "rpc.method")                                            \
  X(a_messaging_system, "messaging.system")                                \
  X(a_messaging_destination, "messaging.destination.name")                 \
  X(p_attributes, "attributes")                                            \
  X(p_name, "name")                                                        \
  X(p_kind, "kind")                                                        \
  X(p_status, "status")                                                    \
  X(p_start_time, "start_time")                                            \
  X(p_end_time, "end_time")                                                \
  X(p_context, "context")                                                  \
  X(p_parent, "parent")                                                    \
  X(p_trace_id, "trace_id")                                                \
  X(p_span_id, "span_id")                                                  \
  X(p_status_code, "status_code")                                          \
  X(p_value, "value")                                                      \
  X(p_hostname, "hostname")                                                \
  X(p_dict, "_dict")                                                       \
  X(p_value_, "_value_")                                                   \
  X(p_fget, "fget")                                                        \
  X(f_attributes, "_attributes")                                           \
  X(f_name, "_name")                                                       \
  X(f_kind, "_kind")                                                       \
  X(f_start_time, "_start_time")                                           \
  X(f_end_time, "_end_time")                                               \
  X(f_context, "_context")                                                 \
  X(f_parent, "_parent")                                                   \
  X(f_status, "_status")                                                   \
  X(f_status_code, "_status_code")                                         \
  X(g_mapping_proxy, "MappingProxyType")                                   \
  X(m_getattribute, "__getattribute__")                                    \
  X(r_duration_ms, "duration_ms")                                          \
  X(r_input_data, "input_data")                                            \
  X(r_output_data, "output_data")                                          \
  X(r_start_ns, "_otel_start_ns")                                          \
  X(r_end_ns, "_otel_end_ns")                                              \
  X(r_trace_id, "_otel_trace_id")                                          \
  X(r_span_id, "_otel_span_id")                                            \
  X(r_parent_id, "_otel_parent_id")                                        \
  X(r_from_processor, "_from_processor")                                   \
  X(r_model, "model")                                                      \
  X(r_tokens_in, "tokens_in")                                              \
  X(r_tokens_out, "tokens_out")                                            \
  X(r_total_tokens, "total_tokens")                                        \
  X(r_cost, "cost")                                                        \
  X(r_finish_reasons, "finish_reasons")                                    \
  X(r_response_model, "response_model")                                   \
  X(c_run_id, "run_id")                                                    \
  X(c_record_integration, "_record_integration")                           \
  X(c_integrations, "_integrations")                                       \
  X(g_itertools, "itertools")                                              \
  X(g_next, "next")                                                        \
  X(p_count, "count")                                                      \
  X(m_setdefault, "setdefault")                                            \
  X(c_redact_fn, "_content_redact_fn")                                     \
  X(c_otel_spans, "_otel_spans")                                           \
  X(c_spans, "_spans")                                                     \
  X(c_current_context, "_current_context")                                 \
  X(m_get, "get")                                                          \
  X(m_lower, "lower")                                                      \
  X(m_upper, "upper")                                                      \
  X(m_strip, "strip")                                                      \
  X(m_title, "title")                                                      \
  X(m_append, "append")                                                    \
  X(m_items, "items")                                                      \
  X(m_keys, "keys")                                                        \
  X(m_loads, "loads")                                                      \
  X(m_urlparse, "urlparse")                                                \
  X(m_match, "match")                                                      \
  X(m_group, "group")                                                      \
  X(m_startswith, "startswith")                                            \
  X(mod_json, "json")                                                      \
  X(mod_urllib_parse, "urllib.parse")                                      \
  X(mod_re, "re")                                                          \
  X(mod_otel_trace, "opentelemetry.trace")                                 \
  X(mod_context_var, "dravik_observe.instrumentors._context_var")          \
  X(mod_context_var_rel, "instrumentors._context_var")                     \
  X(StatusCode, "StatusCode")                                              \
  X(ERROR, "ERROR")                                                        \
  X(v_empty, "")                                                           \
  X(v_space, " ")                                                          \
  X(v_dot, ".")                                                            \
  X(v_underscore, "_")                                                     \
  X(v_empty_json, "{}")                                                    \
  X(v_word_pattern, "(\\w+)")                                              \
  X(v_hex32, "032x")                                                       \
  X(v_hex16, "016x")                                                       \
  X(v_tool, "tool")                                                        \
  X(v_llm, "llm")                                                          \
  X(v_chain, "chain")                                                      \
  X(v_tool_call, "tool_call")                                              \
  X(v_ok, "ok")                                                            \
  X(v_error, "error")                                                      \
  X(v_framework, "framework")                                              \
  X(v_retrieval, "retrieval")                                              \
  X(v_embedding, "embedding")                                              \
  X(v_safety, "safety")                                                    \
  X(v_eval, "eval")                                                        \
  X(v_reranking, "reranking")                                              \
  X(v_dravik_prefix, "dravik.")                                            \
  X(v_genai_prefix, "gen_ai.")                                             \
  X(v_openai, "Openai")                                                    \
  X(v_anthropic, "Anthropic")                                              \
  X(v_google, "Google")                                                    \
  X(v_meta, "Meta")                                                        \
  X(v_mistral, "Mistral")                                                  \
  X(v_cohere, "Cohere")                                                    \
  X(v_groq, "Groq")                                                        \
  X(c_captured, "captured")                                                \
  X(c_outside_run, "outside_run")                                          \
  X(c_filtered, "filtered")                                                \
  X(c_merged, "merged")                                                    \
  X(c_failed, "failed")

enum Name : int {
#define VINTREL_ENUM(id, text) N_##id,
  VINTREL_NAMES(VINTREL_ENUM)
#undef VINTREL_ENUM
      N_COUNT
};

inline constexpr const char* kNameTexts[N_COUNT] = {
#define VINTREL_TEXT(id, text) text,
    VINTREL_NAMES(VINTREL_TEXT)
#undef VINTREL_TEXT
};

// The attribute keys the span functions read, as one range of names.
inline constexpr int kAttrNames = N_a_messaging_destination - N_a_span_type + 1;
inline constexpr bool is_attr_name(Name n) { return n >= N_a_span_type && n <= N_a_messaging_destination; }
// Longer key sequences are not remembered.
inline constexpr Py_ssize_t kShapeKeysMax = 64;
// A position past every remembered sequence: the name is not among its keys.
inline constexpr std::uint8_t kNoKey = 0xFF;

// One remembered key sequence of a span's attributes (all exact str).
inline constexpr std::uint8_t kFinishPlaced = 1;
inline constexpr std::uint8_t kResponsePlaced = 2;
inline constexpr int kKeyShapes = 8;
struct KeyShape {
  PyObject* keys;     // tuple: the attribute keys in order, or NULL
  PyObject* cleaned;  // tuple: the cleaned key of each
  PyObject* proto;    // dict: the cleaned keys in order, values None
  // `proto` goes on with the summary keys of an "llm" record, in their
  // order (a key already among the cleaned ones keeps its place there).
  bool summary;
  // Summary keys in `proto` that a record holds only when its summary sets
  // them (not among the cleaned keys): kFinishPlaced, kResponsePlaced.
  std::uint8_t placed;
  // Where each attribute name stands among `keys` (equal text), or kNoKey.
  std::uint8_t at[kAttrNames];
};

// The attributes of the span being captured, read once in order, for the
// reads of attribute names that follow (see attrs_view.cpp).  Every field
// is NULL / 0 while no capture has it open.
struct AttrsView {
  PyObject* dict;                  // the dict read (strong)
  std::uint64_t version;           // its version tag then
  PyObject* source;                // the dict it is a copy of (strong), or NULL
  std::uint64_t source_version;
  PyObject* keys;                  // KeyShape::keys of the sequence (strong)
  std::uint8_t at[kAttrNames];     // as KeyShape::at of the dict's key sequence
  PyObject* values[kShapeKeysMax];  // borrowed from `dict` while unchanged
};

// The module functions that call one another, with their global names.
enum Fn : int {
  F_resolve_kind,
  F_build_display_name,
  F_display_name,
  F_is_dravik_api_call,
  F_is_llm_provider_http_call,
  F_is_noisy_infra_call,
  F_derive_llm_provider,
  F_extract_integrations,
  F_merge,
  F_redact_span_dict,
  F_redact_dict_values,
  F_span_to_dict,
  F_clean_attr_key,
  F_COUNT
};

inline constexpr Name kFnGlobal[F_COUNT] = {
    N_fn_resolve_kind,       N_fn_build_display_name, N_fn_display_name,         N_fn_is_dravik_api_call,
    N_fn_is_llm_provider_http_call, N_fn_is_noisy_infra_call, N_fn_derive_llm_provider, N_fn_extract_integrations,
    N_fn_merge,              N_fn_redact_span_dict,   N_fn_redact_dict_values,   N_fn_span_to_dict,
    N_fn_clean_attr_key,
};

// SDK classes whose simple properties may be read through the fields
// behind them (see span_fields.hpp).
enum SdkClass : int { K_span, K_span_context, K_status, K_COUNT };
inline constexpr int kMaxClassProps = 8;

struct FieldReads {
  PyTypeObject* type;        // the SDK class (strong); NULL without the SDK
  unsigned int version;      // its version tag when last checked; 0 when not checked
  int checks_left;           // checks allowed after changes to the class
  bool checking;             // a check is running (code it runs may end a span)
  bool fields_in_dict;       // no class attribute shadows the fields: they are read from the instance dict
  PyObject* getters[kMaxClassProps];  // verified getter functions (strong); NULL: call the property
  PyObject* codes[kMaxClassProps];    // their code objects when verified (strong)
};

// The run class's `_record_integration` as last verified to be the host
// layer's own (see run_integrations.cpp).
struct RunMethod {
  PyTypeObject* type;     // the class (strong), or NULL
  unsigned int version;   // its version tag then; 0 when not verified
  PyObject* method;       // the function found on it (strong)
  PyObject* code;         // that function's code then (strong)
  int checks_left;        // checks allowed after changes to classes
  bool checking;          // a check is running
  // `next` as the method's code loads it (its globals, then its builtins),
  // while both namespaces are unchanged.
  PyObject* next_globals;    // strong
  PyObject* next_builtins;   // strong
  std::uint64_t next_globals_version;
  std::uint64_t next_builtins_version;
  PyObject* next_fn;         // borrowed from next_builtins while unchanged
  // The counters last found in runs' tables, while each table is unchanged.
  struct Counter {
    PyObject* table;         // strong
    std::uint64_t version;
    PyObject* label;         // strong
    PyObject* category;      // strong
    PyObject* counter;       // borrowed from table while unchanged
  } counters[4];
  int next_counter;          // the entry replaced next
};

// The attribute copy the processor made of a span, offered to the record
// conversion that follows (see span_record.cpp); all NULL when none is.
struct AttrsCopy {
  PyObject* source;   // the dict copied (strong)
  PyObject* copy;     // the copy (strong)
  std::uint64_t source_version;
  std::uint64_t copy_version;
};

// A URL table (a tuple of str) prepared for substring tests against ASCII
// text (see url_tables.cpp): its ASCII entries grouped by first byte.
inline constexpr int kUrlTableEntries = 64;
struct UrlTable {
  PyObject* table;  // the tuple prepared (strong), or NULL
  bool usable;      // every entry an exact str, at most kUrlTableEntries of them ASCII
  bool has_empty;   // "" is an entry
  std::uint64_t firsts[2];  // the first bytes of entries, as a bit set
  std::uint8_t start[128];  // by first byte: where its entries begin in `entries`
  std::uint8_t count[128];  // by first byte: how many there are
  struct Entry {
    const char* text;  // the entry's characters, owned by `table`
    Py_ssize_t len;
  } entries[kUrlTableEntries];
};
enum UrlTableSlot { UT_own_api, UT_llm_providers, UT_noisy_infra, UT_COUNT };

// The hex texts of the last span ids written, by the int written.  A
// trace's spans share one trace id object, and a span's parent id is the
// same object as that parent's own span id.
inline constexpr int kHexIdsKept = 4;
struct HexIds {
  PyObject* value[kHexIdsKept];  // exact ints (strong), or NULL
  PyObject* text[kHexIdsKept];   // their texts (strong)
  int next;                      // the entry replaced next
};

// The host names imported at every call, as last served from the module cache.
enum KnownImportSlot { KI_current_context, KI_urlparse, KI_status_code, KI_COUNT };

struct State {
  PyTypeObject* function_type;
  PyObject* names[N_COUNT];
  KnownImport imports[KI_COUNT];
  // The function objects created at import; a global that is still one of
  // these is called directly instead of through the generic call protocol.
  PyObject* original[F_COUNT];
  PyObject* db_short_names;  // db.system -> short name (private to _build_display_name)
  // OpenTelemetry's attribute container, for reading span attributes without
  // going through its Python-level mapping methods (NULL without the SDK).
  PyTypeObject* bounded_attrs_type;
  unsigned int bounded_attrs_version;
  // The SDK's SpanKind, whose `value` is the Enum's own (NULL otherwise).
  PyTypeObject* span_kind_type;
  unsigned int span_kind_version;
  // Attribute keys repeat from span to span: their cleaned forms and the
  // labels made of raw identifiers are kept (both are pure functions of an
  // exact str), up to kCacheLimit entries each.
  PyObject* clean_key_cache;
  PyObject* label_cache;
  // The 13 record keys in their order (values None), copied for each record.
  PyObject* record_template;
  // Spans of one kind carry the same key objects in the same order: for a
  // few such key sequences, the cleaned dict is kept with its keys in place
  // (values None), to be copied and filled in (see span_record.cpp).
  KeyShape key_shapes[kKeyShapes];
  RunMethod run_method;
  AttrsCopy attrs_copy;
  AttrsView attrs_view;
  UrlTable url_tables[UT_COUNT];
  HexIds hex_ids[2];  // 16 and 32 digits
  int key_shape_next;             // the slot replaced next
  Py_ssize_t missed_size;         // the last sequence not found: its length
  const void* missed_first;       // and its first key (compared, never read)
  FieldReads field_reads[K_COUNT];
  // Reference getters compiled here, compared with the SDK's (NULL without the SDK).
  PyObject* reference_getters;
  // The processor's native base holding its span counts, and the processor
  // class itself (both NULL for the no-op variant).
  PyTypeObject* counts_type;
  PyTypeObject* processor_type;
  // StatusCode.ERROR as last read from the StatusCode class found at call
  // time, with the version tags of that class and its metaclass then.
  PyObject* status_code_cls;
  PyObject* status_error;
  unsigned int status_code_version;
  unsigned int status_code_meta_version;
};

inline constexpr Py_ssize_t kCacheLimit = 4096;
inline constexpr Py_ssize_t kCachedTextMax = 128;  // longer texts are not kept

inline PyObject* name(State* st, Name n) noexcept { return st->names[n]; }

}  // namespace dravik::tracing

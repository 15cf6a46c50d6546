// Span kinds, host and path lists, framework names and integration prefixes.
#include "tracing/tables.hpp"

#include <initializer_list>
#include <utility>

namespace dravik::tracing {

namespace {

using Pair = std::pair<const char*, const char*>;

PyObject* str_dict(std::initializer_list<Pair> rows) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  for (const Pair& row : rows) {
    Ref v = Ref::steal(PyUnicode_InternFromString(row.second));
    if (!v || PyDict_SetItemString(d.get(), row.first, v.get()) < 0) return nullptr;
  }
  return d.release();
}

PyObject* str_tuple(std::initializer_list<const char*> items) {
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!t) return nullptr;
  Py_ssize_t i = 0;
  for (const char* s : items) {
    PyObject* v = PyUnicode_InternFromString(s);
    if (v == nullptr) return nullptr;
    PyTuple_SET_ITEM(t.get(), i++, v);
  }
  return t.release();
}

}  // namespace

PyObject* build_span_type_map() {
  return str_dict({
      {"agent_execution", "agent"},
      {"llm_call", "llm"},
      {"tool_call", "tool"},
      {"workflow_step", "chain"},
      {"decision", "decision"},
      {"reasoning", "reasoning"},
      {"retrieval", "retriever"},
      {"embedding", "llm"},
      {"guardrail", "governance"},
      {"governance", "governance"},
      {"retry", "retry"},
  });
}

PyObject* build_otel_kind_map() {
  // INTERNAL, SERVER, CLIENT, PRODUCER, CONSUMER
  Ref d = Ref::steal(PyDict_New());
  Ref chain = Ref::steal(PyUnicode_InternFromString("chain"));
  if (!d || !chain) return nullptr;
  for (long k = 0; k <= 4; ++k) {
    Ref key = Ref::steal(PyLong_FromLong(k));
    if (!key || PyDict_SetItem(d.get(), key.get(), chain.get()) < 0) return nullptr;
  }
  return d.release();
}

PyObject* build_excluded_url_patterns() { return str_tuple({"api/v1/observe", "api/v1/policy", "api/health"}); }

PyObject* build_llm_provider_hosts() {
  return str_tuple({
      "api.openai.com",
      "api.anthropic.com",
      "api.groq.com",
      "api.mistral.ai",
      "generativelanguage.googleapis.com",
      "api.cohere.com",
      "bedrock-runtime.",
      "api.together.xyz",
      "api.fireworks.ai",
      "api.deepseek.com",
      "openrouter.ai",
  });
}

PyObject* build_noisy_infra_hosts() {
  return str_tuple({"huggingface.co", "cdn-lfs.huggingface.co", "cdn-lfs-us-1.huggingface.co"});
}

PyObject* build_framework_providers() {
  Ref names = Ref::steal(str_tuple({"langchain", "crewai", "autogen", "llamaindex", "pydanticai", "smolagents",
                                     "agno", "langroid", "composio", "camel", "letta", "mirascope", "dspy",
                                     "instructor", "magentic"}));
  if (!names) return nullptr;
  return PyFrozenSet_New(names.get());
}

PyObject* build_attr_prefix_integrations() {
  static const char* const rows[][3] = {
      {"dravik.deepgram.", "Deepgram", "speech"},
      {"dravik.assemblyai.", "AssemblyAI", "speech"},
      {"dravik.google_cloud_stt.", "Google Cloud STT", "speech"},
      {"dravik.google_cloud_tts.", "Google Cloud TTS", "speech"},
      {"dravik.azure_speech.", "Azure Speech", "speech"},
      {"dravik.azure_tts.", "Azure TTS", "speech"},
      {"dravik.elevenlabs.", "ElevenLabs", "speech"},
      {"dravik.aws_transcribe.", "AWS Transcribe", "speech"},
      {"dravik.aws_polly.", "AWS Polly", "speech"},
      {"dravik.whisper.", "Whisper", "speech"},
      {"dravik.playht.", "PlayHT", "speech"},
      {"dravik.cartesia.", "Cartesia", "speech"},
      {"dravik.coqui_tts.", "Coqui TTS", "speech"},
      {"dravik.langchain.", "LangChain", "framework"},
      {"dravik.crewai.", "CrewAI", "framework"},
      {"dravik.autogen.", "AutoGen", "framework"},
      {"dravik.agno.", "Agno", "framework"},
      {"dravik.langroid.", "Langroid", "framework"},
      {"dravik.composio.", "Composio", "framework"},
      {"dravik.camel.", "CAMEL", "framework"},
      {"dravik.pydanticai.", "PydanticAI", "framework"},
      {"dravik.smolagents.", "SmolAgents", "framework"},
      {"dravik.letta.", "Letta", "framework"},
  };
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  for (const auto& row : rows) {
    Ref pair = Ref::steal(Py_BuildValue("(ss)", row[1], row[2]));
    if (!pair || PyDict_SetItemString(d.get(), row[0], pair.get()) < 0) return nullptr;
  }
  return d.release();
}

PyObject* build_moderation_integration() { return Py_BuildValue("(ss)", "OpenAI Moderation", "safety"); }

PyObject* build_otel_drop_keys() {
  Ref keys = Ref::steal(
      str_tuple({"dravik.span_type", "openinference.span.kind", "dravik.tool", "dravik.tool.name", "dravik.tool.type"}));
  if (!keys) return nullptr;
  return PyFrozenSet_New(keys.get());
}

PyObject* build_db_short_names() {
  return str_dict({
      {"postgresql", "pg"},
      {"mysql", "mysql"},
      {"sqlite", "sqlite"},
      {"mongodb", "mongo"},
      {"redis", "redis"},
      {"memcached", "memcache"},
      {"elasticsearch", "es"},
      {"cassandra", "cassandra"},
      {"mssql", "mssql"},
  });
}

}  // namespace dravik::tracing

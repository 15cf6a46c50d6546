// Built-in prices.  Per-token prices are written per million tokens and
// divided by 1,000,000 in double arithmetic, exactly as the quotient falls
// (0.80 / 1e6 is 8.000000000000001e-07, not the double nearest 8e-07).
#include "cost/price_tables.hpp"

namespace dravik::cost {

namespace {

constexpr double kPerMillion = 1000000.0;

struct ChatPrice {
  const char* key;
  double input_per_m;
  double output_per_m;
};

constexpr ChatPrice kModelCosts[] = {
    {"gpt-4o", 2.5, 10},
    {"gpt-4o-mini", 0.15, 0.6},
    {"gpt-4-turbo", 10, 30},
    {"gpt-4", 30, 60},
    {"gpt-3.5-turbo", 0.5, 1.5},
    {"o1", 15, 60},
    {"o1-mini", 3, 12},
    {"o3-mini", 1.1, 4.4},
    {"claude-opus-4-8", 15, 75},
    {"claude-opus-4-7", 15, 75},
    {"claude-opus-4-6", 15, 75},
    {"claude-sonnet-4-6", 3, 15},
    {"claude-sonnet-4-5", 3, 15},
    {"claude-haiku-4-5", 0.8, 4},
    {"claude-opus-4", 15, 75},
    {"claude-sonnet-4", 3, 15},
    {"claude-3-5-sonnet", 3, 15},
    {"claude-3-5-haiku", 0.8, 4},
    {"claude-3-haiku", 0.25, 1.25},
    {"gemini-2.5-flash-lite", 0.1, 0.4},
    {"gemini-2.0-flash", 0.1, 0.4},
    {"gemini-1.5-pro", 1.25, 5},
    {"gemini-1.5-flash", 0.075, 0.3},
    {"llama-3.3-70b", 0.59, 0.79},
    {"llama-3.1-8b", 0.05, 0.08},
    {"mistral-large", 2, 6},
    {"mistral-small", 0.1, 0.3},
    {"mistral-medium", 2.7, 8.1},
    {"codestral", 0.3, 0.9},
    {"open-mistral-nemo", 0.15, 0.15},
    {"pixtral", 0.15, 0.15},
    {"command-a-03-2025", 2.5, 10},
    {"command-r-plus-08-2024", 2.5, 10},
    {"command-r-08-2024", 0.15, 0.6},
    {"command-r-plus", 2.5, 10},
    {"command-r", 0.15, 0.6},
    {"command-light", 0.3, 0.6},
    {"gemini-2.5-pro", 1.25, 10},
    {"gemini-2.5-flash", 0.15, 0.6},
    {"amazon.titan-text-express", 0.2, 0.6},
    {"amazon.titan-text-lite", 0.15, 0.2},
    {"amazon.nova-pro", 0.8, 3.2},
    {"amazon.nova-lite", 0.06, 0.24},
    {"amazon.nova-micro", 0.035, 0.14},
    {"ai21.jamba-1-5-large", 2, 8},
    {"ai21.jamba-1-5-mini", 0.2, 0.4},
    {"meta.llama3-1-70b-instruct", 0.72, 0.72},
    {"meta.llama3-1-8b-instruct", 0.22, 0.22},
    {"llama-3.3-70b-versatile", 0.59, 0.79},
    {"llama-3.1-70b-versatile", 0.59, 0.79},
    {"llama-3.1-8b-instant", 0.05, 0.08},
    {"llama3-70b-8192", 0.59, 0.79},
    {"llama3-8b-8192", 0.05, 0.08},
    {"mixtral-8x7b-32768", 0.24, 0.24},
    {"gemma2-9b-it", 0.2, 0.2},
    {"deepseek-r1-distill-llama-70b", 0.75, 0.99},
    {"deepseek-chat", 0.14, 0.28},
    {"deepseek-reasoner", 0.55, 2.19},
    {"meta-llama/Llama-3.3-70B", 0.88, 0.88},
    {"meta-llama/Meta-Llama-3.1-8B", 0.18, 0.18},
    {"accounts/fireworks/models/llama-v3p3-70b-instruct", 0.9, 0.9},
    {"vllm", 0, 0},
};

struct FlatPrice {
  const char* key;
  double value;
};

// Flat prices, stored as the values themselves; the speech entries are
// per-character prices written per million.
constexpr FlatPrice kMultimodalCosts[] = {
    {"dall-e-3-1024x1024-standard", 0.04},
    {"dall-e-3-1024x1792-standard", 0.08},
    {"dall-e-3-1792x1024-standard", 0.08},
    {"dall-e-3-1024x1024-hd", 0.08},
    {"dall-e-3-1024x1792-hd", 0.12},
    {"dall-e-3-1792x1024-hd", 0.12},
    {"dall-e-2-1024x1024", 0.02},
    {"dall-e-2-512x512", 0.018},
    {"dall-e-2-256x256", 0.016},
    {"whisper-1", 0.006},
    {"tts-1", 15 / kPerMillion},
    {"tts-1-hd", 30 / kPerMillion},
    {"whisper-large-v3", 0.0},
    {"whisper-large-v3-turbo", 0.0},
    {"distil-whisper-large-v3-en", 0.0},
};

// Per million input tokens.
constexpr FlatPrice kEmbeddingCosts[] = {
    {"text-embedding-3-large", 0.13},
    {"text-embedding-3-small", 0.02},
    {"text-embedding-ada-002", 0.1},
    {"embed-v4.0", 0.1},
    {"embed-english-v3.0", 0.1},
    {"embed-multilingual-v3.0", 0.1},
    {"embed-english-light-v3.0", 0.1},
    {"voyage-3-large", 0.18},
    {"voyage-3", 0.06},
    {"voyage-3-lite", 0.02},
    {"voyage-code-3", 0.18},
    {"jina-embeddings-v3", 0.02},
    {"jina-embeddings-v2", 0.02},
    {"text-embedding-005", 0},
    {"mistral-embed", 0.1},
    {"amazon.titan-embed-text-v2", 0.02},
    {"amazon.titan-embed-text-v1", 0.1},
    {"sentence-transformers", 0},
    {"bge", 0},
    {"e5", 0},
};

int set_float(PyObject* dict, const char* key, double value) {
  Ref v = Ref::steal(PyFloat_FromDouble(value));
  if (!v) return -1;
  return PyDict_SetItemString(dict, key, v.get());
}

}  // namespace

PyObject* build_model_costs() {
  Ref table = Ref::steal(PyDict_New());
  if (!table) return nullptr;
  for (const ChatPrice& p : kModelCosts) {
    Ref record = Ref::steal(PyDict_New());
    if (!record) return nullptr;
    // Zero prices are stored as 0.0 (the quotient of 0 is +0.0 as well).
    if (set_float(record.get(), "input", p.input_per_m / kPerMillion) < 0 ||
        set_float(record.get(), "output", p.output_per_m / kPerMillion) < 0 ||
        PyDict_SetItemString(table.get(), p.key, record.get()) < 0) {
      return nullptr;
    }
  }
  return table.release();
}

PyObject* build_multimodal_costs() {
  Ref table = Ref::steal(PyDict_New());
  if (!table) return nullptr;
  for (const FlatPrice& p : kMultimodalCosts) {
    if (set_float(table.get(), p.key, p.value) < 0) return nullptr;
  }
  return table.release();
}

PyObject* build_embedding_costs() {
  Ref table = Ref::steal(PyDict_New());
  if (!table) return nullptr;
  for (const FlatPrice& p : kEmbeddingCosts) {
    if (set_float(table.get(), p.key, p.value / kPerMillion) < 0) return nullptr;
  }
  return table.release();
}

}  // namespace dravik::cost

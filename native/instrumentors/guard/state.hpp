// State of the dravik_observe.instrumentors._guard module.
#pragma once

#include "common/function.hpp"

namespace dravik::guard {

// Every constant string the module uses, interned once.  The first column
// names the enum entry, the second is the text.
#define DRAVIK_GUARD_NAMES(X)                                                  \
  /* module globals */                                                         \
  X(enabled, "_enabled")                                                       \
  X(server_check, "_server_check")                                             \
  X(action_var, "_action")                                                     \
  X(logger, "logger")                                                          \
  X(PII_PATTERNS, "_PII_PATTERNS")                                             \
  X(CREDENTIAL_PATTERNS, "_CREDENTIAL_PATTERNS")                               \
  X(INJECTION_PATTERNS, "_INJECTION_PATTERNS")                                 \
  X(extract_text, "_extract_text")                                             \
  X(detect_pii, "_detect_pii")                                                 \
  X(detect_credentials, "_detect_credentials")                                 \
  X(detect_injection, "_detect_injection")                                     \
  X(redact_text, "_redact_text")                                               \
  X(redact_messages, "_redact_messages")                                       \
  X(server_check_prompt, "_server_check_prompt")                               \
  X(ml_substitutions, "_ml_substitutions")                                     \
  X(apply_substitutions, "_apply_substitutions")                               \
  X(redact_messages_ml, "_redact_messages_ml")                                 \
  X(surface_gate_llm_before, "_surface_gate_llm_before")                       \
  /* keys, attributes and methods */                                           \
  X(content, "content")                                                        \
  X(type, "type")                                                              \
  X(text, "text")                                                              \
  X(model, "model")                                                            \
  X(violations, "violations")                                                  \
  X(redacted_text, "redacted_text")                                            \
  X(detail, "detail")                                                          \
  X(get, "get")                                                                \
  X(items, "items")                                                            \
  X(append, "append")                                                          \
  X(search, "search")                                                          \
  X(sub, "sub")                                                                \
  X(group, "group")                                                            \
  X(upper, "upper")                                                            \
  X(lower, "lower")                                                            \
  X(strip, "strip")                                                            \
  X(debug, "debug")                                                            \
  X(warning, "warning")                                                        \
  X(is_configured, "is_configured")                                            \
  X(prompt_guard_sync, "prompt_guard_sync")                                    \
  X(get_opcodes, "get_opcodes")                                                \
  X(get_matching_blocks, "get_matching_blocks")                                \
  X(find_longest_match, "find_longest_match")                                  \
  X(set_seqs, "set_seqs")                                                      \
  X(set_seq1, "set_seq1")                                                      \
  X(set_seq2, "set_seq2")                                                      \
  X(chain_b, "_SequenceMatcher__chain_b")                                      \
  X(dunder_module, "__module__")                                               \
  X(dunder_bases, "__bases__")                                                 \
  X(environ, "environ")                                                        \
  X(is_block, "is_block")                                                      \
  X(reason, "reason")                                                          \
  X(surface, "surface")                                                        \
  X(action, "action")                                                          \
  X(redacted_system_attr, "_redacted_system")                                  \
  X(governance_blocked, "_governance_blocked")                                 \
  X(governance_reason, "_governance_reason")                                   \
  X(result, "result")                                                          \
  X(init, "__init__")                                                          \
  /* imports */                                                                \
  X(mod_os, "os")                                                              \
  X(mod_difflib, "difflib")                                                    \
  X(SequenceMatcher, "SequenceMatcher")                                        \
  X(Match, "Match")                                                            \
  X(mod_client, "dravik_observe.client")                                       \
  X(DravikObserveClient, "DravikObserveClient")                                \
  X(mod_types, "dravik_observe.types")                                         \
  X(PromptGuardResult, "PromptGuardResult")                                    \
  X(mod_surface_gate, "dravik_observe.decisions.surface_gate")                 \
  X(gate_surface, "gate_surface")                                              \
  X(emit_warn, "emit_warn")                                                    \
  X(mod_context_var, "dravik_observe.instrumentors._context_var")              \
  X(current_context, "_current_context")                                       \
  /* values */                                                                 \
  X(empty, "")                                                                 \
  X(newline, "\n")                                                             \
  X(semicolon_sep, "; ")                                                       \
  X(hashes, "##")                                                              \
  X(backslash, "\\")                                                           \
  X(double_backslash, "\\\\")                                                  \
  X(replace_tag, "replace")                                                    \
  X(block, "block")                                                            \
  X(warn, "warn")                                                              \
  X(redact, "redact")                                                          \
  X(allow, "allow")                                                            \
  X(local, "local")                                                            \
  X(server, "server")                                                          \
  X(both, "both")                                                              \
  X(policy, "policy")                                                          \
  X(llm_before, "llm.before")                                                  \
  X(server_tag, "[server] ")                                                   \
  X(pii_prefix, "PII detected: ")                                              \
  X(credential_prefix, "Credential detected: ")                                \
  X(injection_prefix, "Prompt injection pattern: '")                           \
  X(quote, "'")                                                                \
  X(blocked_default, "blocked by governance policy")                           \
  X(redacted_default, "redacted by policy")                                    \
  X(blocked_prefix, "Prompt blocked by guard: ")                               \
  X(gate_env, "DRAVIK_SURFACE_GATE")                                           \
  X(off_0, "0")                                                                \
  X(off_false, "false")                                                        \
  X(off_no, "no")                                                              \
  X(off_off, "off")                                                            \
  X(msg_configured, "Prompt guard configured: enabled=%s server=%s action=%s") \
  X(msg_server_failed, "Server-side prompt guard failed: %s")                  \
  X(msg_warn_mode, "Prompt guard violations (warn mode): %s")

enum Name : int {
#define DRAVIK_GUARD_ENUM(id, text) S_##id,
  DRAVIK_GUARD_NAMES(DRAVIK_GUARD_ENUM)
#undef DRAVIK_GUARD_ENUM
      S_COUNT
};

inline constexpr const char* kNameTexts[S_COUNT] = {
#define DRAVIK_GUARD_TEXT(id, text) text,
    DRAVIK_GUARD_NAMES(DRAVIK_GUARD_TEXT)
#undef DRAVIK_GUARD_TEXT
};

// Keyword-name tuples of the calls the module makes.
enum Kw : int {
  KW_allow,            // PromptGuardResult(passed, action, source)
  KW_verdict,          // PromptGuardResult(passed, action, violations, source, redacted_messages)
  KW_policy_block,     // PromptGuardResult(passed, action, violations, source)
  KW_policy_redact,    // PromptGuardResult(passed, action, violations, redacted_messages, source)
  KW_prompt_guard,     // prompt_guard_sync(text, model)
  KW_autojunk,         // SequenceMatcher(..., autojunk)
  KW_COUNT
};

class EngineCache;

struct State {
  PyTypeObject* function_type;
  EngineCache* engine;    // compiled forms of the table patterns (owned)
  PyObject* error_class;  // PromptGuardError as created at import, for super()
  PyObject* names[S_COUNT];
  // This module's own function objects, by the global name they were
  // published under (NULL for names that are not functions).
  PyObject* own[S_COUNT];
  PyObject* kwnames[KW_COUNT];
  // difflib's SequenceMatcher as first seen, with what its answer depends
  // on (see matcher_identity.cpp); NULL until then.
  PyObject* matcher_snapshot;
  // A private object: "no such key" from a mapping's get().
  PyObject* missing;
};

inline PyObject* S(State* st, Name n) noexcept { return st->names[n]; }

extern const FuncSpec kExtractText;
extern const FuncSpec kDetectPii;
extern const FuncSpec kDetectCredentials;
extern const FuncSpec kDetectInjection;
extern const FuncSpec kRedactText;
extern const FuncSpec kRedactMessages;
extern const FuncSpec kServerCheckPrompt;
extern const FuncSpec kMlSubstitutions;
extern const FuncSpec kApplySubstitutions;
extern const FuncSpec kRedactMessagesMl;
extern const FuncSpec kSurfaceGate;
extern const FuncSpec kConfigure;
extern const FuncSpec kCheckPrompt;
extern const FuncSpec kErrorInit;

}  // namespace dravik::guard

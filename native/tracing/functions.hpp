// The module functions of dravik_observe.tracing.vintrel.
#pragma once

#include "common/function.hpp"

namespace dravik::tracing {

// Kinds and display names.
extern const FuncSpec kResolveKind;
extern const FuncSpec kBuildDisplayName;
extern const FuncSpec kDisplayName;
// Call classification.
extern const FuncSpec kIsDravikApiCall;
extern const FuncSpec kIsLlmProviderHttpCall;
extern const FuncSpec kIsNoisyInfraCall;
extern const FuncSpec kDeriveLlmProvider;
// Integrations.
extern const FuncSpec kExtractIntegrations;
// Tool-span merge and redaction.
extern const FuncSpec kMergeOtelAttrs;
extern const FuncSpec kRedactSpanDict;
extern const FuncSpec kRedactDictValues;
// Span records.
extern const FuncSpec kSpanToDict;
extern const FuncSpec kCleanAttrKey;

// The processor's methods: the capturing variant and the no-op one.
extern const FuncSpec kOnStart;
extern const FuncSpec kOnEnd;
extern const FuncSpec kShutdown;
extern const FuncSpec kForceFlush;
extern const FuncSpec kNoopOnStart;
extern const FuncSpec kNoopOnEnd;
extern const FuncSpec kNoopShutdown;
extern const FuncSpec kNoopForceFlush;
// The processor's `counters` property (its getter).
extern const FuncSpec kCounters;
extern const FuncSpec kNoopCounters;

}  // namespace dravik::tracing

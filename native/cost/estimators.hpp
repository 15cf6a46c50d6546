#pragma once

#include "common/function.hpp"

namespace dravik::cost {

extern const FuncSpec kEstimateCost;
extern const FuncSpec kEstimateEmbeddingCost;

}  // namespace dravik::cost

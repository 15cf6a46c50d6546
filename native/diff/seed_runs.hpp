// Long common blocks found from seeds.
//
// A window of q characters of b is taken at every step-th position; every
// window of a is looked up among them, and each hit is grown along its
// diagonal to the maximal common block around it.  Any common block of at
// least q + step - 1 characters covers a whole window of b starting at a
// multiple of step, so every such block lies inside one of the blocks
// found here.
#pragma once

#include "diff/encode.hpp"

namespace dravik::diff {

struct Run {
  int32_t a, b, size;
};

enum class SeedResult { kDone, kAbandoned, kNoMemory };

// Appends to `runs` every maximal common block of a and b that contains a
// seed hit and has at least q + step - 1 characters.  Gives up (kAbandoned,
// `runs` then meaningless) once the work passes `budget` steps: repetitive
// texts have too many hits for seeds to pay.
SeedResult find_seed_runs(const Encoded& e, int q, int step, uint64_t budget, Vec<Run>& runs);

}  // namespace dravik::diff

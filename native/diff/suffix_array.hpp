// Suffix array (induced sorting, linear time) and longest common prefixes.
#pragma once

#include <cstdint>

namespace dravik::diff {

// sa = the start positions of the suffixes of s[0..n) in sorted order.
// s[n - 1] must be 0 and 0 must occur nowhere else; every value is below
// `alphabet`.  False when out of memory.
bool build_suffix_array(const int32_t* s, int32_t n, int32_t alphabet, int32_t* sa);

// rank = the inverse of sa; lcp[k] = the common prefix length of the
// suffixes sa[k - 1] and sa[k], lcp[0] = 0.
void build_lcp(const int32_t* s, int32_t n, const int32_t* sa, int32_t* rank, int32_t* lcp);

}  // namespace dravik::diff

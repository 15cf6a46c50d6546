// The matching blocks of two strings, exactly as
// difflib.SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks()
// gives them, computed without the interpreter.
//
// difflib finds the longest common block of the two ranges (the earliest in
// a among the longest, then the earliest in b), keeps it, and does the same
// on the ranges to its left and to its right; adjacent blocks are merged at
// the end.  The recursion here is the same; only the search for each
// longest block is different (see longest_block.cpp).
#pragma once

#include "common/arrays.hpp"

#include <cstdint>

namespace dravik::diff {

// A string's characters as the interpreter stores them: 1, 2 or 4 bytes each.
struct CharView {
  int kind;  // 1, 2 or 4
  const void* data;
  size_t length;
};

struct Block {
  int32_t a;
  int32_t b;
  int32_t size;
};

// Longest strings taken (positions are 32-bit).
inline constexpr size_t kMaxLength = (size_t{1} << 30) - 16;

// Which searches may be used, and where one gives way to another.  The
// defaults are the production choice; tests force each search on its own.
struct Tuning {
  // Seeds: a window of q characters of a taken every s positions and looked
  // up in b finds every common block of at least q + s - 1 characters.
  bool seeds = true;
  int seed_q = 16;
  int seed_step = 8;
  // Work allowed to the seeds before they are given up; < 0: eight steps
  // per character of the two strings.
  int64_t seed_budget = -1;
  // Ranges whose product of lengths is at most this run difflib's table
  // directly.
  uint64_t small_product = 16384;
  // Larger ranges run difflib's table (over b's position lists) while its
  // cost, counted ahead, stays within limits.  Before the suffix array has
  // been built: while the table's work over all ranges so far stays within
  // this many steps per character of the two strings (about what building
  // the suffix array costs).  After: for ranges costing at most this much.
  uint64_t table_steps_per_char_cold = 64;
  uint64_t table_limit_warm = 256;
  // The suffix-array search; `probe_budget` < 0 means unlimited probes.
  bool suffix_array = true;
  int64_t probe_budget = -2;  // -2: the default budget (a fraction of the range)
};

// What ran, for tests and benchmarks.
struct Counters {
  uint64_t seed_runs = 0;       // common blocks found by the seeds
  bool seeds_abandoned = false; // too many seed hits: seeds were given up
  uint64_t by_seeds = 0;        // ranges answered from the seeds' blocks
  uint64_t by_small_table = 0;
  uint64_t by_table = 0;
  uint64_t by_suffix_array = 0;
  uint64_t probes = 0;
  uint64_t budget_exceeded = 0;  // ranges the suffix array gave back to the table
  bool suffix_array_built = false;
};

// Called at most once, from inside the diff, when the work done and about
// to be done passes `after` steps (a step is roughly a nanosecond): there
// the caller may let other threads run.
struct LongRunHook {
  void (*fn)(void* ctx) = nullptr;
  void* ctx = nullptr;
  uint64_t after = 0;
};

// The matching blocks, ending with the (len(a), len(b), 0) sentinel.
// 0, or -1 when memory ran out or a string is longer than kMaxLength.
int matching_blocks(const CharView& a, const CharView& b, Vec<Block>& out, const Tuning& tuning = Tuning{},
                    Counters* counters = nullptr, const LongRunHook* hook = nullptr);

}  // namespace dravik::diff

#include "diff/matching_blocks.hpp"

#include "diff/encode.hpp"
#include "diff/seed_runs.hpp"
#include "diff/suffix_array_search.hpp"
#include "diff/table_search.hpp"

#include <algorithm>
#include <memory>
#include <new>

namespace dravik::diff {

namespace {

// A probe of the suffix-array search costs about this many steps of
// difflib's table, and building the suffix array this many per character.
constexpr uint64_t kProbeCost = 128;
constexpr uint64_t kBuildCost = 64;

// A range still to search, with the seeds' runs clipped to it.  Its runs
// sit at the top of the shared run stack.
struct Pending {
  Range r;
  uint32_t runs_begin, runs_end;
};

// The part of `run` inside the range, when at least `min_size` long.  The
// part of a maximal common block inside a range is maximal in that range.
bool clip(const Run& run, const Range& r, int32_t min_size, Run& out) {
  const int32_t d = run.b - run.a;
  const int32_t lo = std::max({run.a, r.alo, r.blo - d});
  const int32_t hi = std::min({run.a + run.size, r.ahi, r.bhi - d});
  if (hi - lo < min_size) return false;
  out = Run{lo, lo + d, hi - lo};
  return true;
}

class Finder {
 public:
  Finder(const Encoded& e, const Tuning& t, Counters& c, const LongRunHook* hook)
      : e_(e), t_(t), c_(c), hook_(hook) {}

  // Appends the blocks difflib's recursion keeps, in no particular order.
  bool run(Vec<Block>& blocks) {
    const int32_t na = static_cast<int32_t>(e_.a.size());
    const int32_t nb = static_cast<int32_t>(e_.b.size());
    spend(2 * (static_cast<uint64_t>(na) + static_cast<uint64_t>(nb)));  // numbering, seeds
    if (t_.seeds && t_.seed_q > 0 && t_.seed_step > 0) {
      const uint64_t budget = t_.seed_budget >= 0 ? static_cast<uint64_t>(t_.seed_budget)
                                                  : 8 * (static_cast<uint64_t>(na) + static_cast<uint64_t>(nb)) + 1024;
      switch (find_seed_runs(e_, t_.seed_q, t_.seed_step, budget, runs_)) {
        case SeedResult::kNoMemory: return false;
        case SeedResult::kAbandoned:
          runs_.clear();
          c_.seeds_abandoned = true;
          break;
        case SeedResult::kDone:
          have_runs_ = true;
          min_run_ = t_.seed_q + t_.seed_step - 1;
          c_.seed_runs = runs_.size();
          break;
      }
    }
    Vec<Pending> stack;
    if (!stack.push(Pending{Range{0, na, 0, nb}, 0, static_cast<uint32_t>(runs_.size())})) return false;
    while (!stack.empty()) {
      const Pending p = stack.back();
      stack.pop();
      Found f;
      if (p.runs_end > p.runs_begin) {
        spend(p.runs_end - p.runs_begin);
        f = best_run(p);
        ++c_.by_seeds;
      } else if (!search(p.r, f)) {
        return false;
      }
      if (f.size == 0) {
        runs_.truncate(p.runs_begin);
        continue;
      }
      if (!blocks.push(Block{f.a, f.b, f.size})) return false;
      const Range left{p.r.alo, f.a, p.r.blo, f.b};
      const Range right{f.a + f.size, p.r.ahi, f.b + f.size, p.r.bhi};
      const bool has_left = left.alo < left.ahi && left.blo < left.bhi;
      const bool has_right = right.alo < right.ahi && right.blo < right.bhi;
      // The children's runs replace the parent's at the top of the stack.
      uint32_t n_left = 0, n_right = 0;
      if (have_runs_ && p.runs_end > p.runs_begin) {
        if (has_left && !clip_all(p, left, n_left)) return false;
        if (has_right && !clip_all(p, right, n_right)) return false;
        const uint32_t moved = n_left + n_right;
        std::copy(runs_.data() + p.runs_end, runs_.data() + p.runs_end + moved, runs_.data() + p.runs_begin);
      }
      runs_.truncate(p.runs_begin + n_left + n_right);
      if (has_left && !stack.push(Pending{left, p.runs_begin, p.runs_begin + n_left})) return false;
      if (has_right && !stack.push(Pending{right, p.runs_begin + n_left, p.runs_begin + n_left + n_right})) {
        return false;
      }
    }
    return true;
  }

 private:
  Found best_run(const Pending& p) const {
    Run best = runs_[p.runs_begin];
    for (uint32_t k = p.runs_begin + 1; k < p.runs_end; ++k) {
      const Run& x = runs_[k];
      if (x.size > best.size || (x.size == best.size && (x.a < best.a || (x.a == best.a && x.b < best.b)))) best = x;
    }
    return Found{best.a, best.b, best.size};
  }

  bool clip_all(const Pending& p, const Range& r, uint32_t& count) {
    for (uint32_t k = p.runs_begin; k < p.runs_end; ++k) {
      Run part;
      if (clip(runs_[k], r, min_run_, part)) {
        if (!runs_.push(part)) return false;
        ++count;
      }
    }
    return true;
  }

  // Counts work done or about to be done; tells the hook once it passes
  // its mark.
  void spend(uint64_t steps) {
    work_ += steps;
    if (hook_ != nullptr && hook_->fn != nullptr && work_ >= hook_->after) {
      hook_->fn(hook_->ctx);
      hook_ = nullptr;
    }
  }

  // The longest block of a range that holds no block from the seeds.
  bool search(const Range& r, Found& f) {
    const uint64_t product = static_cast<uint64_t>(r.ahi - r.alo) * static_cast<uint64_t>(r.bhi - r.blo);
    const uint32_t* a = e_.a.data();
    if (product <= t_.small_product) {
      spend(product);
      if (small_row_.empty()) {
        const size_t width = static_cast<size_t>(std::min<uint64_t>(t_.small_product, e_.b.size())) + 1;
        if (!small_row_.allocate(2 * width)) return false;
      }
      f = small_table_search(a, e_.b.data(), r, small_row_.data());
      ++c_.by_small_table;
      return true;
    }
    if (!table_) {
      table_.reset(new (std::nothrow) PositionTable());
      if (!table_ || !table_->build(e_)) return false;
    }
    table_->begin(r);
    uint64_t table_cost = UINT64_MAX;  // not counted yet
    if (t_.suffix_array) {
      // Before the suffix array exists, the table's work is counted against
      // what building it would cost: once the two are even, build it.
      const uint64_t chars = e_.a.size() + e_.b.size();
      const uint64_t cold = t_.table_steps_per_char_cold * chars;
      const uint64_t limit = sa_ ? t_.table_limit_warm : cold > cold_spent_ ? cold - cold_spent_ : 0;
      table_cost = table_->cost(a, r, limit);
      if (!sa_ && table_cost <= limit) cold_spent_ += table_cost;
      if (table_cost > limit) {
        if (!sa_) {
          spend(kBuildCost * chars);
          sa_.reset(new (std::nothrow) SuffixArraySearch());
          if (!sa_ || !sa_->build(e_)) return false;
          c_.suffix_array_built = true;
        }
        const int64_t budget = t_.probe_budget == -2 ? 16 + (r.ahi - r.alo) / 32 : t_.probe_budget;
        const uint64_t probes_before = c_.probes;
        const int settled = sa_->search(r, budget, false, f, c_.probes);
        spend((c_.probes - probes_before) * kProbeCost);
        if (settled < 0) return false;
        if (settled) {
          ++c_.by_suffix_array;
          return true;
        }
        ++c_.budget_exceeded;
        // The probes are not settling it quickly: go on with whichever is
        // cheaper at worst, the table or probing every position of a.
        const uint64_t probing = (static_cast<uint64_t>(r.ahi - r.alo) + 1) * kProbeCost;
        table_cost = table_->cost(a, r, t_.probe_budget == -2 ? probing : UINT64_MAX);
        if (table_cost > probing && t_.probe_budget == -2) {
          spend(probing);
          if (sa_->search(r, -1, true, f, c_.probes) < 0) return false;
          ++c_.by_suffix_array;
          return true;
        }
      }
    }
    if (table_cost == UINT64_MAX) table_cost = table_->cost(a, r, UINT64_MAX);
    spend(table_cost);
    f = table_->search(a, r);
    ++c_.by_table;
    return true;
  }

  const Encoded& e_;
  const Tuning& t_;
  Counters& c_;
  Vec<Run> runs_;
  bool have_runs_ = false;
  int32_t min_run_ = 0;
  Array<uint32_t> small_row_;
  std::unique_ptr<PositionTable> table_;
  std::unique_ptr<SuffixArraySearch> sa_;
  uint64_t cold_spent_ = 0;
  const LongRunHook* hook_;
  uint64_t work_ = 0;
};

}  // namespace

int matching_blocks(const CharView& a, const CharView& b, Vec<Block>& out, const Tuning& tuning,
                    Counters* counters, const LongRunHook* hook) {
  out.clear();
  if (a.length > kMaxLength || b.length > kMaxLength) return -1;
  Counters scratch;
  Counters& c = counters != nullptr ? *counters : scratch;
  Vec<Block> found;
  if (a.length > 0 && b.length > 0) {
    Encoded e;
    if (!encode(a, b, e)) return -1;
    Finder finder(e, tuning, c, hook);
    if (!finder.run(found)) return -1;
  }
  std::sort(found.data(), found.data() + found.size(), [](const Block& x, const Block& y) { return x.a < y.a; });
  // Merge blocks that touch, starting from an empty block at (0, 0).
  Block cur{0, 0, 0};
  for (size_t k = 0; k < found.size(); ++k) {
    const Block& x = found[k];
    if (cur.a + cur.size == x.a && cur.b + cur.size == x.b) {
      cur.size += x.size;
    } else {
      if (cur.size > 0 && !out.push(cur)) return -1;
      cur = x;
    }
  }
  if (cur.size > 0 && !out.push(cur)) return -1;
  if (!out.push(Block{static_cast<int32_t>(a.length), static_cast<int32_t>(b.length), 0})) return -1;
  return 0;
}

}  // namespace dravik::diff

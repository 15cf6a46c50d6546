// Required literals: a few strings (each a sequence of character classes)
// one of which every match contains, found in the pattern's tree -- for a
// rule like `(?i)[\w.-]{0,50}?(?:adafruit)...` the keyword.  A search looks
// for the next occurrence first and starts the automaton at the beginning
// of the run of characters that may precede it in a match, so text without
// the keyword is passed over at the speed of a vector scan.
#pragma once

#include "regex/multi_literal.hpp"
#include "regex/program.hpp"

#include <algorithm>
#include <unordered_map>

namespace dravik::rx {

inline constexpr size_t kMaxLiterals = 16;
inline constexpr size_t kMaxLiteralLen = 24;

struct LiteralReq {
  std::vector<std::vector<uint16_t>> strings;  // class indexes, one per character
  std::vector<uint16_t> before;               // classes a match may hold before the literal
  double hit_rate = 1.0;                      // estimated occurrences per character
};

// Finds the best requirement of `root`; false when none is worth a search.
bool find_required_literals(const Node& root, const std::unordered_map<const Node*, uint16_t>& ids,
                            const std::vector<CharSet>& sets, LiteralReq& out);

// Returned by LiteralFinder::next when the next occurrence lies beyond the
// windows it may examine.
inline constexpr Py_ssize_t kBeyondLimit = -3;

class LiteralFinder {
 public:
  // From the compiled pattern's required literals (c.literals, which must
  // outlive the finder); false when out of memory.
  bool init(const Compiled& c);
  bool enabled() const { return !set_.empty(); }
  // How far past an occurrence's start its window may begin.
  int reach() const { return set_.max_offset(); }

  // Forgets the position found in an earlier text; no occurrence starts
  // before `floor`, only windows up to `limit` may be examined, and `known`
  // (unless -2) is the first occurrence from where the search begins.
  void reset(Py_ssize_t floor = 0, Py_ssize_t limit = PY_SSIZE_T_MAX, Py_ssize_t known = -2) {
    next_ = known;
    floor_ = floor;
    limit_ = limit;
  }
  // The first start >= from of an occurrence of any literal, -1 when there
  // is none, or kBeyondLimit when it cannot be known from the windows up to
  // the limit.  Calls on one text must come with non-decreasing `from`
  // (after reset()).
  template <class Ch>
  Py_ssize_t next(const Ch* p, Py_ssize_t from, Py_ssize_t n) {
    if (next_ == -1 || next_ >= from) return next_;
    const Py_ssize_t lo = std::max(from, floor_);
    if (limit_ >= n - 1) return next_ = set_.first(p, n, lo, n - 1);
    const Py_ssize_t s = lo <= limit_ ? set_.first(p, n, lo, limit_) : -1;
    // An occurrence starting earlier has its window by s + reach.
    if (s >= 0 && s + reach() <= limit_) return next_ = s;
    next_ = -2;
    return kBeyondLimit;
  }
  // Whether `c` may come before the literal in a match (beyond the BMP:
  // always).
  bool before(uint32_t c) const { return c >= kBmpSize || ((before_[c >> 6] >> (c & 63)) & 1); }

 private:
  LiteralSet set_;
  Array<uint64_t> before_;
  Py_ssize_t next_ = -2;  // cached next occurrence; -2 unknown, -1 none
  Py_ssize_t floor_ = 0, limit_ = PY_SSIZE_T_MAX;
};

}  // namespace dravik::rx

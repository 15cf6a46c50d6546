// Required literals: a few strings (each a sequence of character classes)
// one of which every match contains, found in the pattern's tree -- for a
// rule like `(?i)[\w.-]{0,50}?(?:adafruit)...` the keyword.  A search looks
// for the next occurrence first and starts the automaton at the beginning
// of the run of characters that may precede it in a match, so text without
// the keyword is passed over at the speed of a vector scan.
#pragma once

#include "regex/lane_scan.hpp"
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

class LiteralFinder {
 public:
  void init(const Compiled& c, const LiteralReq& req);
  bool enabled() const { return !lits_.empty(); }

  // Forgets the positions found in an earlier text; no occurrence starts
  // before `floor`.
  void reset(Py_ssize_t floor = 0) {
    for (auto& l : lits_) l.next = -2;
    floor_ = floor;
  }
  // The first start >= from of an occurrence of any literal, or -1.  Calls
  // on one text must come with non-decreasing `from` (after reset()).
  template <class Ch>
  Py_ssize_t next(const Ch* p, Py_ssize_t from, Py_ssize_t n) {
    Py_ssize_t best = -1;
    for (auto& l : lits_) {
      if (l.next == -1 || (l.next >= from && l.next != -2)) {
        if (l.next >= 0 && (best < 0 || l.next < best)) best = l.next;
        continue;
      }
      l.next = find(l, p, std::max(from, floor_), n);
      if (l.next >= 0 && (best < 0 || l.next < best)) best = l.next;
    }
    return best;
  }
  // Whether `c` may come before the literal in a match (beyond the BMP:
  // always).
  bool before(uint32_t c) const { return c >= kBmpSize || ((before_[c >> 6] >> (c & 63)) & 1); }

 private:
  struct Lit {
    std::vector<uint16_t> cls;
    int pos[3] = {0, 0, 0};
    int npos = 0;
    LaneTest tests[3][3];  // [width][chosen position]
    LaneScan scan[3];      // per width (1, 2, 4 bytes)
    Py_ssize_t next = -2;  // cached next occurrence; -2 unknown, -1 none
  };
  template <class Ch>
  Py_ssize_t find(const Lit& l, const Ch* p, Py_ssize_t from, Py_ssize_t n) const {
    const Py_ssize_t len = static_cast<Py_ssize_t>(l.cls.size());
    const Py_ssize_t last = n - len;
    const LaneScan& q = l.scan[sizeof(Ch) == 1 ? 0 : sizeof(Ch) == 2 ? 1 : 2];
    const Py_ssize_t off = l.pos[0];
    for (Py_ssize_t at = from; at <= last;) {
      const Py_ssize_t hit = scan_lanes(p, at + off, last + off, q);
      if (hit < 0) return -1;
      const Py_ssize_t c = hit - off;
      bool ok = true;
      for (Py_ssize_t k = 0; k < len && ok; ++k) ok = (*sets_)[l.cls[k]].contains(p[c + k]);
      if (ok) return c;
      at = c + 1;
    }
    return -1;
  }

  const std::vector<CharSet>* sets_ = nullptr;
  std::vector<Lit> lits_;
  std::vector<uint64_t> before_;
  Py_ssize_t floor_ = 0;
};

}  // namespace dravik::rx

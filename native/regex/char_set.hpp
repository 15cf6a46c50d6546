// Character classes: the parsed form of a class (what the pattern says) and
// its compiled form (which characters it matches, folding included).
#pragma once

#include "common/arrays.hpp"
#include "regex/unicode_props.hpp"

#include <string>
#include <vector>

namespace dravik::rx {

// Category escapes that may appear in a class or on their own.
enum Category : uint8_t { C_DIGIT, C_NOT_DIGIT, C_SPACE, C_NOT_SPACE, C_WORD, C_NOT_WORD };

struct ClassItem {
  enum Kind : uint8_t { Lit, Range, Cat } kind;
  uint32_t lo = 0, hi = 0;  // Lit: lo; Range: lo..hi; Cat: lo is the Category
  bool operator==(const ClassItem& o) const { return kind == o.kind && lo == o.lo && hi == o.hi; }
};

// One single-character item of a pattern, in the shape `re`'s parser gives
// it: a literal, a negated single literal ("[^x]"), a set, or '.' (any
// character but a newline; any at all under DOTALL).
struct ClassSpec {
  enum Op : uint8_t { Literal, NotLiteral, In, Any, AnyAll } op = In;
  bool negate = false;  // In only
  std::vector<ClassItem> items;
  bool operator==(const ClassSpec& o) const { return op == o.op && negate == o.negate && items == o.items; }
};

// The compiled class: matches `t` when, with c = fold ? lower(t) : t, c is in
// the literal set or in one of the categories, inverted by `negate`.
struct CharSet {
  bool negate = false;
  bool fold = false;
  uint8_t cats = 0;                              // bit per Category
  Array<uint64_t> set;                           // literal set over the BMP (1024 words)
  std::vector<std::pair<uint32_t, uint32_t>> astral;  // literal ranges beyond the BMP
  Array<uint64_t> eff;                           // the final answer for every BMP character

  bool contains(uint32_t t) const {
    if (t < kBmpSize) return (eff[t >> 6] >> (t & 63)) & 1;
    return contains_slow(t);
  }
  bool contains_slow(uint32_t t) const;
  bool same_as(const CharSet& o) const {
    return negate == o.negate && fold == o.fold && cats == o.cats && set.same(o.set) && astral == o.astral;
  }
};

// Compiles a class spec under the given flags the way `re` compiles it for
// str patterns.  Returns false with `why` set for what this engine does not
// take (characters beyond the BMP in a case-insensitive class), or with
// MemoryError set (and `why` untouched) when out of memory.
bool build_char_set(const ClassSpec& spec, bool ignorecase, const CaseFixes& fixes, CharSet& out, std::string& why);

}  // namespace dravik::rx

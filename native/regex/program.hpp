// Programs: the parsed tree compiled into a Thompson automaton whose
// choice instructions list their branches in `re`'s priority order (the
// preferred branch first), plus the reversed automaton used to find where a
// match starts, and the facts the prefilters are built from.
#pragma once

#include "regex/syntax.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace dravik::rx {

enum InstOp : uint8_t {
  I_CHAR,
  I_SPLIT,
  I_JMP,
  I_MATCH,
  // Assertions on the characters either side of the position.
  I_ASSERT_B,         // \b
  I_ASSERT_NB,        // \B
  I_BEGIN_TEXT,       // \A, and ^ without MULTILINE
  I_BEGIN_LINE,       // ^ under MULTILINE
  I_END_TEXT,         // \Z
  I_END_TEXT_NL,      // $ without MULTILINE: the end, or before a final newline
  I_END_LINE,         // $ under MULTILINE
};

struct Inst {
  InstOp op;
  uint16_t cls = 0;    // I_CHAR: index into the class table
  uint32_t x = 0, y = 0;  // successors (I_SPLIT prefers x)
};

struct Program {
  std::vector<Inst> code;
  uint32_t start = 0;
};

inline constexpr int kPrefixDepth = 4;
inline constexpr size_t kMaxClasses = 61;

struct Compiled {
  std::vector<CharSet> sets;  // distinct classes, indexed by Inst::cls
  Program fwd, rev;
  bool nullable = false;
  // Some assertion tells a newline that ends the text from any other ($
  // without MULTILINE).
  bool final_newline = false;
  // Classes (as lists of set indexes) of the first `prefix_len` characters of
  // every match; every match is at least that long.
  int prefix_len = 0;
  std::vector<uint16_t> prefix[kPrefixDepth];
  // Every match contains a character of one of these classes (empty: no
  // such requirement could be found), and their estimated rarity.
  std::vector<uint16_t> required;
  double required_weight = 1.0;
  // Strings one of which every match holds (see literals.hpp); empty: none
  // worth searching for.
  std::vector<std::vector<uint16_t>> literals;
  std::vector<uint16_t> literal_before;
};

// Compiles the tree (each node under its own flags).
bool compile_tree(const Node& root, const CaseFixes& fixes, Compiled& out, std::string& why);

// Rough frequency of an ASCII character in English prose, per mille.
double ascii_freq(uint32_t c);

// Estimated frequency of a character class in ordinary text (0..1).
double class_weight(const CharSet& cs);

}  // namespace dravik::rx

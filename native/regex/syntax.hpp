// The pattern syntax: a pattern's text parsed into a tree shaped the way
// `re`'s own parser shapes it (common prefixes of alternatives moved out,
// alternatives of single characters merged into one set), because that shape
// decides how IGNORECASE applies to the categories of a merged set.
#pragma once

#include "regex/char_set.hpp"

#include <memory>
#include <string>
#include <vector>

namespace dravik::rx {

inline constexpr uint32_t kUnbounded = 0xFFFFFFFFu;

struct Node;
using NodeP = std::unique_ptr<Node>;

struct Node {
  enum Kind : uint8_t { Seq, Alt, Class, Assert, Group, Repeat } kind;
  std::vector<NodeP> kids;  // Seq: items; Alt: alternatives (each a Seq); Group, Repeat: one child
  ClassSpec cls;            // Class
  bool boundary = false;    // Assert: \b when true, \B when false
  uint32_t min = 0, max = 0;  // Repeat (max may be kUnbounded)
  explicit Node(Kind k) : kind(k) {}
};

// Parses `text`.  Returns null with `why` naming the construct when the
// pattern uses syntax outside the supported subset (or syntax `re` rejects).
NodeP parse_pattern(const std::u32string& text, std::string& why);

}  // namespace dravik::rx

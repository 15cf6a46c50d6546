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

// The zero-width assertions; the parse-level kinds, as `re` tells them apart.
enum AssertKind : uint8_t {
  A_BOUNDARY,      // \b
  A_NON_BOUNDARY,  // \B
  A_BEGIN,         // ^ (the start of a line under MULTILINE)
  A_BEGIN_STRING,  // \A
  A_END,           // $ (the end of a line under MULTILINE)
  A_END_STRING,    // \Z
};

// The flags in force for one node: global ones, changed by scoped groups.
struct NodeFlags {
  bool icase = false, dotall = false, multiline = false;
};

struct Node {
  enum Kind : uint8_t { Seq, Alt, Class, Assert, Group, Repeat } kind;
  std::vector<NodeP> kids;  // Seq: items; Alt: alternatives (each a Seq); Group, Repeat: one child
  ClassSpec cls;            // Class
  AssertKind assert_kind = A_BOUNDARY;  // Assert
  NodeFlags flags;          // Class, Assert: the flags they are compiled with
  bool lazy = false;        // Repeat: fewest iterations first
  uint32_t min = 0, max = 0;  // Repeat (max may be kUnbounded)
  explicit Node(Kind k) : kind(k) {}
};

// Parses `text` under the compile flags `global` (inline global flags of the
// pattern are added to them).  Returns null with `why` naming the construct
// when the pattern uses syntax outside the supported subset (or syntax `re`
// rejects).
NodeP parse_pattern(const std::u32string& text, NodeFlags global, std::string& why);

}  // namespace dravik::rx

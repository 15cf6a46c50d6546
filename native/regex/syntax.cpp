#include "regex/syntax.hpp"

namespace dravik::rx {

namespace {

constexpr uint32_t kMaxCount = 10000;

struct Token {
  uint32_t c = 0;
  bool escaped = false;
  bool end = true;
};

class Parser {
 public:
  Parser(const std::u32string& s, NodeFlags global, std::string& why) : s_(s), why_(why), global_(global) {}

  NodeP parse_all() {
    // Global flags written anywhere in the pattern apply to all of it (the
    // compile flags of a `re` pattern already include them); read them first.
    if (!scan_global_flags()) return nullptr;
    NodeP n = parse_sub(0, global_);
    if (!n) return nullptr;
    if (i_ < s_.size()) return fail("an unbalanced ')'");
    return n;
  }

 private:
  NodeP fail(const char* what) {
    if (why_.empty()) why_ = what;
    return nullptr;
  }

  bool at_end() const { return i_ >= s_.size(); }
  uint32_t peek() const { return s_[i_]; }
  bool match(uint32_t c) {
    if (!at_end() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  static bool is_hex(uint32_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
  static uint32_t hex_val(uint32_t c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }
  static bool is_ascii_alnum(uint32_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  }

  // \xhh, \uhhhh, \Uhhhhhhhh after the letter; false when malformed.
  bool hex_escape(uint32_t letter, uint32_t& out) {
    const size_t need = letter == 'x' ? 2 : letter == 'u' ? 4 : 8;
    uint32_t v = 0;
    for (size_t k = 0; k < need; ++k) {
      if (at_end() || !is_hex(peek())) return false;
      v = v * 16 + hex_val(s_[i_++]);
    }
    if (v > kMaxCode) return false;
    out = v;
    return true;
  }

  static bool simple_escape(uint32_t c, uint32_t& out) {
    switch (c) {
      case 'a': out = 7; return true;
      case 'f': out = 12; return true;
      case 'n': out = 10; return true;
      case 'r': out = 13; return true;
      case 't': out = 9; return true;
      case 'v': out = 11; return true;
      case '\\': out = '\\'; return true;
      default: return false;
    }
  }

  static bool category_escape(uint32_t c, uint32_t& cat) {
    switch (c) {
      case 'd': cat = C_DIGIT; return true;
      case 'D': cat = C_NOT_DIGIT; return true;
      case 's': cat = C_SPACE; return true;
      case 'S': cat = C_NOT_SPACE; return true;
      case 'w': cat = C_WORD; return true;
      case 'W': cat = C_NOT_WORD; return true;
      default: return false;
    }
  }

  // An escape inside a set (after the backslash): a literal or a category.
  bool class_escape(ClassItem& out) {
    if (at_end()) {
      fail("a trailing backslash");
      return false;
    }
    const uint32_t c = s_[i_++];
    uint32_t v;
    if (category_escape(c, v)) {
      out = ClassItem{ClassItem::Cat, v, 0};
      return true;
    }
    if (c == 'b') {
      out = ClassItem{ClassItem::Lit, 8, 0};
      return true;
    }
    if (simple_escape(c, v)) {
      out = ClassItem{ClassItem::Lit, v, 0};
      return true;
    }
    if (c == 'x' || c == 'u' || c == 'U') {
      if (!hex_escape(c, v)) {
        fail("a malformed hexadecimal escape");
        return false;
      }
      out = ClassItem{ClassItem::Lit, v, 0};
      return true;
    }
    if (is_ascii_alnum(c)) {
      fail("an escape sequence other than \\d \\D \\s \\S \\w \\W \\b and character escapes");
      return false;
    }
    out = ClassItem{ClassItem::Lit, c, 0};
    return true;
  }

  NodeP parse_class(NodeFlags flags) {
    auto node = std::make_unique<Node>(Node::Class);
    node->flags = flags;
    const bool negate = match('^');
    std::vector<ClassItem> items;
    for (;;) {
      if (at_end()) return fail("an unterminated character set");
      uint32_t c = s_[i_++];
      if (c == ']' && !items.empty()) break;
      ClassItem first;
      if (c == '\\') {
        if (!class_escape(first)) return nullptr;
      } else {
        first = ClassItem{ClassItem::Lit, c, 0};
      }
      if (match('-')) {
        if (at_end()) return fail("an unterminated character set");
        c = s_[i_++];
        if (c == ']') {
          items.push_back(first);
          items.push_back(ClassItem{ClassItem::Lit, '-', 0});
          break;
        }
        ClassItem second;
        if (c == '\\') {
          if (!class_escape(second)) return nullptr;
        } else {
          second = ClassItem{ClassItem::Lit, c, 0};
        }
        if (first.kind != ClassItem::Lit || second.kind != ClassItem::Lit) return fail("a bad character range");
        if (second.lo < first.lo) return fail("a bad character range");
        items.push_back(ClassItem{ClassItem::Range, first.lo, second.lo});
      } else {
        items.push_back(first);
      }
    }
    // Duplicates dropped, first occurrence kept, as `re` does.
    std::vector<ClassItem> uniq;
    for (const auto& it : items) {
      bool seen = false;
      for (const auto& u : uniq) seen = seen || u == it;
      if (!seen) uniq.push_back(it);
    }
    if (uniq.size() == 1 && uniq[0].kind == ClassItem::Lit) {
      node->cls.op = negate ? ClassSpec::NotLiteral : ClassSpec::Literal;
    } else {
      node->cls.op = ClassSpec::In;
      node->cls.negate = negate;
    }
    node->cls.items = std::move(uniq);
    return node;
  }

  static NodeP literal(uint32_t c, NodeFlags flags) {
    auto n = std::make_unique<Node>(Node::Class);
    n->cls.op = ClassSpec::Literal;
    n->cls.items.push_back(ClassItem{ClassItem::Lit, c, 0});
    n->flags = flags;
    return n;
  }

  NodeP parse_escape(NodeFlags flags) {
    if (at_end()) return fail("a trailing backslash");
    const uint32_t c = s_[i_++];
    uint32_t v;
    if (category_escape(c, v)) {
      auto n = std::make_unique<Node>(Node::Class);
      n->cls.op = ClassSpec::In;
      n->cls.items.push_back(ClassItem{ClassItem::Cat, v, 0});
      n->flags = flags;
      return n;
    }
    if (c == 'b' || c == 'B' || c == 'A' || c == 'Z') {
      auto n = std::make_unique<Node>(Node::Assert);
      n->assert_kind = c == 'b' ? A_BOUNDARY : c == 'B' ? A_NON_BOUNDARY : c == 'A' ? A_BEGIN_STRING : A_END_STRING;
      n->flags = flags;
      return n;
    }
    if (simple_escape(c, v)) return literal(v, flags);
    if (c == 'x' || c == 'u' || c == 'U') {
      if (!hex_escape(c, v)) return fail("a malformed hexadecimal escape");
      return literal(v, flags);
    }
    if (is_ascii_alnum(c))
      return fail("an escape sequence other than \\d \\D \\s \\S \\w \\W \\b \\B \\A \\Z and character escapes");
    return literal(c, flags);
  }

  // After '{': reads "m}", "m,}", "m,n}", ",n}" or ",}"; false (position
  // restored) when the text is not a repeat count, which makes '{' literal.
  bool read_counts(uint32_t& lo, uint32_t& hi, bool& too_big) {
    const size_t here = i_;
    auto digits = [&](std::string& out) {
      while (!at_end() && peek() >= '0' && peek() <= '9') out.push_back(static_cast<char>(s_[i_++]));
    };
    if (!at_end() && peek() == '}') return false;
    std::string a, b;
    digits(a);
    if (match(',')) {
      digits(b);
    } else {
      b = a;
    }
    if (!match('}')) {
      i_ = here;
      return false;
    }
    too_big = a.size() > 6 || b.size() > 6;
    if (too_big) return true;
    lo = a.empty() ? 0 : static_cast<uint32_t>(std::stoul(a));
    hi = b.empty() ? kUnbounded : static_cast<uint32_t>(std::stoul(b));
    return true;
  }

  // Inline flag letters, as `re` reads them after "(?" (and after '-').
  // Returns false (with `why`) for letters this engine does not take.
  bool flag_letters(NodeFlags& add, bool& any, bool turning_off) {
    any = false;
    while (!at_end()) {
      const uint32_t c = peek();
      if (c == 'i') add.icase = true;
      else if (c == 's') add.dotall = true;
      else if (c == 'm') add.multiline = true;
      else if (c == 'u' && !turning_off) {}  // the default for str patterns
      else if (c == 'x') return fail("the VERBOSE flag") != nullptr;
      else if (c == 'a' || c == 'L' || c == 'u') return fail("the ASCII or LOCALE flag, or turning off UNICODE") != nullptr;
      else break;
      any = true;
      ++i_;
    }
    return true;
  }

  // After "(?" with a flag letter or '-': a global flags group "(?imsu)"
  // (true, `scoped` false) or the head of a scoped group "(?i-s:" (true,
  // `scoped` true, with the flags to add and remove); false on syntax this
  // engine refuses.
  bool read_flags(NodeFlags& on, NodeFlags& off, bool& scoped) {
    bool any_on = false, any_off = false;
    if (!flag_letters(on, any_on, false)) return false;
    if (match('-')) {
      if (!flag_letters(off, any_off, true)) return false;
      if (!any_off) return fail("a missing flag after '-'") != nullptr;
      if ((on.icase && off.icase) || (on.dotall && off.dotall) || (on.multiline && off.multiline))
        return fail("a flag turned on and off") != nullptr;
      if (!match(':')) return fail("a missing ':' after flags") != nullptr;
      scoped = true;
      return true;
    }
    if (match(':')) {
      scoped = true;
      return true;
    }
    if (!any_on || !match(')')) return fail("unknown inline flags") != nullptr;
    scoped = false;
    return true;
  }

  static NodeFlags combine(NodeFlags f, NodeFlags on, NodeFlags off) {
    f.icase = (f.icase || on.icase) && !off.icase;
    f.dotall = (f.dotall || on.dotall) && !off.dotall;
    f.multiline = (f.multiline || on.multiline) && !off.multiline;
    return f;
  }

  // Before 3.11 `re` takes global flags anywhere (with a warning); since,
  // only at the very start.
  static bool global_flags_allowed(bool at_start, int depth) {
#if PY_VERSION_HEX >= 0x030B0000
    return at_start && depth == 0;
#else
    (void)at_start;
    (void)depth;
    return true;
#endif
  }

  // Finds the global flags groups and adds them to `global_`.  Before 3.11
  // `re` takes them anywhere (with a warning); since, only at the very start.
  bool scan_global_flags() {
    bool at_start = true;
    int depth = 0;
    bool in_class = false;
    for (size_t k = 0; k < s_.size(); ++k) {
      const uint32_t c = s_[k];
      if (c == '\\') {
        ++k;
        at_start = false;
        continue;
      }
      if (in_class) {
        // ']' first in a set (or after '^') is a literal.
        if (c == ']' && !(s_[k - 1] == '[' || (s_[k - 1] == '^' && s_[k - 2] == '['))) in_class = false;
        continue;
      }
      if (c == '[') {
        in_class = true;
        at_start = false;
        continue;
      }
      if (c == '(' && k + 1 < s_.size() && s_[k + 1] == '?') {
        if (k + 2 < s_.size() && s_[k + 2] == '#') {  // a comment
          while (k < s_.size() && s_[k] != ')') ++k;
          continue;
        }
        size_t save = i_;
        i_ = k + 2;
        NodeFlags on, off;
        bool scoped = false;
        const bool looks_like_flags = i_ < s_.size() && (s_[i_] == '-' || s_[i_] == 'i' || s_[i_] == 's' ||
                                                          s_[i_] == 'm' || s_[i_] == 'u' || s_[i_] == 'x' ||
                                                          s_[i_] == 'a' || s_[i_] == 'L');
        if (looks_like_flags) {
          if (!read_flags(on, off, scoped)) return false;
          if (!scoped) {
            if (!global_flags_allowed(at_start, depth)) {
              return fail("global flags not at the start of the expression") != nullptr;
            }
            global_ = combine(global_, on, NodeFlags());
            k = i_ - 1;
            i_ = save;
            continue;
          }
        }
        i_ = save;
      }
      if (c == '(') ++depth;
      if (c == ')') --depth;
      if (c == '|' && depth == 0) {
        // Only the first alternative's start counts.
      }
      at_start = false;
    }
    return true;
  }

  // A group name as `re` takes it: an identifier.
  bool group_name(uint32_t close) {
    std::u32string name;
    while (!at_end() && peek() != close) name.push_back(s_[i_++]);
    if (!match(close)) return fail("an unterminated group name") != nullptr;
    if (name.empty()) return fail("a missing group name") != nullptr;
    for (size_t k = 0; k < name.size(); ++k) {
      const uint32_t c = name[k];
      const bool ok = c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (k > 0 && c >= '0' && c <= '9');
      if (!ok) return fail("a group name other than an ASCII identifier") != nullptr;
    }
    for (const auto& seen : names_)
      if (seen == name) return fail("a redefined group name") != nullptr;
    names_.push_back(std::move(name));
    return true;
  }

  // After '(': the group's contents under `flags`, as a Group node; or a
  // comment (null `out`, true).
  bool parse_group(int nested, NodeFlags flags, NodeP& out) {
    out = nullptr;
    NodeFlags inner = flags;
    if (match('?')) {
      if (at_end()) return fail("an unterminated group") != nullptr;
      const uint32_t c = peek();
      if (c == ':') {
        ++i_;
      } else if (c == '#') {
        while (!at_end() && peek() != ')') ++i_;
        if (!match(')')) return fail("an unterminated comment") != nullptr;
        return true;
      } else if (c == 'P') {
        ++i_;
        if (!match('<')) return fail("a group extension other than (?:...), (?P<name>...), inline flags and comments") != nullptr;
        if (!group_name('>')) return false;
      } else if (c == '-' || c == 'i' || c == 's' || c == 'm' || c == 'u' || c == 'x' || c == 'a' || c == 'L') {
        NodeFlags on, off;
        bool scoped = false;
        if (!read_flags(on, off, scoped)) return false;
        if (!scoped) return true;  // global flags, already read
        inner = combine(flags, on, off);
      } else {
        return fail("lookaround, backreferences, conditional or atomic groups (a group extension other than (?:...), (?P<name>...), inline flags and comments)") != nullptr;
      }
    }
    NodeP body = parse_sub(nested + 1, inner);
    if (!body) return false;
    if (!match(')')) return fail("a missing ')'") != nullptr;
    out = std::make_unique<Node>(Node::Group);
    out->kids.push_back(std::move(body));
    return true;
  }

  NodeP parse_seq(int nested, NodeFlags flags) {
    auto seq = std::make_unique<Node>(Node::Seq);
    while (!at_end()) {
      const uint32_t c = peek();
      if (c == '|' || c == ')') break;
      ++i_;
      if (c == '(') {
        NodeP g;
        if (!parse_group(nested, flags, g)) return nullptr;
        if (g) seq->kids.push_back(std::move(g));
        continue;
      }
      if (c == '[') {
        NodeP n = parse_class(flags);
        if (!n) return nullptr;
        seq->kids.push_back(std::move(n));
        continue;
      }
      if (c == '.') {
        auto n = std::make_unique<Node>(Node::Class);
        n->cls.op = flags.dotall ? ClassSpec::AnyAll : ClassSpec::Any;
        n->flags = flags;
        seq->kids.push_back(std::move(n));
        continue;
      }
      if (c == '^' || c == '$') {
        auto n = std::make_unique<Node>(Node::Assert);
        n->assert_kind = c == '^' ? A_BEGIN : A_END;
        n->flags = flags;
        seq->kids.push_back(std::move(n));
        continue;
      }
      if (c == '\\') {
        NodeP n = parse_escape(flags);
        if (!n) return nullptr;
        seq->kids.push_back(std::move(n));
        continue;
      }
      if (c == '*' || c == '+' || c == '?' || c == '{') {
        uint32_t lo = 0, hi = kUnbounded;
        if (c == '+') lo = 1;
        if (c == '?') hi = 1;
        if (c == '{') {
          bool too_big = false;
          if (!read_counts(lo, hi, too_big)) {
            seq->kids.push_back(literal('{', flags));
            continue;
          }
          if (too_big || lo > kMaxCount || (hi != kUnbounded && hi > kMaxCount)) return fail("a repeat count above 10000");
          if (hi < lo) return fail("a repeat with min above max");
        }
        if (seq->kids.empty() || seq->kids.back()->kind == Node::Assert) return fail("a repeat of nothing");
        if (seq->kids.back()->kind == Node::Repeat) return fail("a repeat of a repeat");
        const bool lazy = match('?');
        if (!at_end() && peek() == '+') return fail("possessive quantifiers");
        NodeP item = std::move(seq->kids.back());
        seq->kids.pop_back();
        auto r = std::make_unique<Node>(Node::Repeat);
        r->min = lo;
        r->max = hi;
        r->lazy = lazy;
        if (item->kind == Node::Group) {
          r->kids.push_back(std::move(item->kids[0]));
        } else {
          auto body = std::make_unique<Node>(Node::Seq);
          body->kids.push_back(std::move(item));
          r->kids.push_back(std::move(body));
        }
        seq->kids.push_back(std::move(r));
        continue;
      }
      seq->kids.push_back(literal(c, flags));
    }
    if (!at_end() && peek() == ')' && nested == 0) return fail("an unbalanced ')'");
    return seq;
  }

  // Only single-character items and assertions can compare equal in `re`'s
  // parser; groups and repeats never do.
  static bool same_atom(const Node& a, const Node& b) {
    if (a.kind != b.kind) return false;
    if (a.kind == Node::Class) return a.cls == b.cls;
    if (a.kind == Node::Assert) return a.assert_kind == b.assert_kind;
    return false;
  }

  NodeP parse_sub(int nested, NodeFlags flags) {
    std::vector<NodeP> items;
    for (;;) {
      NodeP s = parse_seq(nested, flags);
      if (!s) return nullptr;
      items.push_back(std::move(s));
      if (!match('|')) break;
    }
    if (items.size() == 1) return std::move(items[0]);
    auto out = std::make_unique<Node>(Node::Seq);
    // Move a prefix common to every alternative out of the branch.
    for (;;) {
      bool common = true;
      for (const auto& it : items) {
        if (it->kids.empty() || !same_atom(*it->kids[0], *items[0]->kids[0])) {
          common = false;
          break;
        }
      }
      if (!common) break;
      out->kids.push_back(std::move(items[0]->kids[0]));
      for (auto& it : items) it->kids.erase(it->kids.begin());
    }
    // Alternatives that are all single literals or plain sets become one set.
    bool mergeable = true;
    for (const auto& it : items) {
      if (it->kids.size() != 1 || it->kids[0]->kind != Node::Class) {
        mergeable = false;
        break;
      }
      const ClassSpec& cs = it->kids[0]->cls;
      if (!(cs.op == ClassSpec::Literal || (cs.op == ClassSpec::In && !cs.negate))) {
        mergeable = false;
        break;
      }
    }
    if (mergeable) {
      auto n = std::make_unique<Node>(Node::Class);
      n->cls.op = ClassSpec::In;
      n->flags = flags;
      for (const auto& it : items) {
        for (const ClassItem& ci : it->kids[0]->cls.items) {
          bool seen = false;
          for (const auto& u : n->cls.items) seen = seen || u == ci;
          if (!seen) n->cls.items.push_back(ci);
        }
      }
      out->kids.push_back(std::move(n));
      return out;
    }
    auto alt = std::make_unique<Node>(Node::Alt);
    alt->kids = std::move(items);
    out->kids.push_back(std::move(alt));
    return out;
  }

  const std::u32string& s_;
  std::string& why_;
  NodeFlags global_;
  std::vector<std::u32string> names_;
  size_t i_ = 0;
};

}  // namespace

NodeP parse_pattern(const std::u32string& text, NodeFlags global, std::string& why) {
  Parser p(text, global, why);
  NodeP n = p.parse_all();
  if (!n && why.empty()) why = "unsupported syntax";
  return n;
}

}  // namespace dravik::rx

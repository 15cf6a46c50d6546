#include "regex/program.hpp"

#include "regex/literals.hpp"

#include <algorithm>
#include <unordered_map>

namespace dravik::rx {

namespace {

constexpr size_t kMaxInsts = 60000;

bool nullable(const Node& n) {
  switch (n.kind) {
    case Node::Class: return false;
    case Node::Assert: return true;
    case Node::Seq:
      for (const auto& k : n.kids)
        if (!nullable(*k)) return false;
      return true;
    case Node::Alt:
      for (const auto& k : n.kids)
        if (nullable(*k)) return true;
      return false;
    case Node::Group: return nullable(*n.kids[0]);
    case Node::Repeat: return n.min == 0 || nullable(*n.kids[0]);
  }
  return true;
}

class Compiler {
 public:
  Compiler(const CaseFixes& fixes, Compiled& out, std::string& why) : fixes_(fixes), out_(out), why_(why) {}

  bool run(const Node& root) {
    for (int dir = 0; dir < 2; ++dir) {
      prog_ = dir == 0 ? &out_.fwd : &out_.rev;
      reverse_ = dir == 1;
      prog_->code.clear();
      const uint32_t match = add(Inst{I_MATCH});
      const int64_t start = emit(root, match);
      if (start < 0) return false;
      prog_->start = static_cast<uint32_t>(start);
    }
    return true;
  }

  const std::unordered_map<const Node*, uint16_t>& class_ids() const { return ids_; }

 private:
  uint32_t add(Inst in) {
    prog_->code.push_back(in);
    return static_cast<uint32_t>(prog_->code.size() - 1);
  }

  static InstOp assert_op(const Node& n) {
    switch (n.assert_kind) {
      case A_BOUNDARY: return I_ASSERT_B;
      case A_NON_BOUNDARY: return I_ASSERT_NB;
      case A_BEGIN: return n.flags.multiline ? I_BEGIN_LINE : I_BEGIN_TEXT;
      case A_BEGIN_STRING: return I_BEGIN_TEXT;
      case A_END: return n.flags.multiline ? I_END_LINE : I_END_TEXT_NL;
      case A_END_STRING: return I_END_TEXT;
    }
    return I_ASSERT_B;
  }

  int64_t fail(const char* what) {
    if (why_.empty()) why_ = what;
    return -1;
  }

  int64_t class_id(const Node& n) {
    auto it = ids_.find(&n);
    if (it != ids_.end()) return it->second;
    CharSet cs;
    if (!build_char_set(n.cls, n.flags.icase, fixes_, cs, why_)) return -1;
    size_t k = 0;
    while (k < out_.sets.size() && !out_.sets[k].same_as(cs)) ++k;
    if (k == out_.sets.size()) {
      if (k >= kMaxClasses) return fail("more than 61 distinct character classes");
      out_.sets.push_back(std::move(cs));
    }
    ids_[&n] = static_cast<uint16_t>(k);
    return static_cast<int64_t>(k);
  }

  // Emits `n` followed by the code at `next`; returns the entry point.
  int64_t emit(const Node& n, uint32_t next) {
    if (prog_->code.size() > kMaxInsts) return fail("a pattern too large once its repeats are expanded");
    switch (n.kind) {
      case Node::Class: {
        const int64_t id = class_id(n);
        if (id < 0) return -1;
        Inst in{I_CHAR};
        in.cls = static_cast<uint16_t>(id);
        in.x = next;
        return add(in);
      }
      case Node::Assert: {
        Inst in{assert_op(n)};
        if (in.op == I_END_TEXT_NL) out_.final_newline = true;
        in.x = next;
        return add(in);
      }
      case Node::Group: return emit(*n.kids[0], next);
      case Node::Seq: {
        int64_t cur = next;
        const size_t m = n.kids.size();
        for (size_t k = 0; k < m; ++k) {
          const Node& kid = *n.kids[reverse_ ? k : m - 1 - k];
          cur = emit(kid, static_cast<uint32_t>(cur));
          if (cur < 0) return -1;
        }
        return cur;
      }
      case Node::Alt: {
        std::vector<uint32_t> entries;
        for (const auto& k : n.kids) {
          const int64_t e = emit(*k, next);
          if (e < 0) return -1;
          entries.push_back(static_cast<uint32_t>(e));
        }
        uint32_t cur = entries.back();
        for (size_t k = entries.size() - 1; k-- > 0;) {
          Inst in{I_SPLIT};
          in.x = entries[k];
          in.y = cur;
          cur = add(in);
        }
        return cur;
      }
      case Node::Repeat: {
        const Node& body = *n.kids[0];
        // `re` stops repeating once an iteration matched the empty string,
        // which an automaton cannot mirror; such repeats are refused.
        if (nullable(body) && (n.max == kUnbounded || n.max - n.min >= 2))
          return fail("a repeat of a subpattern that can match the empty string");
        // The preferred branch first: one more iteration when greedy, the
        // way out when lazy.
        auto choice = [&](uint32_t again, uint32_t out) {
          Inst in{I_SPLIT};
          in.x = n.lazy ? out : again;
          in.y = n.lazy ? again : out;
          return in;
        };
        int64_t cur = next;
        if (n.max == kUnbounded) {
          const uint32_t loop = add(Inst{I_SPLIT});
          const int64_t b = emit(body, loop);
          if (b < 0) return -1;
          prog_->code[loop] = choice(static_cast<uint32_t>(b), next);
          cur = loop;
        } else {
          for (uint32_t k = n.min; k < n.max; ++k) {
            const int64_t b = emit(body, static_cast<uint32_t>(cur));
            if (b < 0) return -1;
            cur = add(choice(static_cast<uint32_t>(b), next));
          }
        }
        for (uint32_t k = 0; k < n.min; ++k) {
          cur = emit(body, static_cast<uint32_t>(cur));
          if (cur < 0) return -1;
        }
        return cur;
      }
    }
    return fail("unsupported syntax");
  }

  const CaseFixes& fixes_;
  Compiled& out_;
  std::string& why_;
  Program* prog_ = nullptr;
  bool reverse_ = false;
  std::unordered_map<const Node*, uint16_t> ids_;
};

// Follows every non-consuming instruction (assertions taken as passable).
void closure(const Program& p, std::vector<uint32_t> seeds, std::vector<uint32_t>& chars, bool& match) {
  std::vector<char> seen(p.code.size(), 0);
  chars.clear();
  match = false;
  while (!seeds.empty()) {
    const uint32_t pc = seeds.back();
    seeds.pop_back();
    if (seen[pc]) continue;
    seen[pc] = 1;
    const Inst& in = p.code[pc];
    switch (in.op) {
      case I_CHAR: chars.push_back(pc); break;
      case I_MATCH: match = true; break;
      case I_SPLIT:
        seeds.push_back(in.y);
        seeds.push_back(in.x);
        break;
      default: seeds.push_back(in.x); break;
    }
  }
}

struct Req {
  std::vector<uint16_t> sets;
  double weight = 2.0;  // > 1: no requirement
};

Req required(const Node& n, const std::unordered_map<const Node*, uint16_t>& ids, const std::vector<CharSet>& sets) {
  Req r;
  switch (n.kind) {
    case Node::Class: {
      auto it = ids.find(&n);
      if (it != ids.end()) {
        r.sets.push_back(it->second);
        r.weight = class_weight(sets[it->second]);
      }
      return r;
    }
    case Node::Assert: return r;
    case Node::Group: return required(*n.kids[0], ids, sets);
    case Node::Repeat:
      if (n.min == 0) return r;
      return required(*n.kids[0], ids, sets);
    case Node::Seq:
      for (const auto& k : n.kids) {
        Req c = required(*k, ids, sets);
        if (c.weight < r.weight) r = std::move(c);
      }
      return r;
    case Node::Alt: {
      r.weight = 0;
      for (const auto& k : n.kids) {
        Req c = required(*k, ids, sets);
        if (c.weight > 1.0) return Req();
        r.weight += c.weight;
        for (uint16_t s : c.sets)
          if (std::find(r.sets.begin(), r.sets.end(), s) == r.sets.end()) r.sets.push_back(s);
      }
      if (r.weight > 1.0) r.weight = 1.0;
      return r;
    }
  }
  return r;
}

}  // namespace

double ascii_freq(uint32_t c) {
  static const double letters[26] = {65, 12, 22, 34, 102, 18, 16, 49, 56, 1, 6, 32, 19,
                                     54, 60, 15, 1, 48, 51, 73, 22, 8, 19, 1, 16, 1};
  if (c >= 'a' && c <= 'z') return letters[c - 'a'];
  if (c >= 'A' && c <= 'Z') return letters[c - 'A'] * 0.08;
  if (c == ' ') return 170;
  if (c >= '0' && c <= '9') return 1.5;
  switch (c) {
    case '.': case ',': return 9;
    case '\n': return 3;
    case '\'': case '"': case '-': return 2;
    case ':': case '(': case ')': case ';': case '?': case '!': return 0.8;
    default: return 0.05;
  }
}

double class_weight(const CharSet& cs) {
  double w = 0;
  for (uint32_t c = 0; c < 128; ++c)
    if (cs.contains(c)) w += ascii_freq(c);
  for (uint32_t c = 128; c < 256; ++c)
    if (cs.contains(c)) w += 0.02;
  // Characters beyond Latin-1 are rare in most prompts, but a class holding
  // most of them is not.
  if (cs.contains(0x4E00) || cs.contains(0x3042)) w += 50;
  return std::min(1.0, w / 1000.0);
}

bool compile_tree(const Node& root, const CaseFixes& fixes, Compiled& out, std::string& why) {
  out = Compiled();
  Compiler c(fixes, out, why);
  if (!c.run(root)) return false;
  out.nullable = nullable(root);
  // Classes of the first characters of every match.
  std::vector<uint32_t> chars;
  bool match = false;
  closure(out.fwd, {out.fwd.start}, chars, match);
  out.prefix_len = 0;
  while (!match && out.prefix_len < kPrefixDepth && !chars.empty()) {
    auto& slot = out.prefix[out.prefix_len];
    std::vector<uint32_t> next;
    for (uint32_t pc : chars) {
      const uint16_t cls = out.fwd.code[pc].cls;
      if (std::find(slot.begin(), slot.end(), cls) == slot.end()) slot.push_back(cls);
      next.push_back(out.fwd.code[pc].x);
    }
    ++out.prefix_len;
    std::reverse(next.begin(), next.end());
    closure(out.fwd, next, chars, match);
  }
  Req r = required(root, c.class_ids(), out.sets);
  if (r.weight <= 1.0) {
    out.required = std::move(r.sets);
    out.required_weight = r.weight;
  }
  LiteralReq lits;
  if (find_required_literals(root, c.class_ids(), out.sets, lits)) {
    out.literals = std::move(lits.strings);
    out.literal_before = std::move(lits.before);
  }
  return true;
}

}  // namespace dravik::rx

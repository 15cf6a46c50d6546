#include "regex/literals.hpp"

#include "regex/accelerator.hpp"

#include <algorithm>

namespace dravik::rx {

namespace {

using Str = std::vector<const Node*>;
using StrSet = std::vector<Str>;

struct Req {
  StrSet strs;
  std::vector<const Node*> before;
  bool ok = false;
};

class Extractor {
 public:
  Extractor(const std::unordered_map<const Node*, uint16_t>& ids, const std::vector<CharSet>& sets)
      : ids_(ids), sets_(sets) {}

  // The strings `n` matches exactly, when they are few and short.
  bool exact(const Node& n, StrSet& out) {
    out.clear();
    switch (n.kind) {
      case Node::Class:
        if (!ids_.count(&n)) return false;
        out.push_back(Str{&n});
        return true;
      case Node::Assert:
        out.push_back(Str{});  // zero-width: drops out of the literal
        return true;
      case Node::Group: return exact(*n.kids[0], out);
      case Node::Seq: {
        out.push_back(Str{});
        for (const auto& k : n.kids) {
          StrSet part;
          if (!exact(*k, part) || !concat(out, part)) return false;
        }
        return true;
      }
      case Node::Alt:
        for (const auto& k : n.kids) {
          StrSet part;
          if (!exact(*k, part)) return false;
          out.insert(out.end(), part.begin(), part.end());
          if (out.size() > kMaxLiterals) return false;
        }
        return true;
      case Node::Repeat: {
        if (n.min != n.max || n.min > 4) return false;
        StrSet body;
        if (!exact(*n.kids[0], body)) return false;
        out.push_back(Str{});
        for (uint32_t k = 0; k < n.min; ++k)
          if (!concat(out, body)) return false;
        return true;
      }
    }
    return false;
  }

  Req required(const Node& n) {
    Req r;
    switch (n.kind) {
      case Node::Class:
      case Node::Assert: {
        StrSet e;
        if (n.kind == Node::Class && exact(n, e)) {
          r.strs = e;
          r.ok = true;
        }
        return r;
      }
      case Node::Group: return required(*n.kids[0]);
      case Node::Repeat:
        if (n.min == 0) return r;
        r = required(*n.kids[0]);
        // An occurrence in a later iteration follows the earlier ones.
        if (r.ok && n.max > 1) all_classes(*n.kids[0], r.before);
        return r;
      case Node::Alt: {
        for (const auto& k : n.kids) {
          Req a = required(*k);
          if (!a.ok) return Req();
          r.strs.insert(r.strs.end(), a.strs.begin(), a.strs.end());
          r.before.insert(r.before.end(), a.before.begin(), a.before.end());
          if (r.strs.size() > kMaxLiterals) return Req();
        }
        r.ok = true;
        return r;
      }
      case Node::Seq: {
        const size_t m = n.kids.size();
        // Requirements inside one item.
        for (size_t k = 0; k < m; ++k) {
          Req c = required(*n.kids[k]);
          if (!c.ok) continue;
          for (size_t j = 0; j < k; ++j) all_classes(*n.kids[j], c.before);
          consider(r, std::move(c));
        }
        // Runs of items matched by few exact strings, concatenated.
        for (size_t a = 0; a < m; ++a) {
          StrSet run{Str{}};
          for (size_t b = a; b < m; ++b) {
            StrSet part;
            if (!exact(*n.kids[b], part) || !concat(run, part)) break;
            if (b == a) continue;
            Req c;
            c.strs = run;
            c.ok = true;
            for (size_t j = 0; j < a; ++j) all_classes(*n.kids[j], c.before);
            consider(r, std::move(c));
          }
        }
        return r;
      }
    }
    return r;
  }

  double rate(const StrSet& strs) {
    double total = 0;
    for (const Str& s : strs) {
      if (s.empty()) return 1.0;
      // Three rarest positions, as the search tests them.
      std::vector<double> w;
      for (const Node* c : s) w.push_back(class_weight(sets_[ids_.at(c)]));
      std::sort(w.begin(), w.end());
      double p = 1.0;
      for (size_t k = 0; k < w.size() && k < 3; ++k) p *= w[k];
      total += p;
    }
    return std::min(total, 1.0);
  }

  void all_classes(const Node& n, std::vector<const Node*>& out) {
    if (n.kind == Node::Class) {
      out.push_back(&n);
      return;
    }
    for (const auto& k : n.kids) all_classes(*k, out);
  }

 private:
  static bool concat(StrSet& run, const StrSet& part) {
    if (run.size() * part.size() > kMaxLiterals) return false;
    StrSet next;
    for (const Str& a : run)
      for (const Str& b : part) {
        Str s = a;
        s.insert(s.end(), b.begin(), b.end());
        if (s.size() > kMaxLiteralLen) return false;
        next.push_back(std::move(s));
      }
    run = std::move(next);
    return true;
  }

  // What searching for these strings costs, in vector passes over the text:
  // one for all of them (a little more the more share the scan's buckets),
  // plus the automaton runs their (false) hits start.
  double cost(const StrSet& strs) { return 1.0 + 0.02 * static_cast<double>(strs.size()) + rate(strs) * 330.0; }

  void consider(Req& best, Req c) {
    for (const Str& s : c.strs)
      if (s.empty()) return;
    if (!best.ok || cost(c.strs) < cost(best.strs)) best = std::move(c);
  }

  const std::unordered_map<const Node*, uint16_t>& ids_;
  const std::vector<CharSet>& sets_;
};

}  // namespace

bool find_required_literals(const Node& root, const std::unordered_map<const Node*, uint16_t>& ids,
                            const std::vector<CharSet>& sets, LiteralReq& out) {
  Extractor x(ids, sets);
  Req r = x.required(root);
  if (!r.ok || r.strs.empty()) return false;
  const double rate = x.rate(r.strs);
  // Only a rare requirement pays for itself.
  if (rate > 5e-3) return false;
  out = LiteralReq();
  for (const Str& s : r.strs) {
    std::vector<uint16_t> cls;
    for (const Node* c : s) cls.push_back(ids.at(c));
    out.strings.push_back(std::move(cls));
  }
  for (const Node* c : r.before) {
    auto it = ids.find(c);
    if (it != ids.end() && std::find(out.before.begin(), out.before.end(), it->second) == out.before.end())
      out.before.push_back(it->second);
  }
  out.hit_rate = rate;
  return true;
}

bool LiteralFinder::init(const Compiled& c) {
  next_ = -2;
  Array<LiteralSet::Literal> lits;
  if (!lits.allocate(c.literals.size()) || !before_.allocate_zeroed(kBmpSize / 64)) return false;
  for (size_t k = 0; k < c.literals.size(); ++k) lits[k] = LiteralSet::Literal{&c.sets, &c.literals[k]};
  if (!set_.build(lits.data(), lits.size())) return false;
  for (uint16_t s : c.literal_before)
    for (size_t w = 0; w < before_.size(); ++w) before_[w] |= c.sets[s].eff[w];
  return true;
}

}  // namespace dravik::rx

#include "regex/char_set.hpp"

#include <bit>

namespace dravik::rx {

namespace {

constexpr size_t kWords = kBmpSize / 64;

void add_char(CharSet& cs, uint32_t c) {
  if (c < kBmpSize)
    cs.set[c >> 6] |= uint64_t{1} << (c & 63);
  else
    cs.astral.emplace_back(c, c);
}

void add_range(CharSet& cs, uint32_t lo, uint32_t hi) {
  for (uint32_t c = lo; c <= hi && c < kBmpSize; ++c) cs.set[c >> 6] |= uint64_t{1} << (c & 63);
  if (hi >= kBmpSize) cs.astral.emplace_back(lo < kBmpSize ? kBmpSize : lo, hi);
}

// The lowered character and its extra equivalences, as `re` adds them.
void add_folded(CharSet& cs, uint32_t c, const CaseFixes& fixes) {
  const uint32_t lo = lower_of(c);
  add_char(cs, lo);
  if (const auto* more = fixes.find(lo))
    for (uint32_t k : *more) add_char(cs, k);
}

bool cat_contains(uint8_t cats, uint32_t c) {
  if (cats == 0) return false;
  const bool d = is_decimal(c), s = is_space(c), w = is_word(c);
  return ((cats >> C_DIGIT) & 1 && d) || ((cats >> C_NOT_DIGIT) & 1 && !d) || ((cats >> C_SPACE) & 1 && s) ||
         ((cats >> C_NOT_SPACE) & 1 && !s) || ((cats >> C_WORD) & 1 && w) || ((cats >> C_NOT_WORD) & 1 && !w);
}

bool compute_eff(CharSet& cs) {
  const BmpProps& p = bmp_props();
  if (!cs.eff.allocate_zeroed(kWords)) return false;
  if (!cs.fold) {
    for (size_t i = 0; i < kWords; ++i) cs.eff[i] = cs.set[i];
  } else {
    // Every t whose lowercase is in the set: walk the set's preimages.
    for (size_t i = 0; i < kWords; ++i) {
      uint64_t w = cs.set[i];
      while (w) {
        const uint32_t c = static_cast<uint32_t>(i * 64 + std::countr_zero(w));
        w &= w - 1;
        for (uint32_t k = p.pre_start[c]; k < p.pre_start[c + 1]; ++k) {
          const uint32_t t = p.pre_chars[k];
          cs.eff[t >> 6] |= uint64_t{1} << (t & 63);
        }
      }
    }
    // Characters of the BMP whose lowercase lies beyond it.
    for (const auto& r : cs.astral)
      for (uint32_t t = 0; t < kBmpSize; ++t)
        if (p.lower[t] >= r.first && p.lower[t] <= r.second) cs.eff[t >> 6] |= uint64_t{1} << (t & 63);
  }
  if (cs.cats) {
    const uint64_t* dg = cs.fold ? p.low_digit : p.digit;
    const uint64_t* sp = cs.fold ? p.low_space : p.space;
    const uint64_t* wd = cs.fold ? p.low_word : p.word;
    for (size_t i = 0; i < kWords; ++i) {
      uint64_t m = 0;
      if ((cs.cats >> C_DIGIT) & 1) m |= dg[i];
      if ((cs.cats >> C_NOT_DIGIT) & 1) m |= ~dg[i];
      if ((cs.cats >> C_SPACE) & 1) m |= sp[i];
      if ((cs.cats >> C_NOT_SPACE) & 1) m |= ~sp[i];
      if ((cs.cats >> C_WORD) & 1) m |= wd[i];
      if ((cs.cats >> C_NOT_WORD) & 1) m |= ~wd[i];
      cs.eff[i] |= m;
    }
  }
  if (cs.negate)
    for (auto& w : cs.eff) w = ~w;
  return true;
}

}  // namespace

bool CharSet::contains_slow(uint32_t t) const {
  const uint32_t c = fold ? lower_of(t) : t;
  bool in = false;
  if (c < kBmpSize) {
    in = (set[c >> 6] >> (c & 63)) & 1;
  } else {
    for (const auto& r : astral)
      if (c >= r.first && c <= r.second) {
        in = true;
        break;
      }
  }
  if (!in) in = cat_contains(cats, c);
  return in != negate;
}

bool build_char_set(const ClassSpec& spec, bool ignorecase, const CaseFixes& fixes, CharSet& cs, std::string& why) {
  cs = CharSet();
  if (!cs.set.allocate_zeroed(kWords)) {
    PyErr_NoMemory();
    return false;
  }
  switch (spec.op) {
    case ClassSpec::Any:
      cs.negate = true;
      add_char(cs, '\n');
      break;
    case ClassSpec::AnyAll:
      cs.negate = true;
      break;
    case ClassSpec::Literal:
    case ClassSpec::NotLiteral: {
      const uint32_t c = spec.items.at(0).lo;
      cs.negate = spec.op == ClassSpec::NotLiteral;
      if (ignorecase && is_cased(c)) {
        if (c >= kBmpSize || lower_of(c) >= kBmpSize) {
          why = "a case-insensitive literal beyond the Basic Multilingual Plane";
          return false;
        }
        cs.fold = true;
        add_folded(cs, c, fixes);
      } else {
        add_char(cs, c);
      }
      break;
    }
    case ClassSpec::In: {
      cs.negate = spec.negate;
      bool hascased = false;
      for (const ClassItem& it : spec.items) {
        if (it.kind == ClassItem::Cat) {
          cs.cats |= static_cast<uint8_t>(1u << it.lo);
          continue;
        }
        const uint32_t hi = it.kind == ClassItem::Range ? it.hi : it.lo;
        if (!ignorecase) {
          add_range(cs, it.lo, hi);
          continue;
        }
        if (hi >= kBmpSize) {
          why = "a case-insensitive set with characters beyond the Basic Multilingual Plane";
          return false;
        }
        for (uint32_t c = it.lo; c <= hi; ++c) {
          if (lower_of(c) >= kBmpSize) {
            why = "a case-insensitive set with characters beyond the Basic Multilingual Plane";
            return false;
          }
          add_folded(cs, c, fixes);
          if (!hascased && is_cased(c)) hascased = true;
        }
      }
      cs.fold = hascased;
      break;
    }
  }
  if (!compute_eff(cs)) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

}  // namespace dravik::rx

// Compiling, searching and substituting with one pattern.
#include "regex/regex.hpp"

#include "common/refs.hpp"
#include "common/str_ready.hpp"

#include <cstring>
#include <new>

namespace dravik::rx {

std::unique_ptr<Regex> Regex::compile(PyObject* pattern, long flags, const CaseFixes& fixes, std::string& why) {
  if (!PyUnicode_Check(pattern)) {
    why = "a pattern that is not a str";
    return nullptr;
  }
  if (str_ready(pattern) < 0) return nullptr;
  if (flags & ~(kFlagIgnoreCase | kFlagUnicode | kFlagMultiline | kFlagDotall)) {
    why = "flags other than IGNORECASE, MULTILINE and DOTALL";
    return nullptr;
  }
  const Py_ssize_t n = PyUnicode_GET_LENGTH(pattern);
  const int kind = PyUnicode_KIND(pattern);
  const void* data = PyUnicode_DATA(pattern);
  std::u32string text(static_cast<size_t>(n), U'\0');
  for (Py_ssize_t i = 0; i < n; ++i) text[static_cast<size_t>(i)] = PyUnicode_READ(kind, data, i);
  NodeFlags global;
  global.icase = (flags & kFlagIgnoreCase) != 0;
  global.multiline = (flags & kFlagMultiline) != 0;
  global.dotall = (flags & kFlagDotall) != 0;
  NodeP tree = parse_pattern(text, global, why);
  if (!tree) return nullptr;
  std::unique_ptr<Regex> re(new (std::nothrow) Regex());
  if (!re) {
    PyErr_NoMemory();
    return nullptr;
  }
  if (!compile_tree(*tree, fixes, re->c_, why)) return nullptr;
  re->ab_.init(&re->c_.sets);
  re->fwd_.init(&re->c_.fwd, &re->ab_, Dfa::Forward);
  re->rev_.init(&re->c_.rev, &re->ab_, Dfa::Reverse);
  if (!re->acc_.init(re->c_) || (!re->c_.literals.empty() && !re->lits_.init(re->c_)) || !re->init_required()) {
    PyErr_NoMemory();
    return nullptr;
  }
  return re;
}

bool Regex::init_required() {
  // Only a rare requirement pays for the extra pass; required literals,
  // when found, serve better.
  req_on_ = false;
  if (lits_.enabled() || c_.required.empty() || c_.required_weight > 0.006) return true;
  Array<uint64_t> bits;
  if (!bits.allocate_zeroed(kBmpSize / 64)) return false;
  bool astral = false;
  for (uint16_t s : c_.required) {
    for (size_t w = 0; w < bits.size(); ++w) bits[w] |= c_.sets[s].eff[w];
    astral = astral || may_hold_astral(c_.sets[s]);
  }
  req8_ = LaneTest::build(bits.data(), 256, false);
  req16_ = LaneTest::build(bits.data(), kBmpSize, false);
  req32_ = LaneTest::build(bits.data(), kBmpSize, astral);
  req_bits_ = std::move(bits);
  if (!init_before()) return false;
  req_on_ = true;
  return true;
}

bool Regex::init_before() {
  // Walk the program from its start consuming only characters outside the
  // required set; every class met on the way (minus that set) can precede a
  // match's first required character.
  const Program& prog = c_.fwd;
  Array<uint8_t> seen;
  Vec<uint32_t> stack;
  if (!before_bits_.allocate_zeroed(kBmpSize / 64) || !seen.allocate_zeroed(prog.code.size()) ||
      !stack.push(prog.start))
    return false;
  while (!stack.empty()) {
    const uint32_t pc = stack.back();
    stack.pop();
    if (seen[pc]) continue;
    seen[pc] = 1;
    const Inst& in = prog.code[pc];
    switch (in.op) {
      case I_CHAR: {
        const CharSet& cs = c_.sets[in.cls];
        bool any = may_hold_astral(cs);
        for (size_t w = 0; w < before_bits_.size(); ++w) {
          const uint64_t minus = cs.eff[w] & ~req_bits_[w];
          before_bits_[w] |= minus;
          any = any || minus != 0;
        }
        if (any && !stack.push(in.x)) return false;
        break;
      }
      case I_MATCH: break;
      case I_SPLIT:
        if (!stack.push(in.y) || !stack.push(in.x)) return false;
        break;
      default:
        if (!stack.push(in.x)) return false;
        break;
    }
  }
  return true;
}

template <class Ch>
bool Regex::may_match(const Ch* p, Py_ssize_t n, Py_ssize_t pos) const {
  if (!req_on_ || pos >= n) return true;
  const LaneTest& t = sizeof(Ch) == 1 ? req8_ : sizeof(Ch) == 2 ? req16_ : req32_;
  return scan_one(p, pos, n - 1, t) >= 0;
}

std::unique_ptr<Regex> Regex::from_re_pattern(PyObject* re_pattern, const CaseFixes& fixes, std::string& why) {
  Ref pattern = Ref::steal(PyObject_GetAttrString(re_pattern, "pattern"));
  if (!pattern) return nullptr;
  Ref flags_obj = Ref::steal(PyObject_GetAttrString(re_pattern, "flags"));
  if (!flags_obj) return nullptr;
  if (!PyLong_Check(flags_obj.get())) {
    why = "flags that are not an int";
    return nullptr;
  }
  const long flags = PyLong_AsLong(flags_obj.get());
  if (flags == -1 && PyErr_Occurred()) return nullptr;
  return compile(pattern.get(), flags, fixes, why);
}

namespace {

// Marks a Regex as in use for the lifetime of the guard.
class Claim {
 public:
  explicit Claim(std::atomic<bool>& busy) : busy_(busy), held_(!busy.exchange(true, std::memory_order_acquire)) {}
  ~Claim() {
    if (held_) busy_.store(false, std::memory_order_release);
  }
  bool held() const { return held_; }

 private:
  std::atomic<bool>& busy_;
  bool held_;
};

void set_internal_error() { PyErr_SetString(PyExc_RuntimeError, "regex engine: match end without a start"); }

}  // namespace

int Regex::search(PyObject* text, Py_ssize_t pos, Span& out) {
  if (str_ready(text) < 0) return -1;
  // As `re` does: a position past either end is clamped to it.
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  if (pos < 0) pos = 0;
  if (pos > n) pos = n;
  Claim claim(busy_);
  if (!claim.held()) return kBusy;
  int r;
  if (n - pos >= kReleaseGilAt) {
    Py_BEGIN_ALLOW_THREADS
    r = search_at(text, pos, false, out);
    Py_END_ALLOW_THREADS
  } else {
    r = search_at(text, pos, false, out);
  }
  if (r == -2) {
    set_internal_error();
    return -1;
  }
  return r;
}

int Regex::search_at(PyObject* text, Py_ssize_t pos, bool must_advance, Span& out) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  const void* data = PyUnicode_DATA(text);
  floor_ = 0;
  limit_ = PY_SSIZE_T_MAX;
  known_ = -2;
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return search_kind(static_cast<const Py_UCS1*>(data), n, pos, must_advance, out);
    case PyUnicode_2BYTE_KIND: return search_kind(static_cast<const Py_UCS2*>(data), n, pos, must_advance, out);
    default: return search_kind(static_cast<const Py_UCS4*>(data), n, pos, must_advance, out);
  }
}

template <class Ch>
int Regex::search_kind(const Ch* p, Py_ssize_t n, Py_ssize_t pos, bool must_advance, Span& out) {
  if (pos > n) return 0;
  if (n == 0) {
    if (must_advance || !fwd_.matches_empty_text()) return 0;
    out = Span{0, 0};
    return 1;
  }
  if (!may_match(p, n, pos)) return 0;
  auto ctx_before = [&](Py_ssize_t k) { return k > 0 ? ctx_of_char(p[k - 1]) : X_EDGE; };
  // A newline that ends the text is its own symbol where `$` tells it apart.
  const bool final_nl = c_.final_newline && p[n - 1] == '\n';
  const Py_ssize_t stop = final_nl ? n - 1 : n;
  auto symbol = [&](Py_ssize_t k) { return k == stop ? ab_.final_newline() : ab_.of(p[k]); };
  Py_ssize_t i = pos;
  Py_ssize_t end = -1;
  int s;
  if (must_advance) {
    if (pos == n) return 0;
    s = fwd_.first_step_nonempty(ctx_before(pos), symbol(pos)) >> 1;
    i = pos + 1;
  } else {
    s = Dfa::initial(ctx_before(pos));
  }
  const bool accel = acc_.enabled();
  const LaneTest& req = sizeof(Ch) == 1 ? req8_ : sizeof(Ch) == 2 ? req16_ : req32_;
  Py_ssize_t next_req = -1, run_start = -1;  // the next required character, its run's start
  const bool lits = lits_.enabled();
  if (lits) lits_.reset(floor_, limit_, known_);
  Py_ssize_t next_lit = -1;
  // Forward: the end of the leftmost-first match.
  while (s != Dfa::kDead) {
    if (s < Dfa::kDead && lits) {
      // The same with the next occurrence of a required literal, and the
      // run of characters that may come before it in a match.
      if (next_lit < i) {
        next_lit = lits_.next(p, i, n);
        if (next_lit < 0) {
          if (next_lit != kBeyondLimit) break;
          idle_at_ = i;
          return kSuspended;
        }
        run_start = next_lit;
        while (run_start > i && lits_.before(p[run_start - 1])) --run_start;
      }
      if (run_start > i) {
        i = run_start;
        s = Dfa::initial(ctx_before(i));
      }
    }
    if (s < Dfa::kDead && req_on_) {
      // Every match holds a required character.  With j the next one, a
      // match starting at or before j has only characters that may precede
      // it in [start, j): it starts within the run of such characters that
      // ends at j.
      if (next_req < i) {
        next_req = -1;
        for (Py_ssize_t from = i; from < n;) {
          const Py_ssize_t j = scan_one(p, from, n - 1, req);
          if (j < 0) break;
          if (required_char(p[j])) {
            next_req = j;
            break;
          }
          from = j + 1;
        }
        if (next_req < 0) break;  // no required character left: no match
        run_start = next_req;
        while (run_start > i && before_char(p[run_start - 1])) --run_start;
      }
      if (run_start > i) {
        i = run_start;
        s = Dfa::initial(ctx_before(i));
      }
    }
    // Idle: where the next character could start a match the automaton
    // steps on (cheaper than a scan that would stop right there).
    if (s < Dfa::kDead && accel && !(i < n && acc_.may_start(p[i]))) {
      // A match holding the next literal starts at or before it; past it,
      // the next literal decides.
      const bool bounded = lits && next_lit >= i;
      const Py_ssize_t c = acc_.find(p, i, n, bounded ? next_lit : n);
      if (c < 0) {
        if (!bounded) break;
        i = next_lit + 1;
        s = Dfa::initial(ctx_before(i));
        continue;
      }
      if (c != i) {
        i = c;
        s = Dfa::initial(ctx_before(i));
      }
    }
    {
      // The hot loop: cached transitions between busy states.
      const int32_t* table = fwd_.table();
      const int shift = fwd_.shift();
      const uint32_t stride = fwd_.stride();
      while (i < stop) {
        const uint16_t eq = ab_.of(p[i]);
        if (sizeof(Ch) > 1 && eq >= stride) break;
        const int32_t t = table[(static_cast<size_t>(s) << shift) | eq];
        if (t < 2 * Dfa::kFirstBusy) break;  // not cached yet, or the next state is initial or dead
        if (t & 1) end = i;
        s = t >> 1;
        ++i;
      }
    }
    if (i == n) {
      if (fwd_.final_match(s)) end = n;
      break;
    }
    const int32_t t = fwd_.step(s, symbol(i));
    if (t & 1) end = i;
    s = t >> 1;
    ++i;
  }
  if (end < 0) return 0;
  // Reverse from that end: the smallest start of a match ending there.
  Py_ssize_t start = -1;
  int r = Dfa::initial(end == n ? X_EDGE : end == stop ? X_FINAL : ctx_of_char(p[end]));
  for (Py_ssize_t k = end;; --k) {
    if (k == pos) {
      const bool m = pos > 0 ? (rev_.step(r, symbol(pos - 1)) & 1) != 0 : rev_.final_match(r);
      if (m) start = pos;
      break;
    }
    const int32_t t = rev_.step(r, symbol(k - 1));
    if (t & 1) start = k;
    r = t >> 1;
    if (r == Dfa::kDead) break;
  }
  if (start < 0) return -2;  // cannot happen: the forward pass saw a match ending at `end`
  out = Span{start, end};
  return 1;
}

template <class Ch>
int Regex::drive(const Ch* p, Py_ssize_t n, Py_ssize_t& at, Py_ssize_t floor, Py_ssize_t limit, Py_ssize_t known,
                 Span& out) {
  floor_ = floor;
  limit_ = limit;
  known_ = known;
  const int r = search_kind(p, n, at, false, out);
  if (r == kSuspended) at = idle_at_;
  return r;
}

template int Regex::drive(const Py_UCS1*, Py_ssize_t, Py_ssize_t&, Py_ssize_t, Py_ssize_t, Py_ssize_t, Span&);
template int Regex::drive(const Py_UCS2*, Py_ssize_t, Py_ssize_t&, Py_ssize_t, Py_ssize_t, Py_ssize_t, Span&);
template int Regex::drive(const Py_UCS4*, Py_ssize_t, Py_ssize_t&, Py_ssize_t, Py_ssize_t, Py_ssize_t, Span&);

namespace {

template <class Ch>
Py_UCS4 max_in(const Ch* p, Py_ssize_t a, Py_ssize_t b, Py_UCS4 acc) {
  for (Py_ssize_t k = a; k < b; ++k)
    if (p[k] > acc) acc = p[k];
  return acc;
}

Py_UCS4 max_char(PyObject* s, Py_ssize_t a, Py_ssize_t b, Py_UCS4 acc) {
  if (PyUnicode_IS_ASCII(s) || a >= b) return acc;
  const void* d = PyUnicode_DATA(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: return max_in(static_cast<const Py_UCS1*>(d), a, b, acc);
    case PyUnicode_2BYTE_KIND: return max_in(static_cast<const Py_UCS2*>(d), a, b, acc);
    default: return max_in(static_cast<const Py_UCS4*>(d), a, b, acc);
  }
}

template <class To, class From>
void convert(To* to, const From* from, Py_ssize_t n) {
  if constexpr (sizeof(To) == sizeof(From)) {
    std::memcpy(to, from, static_cast<size_t>(n) * sizeof(To));
  } else {
    for (Py_ssize_t k = 0; k < n; ++k) to[k] = static_cast<To>(from[k]);
  }
}

template <class To>
void copy_into(To* to, PyObject* from, Py_ssize_t start, Py_ssize_t n) {
  const void* d = PyUnicode_DATA(from);
  switch (PyUnicode_KIND(from)) {
    case PyUnicode_1BYTE_KIND: convert(to, static_cast<const Py_UCS1*>(d) + start, n); break;
    case PyUnicode_2BYTE_KIND: convert(to, static_cast<const Py_UCS2*>(d) + start, n); break;
    default: convert(to, static_cast<const Py_UCS4*>(d) + start, n); break;
  }
}

// Copies characters known to fit (the result's width was chosen from them).
void copy_chars(PyObject* to, Py_ssize_t at, PyObject* from, Py_ssize_t start, Py_ssize_t n) {
  if (n <= 0) return;
  void* d = PyUnicode_DATA(to);
  switch (PyUnicode_KIND(to)) {
    case PyUnicode_1BYTE_KIND: copy_into(static_cast<Py_UCS1*>(d) + at, from, start, n); break;
    case PyUnicode_2BYTE_KIND: copy_into(static_cast<Py_UCS2*>(d) + at, from, start, n); break;
    default: copy_into(static_cast<Py_UCS4*>(d) + at, from, start, n); break;
  }
}

}  // namespace

int Regex::find_all(PyObject* text, std::vector<Span>& spans) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  Py_ssize_t pos = 0;
  bool must_advance = false;
  while (pos <= n) {
    Span sp;
    const int r = search_at(text, pos, must_advance, sp);
    if (r < 0) return r;
    if (r == 0) break;
    spans.push_back(sp);
    must_advance = sp.start == sp.end;
    pos = sp.end;
  }
  return 0;
}

PyObject* Regex::replace_all(PyObject* text, PyObject* literal) {
  if (str_ready(text) < 0 || str_ready(literal) < 0) return nullptr;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  std::vector<Span> spans;
  {
    Claim claim(busy_);
    if (!claim.held()) return nullptr;  // busy: no exception set
    int r;
    if (n >= kReleaseGilAt) {
      Py_BEGIN_ALLOW_THREADS
      r = find_all(text, spans);
      Py_END_ALLOW_THREADS
    } else {
      r = find_all(text, spans);
    }
    if (r < 0) {
      set_internal_error();
      return nullptr;
    }
  }
  if (spans.empty()) return Py_NewRef(text);
  const Py_ssize_t rlen = PyUnicode_GET_LENGTH(literal);
  Py_ssize_t total = n;
  for (const Span& sp : spans) total += rlen - (sp.end - sp.start);
  // The result must be in its narrowest form, as every str is.
  Py_UCS4 maxc = max_char(literal, 0, rlen, 0);
  Py_ssize_t last = 0;
  for (const Span& sp : spans) {
    maxc = max_char(text, last, sp.start, maxc);
    last = sp.end;
  }
  maxc = max_char(text, last, n, maxc);
  Ref out = Ref::steal(PyUnicode_New(total, maxc));
  if (!out) return nullptr;
  Py_ssize_t w = 0;
  last = 0;
  for (const Span& sp : spans) {
    copy_chars(out.get(), w, text, last, sp.start - last);
    w += sp.start - last;
    copy_chars(out.get(), w, literal, 0, rlen);
    w += rlen;
    last = sp.end;
  }
  copy_chars(out.get(), w, text, last, n - last);
  return out.release();
}

}  // namespace dravik::rx

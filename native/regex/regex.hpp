// dravik::rx — a linear-time matcher that gives the same answers as `re`.
//
// What it accepts (str patterns only): literals; character sets with ranges,
// negation and escapes (\d \D \s \S \w \W, \b as backspace, \a \f \n \r \t
// \v \xhh \uhhhh \Uhhhhhhhh, escaped punctuation); '.'; \d \D \s \S \w \W;
// the assertions \b \B ^ $ \A \Z; groups (?:...), (...) and (?P<name>...)
// (captures are not reported); comments (?#...); alternation; greedy and
// lazy quantifiers ? * + {m} {m,} {,n} {m,n} (counts up to 10000); inline
// flags i, m, s, u, global (anywhere before 3.11, at the start since, as
// `re` takes them) and scoped on/off groups (?i-s:...); and the flags
// IGNORECASE, MULTILINE, DOTALL (re.UNICODE, implied for str patterns, is
// accepted).  Anything else -- lookaround, backreferences, conditional,
// atomic groups, possessive quantifiers, the VERBOSE, ASCII and LOCALE
// flags, a repeat of a subpattern that can match the empty string (other
// than ? and exact counts), under IGNORECASE characters beyond the Basic
// Multilingual Plane, and a pattern whose expanded program is too large --
// is refused at compile time with a reason, so the caller can keep using
// `re`.
//
// What it guarantees for the patterns it accepts:
//   * `search` returns the span `re.compile(p, flags).search(text, pos)`
//     would, on every input: the leftmost start, and from it the extent a
//     backtracking matcher picks first (greedy repeats, alternatives in
//     order).  `replace_all` returns what `pattern.sub(literal, text)` with a
//     template-free replacement returns, including `re`'s handling of empty
//     matches (an empty match right after a non-empty one is allowed; two
//     empty matches at the same place are not).
//   * \d, \s, \w, \b and case-insensitive matching use the running
//     interpreter's Unicode tables (Py_UNICODE_ISDECIMAL, Py_UNICODE_ISSPACE,
//     Py_UNICODE_ISALNUM or '_', Py_UNICODE_TOLOWER) and `re`'s own extra
//     case equivalences (CaseFixes, read from the interpreter).
//   * Time is linear in the text length for every accepted pattern and every
//     text; the text is read in place (1-, 2- or 4-byte representation).
//
// How: a lazily built automaton runs forward to the end of re's match (its
// states keep re's thread priorities, lazy repeats being lower-priority
// branches; assertions are decided from the kinds of the characters either
// side), a reversed one runs back from there to the start.  Text that cannot
// begin a match is skipped with vector scans for the first characters every
// match begins with; a pattern that needs a keyword (a required literal,
// literals.hpp) or a rare character jumps to its next occurrence and back
// over the characters that may precede it; and a whole table of patterns
// can be passed over once to learn which of them cannot match at all
// (table_scan.hpp).  Compiling costs about what `re` takes; the
// interpreter's character tables are read once per process.
//
// Threading: a Regex caches automaton states as it runs, so one search at a
// time may use it.  Callers hold the GIL; a search of a long text releases
// it while it reads the text (the str is immutable and held by the caller),
// and a call that finds the Regex in use by such a search returns kBusy at
// once instead of waiting (the guard then asks `re`).  No call runs Python
// code.
//
// Typical use (compile once, keep the Regex next to the pattern object):
//   CaseFixes fixes;  load_case_fixes(fixes);            // at module init
//   std::string why;
//   auto rx = Regex::from_re_pattern(re_pattern, fixes, why);
//   if (!rx) { if (PyErr_Occurred()) fail; else use re_pattern.search }
//   Span sp;  int found = rx->search(text, 0, sp);       // 1, 0, or -1
//   PyObject* out = rx->replace_all(text, placeholder);  // new reference
#pragma once

#include "regex/accelerator.hpp"
#include "regex/dfa.hpp"
#include "regex/literals.hpp"

#include <atomic>
#include <memory>
#include <string>

namespace dravik::rx {

inline constexpr long kFlagIgnoreCase = 2;  // re.IGNORECASE
inline constexpr long kFlagMultiline = 8;   // re.MULTILINE
inline constexpr long kFlagDotall = 16;     // re.DOTALL
inline constexpr long kFlagUnicode = 32;    // re.UNICODE

struct Span {
  Py_ssize_t start = 0, end = 0;
};

// Returned by search and replace_all when another thread's search is using
// the Regex.
inline constexpr int kBusy = -3;
// Texts at least this long are read without the GIL.
inline constexpr Py_ssize_t kReleaseGilAt = 65536;

class Regex {
 public:
  // Compiles a str pattern.  Null with `why` set when the pattern or flags are
  // not supported (no exception); null with an exception set (and `why`
  // empty) when the interpreter fails, e.g. out of memory.
  static std::unique_ptr<Regex> compile(PyObject* pattern, long flags, const CaseFixes& fixes, std::string& why);

  // The same from a compiled `re` pattern object (its .pattern and .flags);
  // null with `why` set when it is not a str pattern this engine takes.
  static std::unique_ptr<Regex> from_re_pattern(PyObject* re_pattern, const CaseFixes& fixes, std::string& why);

  // re's pattern.search(text, pos): 1 with `out` set, 0 when there is no
  // match, -1 with an exception set if the interpreter fails (a legacy
  // string that cannot be made ready; never otherwise).  `text` must be a
  // str (exact or subclass).
  int search(PyObject* text, Py_ssize_t pos, Span& out);

  // re's pattern.sub(literal, text) with `literal` taken verbatim: a new
  // reference (the text itself when nothing matched), or null with an
  // exception set, or null without one when the Regex is busy.
  PyObject* replace_all(PyObject* text, PyObject* literal);

  // Facts for the multi-pattern scanner.
  const Compiled& compiled() const { return c_; }

  // For a table scan (table_scan.hpp), which drives the searches of many
  // Regexes over one text itself: claims the Regex for the whole scan
  // (false when another thread's search has it), and releases it.
  bool try_claim() { return !busy_.exchange(true, std::memory_order_acquire); }
  void release() { busy_.store(false, std::memory_order_release); }

  // A step of search(text, 0) driven by a table scan, the Regex claimed:
  // the search is idle at `at` (no match starts before it), none of its
  // required literals starts in [at, floor), the literal windows it may
  // examine end at `limit`, and `known` is -2 or the first literal
  // occurrence at or after `at`.  1 with `out` set: the match; 0: no match;
  // kSuspended: idle again at `at` (updated), the next literal lying beyond
  // `limit`; -2: the impossible internal error.  Reads `p` only.
  template <class Ch>
  int drive(const Ch* p, Py_ssize_t n, Py_ssize_t& at, Py_ssize_t floor, Py_ssize_t limit, Py_ssize_t known,
            Span& out);
  static constexpr int kSuspended = 2;
  // How far past a literal occurrence's start the window the search looks
  // at may begin.
  int literal_reach() const { return lits_.reach(); }

  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;
  ~Regex() = default;

 private:
  Regex() = default;
  // The spans replace_all replaces; 0, or -2 for the impossible internal
  // error (set by the caller, with the GIL).
  int find_all(PyObject* text, std::vector<Span>& spans);
  int search_at(PyObject* text, Py_ssize_t pos, bool must_advance, Span& out);
  template <class Ch>
  int search_kind(const Ch* p, Py_ssize_t n, Py_ssize_t pos, bool must_advance, Span& out);

  // Whether text[pos:] holds a character every match needs (true when no
  // such check is worth making).
  template <class Ch>
  bool may_match(const Ch* p, Py_ssize_t n, Py_ssize_t pos) const;
  // False when out of memory.
  bool init_required();

  // Membership in the required set, exactly (beyond the BMP: by class).
  bool required_char(uint32_t c) const {
    if (c < kBmpSize) return (req_bits_[c >> 6] >> (c & 63)) & 1;
    for (uint16_t s : c_.required)
      if (c_.sets[s].contains(c)) return true;
    return false;
  }
  // Characters a match can hold before its first required character (a
  // superset: everything beyond the BMP counts).
  bool before_char(uint32_t c) const {
    return c >= kBmpSize || ((before_bits_[c >> 6] >> (c & 63)) & 1);
  }
  bool init_before();

  Compiled c_;
  bool req_on_ = false;
  LaneTest req8_, req16_, req32_;
  Array<uint64_t> req_bits_, before_bits_;
  Alphabet ab_;
  Dfa fwd_, rev_;
  Accelerator acc_;
  LiteralFinder lits_;
  Py_ssize_t floor_ = 0;  // of the search under way
  Py_ssize_t limit_ = PY_SSIZE_T_MAX, known_ = -2;
  Py_ssize_t idle_at_ = 0;  // where a suspended search stopped
  std::atomic<bool> busy_{false};
};

}  // namespace dravik::rx

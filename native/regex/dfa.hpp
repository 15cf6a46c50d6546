// A lazily built deterministic automaton over a program.
//
// A state is the ordered list of program threads alive between two
// characters (highest priority first) plus the kind of the character behind
// it (see Ctx) and whether a match was already seen.  Assertions are
// decided when the character ahead is known: its kind comes with its class.  Stepping a state
// over one character follows the threads in priority order, exactly as a
// backtracking matcher would try them, so the forward automaton reports the
// end of `re`'s leftmost-first match: when a thread reaches the match, the
// lower-priority threads behind it (later starts included) are dropped.  The
// reverse automaton runs the reversed program anchored at that end and
// reports every position where the reversed program matches; the smallest
// is the start.  Each step costs at most one pass over the program, and
// steps are cached per (state, character class), so a search is linear in
// the text whatever the cache does.
#pragma once

#include "regex/program.hpp"

#include <map>
#include <memory>
#include <string>
#include <unordered_map>

namespace dravik::rx {

// What the assertions need to know of the character on one side of a
// position: a word character, a newline, another character, no character
// (the edge of the text), or the newline that ends the text.
enum Ctx : uint8_t { X_OTHER = 0, X_WORD = 1, X_NEWLINE = 2, X_EDGE = 3, X_FINAL = 4 };
inline constexpr int kCtxCount = 5;

// Signature bits beyond the classes'.
inline constexpr int kSigWord = 61, kSigNewline = 62, kSigFinal = 63;

inline Ctx ctx_of_sig(uint64_t sig) {
  if ((sig >> kSigFinal) & 1) return X_FINAL;
  if ((sig >> kSigNewline) & 1) return X_NEWLINE;
  return ((sig >> kSigWord) & 1) ? X_WORD : X_OTHER;
}
inline Ctx ctx_of_char(uint32_t c) { return c == '\n' ? X_NEWLINE : is_word(c) ? X_WORD : X_OTHER; }

// Characters grouped by how every class of a program treats them (and
// whether they are word characters or a newline): the automaton's alphabet.
// One more symbol stands for a newline that ends the text.
class Alphabet {
 public:
  void init(const std::vector<CharSet>* sets);
  uint16_t latin1[256];
  uint16_t final_newline() const { return final_nl_; }

  uint16_t of(uint32_t c) {
    if (c < 256) return latin1[c];
    if (c < kBmpSize) {
      const uint16_t* b = blocks_[c >> 8].get();
      if (b == nullptr) b = build_block(c >> 8);
      return b[c & 255];
    }
    return astral(c);
  }
  uint64_t signature(uint16_t id) const { return sigs_[id]; }
  size_t size() const { return sigs_.size(); }

 private:
  uint64_t sig_of(uint32_t c) const;
  uint16_t id_of(uint64_t sig);
  const uint16_t* build_block(uint32_t block);
  uint16_t astral(uint32_t c);

  const std::vector<CharSet>* sets_ = nullptr;
  std::vector<uint64_t> sigs_;
  std::unordered_map<uint64_t, uint16_t> ids_;
  std::unique_ptr<uint16_t[]> blocks_[256];
  std::unordered_map<uint32_t, uint16_t> astral_;
  uint16_t final_nl_ = 0;
};

class Dfa {
 public:
  enum Mode : uint8_t { Forward, Reverse };
  // States 0..4: the initial states, one per kind of the character behind
  // (forward: no threads yet; reverse: the program's start); 5: dead.
  static constexpr int kDead = kCtxCount;
  static constexpr int kFirstBusy = kCtxCount + 1;

  void init(const Program* prog, Alphabet* ab, Mode mode);

  static int initial(Ctx behind) { return behind; }

  // (next state << 1) | (a match ends before this character).
  int32_t step(int s, uint16_t eq) {
    if (eq < stride_) {
      const int32_t t = table_[(static_cast<size_t>(s) << shift_) | eq];
      if (t >= 0) return t;
    }
    return step_slow(s, eq);
  }
  const int32_t* table() const { return table_.data(); }
  int shift() const { return shift_; }
  uint32_t stride() const { return stride_; }

  // Whether a match ends at the end of the text, the automaton being in `s`.
  bool final_match(int s);
  // The first step of a search that must not return an empty match at its
  // start: like step(initial(behind), eq) with that match ignored.
  int32_t first_step_nonempty(Ctx behind, uint16_t eq);
  // A match of the empty text (where \b and \B both fail).
  bool matches_empty_text();

 private:
  // State flags: the Ctx of the character behind, and kMatched.
  static constexpr uint8_t kCtxMask = 7, kMatched = 8;
  struct State {
    std::vector<uint32_t> roots;
    uint8_t flags;
    int8_t final = -1;
  };

  int32_t step_slow(int s, uint16_t eq);
  // Core of every transition: over the character of signature `sig`, or
  // past the end of the text when `consume` is false; fills
  // `out_roots`/`out_flags`.
  bool advance(const std::vector<uint32_t>& roots, uint8_t flags, uint64_t sig, bool consume, bool ignore_match,
               std::vector<uint32_t>& out_roots, uint8_t& out_flags);
  int intern(const std::vector<uint32_t>& roots, uint8_t flags);
  void reset();
  void grow_stride(uint32_t need);

  const Program* prog_ = nullptr;
  Alphabet* ab_ = nullptr;
  Mode mode_ = Forward;
  std::vector<State> states_;
  std::unordered_map<std::string, int> index_;
  std::vector<int32_t> table_;
  int shift_ = 0;
  uint32_t stride_ = 0;
  // Scratch for `advance`.
  std::vector<uint32_t> mark_, stack_, chars_, scratch_roots_;
  uint32_t gen_ = 0;
};

}  // namespace dravik::rx

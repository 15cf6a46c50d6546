// A lazily built deterministic automaton over a program.
//
// A state is the ordered list of program threads alive between two
// characters (highest priority first) plus whether the previous character is
// a word character and whether a match was already seen.  Stepping a state
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

// Characters grouped by how every class of a program treats them (and
// whether they are word characters): the automaton's alphabet.
class Alphabet {
 public:
  void init(const std::vector<CharSet>* sets);
  uint16_t latin1[256];

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
  size_t word_bit() const { return sets_->size(); }

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
};

class Dfa {
 public:
  enum Mode : uint8_t { Forward, Reverse };
  static constexpr int kDead = 2;

  void init(const Program* prog, Alphabet* ab, Mode mode);

  // States 0 and 1: the initial states after a non-word / word character
  // (forward: no threads yet; reverse: the program's start).
  static int initial(bool prev_word) { return prev_word ? 1 : 0; }

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
  // start: like step(initial(prev_word), eq) with that match ignored.
  int32_t first_step_nonempty(bool prev_word, uint16_t eq);
  // A match of the empty text (where \b and \B both fail).
  bool matches_empty_text();

 private:
  struct State {
    std::vector<uint32_t> roots;
    uint8_t flags;  // 1: previous character is a word character; 2: matched
    int8_t final = -1;
  };

  int32_t step_slow(int s, uint16_t eq);
  // Core of every transition; fills `out_roots`/`out_flags`.
  bool advance(const std::vector<uint32_t>& roots, uint8_t flags, uint64_t sig, bool consume, bool next_word,
               bool ignore_match, bool empty_text, std::vector<uint32_t>& out_roots, uint8_t& out_flags);
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

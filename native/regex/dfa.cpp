#include "regex/dfa.hpp"

#include <cstring>

namespace dravik::rx {

namespace {
constexpr size_t kMaxStates = 3000;  // with the table cap: at most ~1 MB per automaton
constexpr size_t kMaxTableEntries = size_t{1} << 18;

std::string state_key(const std::vector<uint32_t>& roots, uint8_t flags) {
  std::string key;
  key.reserve(1 + roots.size() * 4);
  key.push_back(static_cast<char>(flags));
  key.append(reinterpret_cast<const char*>(roots.data()), roots.size() * 4);
  return key;
}
}  // namespace

// ---- Alphabet --------------------------------------------------------------

void Alphabet::init(const std::vector<CharSet>* sets) {
  sets_ = sets;
  sigs_.clear();
  ids_.clear();
  astral_.clear();
  for (auto& b : blocks_) b.reset();
  for (uint32_t c = 0; c < 256; ++c) latin1[c] = id_of(sig_of(c));
}

uint64_t Alphabet::sig_of(uint32_t c) const {
  uint64_t sig = 0;
  const size_t n = sets_->size();
  for (size_t k = 0; k < n; ++k)
    if ((*sets_)[k].contains(c)) sig |= uint64_t{1} << k;
  if (is_word(c)) sig |= uint64_t{1} << n;
  return sig;
}

uint16_t Alphabet::id_of(uint64_t sig) {
  auto it = ids_.find(sig);
  if (it != ids_.end()) return it->second;
  const uint16_t id = static_cast<uint16_t>(sigs_.size());
  sigs_.push_back(sig);
  ids_.emplace(sig, id);
  return id;
}

const uint16_t* Alphabet::build_block(uint32_t block) {
  auto b = std::make_unique<uint16_t[]>(256);
  for (uint32_t k = 0; k < 256; ++k) b[k] = id_of(sig_of((block << 8) | k));
  blocks_[block] = std::move(b);
  return blocks_[block].get();
}

uint16_t Alphabet::astral(uint32_t c) {
  auto it = astral_.find(c);
  if (it != astral_.end()) return it->second;
  const uint16_t id = id_of(sig_of(c));
  if (astral_.size() < 65536) astral_.emplace(c, id);
  return id;
}

// ---- Dfa -------------------------------------------------------------------

void Dfa::init(const Program* prog, Alphabet* ab, Mode mode) {
  prog_ = prog;
  ab_ = ab;
  mode_ = mode;
  mark_.assign(prog->code.size(), 0);
  gen_ = 0;
  stride_ = 0;
  shift_ = 0;
  grow_stride(static_cast<uint32_t>(ab->size()) + 8);
  reset();
}

void Dfa::grow_stride(uint32_t need) {
  int shift = shift_;
  while ((uint32_t{1} << shift) < need) ++shift;
  if (shift == shift_ && stride_ != 0) return;
  std::vector<int32_t> table(states_.size() << shift, -1);
  for (size_t s = 0; s < states_.size(); ++s)
    for (uint32_t e = 0; e < stride_; ++e) table[(s << shift) | e] = table_[(s << shift_) | e];
  table_ = std::move(table);
  shift_ = shift;
  stride_ = uint32_t{1} << shift;
}

void Dfa::reset() {
  states_.clear();
  index_.clear();
  table_.clear();
  std::vector<uint32_t> roots;
  if (mode_ == Reverse) roots.push_back(prog_->start);
  // 0, 1: initial states; 2: dead.
  for (uint8_t w = 0; w < 2; ++w) {
    states_.push_back(State{roots, w});
    index_.emplace(state_key(roots, w), static_cast<int>(w));
  }
  states_.push_back(State{{}, 2});
  table_.assign(states_.size() << shift_, -1);
}

int Dfa::intern(const std::vector<uint32_t>& roots, uint8_t flags) {
  if (roots.empty()) {
    if (mode_ == Reverse || (flags & 2)) return kDead;
    return flags & 1;  // no threads and no match yet: an initial state
  }
  std::string key = state_key(roots, flags);
  auto it = index_.find(key);
  if (it != index_.end()) return it->second;
  const int id = static_cast<int>(states_.size());
  states_.push_back(State{roots, flags});
  index_.emplace(std::move(key), id);
  table_.resize(states_.size() << shift_, -1);
  return id;
}

bool Dfa::advance(const std::vector<uint32_t>& roots, uint8_t flags, uint64_t sig, bool consume, bool next_word,
                  bool ignore_match, bool empty_text, std::vector<uint32_t>& out_roots, uint8_t& out_flags) {
  const bool prev_word = flags & 1;
  const bool forward = mode_ == Forward;
  const bool add_start = forward && !(flags & 2);
  const bool boundary = !empty_text && prev_word != next_word;
  const bool non_boundary = !empty_text && prev_word == next_word;
  if (++gen_ == 0) {
    std::fill(mark_.begin(), mark_.end(), 0);
    gen_ = 1;
  }
  chars_.clear();
  bool matched = false;
  const size_t nseeds = roots.size() + (add_start ? 1 : 0);
  for (size_t k = 0; k < nseeds && !(matched && forward); ++k) {
    stack_.clear();
    stack_.push_back(k < roots.size() ? roots[k] : prog_->start);
    while (!stack_.empty()) {
      const uint32_t pc = stack_.back();
      stack_.pop_back();
      if (mark_[pc] == gen_) continue;
      mark_[pc] = gen_;
      const Inst& in = prog_->code[pc];
      switch (in.op) {
        case I_CHAR: chars_.push_back(pc); break;
        case I_MATCH:
          if (ignore_match) break;
          matched = true;
          // Forward: everything not yet explored has lower priority.
          if (forward) stack_.clear();
          break;
        case I_JMP: stack_.push_back(in.x); break;
        case I_SPLIT:
          stack_.push_back(in.y);
          stack_.push_back(in.x);
          break;
        case I_ASSERT_B:
          if (boundary) stack_.push_back(in.x);
          break;
        case I_ASSERT_NB:
          if (non_boundary) stack_.push_back(in.x);
          break;
      }
    }
  }
  out_roots.clear();
  if (consume) {
    if (++gen_ == 0) {
      std::fill(mark_.begin(), mark_.end(), 0);
      gen_ = 1;
    }
    for (uint32_t pc : chars_) {
      const Inst& in = prog_->code[pc];
      if (!((sig >> in.cls) & 1)) continue;
      if (mark_[in.x] == gen_) continue;
      mark_[in.x] = gen_;
      out_roots.push_back(in.x);
    }
  }
  out_flags = static_cast<uint8_t>((next_word ? 1 : 0) | ((flags & 2) || (forward && matched) ? 2 : 0));
  return matched;
}

int32_t Dfa::step_slow(int s, uint16_t eq) {
  if (eq >= stride_) grow_stride(eq + 1u);
  const uint64_t sig = ab_->signature(eq);
  const bool next_word = (sig >> ab_->word_bit()) & 1;
  std::vector<uint32_t> roots = states_[s].roots;
  uint8_t flags = 0;
  const bool matched = advance(roots, states_[s].flags, sig, true, next_word, false, false, scratch_roots_, flags);
  if (states_.size() >= kMaxStates || table_.size() >= kMaxTableEntries) {
    // Start afresh; the caller only keeps the state returned.
    reset();
    return (intern(scratch_roots_, flags) << 1) | (matched ? 1 : 0);
  }
  const int t = intern(scratch_roots_, flags);
  const int32_t packed = (t << 1) | (matched ? 1 : 0);
  table_[(static_cast<size_t>(s) << shift_) | eq] = packed;
  return packed;
}

bool Dfa::final_match(int s) {
  if (states_[s].final >= 0) return states_[s].final != 0;
  uint8_t flags = 0;
  std::vector<uint32_t> roots = states_[s].roots;
  const bool m = advance(roots, states_[s].flags, 0, false, false, false, false, scratch_roots_, flags);
  states_[s].final = m ? 1 : 0;
  return m;
}

int32_t Dfa::first_step_nonempty(bool prev_word, uint16_t eq) {
  const uint64_t sig = ab_->signature(eq);
  const bool next_word = (sig >> ab_->word_bit()) & 1;
  std::vector<uint32_t> roots = states_[initial(prev_word)].roots;
  uint8_t flags = 0;
  advance(roots, prev_word ? 1 : 0, sig, true, next_word, true, false, scratch_roots_, flags);
  return intern(scratch_roots_, flags) << 1;
}

bool Dfa::matches_empty_text() {
  std::vector<uint32_t> roots = states_[0].roots;
  uint8_t flags = 0;
  return advance(roots, 0, 0, false, false, false, true, scratch_roots_, flags);
}

}  // namespace dravik::rx

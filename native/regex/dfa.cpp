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
  final_nl_ = id_of(sig_of('\n') | (uint64_t{1} << kSigFinal));
}

uint64_t Alphabet::sig_of(uint32_t c) const {
  uint64_t sig = 0;
  const size_t n = sets_->size();
  for (size_t k = 0; k < n; ++k)
    if ((*sets_)[k].contains(c)) sig |= uint64_t{1} << k;
  if (is_word(c)) sig |= uint64_t{1} << kSigWord;
  if (c == '\n') sig |= uint64_t{1} << kSigNewline;
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
  for (uint8_t k = 0; k < kCtxCount; ++k) {
    states_.push_back(State{roots, k});
    index_.emplace(state_key(roots, k), static_cast<int>(k));
  }
  states_.push_back(State{{}, kMatched});  // dead
  table_.assign(states_.size() << shift_, -1);
}

int Dfa::intern(const std::vector<uint32_t>& roots, uint8_t flags) {
  if (roots.empty()) {
    if (mode_ == Reverse || (flags & kMatched)) return kDead;
    return flags & kCtxMask;  // no threads and no match yet: an initial state
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

namespace {
// Whether an assertion holds between a character of kind `left` and one of
// kind `right`.  \b and \B both fail in the empty text, as in `re`.
bool assertion_holds(InstOp op, int left, int right) {
  const bool lw = left == X_WORD, rw = right == X_WORD;
  const bool empty = left == X_EDGE && right == X_EDGE;
  switch (op) {
    case I_ASSERT_B: return !empty && lw != rw;
    case I_ASSERT_NB: return !empty && lw == rw;
    case I_BEGIN_TEXT: return left == X_EDGE;
    case I_BEGIN_LINE: return left == X_EDGE || left == X_NEWLINE || left == X_FINAL;
    case I_END_TEXT: return right == X_EDGE;
    case I_END_TEXT_NL: return right == X_EDGE || right == X_FINAL;
    case I_END_LINE: return right == X_EDGE || right == X_NEWLINE || right == X_FINAL;
    default: return false;
  }
}
}  // namespace

bool Dfa::advance(const std::vector<uint32_t>& roots, uint8_t flags, uint64_t sig, bool consume, bool ignore_match,
                  std::vector<uint32_t>& out_roots, uint8_t& out_flags) {
  const bool forward = mode_ == Forward;
  const bool add_start = forward && !(flags & kMatched);
  const int behind = flags & kCtxMask;
  const int ahead = consume ? ctx_of_sig(sig) : X_EDGE;
  // Forward, the character behind is on the left; in reverse, on the right.
  const int left = forward ? behind : ahead, right = forward ? ahead : behind;
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
        default:
          if (assertion_holds(in.op, left, right)) stack_.push_back(in.x);
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
  // The consumed character is behind the next state; a newline ending the
  // text only matters ahead of a forward position or behind a reverse one.
  int next_ctx = ahead;
  if (forward && next_ctx == X_FINAL) next_ctx = X_NEWLINE;
  if (!consume) next_ctx = behind;
  out_flags = static_cast<uint8_t>(next_ctx | ((flags & kMatched) || (forward && matched) ? kMatched : 0));
  return matched;
}

int32_t Dfa::step_slow(int s, uint16_t eq) {
  if (eq >= stride_) grow_stride(eq + 1u);
  const uint64_t sig = ab_->signature(eq);
  std::vector<uint32_t> roots = states_[s].roots;
  uint8_t flags = 0;
  const bool matched = advance(roots, states_[s].flags, sig, true, false, scratch_roots_, flags);
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
  const bool m = advance(roots, states_[s].flags, 0, false, false, scratch_roots_, flags);
  states_[s].final = m ? 1 : 0;
  return m;
}

int32_t Dfa::first_step_nonempty(Ctx behind, uint16_t eq) {
  const uint64_t sig = ab_->signature(eq);
  std::vector<uint32_t> roots = states_[initial(behind)].roots;
  uint8_t flags = 0;
  advance(roots, behind, sig, true, true, scratch_roots_, flags);
  return intern(scratch_roots_, flags) << 1;
}

bool Dfa::matches_empty_text() {
  std::vector<uint32_t> roots = states_[initial(X_EDGE)].roots;
  uint8_t flags = 0;
  return advance(roots, X_EDGE, 0, false, false, scratch_roots_, flags);
}

}  // namespace dravik::rx

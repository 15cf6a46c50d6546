#include "instrumentors/guard/literal_set.hpp"

#include <bit>

namespace dravik::guard {

namespace {

inline uint64_t edge_key(int32_t state, uint32_t ch) noexcept {
  return (static_cast<uint64_t>(static_cast<uint32_t>(state)) << 21 | ch) + 1;  // 0 marks a free slot
}

inline size_t slot_of(uint64_t key, size_t mask) noexcept {
  return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 20) & mask;
}

}  // namespace

bool LiteralSet::start(uint32_t count, size_t total_chars) {
  const size_t slots = std::bit_ceil(2 * total_chars + 16);
  mask_ = slots - 1;
  if (!keys_.allocate_zeroed(slots) || !targets_.allocate(slots) || !next_.allocate_filled(count, -1)) return false;
  for (int32_t& e : root_edges_) e = -1;
  edges_.clear();
  depth_.clear();
  fail_.clear();
  output_.clear();
  ends_.clear();
  stamp_.clear();
  scans_ = 0;
  longest_ = 0;
  return new_state(0) == 0;
}

int32_t LiteralSet::new_state(int32_t depth) {
  const int32_t id = static_cast<int32_t>(fail_.size());
  if (!fail_.push(0) || !output_.push(-1) || !ends_.push(-1) || !stamp_.push(0) || !depth_.push(depth)) return -1;
  return id;
}

int32_t LiteralSet::child(int32_t state, uint32_t ch) const noexcept {
  if (state == 0 && ch < 256) return root_edges_[ch];
  const uint64_t key = edge_key(state, ch);
  for (size_t at = slot_of(key, mask_);; at = (at + 1) & mask_) {
    if (keys_[at] == key) return targets_[at];
    if (keys_[at] == 0) return -1;
  }
}

bool LiteralSet::set_child(int32_t state, uint32_t ch, int32_t to) {
  if (state == 0 && ch < 256) root_edges_[ch] = to;
  const uint64_t key = edge_key(state, ch);
  size_t at = slot_of(key, mask_);
  while (keys_[at] != 0) at = (at + 1) & mask_;
  keys_[at] = key;
  targets_[at] = to;
  return edges_.push(key);
}

bool LiteralSet::add(uint32_t id, PyObject* s) {
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  if (n > longest_) longest_ = n;
  int32_t state = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const uint32_t ch = PyUnicode_READ(kind, data, i);
    int32_t to = child(state, ch);
    if (to < 0) {
      to = new_state(static_cast<int32_t>(i) + 1);
      if (to < 0 || !set_child(state, ch, to)) return false;
    }
    state = to;
  }
  next_[id] = ends_[static_cast<size_t>(state)];
  ends_[static_cast<size_t>(state)] = static_cast<int32_t>(id);
  return true;
}

bool LiteralSet::finish() {
  // Failure links breadth-first: a state's link is shallower than it, so
  // in order of depth every link a child's depends on is already known.
  const size_t edges = edges_.size();
  diff::Array<uint32_t> order, start;
  if (!order.allocate(edges) || !start.allocate_zeroed(static_cast<size_t>(longest_) + 2)) return false;
  auto child_depth = [this](uint64_t stored) {
    const uint64_t key = stored - 1;
    const int32_t node = child(static_cast<int32_t>(key >> 21), static_cast<uint32_t>(key & 0x1FFFFF));
    return static_cast<size_t>(depth_[static_cast<size_t>(node)]);
  };
  for (size_t k = 0; k < edges; ++k) ++start[child_depth(edges_[k])];
  for (size_t d = 1; d < start.size(); ++d) start[d] += start[d - 1];
  for (size_t k = edges; k-- > 0;) order[--start[child_depth(edges_[k])]] = static_cast<uint32_t>(k);
  for (size_t n = 0; n < edges; ++n) {
    const uint64_t key = edges_[order[n]] - 1;
    const int32_t parent = static_cast<int32_t>(key >> 21);
    const uint32_t ch = static_cast<uint32_t>(key & 0x1FFFFF);
    const int32_t node = child(parent, ch);
    int32_t f = -1;
    if (parent != 0) {
      for (int32_t s = fail_[static_cast<size_t>(parent)];; s = fail_[static_cast<size_t>(s)]) {
        f = child(s, ch);
        if (f >= 0 || s == 0) break;
      }
    }
    if (f < 0) f = 0;
    fail_[static_cast<size_t>(node)] = f;
    output_[static_cast<size_t>(node)] = ends_[static_cast<size_t>(f)] >= 0 ? f : output_[static_cast<size_t>(f)];
  }
  return true;
}

uint32_t LiteralSet::scan(PyObject* s, Py_ssize_t lo, Py_ssize_t hi, uint8_t* seen, int64_t after) {
  if (++scans_ == 0) {
    for (size_t k = 0; k < stamp_.size(); ++k) stamp_[k] = 0;
    scans_ = 1;
  }
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  int32_t state = 0;
  uint32_t marked = 0;
  for (Py_ssize_t i = lo; i < hi; ++i) {
    const uint32_t ch = PyUnicode_READ(kind, data, i);
    int32_t to;
    while ((to = child(state, ch)) < 0 && state != 0) state = fail_[static_cast<size_t>(state)];
    state = to < 0 ? 0 : to;
    int32_t out = ends_[static_cast<size_t>(state)] >= 0 ? state : output_[static_cast<size_t>(state)];
    // A state reported once in this scan has had its whole chain reported.
    while (out >= 0 && stamp_[static_cast<size_t>(out)] != scans_) {
      stamp_[static_cast<size_t>(out)] = scans_;
      for (int32_t id = ends_[static_cast<size_t>(out)]; id >= 0; id = next_[static_cast<size_t>(id)]) {
        if (!seen[id] && id > after) ++marked;
        seen[id] = 1;
      }
      out = output_[static_cast<size_t>(out)];
    }
  }
  return marked;
}

}  // namespace dravik::guard

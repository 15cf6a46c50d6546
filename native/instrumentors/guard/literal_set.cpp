#include "instrumentors/guard/literal_set.hpp"

#include <bit>
#include <cstring>

namespace dravik::guard {

namespace {

inline uint64_t edge_key(int32_t state, uint32_t ch) noexcept {
  return (static_cast<uint64_t>(static_cast<uint32_t>(state)) << 21 | ch) + 1;  // 0 marks a free slot
}

// Transition tables up to this many entries (16 MB).
constexpr size_t kTableLimit = size_t{1} << 22;

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
  for (uint32_t& c : low_class_) c = 0;
  classes_ = 1;
  const size_t wide_slots = std::bit_ceil(2 * total_chars + 16);
  if (!high_keys_.allocate_zeroed(wide_slots) || !high_classes_.allocate(wide_slots)) return false;
  high_mask_ = wide_slots - 1;
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
    if (!add_class(ch)) return false;
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

bool LiteralSet::add_class(uint32_t ch) {
  if (ch < 256) {
    if (low_class_[ch] == 0) low_class_[ch] = classes_++;
    return true;
  }
  size_t at = static_cast<size_t>(ch * 0x9E3779B1u) & high_mask_;
  while (high_keys_[at] != 0) {
    if (high_keys_[at] == ch) return true;
    at = (at + 1) & high_mask_;
  }
  high_keys_[at] = ch;  // never 0: wide characters are >= 256
  high_classes_[at] = classes_++;
  return true;
}

uint32_t LiteralSet::class_of(uint32_t ch) const noexcept {
  if (ch < 256) return low_class_[ch];
  for (size_t at = static_cast<size_t>(ch * 0x9E3779B1u) & high_mask_;; at = (at + 1) & high_mask_) {
    if (high_keys_[at] == ch) return high_classes_[at];
    if (high_keys_[at] == 0) return 0;
  }
}

// The full transition table, when states times classes stays small: a
// state's row is its failure target's row with its own edges laid over it.
bool LiteralSet::build_table() {
  const size_t states = fail_.size();
  const size_t width = classes_;
  if (states * width > kTableLimit) return true;  // scans use the edge table
  const size_t edges = edges_.size();
  Array<uint32_t> start, by_parent;
  if (!table_.allocate(states * width) || !report_.allocate(states) || !start.allocate_zeroed(states + 1) ||
      !by_parent.allocate(edges)) {
    return false;
  }
  auto parent_of = [this](size_t k) { return static_cast<size_t>((edges_[k] - 1) >> 21); };
  for (size_t k = 0; k < edges; ++k) ++start[parent_of(k) + 1];
  for (size_t st = 1; st <= states; ++st) start[st] += start[st - 1];
  for (size_t k = 0; k < edges; ++k) by_parent[start[parent_of(k)]++] = static_cast<uint32_t>(k);
  for (size_t st = states; st > 0; --st) start[st] = start[st - 1];
  start[0] = 0;
  // States in order of depth: a state's failure target is shallower.
  for (size_t n = 0; n <= edges; ++n) {
    size_t st = 0;
    if (n > 0) {
      const uint64_t key = edges_[edge_order_[n - 1]] - 1;
      st = static_cast<size_t>(child(static_cast<int32_t>(key >> 21), static_cast<uint32_t>(key & 0x1FFFFF)));
    }
    int32_t* row = table_.data() + st * width;
    if (st == 0) {
      for (size_t c = 0; c < width; ++c) row[c] = 0;
    } else {
      std::memcpy(row, table_.data() + static_cast<size_t>(fail_[st]) * width, width * sizeof(int32_t));
    }
    for (uint32_t e = start[st]; e < start[st + 1]; ++e) {
      const uint64_t key = edges_[by_parent[e]] - 1;
      const uint32_t ch = static_cast<uint32_t>(key & 0x1FFFFF);
      row[class_of(ch)] = child(static_cast<int32_t>(st), ch);
    }
    report_[st] = ends_[st] >= 0 ? static_cast<int32_t>(st) : output_[st];
  }
  // A transition into a state that reports is stored as ~state, so a scan
  // reads one number per character.
  for (size_t k = 0; k < states * width; ++k) {
    if (report_[static_cast<size_t>(table_[k])] >= 0) table_[k] = ~table_[k];
  }
  return true;
}

bool LiteralSet::finish() {
  // Failure links breadth-first: a state's link is shallower than it, so
  // in order of depth every link a child's depends on is already known.
  const size_t edges = edges_.size();
  Array<uint32_t>& order = edge_order_;
  Array<uint32_t> start;
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
  return build_table();
}

template <class Next>
uint32_t LiteralSet::scan_with(PyObject* s, Py_ssize_t lo, Py_ssize_t hi, uint8_t* seen, int64_t after, Next next) {
  if (++scans_ == 0) {
    for (size_t k = 0; k < stamp_.size(); ++k) stamp_[k] = 0;
    scans_ = 1;
  }
  uint32_t marked = 0;
  auto run = [&](const auto* chars) {
    int32_t state = 0;
    for (Py_ssize_t i = lo; i < hi; ++i) {
      int32_t out;
      state = next(state, static_cast<uint32_t>(chars[i]), out);
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
  };
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: run(PyUnicode_1BYTE_DATA(s)); break;
    case PyUnicode_2BYTE_KIND: run(PyUnicode_2BYTE_DATA(s)); break;
    default: run(PyUnicode_4BYTE_DATA(s)); break;
  }
  return marked;
}

uint32_t LiteralSet::scan(PyObject* s, Py_ssize_t lo, Py_ssize_t hi, uint8_t* seen, int64_t after) {
  if (!table_.empty()) {
    const int32_t* table = table_.data();
    const int32_t* report = report_.data();
    const size_t width = classes_;
    return scan_with(s, lo, hi, seen, after, [&](int32_t state, uint32_t ch, int32_t& out) {
      int32_t to = table[static_cast<size_t>(state) * width + class_of(ch)];
      out = -1;
      if (to < 0) {
        to = ~to;
        out = report[to];
      }
      return to;
    });
  }
  return scan_with(s, lo, hi, seen, after, [&](int32_t state, uint32_t ch, int32_t& out) {
    int32_t to;
    while ((to = child(state, ch)) < 0 && state != 0) state = fail_[static_cast<size_t>(state)];
    to = to < 0 ? 0 : to;
    out = ends_[static_cast<size_t>(to)] >= 0 ? to : output_[static_cast<size_t>(to)];
    return to;
  });
}

}  // namespace dravik::guard

// One pass over a text for all the patterns of a table.
//
// Every pattern with required literals (see literals.hpp) has each of its
// literals indexed by a pair of adjacent characters (or one rare one); a
// single walk over the text looks every position up in a bit table and
// confirms the literals behind a hit.  It tells, for each such pattern,
// that it cannot match (none of its literals occurs) or from where its own
// search need look for them; patterns without literals search as usual.
#pragma once

#include "regex/regex.hpp"

#include <array>
#include <memory>
#include <optional>
#include <unordered_map>

namespace dravik::rx {

inline constexpr Py_ssize_t kNoHint = -2;  // no literal requirement indexed: search as usual
inline constexpr Py_ssize_t kAbsent = -1;  // a required literal is absent: no match

class TableScanner {
 public:
  // The patterns must outlive the scanner.
  explicit TableScanner(std::vector<Regex*> patterns);

  // out[k]: kNoHint, kAbsent, or a position before which none of pattern
  // k's literals starts (for Regex::search's `literal_floor`).  `text` is a
  // ready str; touches no Python object beyond reading it.
  void hints(PyObject* text, std::vector<Py_ssize_t>& out) const;

  // The first match of every pattern, in order (nullopt for none).
  int search_each(PyObject* text, std::vector<std::optional<Span>>& out) const;

  const std::vector<Regex*>& patterns() const { return patterns_; }

 private:
  struct Entry {
    uint16_t pattern;
    uint16_t literal;
    uint8_t off;  // offset of the indexed position in the literal
  };
  uint8_t key(uint32_t c) const {
    if (c < kBmpSize) return key16_[c];
    auto it = astral_keys_.find(c);
    return it == astral_keys_.end() ? kOther : it->second;
  }
  template <class Ch>
  void scan(const Ch* p, Py_ssize_t n, std::vector<Py_ssize_t>& out) const;

  static constexpr uint8_t kOther = 254;  // any character without a key of its own

  std::vector<Regex*> patterns_;
  std::vector<uint8_t> max_off_;        // per pattern
  std::vector<char> indexed_flag_;      // per pattern: its literals are all indexed
  size_t indexed_ = 0;                  // patterns with literals in the index
  std::vector<uint8_t> key16_;          // key of every BMP character
  std::unordered_map<uint32_t, uint8_t> astral_keys_;
  uint64_t single_bits_[4] = {};        // keys that are one-character literals
  std::vector<uint64_t> pair_bits_;     // 256 * 256 bits: indexed pairs
  std::vector<uint16_t> bucket_of_;     // pair -> bucket (0: none)
  std::vector<std::vector<Entry>> buckets_;
  std::vector<std::array<uint64_t, 4>> third_;  // per bucket: keys that may follow the pair
  std::vector<Entry> singles_[256];
};

}  // namespace dravik::rx

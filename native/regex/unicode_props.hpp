// The running interpreter's character properties, as `re` sees them for str
// patterns: \d is Py_UNICODE_ISDECIMAL, \s Py_UNICODE_ISSPACE, \w
// Py_UNICODE_ISALNUM or '_', and case-insensitive matching lowers with
// Py_UNICODE_TOLOWER.  The Basic Multilingual Plane is tabulated once per
// process from the interpreter's own functions (its Unicode version, not one
// baked in at build time); characters beyond it are asked for directly.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace dravik::rx {

inline constexpr uint32_t kBmpSize = 0x10000;
inline constexpr uint32_t kMaxCode = 0x10FFFF;

enum PropBit : uint8_t { P_DECIMAL = 1, P_SPACE = 2, P_WORD = 4, P_CASED = 8 };

struct BmpProps {
  uint32_t lower[kBmpSize];
  uint8_t bits[kBmpSize];
  // 64-bit words of the BMP bitmaps of \d, \s and \w, and of the same
  // classes tested on the lowered character.
  uint64_t digit[kBmpSize / 64], space[kBmpSize / 64], word[kBmpSize / 64];
  uint64_t low_digit[kBmpSize / 64], low_space[kBmpSize / 64], low_word[kBmpSize / 64];
  // Characters whose lowercase is the index: preimages of Py_UNICODE_TOLOWER
  // over the BMP, as offsets into `pre_chars`.
  std::vector<uint32_t> pre_start, pre_chars;
};

// The tables; built on first use (the caller holds the GIL).  Asked for
// per character, so the built tables are reached without a lock.
extern std::atomic<const BmpProps*> g_bmp_props;
const BmpProps& build_bmp_props();
inline const BmpProps& bmp_props() {
  const BmpProps* p = g_bmp_props.load(std::memory_order_acquire);
  return p != nullptr ? *p : build_bmp_props();
}

inline uint32_t lower_of(uint32_t c) {
  return c < kBmpSize ? bmp_props().lower[c] : static_cast<uint32_t>(Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c)));
}
inline bool is_cased(uint32_t c) {
  if (c < kBmpSize) return (bmp_props().bits[c] & P_CASED) != 0;
  const Py_UCS4 u = static_cast<Py_UCS4>(c);
  return Py_UNICODE_TOLOWER(u) != u || Py_UNICODE_TOUPPER(u) != u;
}
inline bool is_word(uint32_t c) {
  if (c < kBmpSize) return (bmp_props().bits[c] & P_WORD) != 0;
  return Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)) || c == '_';
}
inline bool is_decimal(uint32_t c) {
  if (c < kBmpSize) return (bmp_props().bits[c] & P_DECIMAL) != 0;
  return Py_UNICODE_ISDECIMAL(static_cast<Py_UCS4>(c));
}
inline bool is_space(uint32_t c) {
  if (c < kBmpSize) return (bmp_props().bits[c] & P_SPACE) != 0;
  return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c));
}

// The extra case equivalences `re` adds under IGNORECASE (lowercase
// character -> the other characters it must also match), read from the
// interpreter's own regular-expression compiler.
struct CaseFixes {
  std::unordered_map<uint32_t, std::vector<uint32_t>> map;
  const std::vector<uint32_t>* find(uint32_t lo) const {
    auto it = map.find(lo);
    return it == map.end() ? nullptr : &it->second;
  }
};

// Loads the table from `re`'s compiler module; -1 with an exception set.
int load_case_fixes(CaseFixes& out);

}  // namespace dravik::rx

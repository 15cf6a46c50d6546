// Fingerprint scans: up to eight buckets of short byte-class sequences
// searched for in one pass.  A window of `width` bytes (1 to 3) belongs to
// bucket b when each of its bytes is in that bucket's set for its place.
// The vector kernels test 16 or 32 windows at once by the bytes' two
// nibbles (a table lookup each, the bucket bits of both ANDed), which may
// admit a byte the set does not hold, and confirm each window they let
// through with whole-byte tables, which the portable loop uses alone: every
// path reports the same windows.  A window is only a candidate for the
// literals of its buckets, which callers confirm (multi_literal.hpp).
//
// Wider text is scanned narrowed: each character becomes one byte, itself
// below 255 and 255 for every character from U+00FF up, so a set that holds
// any such character holds 255.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace dravik::rx {

struct Fingerprints {
  int width = 1;
  // Per place: bucket bits by low nibble and by high nibble (16 entries,
  // repeated for the two halves of a 256-bit register), and by whole byte.
  alignas(32) uint8_t lo[3][32] = {};
  alignas(32) uint8_t hi[3][32] = {};
  uint8_t exact[3][256] = {};
  // Per place: the buckets that take any byte there (a window may reach
  // past the end of the text for them).
  uint8_t any[3] = {};
  // The buckets not dropped.
  uint8_t live = 0xFF;

  // Adds `byte` to bucket b's set at `place`.
  void add(int place, int b, uint8_t byte) {
    const uint8_t bit = static_cast<uint8_t>(1u << b);
    lo[place][byte & 15] |= bit;
    lo[place][16 + (byte & 15)] |= bit;
    hi[place][byte >> 4] |= bit;
    hi[place][16 + (byte >> 4)] |= bit;
    exact[place][byte] |= bit;
  }
  // Removes bucket b altogether (no window is reported for it any more).
  void drop(int b) {
    const uint8_t keep = static_cast<uint8_t>(~(1u << b));
    for (int j = 0; j < 3; ++j) {
      for (auto& x : lo[j]) x &= keep;
      for (auto& x : exact[j]) x &= keep;
      any[j] &= keep;
    }
    live &= keep;
  }
};

inline uint8_t narrow_char(uint32_t c) { return c < 255 ? static_cast<uint8_t>(c) : uint8_t{255}; }

// The first window start t in [a, last] whose bytes p[t], ..., p[t+width-1]
// some bucket may hold, with those buckets in `buckets`; -1 when there is
// none.  The caller guarantees p[last + width - 1] is readable.
Py_ssize_t find_windows(const uint8_t* p, Py_ssize_t a, Py_ssize_t last, const Fingerprints& f, uint32_t& buckets);

// Every window start t in [0, count) some bucket may start, in order: t in
// pos and its buckets in bk (room for `count` each); returns how many.  The
// caller guarantees p[count + width - 2] is readable; count < 65536.
size_t collect_windows(const uint8_t* p, Py_ssize_t count, const Fingerprints& f, uint16_t* pos, uint8_t* bk);

// out[k] = narrow_char(p[k]) for k < n.
void narrow(const Py_UCS2* p, Py_ssize_t n, uint8_t* out);
void narrow(const Py_UCS4* p, Py_ssize_t n, uint8_t* out);

// The kernel this process uses for find_windows: "avx2", "ssse3" or
// "portable".
const char* fingerprint_path();

}  // namespace dravik::rx

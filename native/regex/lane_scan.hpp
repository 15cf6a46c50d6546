// Vectorised scans over a str's characters (1, 2 or 4 bytes each): a set of
// characters expressed as a few cheap lane tests -- case pairs folded with
// 0x20, single values, ranges -- searched alone or as a pair at a fixed
// distance.  A test may accept more characters than the set it stands for
// (`exact` false); callers confirm every hit.  On x86-64, AVX2 is used when
// the processor has it (checked at load time), otherwise SSE2 for 1-byte text
// and a plain loop for wider text; elsewhere the plain loop.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

namespace dravik::rx {

struct LaneTest {
  bool exact = true;
  uint8_t nfold = 0, neq = 0, nr = 0;
  uint32_t fold[3] = {}, eq[3] = {}, lo[3] = {}, hi[3] = {};

  // A test for the characters below `limit` (at most 0x10000) marked in the
  // BMP bitmap `bits`, plus every character beyond the BMP when `astral`.
  // Without an exact form of at most three folds, values or ranges, the
  // ASCII part stays exact and everything above it is accepted.
  static LaneTest build(const uint64_t* bits, uint32_t limit, bool astral);

  bool holds(uint32_t x) const {
    for (int k = 0; k < nfold; ++k)
      if ((x | 0x20) == fold[k]) return true;
    for (int k = 0; k < neq; ++k)
      if (x == eq[k]) return true;
    for (int k = 0; k < nr; ++k)
      if (x >= lo[k] && x <= hi[k]) return true;
    return false;
  }
};

// The kernel this process uses: "avx2", "sse2" or "portable".
const char* lane_scan_path();

// Up to three tests at fixed distances from the scanned position (dist[0]
// is 0); a position is a hit when all of them hold.
struct LaneScan {
  int n = 0;
  const LaneTest* test[3] = {};
  Py_ssize_t dist[3] = {};
  template <class Ch>
  bool holds(const Ch* p, Py_ssize_t a) const {
    for (int k = 0; k < n; ++k)
      if (!test[k]->holds(p[a + dist[k]])) return false;
    return true;
  }
};

// The first a in [from, last] where the scan's tests hold; -1 when there is
// none.  The caller guarantees p[last + max dist] is inside the text.
Py_ssize_t scan_lanes(const Py_UCS1* p, Py_ssize_t from, Py_ssize_t last, const LaneScan& q);
Py_ssize_t scan_lanes(const Py_UCS2* p, Py_ssize_t from, Py_ssize_t last, const LaneScan& q);
Py_ssize_t scan_lanes(const Py_UCS4* p, Py_ssize_t from, Py_ssize_t last, const LaneScan& q);

// A single test.
template <class Ch>
Py_ssize_t scan_one(const Ch* p, Py_ssize_t from, Py_ssize_t last, const LaneTest& t) {
  LaneScan q;
  q.n = 1;
  q.test[0] = &t;
  return scan_lanes(p, from, last, q);
}

}  // namespace dravik::rx

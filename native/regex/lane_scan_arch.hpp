// Which lane-scan kernels this build has.  x86-64 gets SSE2 and AVX2
// kernels (AVX2 chosen at load time); every other target, and a build with
// DRAVIK_SCAN_PORTABLE, uses the portable loop in lane_scan.cpp, which
// defines the results the kernels must give.
#pragma once

#include "regex/lane_scan.hpp"

#if !defined(DRAVIK_SCAN_PORTABLE) && (defined(__x86_64__) || defined(_M_X64))
#define DRAVIK_LANE_SCAN_X86 1
#else
#define DRAVIK_LANE_SCAN_X86 0
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#define DRAVIK_ALWAYS_INLINE __forceinline
#else
#define DRAVIK_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

#if DRAVIK_LANE_SCAN_X86
namespace dravik::rx::x86 {
bool has_avx2();
Py_ssize_t sse2_scan(const Py_UCS1* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q);
Py_ssize_t avx2_scan(const Py_UCS1* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q);
Py_ssize_t avx2_scan(const Py_UCS2* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q);
Py_ssize_t avx2_scan(const Py_UCS4* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q);
}  // namespace dravik::rx::x86
#endif

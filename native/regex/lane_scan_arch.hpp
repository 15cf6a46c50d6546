// Which vector kernels this build has.  x86-64 gets SSE2 and AVX2 lane-scan
// kernels, SSSE3 and AVX2 fingerprint kernels and SSE2 and AVX2 narrowing
// kernels; AVX2 and SSSE3 are used only when the processor has them
// (checked at load time).  Every other target, and a build with
// DRAVIK_SCAN_PORTABLE, uses the portable loops (lane_scan.cpp,
// fingerprint.cpp), which define the results the kernels must give.
#pragma once

#include "regex/fingerprint.hpp"
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

// Code between these markers may use AVX2 (or SSSE3); it runs only after
// has_avx2() (has_ssse3()).  MSVC needs no marker for either.
#if defined(__clang__)
#define DRAVIK_BEGIN_AVX2 _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define DRAVIK_BEGIN_SSSE3 _Pragma("clang attribute push(__attribute__((target(\"ssse3\"))), apply_to = function)")
#define DRAVIK_END_TARGET _Pragma("clang attribute pop")
#elif defined(__GNUC__)
#define DRAVIK_BEGIN_AVX2 _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define DRAVIK_BEGIN_SSSE3 _Pragma("GCC push_options") _Pragma("GCC target(\"ssse3\")")
#define DRAVIK_END_TARGET _Pragma("GCC pop_options")
#else
#define DRAVIK_BEGIN_AVX2
#define DRAVIK_BEGIN_SSSE3
#define DRAVIK_END_TARGET
#endif
#define DRAVIK_END_AVX2 DRAVIK_END_TARGET

#if DRAVIK_LANE_SCAN_X86
namespace dravik::rx::x86 {
bool has_avx2();
bool has_ssse3();
Py_ssize_t sse2_scan(const Py_UCS1* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q);
Py_ssize_t avx2_scan(const Py_UCS1* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q);
Py_ssize_t avx2_scan(const Py_UCS2* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q);
Py_ssize_t avx2_scan(const Py_UCS4* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q);

// Fingerprint kernels (fingerprint.hpp): the first window in [a, last] some
// bucket may hold, or -1.
Py_ssize_t ssse3_windows(const uint8_t* p, Py_ssize_t a, Py_ssize_t last, const Fingerprints& f, uint32_t& buckets);
Py_ssize_t avx2_windows(const uint8_t* p, Py_ssize_t a, Py_ssize_t last, const Fingerprints& f, uint32_t& buckets);
size_t ssse3_collect(const uint8_t* p, Py_ssize_t count, const Fingerprints& f, uint16_t* pos, uint8_t* bk);
size_t avx2_collect(const uint8_t* p, Py_ssize_t count, const Fingerprints& f, uint16_t* pos, uint8_t* bk);
// Narrowing kernels: out[k] = min(p[k], 255) for k < n.
void sse2_narrow(const Py_UCS2* p, Py_ssize_t n, uint8_t* out);
void sse2_narrow(const Py_UCS4* p, Py_ssize_t n, uint8_t* out);
void avx2_narrow(const Py_UCS2* p, Py_ssize_t n, uint8_t* out);
void avx2_narrow(const Py_UCS4* p, Py_ssize_t n, uint8_t* out);
}  // namespace dravik::rx::x86
#endif

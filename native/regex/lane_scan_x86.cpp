// x86-64 kernels of the lane scans: SSE2 for 1-byte text (every x86-64
// processor has it) and AVX2 for all widths, used when the processor has it.
#include "regex/lane_scan_arch.hpp"

#if DRAVIK_LANE_SCAN_X86

#include <bit>
#include <immintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace dravik::rx::x86 {

namespace {

struct Sse2x8 {
  using T = Py_UCS1;
  using V = __m128i;
  static constexpr int W = 16;
  static V load(const T* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
  static V set1(uint32_t b) { return _mm_set1_epi8(static_cast<char>(b)); }
  static V zero() { return _mm_setzero_si128(); }
  static V eq(V a, V b) { return _mm_cmpeq_epi8(a, b); }
  static V or_(V a, V b) { return _mm_or_si128(a, b); }
  static V and_(V a, V b) { return _mm_and_si128(a, b); }
  static V sub(V a, V b) { return _mm_sub_epi8(a, b); }
  static V min(V a, V b) { return _mm_min_epu8(a, b); }
  static uint32_t mask(V a) { return static_cast<uint32_t>(_mm_movemask_epi8(a)); }
};

namespace sse2_kernel {
#include "regex/lane_scan_kernel.inc"
}  // namespace sse2_kernel

DRAVIK_BEGIN_AVX2

struct Avx2x8 {
  using T = Py_UCS1;
  using V = __m256i;
  static constexpr int W = 32;
  static V load(const T* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
  static V set1(uint32_t b) { return _mm256_set1_epi8(static_cast<char>(b)); }
  static V zero() { return _mm256_setzero_si256(); }
  static V eq(V a, V b) { return _mm256_cmpeq_epi8(a, b); }
  static V or_(V a, V b) { return _mm256_or_si256(a, b); }
  static V and_(V a, V b) { return _mm256_and_si256(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi8(a, b); }
  static V min(V a, V b) { return _mm256_min_epu8(a, b); }
  static uint32_t mask(V a) { return static_cast<uint32_t>(_mm256_movemask_epi8(a)); }
};

struct Avx2x16 {
  using T = Py_UCS2;
  using V = __m256i;
  static constexpr int W = 16;
  static V load(const T* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
  static V set1(uint32_t b) { return _mm256_set1_epi16(static_cast<short>(b)); }
  static V zero() { return _mm256_setzero_si256(); }
  static V eq(V a, V b) { return _mm256_cmpeq_epi16(a, b); }
  static V or_(V a, V b) { return _mm256_or_si256(a, b); }
  static V and_(V a, V b) { return _mm256_and_si256(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi16(a, b); }
  static V min(V a, V b) { return _mm256_min_epu16(a, b); }
  static uint32_t mask(V a) { return static_cast<uint32_t>(_mm256_movemask_epi8(a)); }
};

struct Avx2x32 {
  using T = Py_UCS4;
  using V = __m256i;
  static constexpr int W = 8;
  static V load(const T* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
  static V set1(uint32_t b) { return _mm256_set1_epi32(static_cast<int>(b)); }
  static V zero() { return _mm256_setzero_si256(); }
  static V eq(V a, V b) { return _mm256_cmpeq_epi32(a, b); }
  static V or_(V a, V b) { return _mm256_or_si256(a, b); }
  static V and_(V a, V b) { return _mm256_and_si256(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
  static V min(V a, V b) { return _mm256_min_epu32(a, b); }
  static uint32_t mask(V a) { return static_cast<uint32_t>(_mm256_movemask_epi8(a)); }
};

namespace avx2_kernel {
#include "regex/lane_scan_kernel.inc"
}  // namespace avx2_kernel

}  // namespace

Py_ssize_t avx2_scan(const Py_UCS1* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  return avx2_kernel::scan_impl<Avx2x8>(p, a, last, q);
}
Py_ssize_t avx2_scan(const Py_UCS2* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  return avx2_kernel::scan_impl<Avx2x16>(p, a, last, q);
}
Py_ssize_t avx2_scan(const Py_UCS4* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  return avx2_kernel::scan_impl<Avx2x32>(p, a, last, q);
}

DRAVIK_END_AVX2

Py_ssize_t sse2_scan(const Py_UCS1* p, Py_ssize_t a, Py_ssize_t last, const LaneScan& q) {
  return sse2_kernel::scan_impl<Sse2x8>(p, a, last, q);
}

bool has_ssse3() {
#if defined(_MSC_VER) && !defined(__clang__)
  int r[4];
  __cpuid(r, 1);
  return (r[2] & (1 << 9)) != 0;
#else
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") != 0;
#endif
}

bool has_avx2() {
#if defined(DRAVIK_SCAN_NO_AVX2)
  return false;
#elif defined(_MSC_VER) && !defined(__clang__)
  // AVX2 is CPUID leaf 7 EBX bit 5; the OS must also save the YMM state.
  int r[4];
  __cpuid(r, 0);
  if (r[0] < 7) return false;
  __cpuid(r, 1);
  const bool osxsave = (r[2] & (1 << 27)) != 0, avx = (r[2] & (1 << 28)) != 0;
  if (!osxsave || !avx || (_xgetbv(0) & 6) != 6) return false;
  __cpuidex(r, 7, 0);
  return (r[1] & (1 << 5)) != 0;
#else
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#endif
}


}  // namespace dravik::rx::x86

#endif  // DRAVIK_LANE_SCAN_X86

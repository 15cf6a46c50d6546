// x86-64 kernels of the fingerprint scans and of narrowing: SSSE3 and AVX2
// for the scans, SSE2 (every x86-64 processor has it) and AVX2 for
// narrowing.  Each runs only once the processor is known to have it.
#include "regex/lane_scan_arch.hpp"

#if DRAVIK_LANE_SCAN_X86

#include <bit>
#include <immintrin.h>

namespace dravik::rx::x86 {

namespace {

template <class Ch>
void narrow_tail(const Ch* p, Py_ssize_t k, Py_ssize_t n, uint8_t* out) {
  for (; k < n; ++k) out[k] = narrow_char(p[k]);
}

}  // namespace

// ---- SSE2 narrowing ---------------------------------------------------------

void sse2_narrow(const Py_UCS2* p, Py_ssize_t n, uint8_t* out) {
  const __m128i top = _mm_set1_epi16(255);
  Py_ssize_t k = 0;
  for (; k + 16 <= n; k += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k + 8));
    // min(x, 255) = x - max(x - 255, 0)
    a = _mm_sub_epi16(a, _mm_subs_epu16(a, top));
    b = _mm_sub_epi16(b, _mm_subs_epu16(b, top));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(a, b));
  }
  narrow_tail(p, k, n, out);
}

void sse2_narrow(const Py_UCS4* p, Py_ssize_t n, uint8_t* out) {
  const __m128i top = _mm_set1_epi32(255);
  auto clamp = [&](const Py_UCS4* at) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i over = _mm_cmpgt_epi32(x, top);  // code points are below 2**31
    return _mm_or_si128(_mm_andnot_si128(over, x), _mm_and_si128(over, top));
  };
  Py_ssize_t k = 0;
  for (; k + 16 <= n; k += 16) {
    const __m128i w0 = _mm_packs_epi32(clamp(p + k), clamp(p + k + 4));
    const __m128i w1 = _mm_packs_epi32(clamp(p + k + 8), clamp(p + k + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(w0, w1));
  }
  narrow_tail(p, k, n, out);
}

// ---- SSSE3 fingerprints -------------------------------------------------------

DRAVIK_BEGIN_SSSE3

namespace {

struct Ssse3 {
  using V = __m128i;
  static constexpr int N = 16;
  static V load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
  static V table(const uint8_t* t) { return _mm_load_si128(reinterpret_cast<const V*>(t)); }
  static void store(uint8_t* out, V v) { _mm_store_si128(reinterpret_cast<V*>(out), v); }
  static V set1(int b) { return _mm_set1_epi8(static_cast<char>(b)); }
  static V and_(V a, V b) { return _mm_and_si128(a, b); }
  static V or_(V a, V b) { return _mm_or_si128(a, b); }
  static V shr4(V a) { return _mm_srli_epi16(a, 4); }
  static V shuffle(V table, V idx) { return _mm_shuffle_epi8(table, idx); }
  // Bit k set when byte k is not zero.
  static uint32_t nonzero(V a) {
    return ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_setzero_si128()))) & 0xFFFFu;
  }
};

namespace ssse3_kernel {
#include "regex/fingerprint_kernel.inc"
}  // namespace ssse3_kernel

}  // namespace

Py_ssize_t ssse3_windows(const uint8_t* p, Py_ssize_t a, Py_ssize_t last, const Fingerprints& f, uint32_t& buckets) {
  return ssse3_kernel::windows<Ssse3>(p, a, last, f, buckets);
}

size_t ssse3_collect(const uint8_t* p, Py_ssize_t count, const Fingerprints& f, uint16_t* pos, uint8_t* bk) {
  return ssse3_kernel::collect<Ssse3>(p, count, f, pos, bk);
}

DRAVIK_END_TARGET

// ---- AVX2 ---------------------------------------------------------------------

DRAVIK_BEGIN_AVX2

namespace {

struct Avx2 {
  using V = __m256i;
  static constexpr int N = 32;
  static V load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
  static V table(const uint8_t* t) { return _mm256_load_si256(reinterpret_cast<const V*>(t)); }
  static void store(uint8_t* out, V v) { _mm256_store_si256(reinterpret_cast<V*>(out), v); }
  static V set1(int b) { return _mm256_set1_epi8(static_cast<char>(b)); }
  static V and_(V a, V b) { return _mm256_and_si256(a, b); }
  static V or_(V a, V b) { return _mm256_or_si256(a, b); }
  static V shr4(V a) { return _mm256_srli_epi16(a, 4); }
  // Looks up within each 128-bit half; the tables hold their 16 entries twice.
  static V shuffle(V table, V idx) { return _mm256_shuffle_epi8(table, idx); }
  static uint32_t nonzero(V a) {
    return ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, _mm256_setzero_si256())));
  }
};

namespace avx2_kernel {
#include "regex/fingerprint_kernel.inc"
}  // namespace avx2_kernel

}  // namespace

Py_ssize_t avx2_windows(const uint8_t* p, Py_ssize_t a, Py_ssize_t last, const Fingerprints& f, uint32_t& buckets) {
  return avx2_kernel::windows<Avx2>(p, a, last, f, buckets);
}

size_t avx2_collect(const uint8_t* p, Py_ssize_t count, const Fingerprints& f, uint16_t* pos, uint8_t* bk) {
  return avx2_kernel::collect<Avx2>(p, count, f, pos, bk);
}

void avx2_narrow(const Py_UCS2* p, Py_ssize_t n, uint8_t* out) {
  const __m256i top = _mm256_set1_epi16(255);
  Py_ssize_t k = 0;
  for (; k + 32 <= n; k += 32) {
    const __m256i a = _mm256_min_epu16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k)), top);
    const __m256i b = _mm256_min_epu16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k + 16)), top);
    // The pack works within 128-bit halves: a0 b0 a1 b1 -> a0 a1 b0 b1.
    const __m256i r = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), r);
  }
  if (k < n) sse2_narrow(p + k, n - k, out + k);
}

void avx2_narrow(const Py_UCS4* p, Py_ssize_t n, uint8_t* out) {
  const __m256i top = _mm256_set1_epi32(255);
  // After the two packs, 32-bit group g holds characters 4*order[g] ...
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  auto clamp = [&](const Py_UCS4* at) {
    return _mm256_min_epu32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), top);
  };
  Py_ssize_t k = 0;
  for (; k + 32 <= n; k += 32) {
    const __m256i ab = _mm256_packus_epi32(clamp(p + k), clamp(p + k + 8));
    const __m256i cd = _mm256_packus_epi32(clamp(p + k + 16), clamp(p + k + 24));
    const __m256i r = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(ab, cd), order);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), r);
  }
  if (k < n) sse2_narrow(p + k, n - k, out + k);
}

DRAVIK_END_TARGET

}  // namespace dravik::rx::x86

#endif  // DRAVIK_LANE_SCAN_X86

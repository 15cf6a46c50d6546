#include "regex/fingerprint.hpp"

#include "regex/lane_scan_arch.hpp"

namespace dravik::rx {

namespace {

template <int W>
Py_ssize_t plain_windows_w(const uint8_t* p, Py_ssize_t a, Py_ssize_t last, const Fingerprints& f,
                           uint32_t& buckets) {
  const uint8_t* first = f.exact[0];
  for (; a <= last; ++a) {
    uint32_t r = first[p[a]];
    if (r == 0) continue;
    if (W > 1) r &= f.exact[1][p[a + 1]];
    if (W > 2) r &= f.exact[2][p[a + 2]];
    if (r) {
      buckets = r;
      return a;
    }
  }
  return -1;
}

[[maybe_unused]] Py_ssize_t plain_windows(const uint8_t* p, Py_ssize_t a, Py_ssize_t last, const Fingerprints& f,
                                          uint32_t& buckets) {
  switch (f.width) {
    case 1: return plain_windows_w<1>(p, a, last, f, buckets);
    case 2: return plain_windows_w<2>(p, a, last, f, buckets);
    default: return plain_windows_w<3>(p, a, last, f, buckets);
  }
}

template <int W>
size_t plain_collect_w(const uint8_t* p, Py_ssize_t count, const Fingerprints& f, uint16_t* pos, uint8_t* bk) {
  size_t n = 0;
  for (Py_ssize_t t = 0; t < count; ++t) {
    uint32_t r = f.exact[0][p[t]];
    if (W > 1) r &= f.exact[1][p[t + 1]];
    if (W > 2) r &= f.exact[2][p[t + 2]];
    pos[n] = static_cast<uint16_t>(t);
    bk[n] = static_cast<uint8_t>(r);
    n += r != 0;
  }
  return n;
}

[[maybe_unused]] size_t plain_collect(const uint8_t* p, Py_ssize_t count, const Fingerprints& f, uint16_t* pos,
                                      uint8_t* bk) {
  switch (f.width) {
    case 1: return plain_collect_w<1>(p, count, f, pos, bk);
    case 2: return plain_collect_w<2>(p, count, f, pos, bk);
    default: return plain_collect_w<3>(p, count, f, pos, bk);
  }
}

template <class Ch>
[[maybe_unused]] void plain_narrow(const Ch* p, Py_ssize_t n, uint8_t* out) {
  for (Py_ssize_t k = 0; k < n; ++k) out[k] = narrow_char(p[k]);
}

}  // namespace

#if DRAVIK_LANE_SCAN_X86
namespace {
// Read at load time.
const bool kAvx2 = x86::has_avx2();
const bool kSsse3 = x86::has_ssse3();
}  // namespace

const char* fingerprint_path() { return kAvx2 ? "avx2" : kSsse3 ? "ssse3" : "portable"; }

Py_ssize_t find_windows(const uint8_t* p, Py_ssize_t a, Py_ssize_t last, const Fingerprints& f, uint32_t& buckets) {
  if (a > last) return -1;
  if (kAvx2) return x86::avx2_windows(p, a, last, f, buckets);
  if (kSsse3) return x86::ssse3_windows(p, a, last, f, buckets);
  return plain_windows(p, a, last, f, buckets);
}

size_t collect_windows(const uint8_t* p, Py_ssize_t count, const Fingerprints& f, uint16_t* pos, uint8_t* bk) {
  if (count <= 0) return 0;
  if (kAvx2) return x86::avx2_collect(p, count, f, pos, bk);
  if (kSsse3) return x86::ssse3_collect(p, count, f, pos, bk);
  return plain_collect(p, count, f, pos, bk);
}

void narrow(const Py_UCS2* p, Py_ssize_t n, uint8_t* out) {
  if (kAvx2) x86::avx2_narrow(p, n, out);
  else x86::sse2_narrow(p, n, out);
}
void narrow(const Py_UCS4* p, Py_ssize_t n, uint8_t* out) {
  if (kAvx2) x86::avx2_narrow(p, n, out);
  else x86::sse2_narrow(p, n, out);
}
#else
// The portable path: defines the results every vector kernel must give.
const char* fingerprint_path() { return "portable"; }

Py_ssize_t find_windows(const uint8_t* p, Py_ssize_t a, Py_ssize_t last, const Fingerprints& f, uint32_t& buckets) {
  return plain_windows(p, a, last, f, buckets);
}
size_t collect_windows(const uint8_t* p, Py_ssize_t count, const Fingerprints& f, uint16_t* pos, uint8_t* bk) {
  return count > 0 ? plain_collect(p, count, f, pos, bk) : 0;
}
void narrow(const Py_UCS2* p, Py_ssize_t n, uint8_t* out) { plain_narrow(p, n, out); }
void narrow(const Py_UCS4* p, Py_ssize_t n, uint8_t* out) { plain_narrow(p, n, out); }
#endif

}  // namespace dravik::rx

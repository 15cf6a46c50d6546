// The start accelerator: skips the text that cannot begin a match.  Every
// match is at least `len` characters long and its first characters belong
// to known classes; the rarest of those positions is searched with a
// vectorised range test, the others are checked at each hit.
#pragma once

#include "regex/program.hpp"

#include <Python.h>

namespace dravik::rx {

class Accelerator {
 public:
  void init(const Compiled& c);
  bool enabled() const { return len_ > 0; }

  // The first position >= i where a match could start, or -1.
  Py_ssize_t find(const Py_UCS1* p, Py_ssize_t i, Py_ssize_t n) const;
  Py_ssize_t find(const Py_UCS2* p, Py_ssize_t i, Py_ssize_t n) const;
  Py_ssize_t find(const Py_UCS4* p, Py_ssize_t i, Py_ssize_t n) const;

 private:
  bool in(int k, uint32_t c) const {
    if (c < 256) return tbl_[k][c];
    if (c < kBmpSize) return (bmp_[k][c >> 6] >> (c & 63)) & 1;
    for (uint16_t s : cls_[k])
      if ((*sets_)[s].contains(c)) return true;
    return false;
  }
  template <class Ch>
  bool verify(const Ch* p, Py_ssize_t c) const {
    for (int k = 0; k < len_; ++k)
      if (k != anchor_ && !in(k, p[c + k])) return false;
    return true;
  }
  template <class Ch>
  Py_ssize_t scalar(const Ch* p, Py_ssize_t a, Py_ssize_t last) const;

  const std::vector<CharSet>* sets_ = nullptr;
  int len_ = 0;
  int anchor_ = 0;
  bool tbl_[kPrefixDepth][256] = {};
  std::vector<uint64_t> bmp_[kPrefixDepth];
  std::vector<uint16_t> cls_[kPrefixDepth];
  // The anchor's class as at most four ranges, for 1- and 2-byte text.
  int nr8_ = 0, nr16_ = 0;
  uint8_t lo8_[4], hi8_[4];
  uint16_t lo16_[4], hi16_[4];
};

}  // namespace dravik::rx

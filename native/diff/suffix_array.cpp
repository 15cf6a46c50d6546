#include "diff/suffix_array.hpp"

#include "common/arrays.hpp"

namespace dravik::diff {

namespace {

void bucket_bounds(const int32_t* s, int32_t n, int32_t alphabet, int32_t* bkt, bool ends) {
  for (int32_t c = 0; c < alphabet; ++c) bkt[c] = 0;
  for (int32_t i = 0; i < n; ++i) ++bkt[s[i]];
  int32_t sum = 0;
  for (int32_t c = 0; c < alphabet; ++c) {
    sum += bkt[c];
    bkt[c] = ends ? sum : sum - bkt[c];
  }
}

// From sorted LMS suffixes: L-type suffixes left to right, then S-type
// suffixes right to left.
void induce(const int32_t* s, const uint8_t* stype, int32_t* sa, int32_t n, int32_t alphabet, int32_t* bkt) {
  bucket_bounds(s, n, alphabet, bkt, false);
  for (int32_t i = 0; i < n; ++i) {
    const int32_t j = sa[i] - 1;
    if (sa[i] > 0 && !stype[j]) sa[bkt[s[j]]++] = j;
  }
  bucket_bounds(s, n, alphabet, bkt, true);
  for (int32_t i = n - 1; i >= 0; --i) {
    const int32_t j = sa[i] - 1;
    if (sa[i] > 0 && stype[j]) sa[--bkt[s[j]]] = j;
  }
}

bool sais(const int32_t* s, int32_t* sa, int32_t n, int32_t alphabet) {
  Array<uint8_t> stype;
  Array<int32_t> bkt;
  if (!stype.allocate(static_cast<size_t>(n)) || !bkt.allocate(static_cast<size_t>(alphabet))) return false;
  uint8_t* t = stype.data();
  t[n - 1] = 1;
  for (int32_t i = n - 2; i >= 0; --i) t[i] = s[i] < s[i + 1] || (s[i] == s[i + 1] && t[i + 1]);
  auto is_lms = [t](int32_t i) { return i > 0 && t[i] && !t[i - 1]; };

  // Sort the LMS substrings.
  bucket_bounds(s, n, alphabet, bkt.data(), true);
  for (int32_t i = 0; i < n; ++i) sa[i] = -1;
  for (int32_t i = 1; i < n; ++i) {
    if (is_lms(i)) sa[--bkt[s[i]]] = i;
  }
  induce(s, t, sa, n, alphabet, bkt.data());

  // Name them; equal substrings share a name.
  int32_t n1 = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (is_lms(sa[i])) sa[n1++] = sa[i];
  }
  for (int32_t i = n1; i < n; ++i) sa[i] = -1;
  int32_t names = 0, prev = -1;
  for (int32_t i = 0; i < n1; ++i) {
    const int32_t pos = sa[i];
    bool differs = false;
    for (int32_t d = 0;; ++d) {
      if (prev == -1 || s[pos + d] != s[prev + d] || t[pos + d] != t[prev + d]) {
        differs = true;
        break;
      }
      if (d > 0 && (is_lms(pos + d) || is_lms(prev + d))) break;
    }
    if (differs) {
      ++names;
      prev = pos;
    }
    sa[n1 + pos / 2] = names - 1;  // LMS positions are never adjacent
  }
  for (int32_t i = n - 1, j = n - 1; i >= n1; --i) {
    if (sa[i] >= 0) sa[j--] = sa[i];
  }

  // Sort the LMS suffixes: recursively unless the names are all distinct.
  int32_t* s1 = sa + n - n1;
  int32_t* sa1 = sa;
  if (names < n1) {
    if (!sais(s1, sa1, n1, names)) return false;
  } else {
    for (int32_t i = 0; i < n1; ++i) sa1[s1[i]] = i;
  }

  // Induce the whole array from the sorted LMS suffixes.
  bucket_bounds(s, n, alphabet, bkt.data(), true);
  for (int32_t i = 1, j = 0; i < n; ++i) {
    if (is_lms(i)) s1[j++] = i;
  }
  for (int32_t i = 0; i < n1; ++i) sa1[i] = s1[sa1[i]];
  for (int32_t i = n1; i < n; ++i) sa[i] = -1;
  for (int32_t i = n1 - 1; i >= 0; --i) {
    const int32_t j = sa[i];
    sa[i] = -1;
    sa[--bkt[s[j]]] = j;
  }
  induce(s, t, sa, n, alphabet, bkt.data());
  return true;
}

}  // namespace

bool build_suffix_array(const int32_t* s, int32_t n, int32_t alphabet, int32_t* sa) {
  if (n == 1) {
    sa[0] = 0;
    return true;
  }
  return sais(s, sa, n, alphabet);
}

void build_lcp(const int32_t* s, int32_t n, const int32_t* sa, int32_t* rank, int32_t* lcp) {
  for (int32_t k = 0; k < n; ++k) rank[sa[k]] = k;
  lcp[0] = 0;
  int32_t h = 0;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t r = rank[i];
    if (r == 0) {
      h = 0;
      continue;
    }
    const int32_t j = sa[r - 1];
    while (i + h < n && j + h < n && s[i + h] == s[j + h]) ++h;
    lcp[r] = h;
    if (h > 0) --h;
  }
}

}  // namespace dravik::diff

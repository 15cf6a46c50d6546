#include "regex/accelerator.hpp"

#include <utility>

namespace dravik::rx {

bool may_hold_astral(const CharSet& cs) { return cs.negate || cs.cats != 0 || !cs.astral.empty(); }

bool Accelerator::init(const Compiled& c) {
  sets_ = &c.sets;
  len_ = c.nullable ? 0 : c.prefix_len;
  if (len_ == 0) return true;
  double weight[kPrefixDepth] = {};
  for (int k = 0; k < len_; ++k) {
    cls_[k] = c.prefix[k];
    if (!bmp_[k].allocate_zeroed(kBmpSize / 64)) {
      len_ = 0;
      return false;
    }
    double w = 0;
    bool astral = false;
    for (uint16_t s : cls_[k]) {
      const CharSet& cs = c.sets[s];
      for (size_t i = 0; i < bmp_[k].size(); ++i) bmp_[k][i] |= cs.eff[i];
      w += class_weight(cs);
      astral = astral || may_hold_astral(cs);
    }
    for (uint32_t ch = 0; ch < 256; ++ch) tbl_[k][ch] = (bmp_[k][ch >> 6] >> (ch & 63)) & 1;
    test8_[k] = LaneTest::build(bmp_[k].data(), 256, false);
    test16_[k] = LaneTest::build(bmp_[k].data(), kBmpSize, false);
    test32_[k] = LaneTest::build(bmp_[k].data(), kBmpSize, astral);
    weight[k] = w;
  }
  // Rarest positions first, until hits are rare enough; a test that lets
  // every non-ASCII character through counts as less selective.
  for (int kind = 0; kind < 3; ++kind) {
    const LaneTest* tests = kind == 0 ? test8_ : kind == 1 ? test16_ : test32_;
    int order[kPrefixDepth];
    double w[kPrefixDepth];
    for (int k = 0; k < len_; ++k) {
      order[k] = k;
      w[k] = weight[k] + (tests[k].exact ? 0.0 : 0.05);
    }
    for (int k = 1; k < len_; ++k)
      for (int j = k; j > 0 && w[order[j]] < w[order[j - 1]]; --j) std::swap(order[j], order[j - 1]);
    int chosen[3] = {0, 0, 0};
    int n = 0;
    double joint = 1.0;
    for (int k = 0; k < len_ && n < 3; ++k) {
      chosen[n++] = order[k];
      joint *= w[order[k]];
      if (joint < 2e-4) break;
    }
    for (int k = 1; k < n; ++k)
      for (int j = k; j > 0 && chosen[j] < chosen[j - 1]; --j) std::swap(chosen[j], chosen[j - 1]);
    Plan& plan = plan_[kind];
    plan.first = chosen[0];
    plan.scan.n = n;
    for (int k = 0; k < n; ++k) {
      plan.scan.test[k] = &tests[chosen[k]];
      plan.scan.dist[k] = chosen[k] - chosen[0];
    }
  }
  return true;
}

}  // namespace dravik::rx

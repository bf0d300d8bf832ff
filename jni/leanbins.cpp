// The vocoder's lean passes over the bins, in float vectors. See leanbins.h.
#include "simd.h"  // first: it picks the targets

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "leanbins.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "leanbins.h"

#if HWY_TARGET != HWY_SCALAR
HWY_BEFORE_NAMESPACE();
namespace hopwarbler {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;

// The maths in float of the Cephes library's single-precision routines (minimax
// polynomials, within about a unit of the last place on the ranges used here). Debian's
// Highway 1.0.3 has its own, but its header leaves the baseline target uncompiled
// beside foreach_target.h.

// atan(a) for a in [0, 1]: above tan(pi / 8) from pi / 4 + atan((a - 1) / (a + 1)).
HWY_INLINE VF AtanUnit(DF d, VF a) {
  const auto high = hn::Gt(a, hn::Set(d, 0.41421356237309503f));
  const VF x =
      hn::IfThenElse(high, hn::Div(hn::Sub(a, hn::Set(d, 1.0f)), hn::Add(a, hn::Set(d, 1.0f))), a);
  const VF z = hn::Mul(x, x);
  VF p = hn::Set(d, 8.05374449538e-2f);
  p = hn::MulAdd(p, z, hn::Set(d, -1.38776856032e-1f));
  p = hn::MulAdd(p, z, hn::Set(d, 1.99777106478e-1f));
  p = hn::MulAdd(p, z, hn::Set(d, -3.33329491539e-1f));
  const VF y = hn::MulAdd(hn::Mul(p, z), x, x);
  return hn::IfThenElse(high, hn::Add(y, hn::Set(d, 0.7853981633974483f)), y);
}

// atan2(y, x) from the arc tangent of the smaller magnitude over the larger, moved to
// the octant of (x, y). A bin of magnitude 0 gets phase 0 (+-0).
HWY_INLINE VF Atan2(DF d, VF y, VF x) {
  const VF ax = hn::Abs(x), ay = hn::Abs(y);
  const VF smaller = hn::Min(ax, ay), larger = hn::Max(ax, ay);
  const VF ratio = hn::Div(smaller, hn::Max(larger, hn::Set(d, 1e-30f)));
  VF angle = AtanUnit(d, ratio);
  angle = hn::IfThenElse(hn::Gt(ay, ax), hn::Sub(hn::Set(d, 1.5707963267948966f), angle), angle);
  angle =
      hn::IfThenElse(hn::Lt(x, hn::Zero(d)), hn::Sub(hn::Set(d, 3.141592653589793f), angle), angle);
  return hn::CopySign(angle, y);
}

// Sine and cosine of x (|x| a few pi at most; the synthesis phases lie in [-pi, pi]):
// x less the nearest multiple q of pi / 2 (in two parts, so the remainder keeps its
// bits), the polynomials on [-pi / 4, pi / 4], then the quadrant's swap and signs.
HWY_INLINE void SinCos(DF d, VF x, VF& sine, VF& cosine) {
  const hn::RebindToSigned<DF> di;
  const VF q = hn::Round(hn::Mul(x, hn::Set(d, 0.6366197723675814f)));
  VF r = hn::MulAdd(q, hn::Set(d, -1.5707963705062866f), x);
  r = hn::MulAdd(q, hn::Set(d, 4.371139000186241e-08f), r);
  const VF z = hn::Mul(r, r);
  VF ps = hn::Set(d, -1.9515295891e-4f);
  ps = hn::MulAdd(ps, z, hn::Set(d, 8.3321608736e-3f));
  ps = hn::MulAdd(ps, z, hn::Set(d, -1.6666654611e-1f));
  const VF s = hn::MulAdd(hn::Mul(ps, z), r, r);
  VF pc = hn::Set(d, 2.443315711809948e-5f);
  pc = hn::MulAdd(pc, z, hn::Set(d, -1.388731625493765e-3f));
  pc = hn::MulAdd(pc, z, hn::Set(d, 4.166664568298827e-2f));
  const VF c = hn::MulAdd(hn::Mul(pc, hn::Mul(z, z)), hn::Set(d, 1.0f),
                          hn::MulAdd(z, hn::Set(d, -0.5f), hn::Set(d, 1.0f)));
  const auto qi = hn::ConvertTo(di, q);
  const auto one = hn::Set(di, 1), two = hn::Set(di, 2);
  const auto swap = hn::RebindMask(d, hn::Eq(hn::And(qi, one), one));
  const auto sineNegative = hn::RebindMask(d, hn::Eq(hn::And(qi, two), two));
  const auto cosineNegative = hn::RebindMask(d, hn::Eq(hn::And(hn::Add(qi, one), two), two));
  const VF sv = hn::IfThenElse(swap, c, s);
  const VF cv = hn::IfThenElse(swap, s, c);
  sine = hn::IfThenElse(sineNegative, hn::Neg(sv), sv);
  cosine = hn::IfThenElse(cosineNegative, hn::Neg(cv), cv);
}

int LeanBinPass(const float* buffer, float* mag, float* phi, int n) {
  const DF d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  int k = 0;
  for (; k + lanes <= n; k += lanes) {
    VF re, im;
    hn::LoadInterleaved2(d, buffer + 2 * k, re, im);
    hn::StoreU(hn::Sqrt(hn::MulAdd(re, re, hn::Mul(im, im))), d, mag + k);
    hn::StoreU(Atan2(d, im, re), d, phi + k);
  }
  return k;
}

int LeanRebuild(const float* mag, const float* psi, const float* gains, float* spectrum, int n) {
  const DF d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  int k = 0;
  for (; k + lanes <= n; k += lanes) {
    VF m = hn::LoadU(d, mag + k);
    if (gains != nullptr) m = hn::Mul(m, hn::LoadU(d, gains + k));
    VF sine, cosine;
    SinCos(d, hn::LoadU(d, psi + k), sine, cosine);
    hn::StoreInterleaved2(hn::Mul(m, cosine), hn::Mul(m, sine), d, spectrum + 2 * k);
  }
  return k;
}

}  // namespace HWY_NAMESPACE
}  // namespace hopwarbler
HWY_AFTER_NAMESPACE();
#endif  // HWY_TARGET != HWY_SCALAR

#if HWY_ONCE
const LeanBinKernels* lean_bin_kernels(int path) {
#ifdef HOPWARBLER_SIMD_BASELINE
  namespace base = hopwarbler::HOPWARBLER_SIMD_BASELINE;
  static constexpr LeanBinKernels baseline{&base::LeanBinPass, &base::LeanRebuild};
  if (path == CPU_PATH_BASELINE) return &baseline;
#endif
#ifdef HOPWARBLER_SIMD_AVX2
  namespace avx2 = hopwarbler::HOPWARBLER_SIMD_AVX2;
  static constexpr LeanBinKernels wide{&avx2::LeanBinPass, &avx2::LeanRebuild};
  if (path == CPU_PATH_AVX2) return &wide;
#endif
  (void)path;
  return nullptr;
}
#endif  // HWY_ONCE

// The driver's vector kernels: the input conversions and the output stage, on the
// baseline and AVX2 paths. See dsp.h for the paths and dsp_simd.h for the calls.
#include "simd.h"  // first: it picks the targets

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "dsp_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "dsp_simd.h"

HWY_BEFORE_NAMESPACE();
namespace hopwarbler {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DD = hn::ScalableTag<double>;
using DF = hn::Rebind<float, DD>;    // as many floats as DD has doubles
using DI = hn::Rebind<int32_t, DD>;  // and as many 32-bit
using DS = hn::Rebind<int16_t, DD>;  // and 16-bit lanes
using VD = hn::Vec<DD>;

// The output stage's constants, one vector each.
struct OutputStage {
  VD norm, gain, k, turningPoint;
};

// limitAndQuantise() on one vector of samples o: the same operations in the same
// order, so the same bits. The limited value and the rail are formed for every lane
// and blended in where the level calls for them; clamping to +-1 before the scaling
// gives -32767 and 32767 exactly, and NaN leaves as 0. *peak takes the lane-wise
// maximum of the levels, which a NaN level leaves unchanged as the scalar comparison
// does.
HWY_INLINE hn::Vec<DS> Quantise(hn::Vec<DF> o, const OutputStage& st, VD* peak) {
  const DD dd;
  const VD one = hn::Set(dd, 1.0);
  const VD minusOne = hn::Set(dd, -1.0);
  const VD threshold = hn::Set(dd, dspLimitThreshold);
  VD v = hn::Mul(st.gain, hn::Div(hn::PromoteTo(dd, o), st.norm));
  const VD a = hn::Abs(v);
  *peak = hn::IfThenElse(hn::Gt(a, *peak), a, *peak);
  const VD curve = hn::Mul(v, hn::Add(one, hn::Mul(hn::Sub(a, threshold), st.k)));
  const VD rail = hn::IfThenElse(hn::Lt(v, hn::Zero(dd)), minusOne, one);
  const VD limited = hn::IfThenElse(hn::Gt(a, st.turningPoint), rail, curve);
  v = hn::IfThenElse(hn::Ge(a, threshold), limited, v);
  v = hn::IfThenElseZero(hn::Eq(v, v), hn::Min(hn::Max(v, minusOne), one));
  // Within +-32767 and whole after the truncation: both demotions are exact.
  return hn::DemoteTo(DS(), hn::DemoteTo(DI(), hn::Mul(v, hn::Set(dd, 32767.0))));
}

int QuantiseFrames(short* samples, const float* left, const float* right, int count, bool mono,
                   const DspOutputStage& stage, double* peak) {
  const DD dd;
  const DF df;
  const DS ds;
  const int n = static_cast<int>(hn::Lanes(dd));
  const OutputStage st{hn::Set(dd, stage.norm), hn::Set(dd, stage.gain), hn::Set(dd, stage.k),
                       hn::Set(dd, stage.turningPoint)};
  VD peaks = hn::Zero(dd);
  int i = 0;
  if (mono) {
    for (; i + n <= count; i += n) {
      hn::StoreU(Quantise(hn::LoadU(df, left + i), st, &peaks), ds, samples + i);
    }
  } else {
    for (; i + n <= count; i += n) {
      const auto l = Quantise(hn::LoadU(df, left + i), st, &peaks);
      const auto r = Quantise(hn::LoadU(df, right + i), st, &peaks);
      hn::StoreInterleaved2(l, r, ds, samples + 2 * i);
    }
  }
  HWY_ALIGN double lanes[hn::MaxLanes(dd)];
  hn::Store(peaks, dd, lanes);
  double p = 0.0;
  for (int j = 0; j < n; ++j) p = lanes[j] > p ? lanes[j] : p;
  *peak = p;
  return i;
}

// limitAndRound() on one vector of samples: the same operations in the same order, so
// the same bits (see Quantise()). Rounding to nearest adds +-0.5 by the sign, and the
// conversion truncates.
HWY_INLINE hn::Vec<DS> LimitRound(hn::Vec<DF> o, VD gain, VD k, VD turningPoint, VD* peak) {
  const DD dd;
  const VD one = hn::Set(dd, 1.0);
  const VD minusOne = hn::Set(dd, -1.0);
  const VD half = hn::Set(dd, 0.5);
  const VD threshold = hn::Set(dd, dspLimitThreshold);
  VD v = hn::Mul(gain, hn::PromoteTo(dd, o));
  const VD a = hn::Abs(v);
  *peak = hn::IfThenElse(hn::Gt(a, *peak), a, *peak);
  const VD curve = hn::Mul(v, hn::Add(one, hn::Mul(hn::Sub(a, threshold), k)));
  const VD rail = hn::IfThenElse(hn::Lt(v, hn::Zero(dd)), minusOne, one);
  const VD limited = hn::IfThenElse(hn::Gt(a, turningPoint), rail, curve);
  v = hn::IfThenElse(hn::Ge(a, threshold), limited, v);
  v = hn::IfThenElseZero(hn::Eq(v, v), hn::Min(hn::Max(v, minusOne), one));
  const VD s = hn::Mul(v, hn::Set(dd, 32767.0));
  const VD rounded = hn::IfThenElse(hn::Lt(s, hn::Zero(dd)), hn::Sub(s, half), hn::Add(s, half));
  // Within +-32767.5: the truncation gives a whole number within +-32767.
  return hn::DemoteTo(DS(), hn::DemoteTo(DI(), rounded));
}

int LimitRoundSamples(short* out, const float* in, int count, const DspStageLimit& stage,
                      double* peak) {
  const DD dd;
  const DF df;
  const DS ds;
  const int n = static_cast<int>(hn::Lanes(dd));
  const VD gain = hn::Set(dd, stage.gain), k = hn::Set(dd, stage.k),
           turningPoint = hn::Set(dd, stage.turningPoint);
  VD peaks = hn::Zero(dd);
  int i = 0;
  for (; i + n <= count; i += n) {
    hn::StoreU(LimitRound(hn::LoadU(df, in + i), gain, k, turningPoint, &peaks), ds, out + i);
  }
  HWY_ALIGN double lanes[hn::MaxLanes(dd)];
  hn::Store(peaks, dd, lanes);
  double p = 0.0;
  for (int j = 0; j < n; ++j) p = lanes[j] > p ? lanes[j] : p;
  *peak = p;
  return i;
}

// The overlap correction's factor for tone gains g: 1 / (g scale) where g scale cap > 1,
// otherwise cap (a NaN tone gain included), as the scalar loop forms it.
HWY_INLINE VD OverlapFactor(hn::Vec<DF> g, VD scale, VD cap) {
  const DD dd;
  const VD weight = hn::Mul(hn::PromoteTo(dd, g), scale);
  const VD one = hn::Set(dd, 1.0);
  return hn::IfThenElse(hn::Gt(hn::Mul(weight, cap), one), hn::Div(one, weight), cap);
}

int CorrectOverlapFrames(float* dst, const float* left, const float* right, const float* tone,
                         int count, bool mono, double scale, double cap) {
  const DD dd;
  const DF df;
  const int n = static_cast<int>(hn::Lanes(dd));
  const VD s = hn::Set(dd, scale), c = hn::Set(dd, cap);
  int i = 0;
  if (mono) {
    for (; i + n <= count; i += n) {
      const VD factor = OverlapFactor(hn::LoadU(df, tone + i), s, c);
      hn::StoreU(hn::DemoteTo(df, hn::Mul(hn::PromoteTo(dd, hn::LoadU(df, left + i)), factor)), df,
                 dst + i);
    }
  } else {
    for (; i + n <= count; i += n) {
      const VD factor = OverlapFactor(hn::LoadU(df, tone + i), s, c);
      const auto l = hn::DemoteTo(df, hn::Mul(hn::PromoteTo(dd, hn::LoadU(df, left + i)), factor));
      const auto r = hn::DemoteTo(df, hn::Mul(hn::PromoteTo(dd, hn::LoadU(df, right + i)), factor));
      hn::StoreInterleaved2(l, r, df, dst + 2 * i);
    }
  }
  return i;
}

// The level keeper's energies of mid and side per frame, in the same operations as its
// scalar loops: 0.25 (l + r) (l + r) and 0.25 (l - r) (l - r).
HWY_INLINE void MidSide(VD l, VD r, double* mid, double* side) {
  const DD dd;
  const VD quarter = hn::Set(dd, 0.25);
  const VD sum = hn::Add(l, r), diff = hn::Sub(l, r);
  hn::StoreU(hn::Mul(hn::Mul(quarter, sum), sum), dd, mid);
  hn::StoreU(hn::Mul(hn::Mul(quarter, diff), diff), dd, side);
}

int LevelTerms(const float* left, const float* right, const float* tone, double toneScale,
               int count, double* mid, double* side) {
  const DD dd;
  const DF df;
  const int n = static_cast<int>(hn::Lanes(dd));
  const VD scale = hn::Set(dd, toneScale), least = hn::Set(dd, 1e-3);
  int i = 0;
  for (; i + n <= count; i += n) {
    VD l = hn::PromoteTo(dd, hn::LoadU(df, left + i));
    VD r = right != nullptr ? hn::PromoteTo(dd, hn::LoadU(df, right + i)) : l;
    if (tone == nullptr) {
      MidSide(l, r, mid + i, side + i);
      continue;
    }
    const VD norm = hn::Mul(hn::PromoteTo(dd, hn::LoadU(df, tone + i)), scale);
    const auto counted = hn::Gt(norm, least);
    l = hn::Div(l, norm);
    r = right != nullptr ? hn::Div(r, norm) : l;
    // Frames whose weight is too small count 0 (adding 0 to a sum of squares, which is
    // never -0, leaves it as skipping the frame does).
    MidSide(hn::IfThenElseZero(counted, l), hn::IfThenElseZero(counted, r), mid + i, side + i);
  }
  return i;
}

int LevelGains(float* left, float* right, int count, double fromMid, double byMid, double fromSide,
               double bySide) {
  const DD dd;
  const DF df;
  const int n = static_cast<int>(hn::Lanes(dd));
  const VD half = hn::Set(dd, 0.5), frames = hn::Set(dd, static_cast<double>(count));
  const VD fm = hn::Set(dd, fromMid), bm = hn::Set(dd, byMid);
  const VD fs = hn::Set(dd, fromSide), bs = hn::Set(dd, bySide);
  VD at = hn::Add(hn::Iota(dd, 0.0), hn::Set(dd, 1.0));  // i + 1.0, exact
  const VD step = hn::Set(dd, static_cast<double>(n));
  int i = 0;
  for (; i + n <= count; i += n, at = hn::Add(at, step)) {
    const VD t = hn::Div(at, frames);
    const VD gm = hn::Add(fm, hn::Mul(bm, t));
    const VD l = hn::PromoteTo(dd, hn::LoadU(df, left + i));
    if (right == nullptr) {
      hn::StoreU(hn::DemoteTo(df, hn::Mul(l, gm)), df, left + i);
      continue;
    }
    const VD gs = hn::Add(fs, hn::Mul(bs, t));
    const VD r = hn::PromoteTo(dd, hn::LoadU(df, right + i));
    const VD m = hn::Mul(hn::Mul(half, hn::Add(l, r)), gm);
    const VD s = hn::Mul(hn::Mul(half, hn::Sub(l, r)), gs);
    hn::StoreU(hn::DemoteTo(df, hn::Add(m, s)), df, left + i);
    hn::StoreU(hn::DemoteTo(df, hn::Sub(m, s)), df, right + i);
  }
  return i;
}

using DF32 = hn::ScalableTag<float>;
using DI32 = hn::Rebind<int32_t, DF32>;
using DS32 = hn::Rebind<int16_t, DF32>;  // as many 16-bit lanes as DF32 has floats

// int16 -> int32 -> float, then the scale (a power of two): exact, as the scalar loop.
HWY_INLINE hn::Vec<DF32> ToScale(hn::Vec<DS32> v) {
  return hn::Mul(hn::ConvertTo(DF32(), hn::PromoteTo(DI32(), v)), hn::Set(DF32(), dspInputScale));
}

int ConvertMono(const short* samples, float* out, int count) {
  const DF32 df;
  const DS32 ds;
  const int n = static_cast<int>(hn::Lanes(df));
  int i = 0;
  for (; i + n <= count; i += n) hn::StoreU(ToScale(hn::LoadU(ds, samples + i)), df, out + i);
  return i;
}

int ConvertStereo(const short* samples, float* left, float* right, int frames) {
  const DF32 df;
  const DS32 ds;
  const int n = static_cast<int>(hn::Lanes(df));
  int i = 0;
  for (; i + n <= frames; i += n) {
    hn::Vec<DS32> l, r;
    hn::LoadInterleaved2(ds, samples + 2 * i, l, r);
    hn::StoreU(ToScale(l), df, left + i);
    hn::StoreU(ToScale(r), df, right + i);
  }
  return i;
}

}  // namespace HWY_NAMESPACE
}  // namespace hopwarbler
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
const DspKernels* dsp_simd_kernels(int path) {
#ifdef HOPWARBLER_SIMD_BASELINE
  namespace base = hopwarbler::HOPWARBLER_SIMD_BASELINE;
  static constexpr DspKernels baseline{
      &base::QuantiseFrames,    &base::ConvertMono,          &base::ConvertStereo,
      &base::LimitRoundSamples, &base::CorrectOverlapFrames, &base::LevelTerms,
      &base::LevelGains};
  if (path == CPU_PATH_BASELINE) return &baseline;
#endif
#ifdef HOPWARBLER_SIMD_AVX2
  namespace avx2 = hopwarbler::HOPWARBLER_SIMD_AVX2;
  static constexpr DspKernels wide{
      &avx2::QuantiseFrames,    &avx2::ConvertMono,          &avx2::ConvertStereo,
      &avx2::LimitRoundSamples, &avx2::CorrectOverlapFrames, &avx2::LevelTerms,
      &avx2::LevelGains};
  if (path == CPU_PATH_AVX2) return &wide;
#endif
  (void)path;
  return nullptr;
}
#endif  // HWY_ONCE

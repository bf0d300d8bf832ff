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
  static constexpr DspKernels baseline{&base::QuantiseFrames, &base::ConvertMono,
                                       &base::ConvertStereo};
  if (path == CPU_PATH_BASELINE) return &baseline;
#endif
#ifdef HOPWARBLER_SIMD_AVX2
  namespace avx2 = hopwarbler::HOPWARBLER_SIMD_AVX2;
  static constexpr DspKernels wide{&avx2::QuantiseFrames, &avx2::ConvertMono, &avx2::ConvertStereo};
  if (path == CPU_PATH_AVX2) return &wide;
#endif
  (void)path;
  return nullptr;
}
#endif  // HWY_ONCE

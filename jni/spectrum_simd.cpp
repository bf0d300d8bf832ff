// The analyser's vector kernels: the correlation of the windowed history with the
// band coefficients, on the baseline and AVX2 paths. See spectrum.h.
#include "simd.h"  // first: it picks the targets

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "spectrum_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "spectrum.h"
#include "spectrum_simd.h"

HWY_BEFORE_NAMESPACE();
namespace hopwarbler {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DD = hn::ScalableTag<double>;
using DF = hn::Rebind<float, DD>;
using VD = hn::Vec<DD>;

// Lanes of double per vector: 2 on the baseline targets (SSSE3, NEON), 4 with AVX2.
// Two lanes: one band per pass, four partial sums per table, as many registers as the
// 128-bit targets have to spare. Four lanes: each history vector is loaded once for
// the eight table streams of four bands, which the hardware prefetcher follows in
// order, one partial sum of four lanes per table; the pass is bound by the
// float-to-double conversions of the coefficients and by reading the tables from L2
// and L3 (six or more bands per pass thrash the L1 sets, the rows lying 16 KiB apart).
constexpr int kLanes = static_cast<int>(hn::MaxLanes(DD()));
constexpr int kBands = kLanes <= 2 ? 1 : 4;
constexpr int kPartials = kLanes <= 2 ? 4 : 1;
constexpr int kStep = kPartials * kLanes;  // history elements per step

// The lanes of v added pairwise: (l0 + l1) + (l2 + l3) ...
HWY_INLINE double SumPairwise(VD v) {
  HWY_ALIGN double lanes[hn::MaxLanes(DD())];
  hn::Store(v, DD(), lanes);
  for (int width = kLanes / 2; width >= 1; width /= 2) {
    for (int j = 0; j < width; ++j) lanes[j] = lanes[2 * j] + lanes[2 * j + 1];
  }
  return lanes[0];
}

void Resonate(const double* windowed, const float* sn, const float* cs, int row, double* sSum,
              double* cSum) {
  const DD dd;
  const DF df;
  VD s[kBands][kPartials], c[kBands][kPartials];
  for (int k = 0; k < kBands; ++k) {
    for (int j = 0; j < kPartials; ++j) s[k][j] = c[k][j] = hn::Zero(dd);
  }
  for (int i = 0; i < spectrumHistorySize; i += kStep) {
    for (int j = 0; j < kPartials; ++j) {
      const VD x = hn::LoadU(dd, windowed + i + j * kLanes);
      for (int k = 0; k < kBands; ++k) {
        const float* const sk = sn + k * row + i + j * kLanes;
        const float* const ck = cs + k * row + i + j * kLanes;
        // The product is exact, so a fused multiply-add rounds as the two steps do.
        s[k][j] = hn::MulAdd(x, hn::PromoteTo(dd, hn::LoadU(df, sk)), s[k][j]);
        c[k][j] = hn::MulAdd(x, hn::PromoteTo(dd, hn::LoadU(df, ck)), c[k][j]);
      }
    }
  }
  for (int k = 0; k < kBands; ++k) {
    VD sk = s[k][0], ck = c[k][0];
    if constexpr (kPartials == 4) {
      sk = hn::Add(hn::Add(s[k][0], s[k][1]), hn::Add(s[k][2], s[k][3]));
      ck = hn::Add(hn::Add(c[k][0], c[k][1]), hn::Add(c[k][2], c[k][3]));
    }
    sSum[k] = SumPairwise(sk);
    cSum[k] = SumPairwise(ck);
  }
}

// The lean analysis in float: per block of spectrumLeanBlock elements, each band's
// partial sums against the inner tables (the phase within the block), turned by the
// phase at the block's start into the band's two accumulators; the tables stay in the
// first-level caches, where the plain analysis streams 2.3 MB per analysis.
using DF32 = hn::ScalableTag<float>;
using VF = hn::Vec<DF32>;
constexpr int kLanesF = static_cast<int>(hn::MaxLanes(DF32()));
constexpr int kBlocks = spectrumHistorySize / spectrumLeanBlock;

HWY_INLINE double SumPairwiseF(VF v) {
  HWY_ALIGN float lanes[hn::MaxLanes(DF32())];
  hn::Store(v, DF32(), lanes);
  double wide[hn::MaxLanes(DF32())];
  for (int j = 0; j < kLanesF; ++j) wide[j] = lanes[j];
  for (int width = kLanesF / 2; width >= 1; width /= 2) {
    for (int j = 0; j < width; ++j) wide[j] = wide[2 * j] + wide[2 * j + 1];
  }
  return wide[0];
}

void ResonateLean(const float* windowed, const float* inner, const float* outer, double* sSum,
                  double* cSum) {
  const DF32 df;
  constexpr int innerRow = 2 * spectrumLeanBlock;
  constexpr int outerRow = 2 * kBlocks;
  VF c[kBands], s[kBands];
  for (int k = 0; k < kBands; ++k) c[k] = s[k] = hn::Zero(df);
  for (int a = 0; a < kBlocks; ++a) {
    const float* const x = windowed + a * spectrumLeanBlock;
    VF re[kBands], im[kBands];
    for (int k = 0; k < kBands; ++k) re[k] = im[k] = hn::Zero(df);
    for (int j = 0; j < spectrumLeanBlock; j += kLanesF) {
      const VF xv = hn::LoadU(df, x + j);
      for (int k = 0; k < kBands; ++k) {
        re[k] = hn::MulAdd(xv, hn::LoadU(df, inner + k * innerRow + j), re[k]);
        im[k] = hn::MulAdd(xv, hn::LoadU(df, inner + k * innerRow + spectrumLeanBlock + j), im[k]);
      }
    }
    // (re + i im) (cos - i sin) of the block's start: cos part re cos + im sin, -sin part
    // im cos - re sin.
    for (int k = 0; k < kBands; ++k) {
      const VF cosine = hn::Set(df, outer[k * outerRow + a]);
      const VF sine = hn::Set(df, outer[k * outerRow + kBlocks + a]);
      c[k] = hn::MulAdd(im[k], sine, hn::MulAdd(re[k], cosine, c[k]));
      s[k] = hn::NegMulAdd(re[k], sine, hn::MulAdd(im[k], cosine, s[k]));
    }
  }
  for (int k = 0; k < kBands; ++k) {
    sSum[k] = SumPairwiseF(s[k]);
    cSum[k] = SumPairwiseF(c[k]);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace hopwarbler
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
const SpectrumKernels* spectrum_simd_kernels(int path) {
#ifdef HOPWARBLER_SIMD_BASELINE
  namespace base = hopwarbler::HOPWARBLER_SIMD_BASELINE;
  static constexpr SpectrumKernels baseline{base::kBands, &base::Resonate, &base::ResonateLean};
  if (path == CPU_PATH_BASELINE) return &baseline;
#endif
#ifdef HOPWARBLER_SIMD_AVX2
  namespace avx2 = hopwarbler::HOPWARBLER_SIMD_AVX2;
  static constexpr SpectrumKernels wide{avx2::kBands, &avx2::Resonate, &avx2::ResonateLean};
  if (path == CPU_PATH_AVX2) return &wide;
#endif
  (void)path;
  return nullptr;
}
#endif  // HWY_ONCE

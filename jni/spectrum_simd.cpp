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

// Resonate() in float, for the lean analysis: the history windowed and rounded to
// float, each product rounded to float and summed in float, twice the lanes per vector
// and no conversion of the coefficients. The same bands per pass as Resonate(), the
// same layout of partial sums, whose lanes are added pairwise in double.
using DF32 = hn::ScalableTag<float>;
using VF = hn::Vec<DF32>;
constexpr int kLanesF = static_cast<int>(hn::MaxLanes(DF32()));
constexpr int kStepF = kPartials * kLanesF;

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

void ResonateLean(const float* windowed, const float* sn, const float* cs, int row, double* sSum,
                  double* cSum) {
  const DF32 df;
  VF s[kBands][kPartials], c[kBands][kPartials];
  for (int k = 0; k < kBands; ++k) {
    for (int j = 0; j < kPartials; ++j) s[k][j] = c[k][j] = hn::Zero(df);
  }
  for (int i = 0; i < spectrumHistorySize; i += kStepF) {
    for (int j = 0; j < kPartials; ++j) {
      const VF x = hn::LoadU(df, windowed + i + j * kLanesF);
      for (int k = 0; k < kBands; ++k) {
        s[k][j] = hn::MulAdd(x, hn::LoadU(df, sn + k * row + i + j * kLanesF), s[k][j]);
        c[k][j] = hn::MulAdd(x, hn::LoadU(df, cs + k * row + i + j * kLanesF), c[k][j]);
      }
    }
  }
  for (int k = 0; k < kBands; ++k) {
    VF sk = s[k][0], ck = c[k][0];
    if constexpr (kPartials == 4) {
      sk = hn::Add(hn::Add(s[k][0], s[k][1]), hn::Add(s[k][2], s[k][3]));
      ck = hn::Add(hn::Add(c[k][0], c[k][1]), hn::Add(c[k][2], c[k][3]));
    }
    sSum[k] = SumPairwiseF(sk);
    cSum[k] = SumPairwiseF(ck);
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

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

// The lean analysis in float, the bands in the lanes: each table row holds one value
// per band, so a broadcast sample times a row of the table serves a vector of bands
// and no sum is ever taken across lanes.
using DF32 = hn::ScalableTag<float>;
using VF = hn::Vec<DF32>;
constexpr int kLanesF = static_cast<int>(hn::MaxLanes(DF32()));
constexpr int kTableRow = 2 * spectrumBandCount;  // the real parts, then the imaginary ones
constexpr int kRingSlot = 3 * kTableRow;
static_assert(spectrumBandCount % kLanesF == 0, "the bands fill whole vectors");

// N rows at once against one table row: 2 N independent sums per vector of bands
// (12 with six rows), enough to cover the latency of the multiply-adds, in as many
// registers as the 128-bit targets have.
template <int N>
HWY_INLINE void CorrelateRows(const float* in, const float* inner, float* const* out) {
  const DF32 df;
  for (int g = 0; g < spectrumBandCount; g += kLanesF) {
    VF re[N], im[N];
    for (int r = 0; r < N; ++r) re[r] = im[r] = hn::Zero(df);
    for (int c = 0; c < spectrumLeanBlock; ++c) {
      const VF cr = hn::LoadU(df, inner + c * kTableRow + g);
      const VF ci = hn::LoadU(df, inner + c * kTableRow + spectrumBandCount + g);
      for (int r = 0; r < N; ++r) {
        const VF x = hn::Set(df, in[r * spectrumLeanBlock + c]);
        re[r] = hn::MulAdd(x, cr, re[r]);
        im[r] = hn::MulAdd(x, ci, im[r]);
      }
    }
    for (int r = 0; r < N; ++r) {
      hn::StoreU(re[r], df, out[r] + g);
      hn::StoreU(im[r], df, out[r] + spectrumBandCount + g);
    }
  }
}

void LeanCorrelate(const float* in, int rows, const float* inner, float* const* out) {
  for (; rows >= 6; rows -= 6, in += 6 * spectrumLeanBlock, out += 6) {
    CorrelateRows<6>(in, inner, out);
  }
  switch (rows) {
    case 5:
      CorrelateRows<5>(in, inner, out);
      break;
    case 4:
      CorrelateRows<4>(in, inner, out);
      break;
    case 3:
      CorrelateRows<3>(in, inner, out);
      break;
    case 2:
      CorrelateRows<2>(in, inner, out);
      break;
    case 1:
      CorrelateRows<1>(in, inner, out);
      break;
    default:
      break;
  }
}

void LeanCombine(const float* ring, int first, int count, const float* weights, const float* turn,
                 float* out) {
  const DF32 df;
  constexpr int kSlots = spectrumHistorySize / spectrumLeanBlock;
  for (int g = 0; g < spectrumBandCount; g += kLanesF) {
    // The four products of the complex multiply in sums of their own: four chains.
    VF rr = hn::Zero(df), ii = hn::Zero(df), ri = hn::Zero(df), ir = hn::Zero(df);
    for (int a = 0; a < count; ++a) {
      const float* const z = ring + ((first + a) & (kSlots - 1)) * kRingSlot + g;
      const VF w0 = hn::Set(df, weights[a]);
      const VF w1 = hn::Set(df, weights[kSlots + a]);
      const VF w2 = hn::Set(df, weights[2 * kSlots + a]);
      const VF zr =
          hn::MulAdd(w2, hn::LoadU(df, z + 2 * kTableRow),
                     hn::MulAdd(w1, hn::LoadU(df, z + kTableRow), hn::Mul(w0, hn::LoadU(df, z))));
      const float* const zi0 = z + spectrumBandCount;
      const VF zi = hn::MulAdd(
          w2, hn::LoadU(df, zi0 + 2 * kTableRow),
          hn::MulAdd(w1, hn::LoadU(df, zi0 + kTableRow), hn::Mul(w0, hn::LoadU(df, zi0))));
      const VF tr = hn::LoadU(df, turn + a * kTableRow + g);
      const VF ti = hn::LoadU(df, turn + a * kTableRow + spectrumBandCount + g);
      rr = hn::MulAdd(tr, zr, rr);
      ii = hn::MulAdd(ti, zi, ii);
      ri = hn::MulAdd(tr, zi, ri);
      ir = hn::MulAdd(ti, zr, ir);
    }
    hn::StoreU(hn::Sub(rr, ii), df, out + g);
    hn::StoreU(hn::Add(ri, ir), df, out + spectrumBandCount + g);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace hopwarbler
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
const SpectrumKernels* spectrum_simd_kernels(int path) {
#ifdef HOPWARBLER_SIMD_BASELINE
  namespace base = hopwarbler::HOPWARBLER_SIMD_BASELINE;
  static constexpr SpectrumKernels baseline{base::kBands, &base::Resonate, &base::LeanCorrelate,
                                            &base::LeanCombine};
  if (path == CPU_PATH_BASELINE) return &baseline;
#endif
#ifdef HOPWARBLER_SIMD_AVX2
  namespace avx2 = hopwarbler::HOPWARBLER_SIMD_AVX2;
  static constexpr SpectrumKernels wide{avx2::kBands, &avx2::Resonate, &avx2::LeanCorrelate,
                                        &avx2::LeanCombine};
  if (path == CPU_PATH_AVX2) return &wide;
#endif
  (void)path;
  return nullptr;
}
#endif  // HWY_ONCE

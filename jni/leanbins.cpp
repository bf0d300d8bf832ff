// The vocoder's lean passes over the bins, in float vectors. See leanbins.h.
#include "simd.h"  // first: it picks the targets

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "leanbins.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <array>
#include <cfloat>
#include <cstdint>

#include "leanbins.h"

#ifndef HOPWARBLER_LEANBINS_TABLES
#define HOPWARBLER_LEANBINS_TABLES
namespace hopwarbler::leanbins_tables {

// For each mask of up to eight lanes, the lanes it holds in order, then zeros: the
// order in which a vector's lanes are packed to keep the marked ones.
constexpr std::array<std::array<uint8_t, 8>, 256> PackedLanes() {
  std::array<std::array<uint8_t, 8>, 256> table{};
  for (int mask = 0; mask < 256; mask++) {
    int at = 0;
    for (int lane = 0; lane < 8; lane++) {
      if (mask >> lane & 1) table[mask][at++] = static_cast<uint8_t>(lane);
    }
  }
  return table;
}
constexpr std::array<std::array<uint8_t, 8>, 256> kPackedLanes = PackedLanes();

}  // namespace hopwarbler::leanbins_tables
#endif  // HOPWARBLER_LEANBINS_TABLES

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

// atan(y / x) for 0 <= y <= x, x > 0: above tan(pi / 8) from pi / 4 + atan((y - x) /
// (y + x)), so that one division serves both ranges.
HWY_INLINE VF AtanRatio(DF d, VF y, VF x) {
  const auto high = hn::Gt(y, hn::Mul(x, hn::Set(d, 0.41421356237309503f)));
  const VF top = hn::IfThenElse(high, hn::Sub(y, x), y);
  const VF bottom = hn::IfThenElse(high, hn::Add(y, x), x);
  const VF t = hn::Div(top, bottom);
  const VF z = hn::Mul(t, t);
  VF p = hn::Set(d, 8.05374449538e-2f);
  p = hn::MulAdd(p, z, hn::Set(d, -1.38776856032e-1f));
  p = hn::MulAdd(p, z, hn::Set(d, 1.99777106478e-1f));
  p = hn::MulAdd(p, z, hn::Set(d, -3.33329491539e-1f));
  const VF a = hn::MulAdd(hn::Mul(p, z), t, t);
  return hn::IfThenElse(high, hn::Add(a, hn::Set(d, 0.7853981633974483f)), a);
}

// atan2(y, x) from the arc tangent of the smaller magnitude over the larger, moved to
// the octant of (x, y). A bin of magnitude 0 gets phase 0 (+-0).
HWY_INLINE VF Atan2(DF d, VF y, VF x) {
  const VF ax = hn::Abs(x), ay = hn::Abs(y);
  const VF smaller = hn::Min(ax, ay), larger = hn::Max(ax, ay);
  VF angle = AtanRatio(d, smaller, hn::Max(larger, hn::Set(d, 1e-30f)));
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

// The synthesis phases and the spectrum in one pass: psi = phi + turn brought into
// [-pi, pi] by the nearest multiple of 2 pi (2 pi in two parts), a phase that is not a
// number or lies far out (a NaN frame) restarting from 0 as princarg() makes it, then
// the rebuild from it.
int LeanTurnRebuild(const float* mag, const float* phi, const float* turn, const float* gains,
                    float* psi, float* spectrum, int n) {
  const DF d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  int k = 0;
  for (; k + lanes <= n; k += lanes) {
    VF p = hn::Add(hn::LoadU(d, phi + k), hn::LoadU(d, turn + k));
    const VF q = hn::Round(hn::Mul(p, hn::Set(d, 0.15915494309189535f)));
    p = hn::NegMulAdd(q, hn::Set(d, 6.2831854820251465f), p);
    p = hn::NegMulAdd(q, hn::Set(d, -1.7484556000744083e-07f), p);
    p = hn::IfThenElseZero(hn::Lt(hn::Abs(p), hn::Set(d, 4.0f)), p);
    hn::StoreU(p, d, psi + k);
    VF m = hn::LoadU(d, mag + k);
    if (gains != nullptr) m = hn::Mul(m, hn::LoadU(d, gains + k));
    VF sine, cosine;
    SinCos(d, p, sine, cosine);
    hn::StoreInterleaved2(hn::Mul(m, cosine), hn::Mul(m, sine), d, spectrum + 2 * k);
  }
  return k;
}

int LeanAccumulate(const float* wave, const float* realParts, const float* windowOut, float* dest,
                   int from, int to) {
  const DF d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  int i = from;
  for (; i + lanes <= to; i += lanes) {
    const VF sum = hn::MulAdd(hn::LoadU(d, realParts + i), hn::LoadU(d, windowOut + i),
                              hn::LoadU(d, wave + i));
    hn::StoreU(sum, d, dest + (i - from));
  }
  return i;
}

// buffer = input times window, sample by sample, or as the real parts of complex
// samples whose imaginary parts are 0.
void ApplyWindow(const float* input, const float* window, float* buffer, int n, bool complex) {
  const DF d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  int i = 0;
  for (; i + lanes <= n; i += lanes) {
    const VF v = hn::Mul(hn::LoadU(d, input + i), hn::LoadU(d, window + i));
    if (complex) {
      hn::StoreInterleaved2(v, hn::Zero(d), d, buffer + 2 * i);
    } else {
      hn::StoreU(v, d, buffer + i);
    }
  }
  for (; i < n; i++) {
    if (complex) {
      buffer[2 * i] = input[i] * window[i];
      buffer[2 * i + 1] = 0.0f;
    } else {
      buffer[i] = input[i] * window[i];
    }
  }
}

// Every bin of 0 .. n - 1 strictly above both neighbours (bin -1 counts as FLT_MIN,
// mag[n] is the caller's guard): the candidates' indices packed by the comparison mask.
int FinePeaks(const float* mag, int n, int* peaks) {
  const DF d;
  const hn::RebindToSigned<DF> di;
  const int lanes = static_cast<int>(hn::Lanes(d));
  int count = 0;
  int b = 0;
  if (n > 0) {
    peaks[0] = 0;
    count += static_cast<int>(mag[0] > FLT_MIN) & static_cast<int>(mag[0] > mag[1]);
    b = 1;
  }
  // The indices of the vector's bins, moved on by a vector each step (Iota itself goes
  // through memory).
  auto bins = hn::Add(hn::Iota(di, 0), hn::Set(di, b));
  const auto step = hn::Set(di, lanes);
  const hn::Rebind<uint8_t, decltype(di)> du8;
  for (; b + lanes <= n; b += lanes, bins = hn::Add(bins, step)) {
    const VF c = hn::LoadU(d, mag + b);
    const auto above =
        hn::And(hn::Gt(c, hn::LoadU(d, mag + b - 1)), hn::Gt(c, hn::LoadU(d, mag + b + 1)));
    uint8_t bits[8] = {};
    hn::StoreMaskBits(d, above, bits);
    const auto order =
        hn::PromoteTo(di, hn::LoadU(du8, leanbins_tables::kPackedLanes[bits[0]].data()));
    hn::StoreU(hn::TableLookupLanes(bins, hn::IndicesFromVec(di, order)), di, peaks + count);
    count += static_cast<int>(hwy::PopCount(bits[0]));
  }
  for (; b < n; b++) {
    peaks[count] = b;
    count += static_cast<int>(mag[b] > mag[b - 1]) & static_cast<int>(mag[b] > mag[b + 1]);
  }
  return count;
}

// The first bin of least magnitude from peaks[p - 1] up to peaks[p], for every p >= 1:
// the least magnitude below the largest float (NaN never is; 0 when none), then the
// first bin holding it, one vector at a time. Reads up to a vector past the last peak.
void Valleys(const float* mag, const int* peaks, int* valleys, int nPeaks) {
  const DF d;
  const hn::RebindToSigned<DF> di;
  const int lanes = static_cast<int>(hn::Lanes(d));
  const VF largest = hn::Set(d, FLT_MAX);
  const auto lane = hn::Iota(di, 0);
  for (int p = 1; p < nPeaks; p++) {
    const int from = peaks[p - 1], to = peaks[p];
    if (to - from <= lanes) {
      // Most regions fit one vector: no loop whose length the branches must guess. The
      // first lane equal to the least lies in the region, since one of its lanes is.
      const auto inRegion = hn::RebindMask(d, hn::Lt(lane, hn::Set(di, to - from)));
      const VF v = hn::LoadU(d, mag + from);
      const VF m =
          hn::MinOfLanes(d, hn::IfThenElse(hn::And(hn::Lt(v, largest), inRegion), v, largest));
      const int first = static_cast<int>(hn::FindFirstTrue(d, hn::Eq(v, m)));
      valleys[p] = hn::GetLane(m) < FLT_MAX ? from + first : 0;
      continue;
    }
    VF least = largest;
    for (int j = from; j < to; j += lanes) {
      const auto inRegion = hn::RebindMask(d, hn::Lt(lane, hn::Set(di, to - j)));
      const VF v = hn::LoadU(d, mag + j);
      least = hn::Min(least, hn::IfThenElse(hn::And(hn::Lt(v, largest), inRegion), v, largest));
    }
    const VF m = hn::MinOfLanes(d, least);
    int valley = 0;
    if (hn::GetLane(m) < FLT_MAX) {
      for (int j = from;; j += lanes) {
        const intptr_t first = hn::FindFirstTrue(d, hn::Eq(hn::LoadU(d, mag + j), m));
        if (first >= 0) {
          valley = j + static_cast<int>(first);
          break;
        }
      }
    }
    valleys[p] = valley;
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace hopwarbler
HWY_AFTER_NAMESPACE();
#endif  // HWY_TARGET != HWY_SCALAR

#if HWY_ONCE
const LeanBinKernels* lean_bin_kernels(int path) {
#ifdef HOPWARBLER_SIMD_BASELINE
  namespace base = hopwarbler::HOPWARBLER_SIMD_BASELINE;
  static constexpr LeanBinKernels baseline{
      &base::LeanBinPass, &base::LeanRebuild, &base::LeanTurnRebuild, &base::LeanAccumulate,
      &base::FinePeaks,   &base::Valleys,     &base::ApplyWindow};
  if (path == CPU_PATH_BASELINE) return &baseline;
#endif
#ifdef HOPWARBLER_SIMD_AVX2
  namespace avx2 = hopwarbler::HOPWARBLER_SIMD_AVX2;
  static constexpr LeanBinKernels wide{
      &avx2::LeanBinPass, &avx2::LeanRebuild, &avx2::LeanTurnRebuild, &avx2::LeanAccumulate,
      &avx2::FinePeaks,   &avx2::Valleys,     &avx2::ApplyWindow};
  if (path == CPU_PATH_AVX2) return &wide;
#endif
  (void)path;
  return nullptr;
}
#endif  // HWY_ONCE

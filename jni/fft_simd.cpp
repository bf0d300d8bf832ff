// The FFT's baseline path in one Highway source: groups outer and contiguous twiddles
// inner, one complex value per vector of two doubles, every butterfly with the
// reference's double operations and roundings. See fft.h.
#include "simd.h"  // first: it picks the targets

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fft_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "fft_simd.h"

// Not for Highway's one-lane fallback (the static target of an x86-64 build without
// SSSE3, never run): the kernels hold two doubles per vector.
#if HWY_TARGET != HWY_SCALAR
HWY_BEFORE_NAMESPACE();
namespace hopwarbler {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D2 = hn::FixedTag<double, 2>;  // (re, im)
using F2 = hn::FixedTag<float, 2>;
using V2 = hn::Vec<D2>;

HWY_INLINE V2 Load1(const float* p) { return hn::PromoteTo(D2(), hn::LoadU(F2(), p)); }

HWY_INLINE void Store1(float* p, V2 v) { hn::StoreU(hn::DemoteTo(F2(), v), F2(), p); }

// (re, im) times the twiddle w = (ur, ui): (re ur - im ui, im ur + re ui), the
// subtraction done as the addition of the negated product (the same operation).
HWY_INLINE V2 Cmul1(V2 x, V2 w) {
  const D2 d;
  const V2 ur = hn::InterleaveLower(d, w, w);
  const V2 ui = hn::InterleaveUpper(d, w, w);
  const V2 crossed = hn::Mul(hn::Reverse2(d, x), ui);
  return hn::Add(hn::Mul(x, ur), hn::OddEven(crossed, hn::Neg(crossed)));
}

void Stages(const FftFastTables& tables, float* b, int n, int first, int sign) {
  const D2 d;
  const double* tw = tables.fastTwiddles[sign == 1 ? 0 : 1];
  for (int k = first; k < tables.stages; k++) {
    const int half = 2 << k;  // floats between the two inputs of a butterfly
    const double* t = tw + half;
    for (int g = 0; g < 2 * n; g += 2 * half) {
      float* p1 = b + g;
      float* p2 = p1 + half;
      for (int m = 0; m < half; m += 2) {
        const V2 a = Load1(p1 + m);
        const V2 c = Cmul1(Load1(p2 + m), hn::Load(d, t + m));
        Store1(p1 + m, hn::Add(a, c));
        Store1(p2 + m, hn::Sub(a, c));
      }
    }
  }
}

// Places bin k of the one-sided spectrum where the permutation puts it and runs
// stage 0, whose partner of every bin is a zero of the upper half: with the
// twiddle (1, +0) the product is (+0, +0), so the pair becomes (x + 0, x - 0) =
// (x + 0, x). Adding +0 only turns -0 into +0.
void PlaceOneSided(const FftFastTables& tables, const float* lower, float* b, int n) {
  const V2 zero = hn::Zero(D2());
  const int* reversal = tables.quarterReversal.data();
  const int quarter = n / 4;
  for (int q = 0; q < quarter; q++) {
    const int a = reversal[q];
    const V2 xa = Load1(lower + 2 * a);
    const V2 xb = Load1(lower + 2 * (a + quarter));
    Store1(b + 8 * q, hn::Add(xa, zero));
    Store1(b + 8 * q + 2, hn::Sub(xa, zero));
    Store1(b + 8 * q + 4, hn::Add(xb, zero));
    Store1(b + 8 * q + 6, hn::Sub(xb, zero));
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace hopwarbler
HWY_AFTER_NAMESPACE();
#endif  // HWY_TARGET != HWY_SCALAR

#if HWY_ONCE
const FftKernels* fft_simd_kernels(int path) {
#ifdef HOPWARBLER_SIMD_BASELINE
  namespace base = hopwarbler::HOPWARBLER_SIMD_BASELINE;
  static constexpr FftKernels baseline{&base::Stages, &base::PlaceOneSided};
  if (path == CPU_PATH_BASELINE || path == CPU_PATH_AVX2) return &baseline;
#endif
  (void)path;
  return nullptr;
}
#endif  // HWY_ONCE

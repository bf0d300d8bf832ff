// The FFT's vector paths in one Highway source, every butterfly with the reference's
// double operations and roundings. The baseline path runs the groups outer and the
// contiguous twiddles inner, one complex value per vector of two doubles; the AVX2
// path a self-sorting order over blocks of four values, whose doubles fill one vector
// of four (two of two on 128-bit targets). See fft.h.
#include "simd.h"  // first: it picks the targets

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "fft_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <utility>

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

// ---- The self-sorting (Stockham) transform over split blocks of four ----
//
// The butterflies are the reference's, operand for operand; only where their
// results are kept differs. After stage k the value that the reference holds at
// position g 2^(k+1) + r is bin r (r < 2^(k+1)) of the sub-transform of the inputs
// x[c + j N/2^(k+1)], with c the bit reversal of g; here it is kept at row r,
// column c, columns contiguous. Stage k then pairs (r, c) with (r, c + C), C =
// N/2^(k+1), under the one twiddle of row r, writes rows r and r + 2^k of C
// columns, and needs no bit-reversal pass: stage 0 reads the input in its natural
// order and the last stage writes the bins in theirs.
//
// Between stages, four columns of a row are kept as a split block of eight floats,
// the four real parts then the four imaginary parts, so that each converts to four
// doubles without shuffles. The last two stages, whose rows are too short for that,
// run over four rows at a time instead: the first of them transposes.

using DQ = hn::CappedTag<double, 4>;  // four doubles in one vector (AVX2) or two
using FQ = hn::Rebind<float, DQ>;
using F4 = hn::FixedTag<float, 4>;
using VQ = hn::Vec<DQ>;
using V4 = hn::Vec<F4>;
using D8 = hn::CappedTag<float, 8>;  // eight floats in one vector (AVX2) or four
constexpr int kQuadLanes = static_cast<int>(hn::MaxLanes(DQ()));
constexpr int kParts = 4 / kQuadLanes;

// Four values of one kind (real or imaginary parts) as doubles.
struct Quad {
  // Defined here, so that it is compiled for the target (an implicit constructor
  // would not be, which GCC refuses for aarch64).
  HWY_INLINE Quad() {}
  VQ v[kParts];
};

HWY_INLINE Quad Widen4(const float* p) {
  Quad q;
  for (int j = 0; j < kParts; j++)
    q.v[j] = hn::PromoteTo(DQ(), hn::LoadU(FQ(), p + j * kQuadLanes));
  return q;
}

HWY_INLINE void Narrow4(float* p, const Quad& q) {
  for (int j = 0; j < kParts; j++) hn::StoreU(hn::DemoteTo(FQ(), q.v[j]), FQ(), p + j * kQuadLanes);
}

HWY_INLINE Quad Splat4(double x) {
  Quad q;
  for (int j = 0; j < kParts; j++) q.v[j] = hn::Set(DQ(), x);
  return q;
}

HWY_INLINE Quad Load4(const double* p) {
  Quad q;
  for (int j = 0; j < kParts; j++) q.v[j] = hn::LoadU(DQ(), p + j * kQuadLanes);
  return q;
}

// Four floats in a vector as doubles, and back.
template <class D>
HWY_INLINE Quad FromFloats(D d, V4 x) {
  Quad q;
  if constexpr (hn::MaxLanes(D()) == 4) {
    q.v[0] = hn::PromoteTo(d, x);
  } else {
    const hn::Half<F4> h;
    q.v[0] = hn::PromoteTo(d, hn::LowerHalf(h, x));
    q.v[1] = hn::PromoteTo(d, hn::UpperHalf(h, x));
  }
  return q;
}

template <class D>
HWY_INLINE V4 ToFloats(D, const Quad& q) {
  const hn::Rebind<float, D> f;  // as many floats as D has doubles
  if constexpr (hn::MaxLanes(D()) == 4) {
    return hn::DemoteTo(f, q.v[0]);
  } else {
    return hn::Combine(F4(), hn::DemoteTo(f, q.v[1]), hn::DemoteTo(f, q.v[0]));
  }
}

// a + t and a - t as fused operations on t times one, which round exactly as the
// plain sum and difference do: on x86-64 they run on the multiply units, leaving the
// others to the float/double conversions, which bound these loops.
HWY_INLINE Quad Plus(const Quad& a, const Quad& t) {
  Quad r;
  for (int j = 0; j < kParts; j++) r.v[j] = hn::MulAdd(t.v[j], hn::Set(DQ(), 1.0), a.v[j]);
  return r;
}

HWY_INLINE Quad Minus(const Quad& a, const Quad& t) {
  Quad r;
  for (int j = 0; j < kParts; j++) r.v[j] = hn::NegMulAdd(t.v[j], hn::Set(DQ(), 1.0), a.v[j]);
  return r;
}

// re ur - im ui: each product is of two floats, exact in double, so fusing one of
// them into the sum rounds exactly as the separate operations do.
HWY_INLINE Quad RealProduct(const Quad& re, const Quad& im, const Quad& ur, const Quad& ui) {
  Quad r;
  for (int j = 0; j < kParts; j++) r.v[j] = hn::MulSub(re.v[j], ur.v[j], hn::Mul(im.v[j], ui.v[j]));
  return r;
}

// (re, im) times (ur, ui) for four split values: (re ur - im ui, re ui + im ur).
HWY_INLINE void Cmul4(const Quad& re, const Quad& im, const Quad& ur, const Quad& ui, Quad* tr,
                      Quad* ti) {
  *tr = RealProduct(re, im, ur, ui);
  for (int j = 0; j < kParts; j++) {
    ti->v[j] = hn::MulAdd(re.v[j], ui.v[j], hn::Mul(im.v[j], ur.v[j]));
  }
}

// Stage 0 from interleaved input (n >= 8): rows 0 and 1 take the same positions as
// the inputs x[c] and x[c + n/2], so src and dst may be the same buffer. The twiddle
// is (1, 0): the products are exact in float as in double, and the sum of two floats
// rounds to float the same way directly as through double, so this stage runs in
// float. The products by one and zero stay: they set the signs of zeros as the
// reference's do (tr = re 1 - im 0 is formed as re 1 + im (-0); ti = im 1 + re 0).
//
// A block of four values is read as eight interleaved floats and split, in one vector
// of eight where the target has it, otherwise in two of four.
template <class D>
void FirstStageIn(D d, const float* src, float* dst, int n) {
  const hn::Vec<D> one = hn::Set(d, 1.0f);
  if constexpr (hn::MaxLanes(D()) == 8) {
    HWY_ALIGN static constexpr int32_t kSplit[8] = {0, 2, 4, 6, 1, 3, 5, 7};
    HWY_ALIGN static constexpr float kZeros[8] = {-0.0f, -0.0f, -0.0f, -0.0f,
                                                  0.0f,  0.0f,  0.0f,  0.0f};
    const auto split = hn::SetTableIndices(d, kSplit);
    const hn::Vec<D> zeros = hn::Load(d, kZeros);
    for (int c = 0; c < n; c += 8) {
      const hn::Vec<D> a = hn::TableLookupLanes(hn::LoadU(d, src + c), split);
      const hn::Vec<D> b = hn::TableLookupLanes(hn::LoadU(d, src + n + c), split);
      const hn::Vec<D> swapped = hn::ConcatLowerUpper(d, b, b);
      const hn::Vec<D> t = hn::Add(hn::Mul(b, one), hn::Mul(swapped, zeros));
      hn::StoreU(hn::Add(a, t), d, dst + c);
      hn::StoreU(hn::Sub(a, t), d, dst + n + c);
    }
  } else {
    const hn::Vec<D> zero = hn::Zero(d);
    const hn::Vec<D> negativeZero = hn::Set(d, -0.0f);
    for (int c = 0; c < n; c += 8) {
      hn::Vec<D> are, aim, bre, bim;
      hn::LoadInterleaved2(d, src + c, are, aim);
      hn::LoadInterleaved2(d, src + n + c, bre, bim);
      const hn::Vec<D> tre = hn::Add(hn::Mul(bre, one), hn::Mul(bim, negativeZero));
      const hn::Vec<D> tim = hn::Add(hn::Mul(bim, one), hn::Mul(bre, zero));
      hn::StoreU(hn::Add(are, tre), d, dst + c);
      hn::StoreU(hn::Add(aim, tim), d, dst + c + 4);
      hn::StoreU(hn::Sub(are, tre), d, dst + n + c);
      hn::StoreU(hn::Sub(aim, tim), d, dst + n + c + 4);
    }
  }
}

void FirstStage(const float* src, float* dst, int n) { FirstStageIn(D8(), src, dst, n); }

// Stage 0 of the inverse of a one-sided spectrum: every partner is a zero of the
// upper half, whose product with (1, 0) is (+0, +0), so row 0 is lower + 0 (which
// only turns -0 into +0) and row 1 is lower itself.
template <class D>
void FirstStageOneSidedIn(D d, const float* lower, float* dst, int n) {
  const hn::Vec<D> zero = hn::Zero(d);
  if constexpr (hn::MaxLanes(D()) == 8) {
    HWY_ALIGN static constexpr int32_t kSplit[8] = {0, 2, 4, 6, 1, 3, 5, 7};
    const auto split = hn::SetTableIndices(d, kSplit);
    for (int c = 0; c < n; c += 8) {
      const hn::Vec<D> a = hn::TableLookupLanes(hn::LoadU(d, lower + c), split);
      hn::StoreU(hn::Add(a, zero), d, dst + c);
      hn::StoreU(hn::Sub(a, zero), d, dst + n + c);
    }
  } else {
    for (int c = 0; c < n; c += 8) {
      hn::Vec<D> re, im;
      hn::LoadInterleaved2(d, lower + c, re, im);
      hn::StoreU(hn::Add(re, zero), d, dst + c);
      hn::StoreU(hn::Add(im, zero), d, dst + c + 4);
      hn::StoreU(hn::Sub(re, zero), d, dst + n + c);
      hn::StoreU(hn::Sub(im, zero), d, dst + n + c + 4);
    }
  }
}

void FirstStageOneSided(const float* lower, float* dst, int n) {
  FirstStageOneSidedIn(D8(), lower, dst, n);
}

// Stage k for 1 <= k <= stages - 3 (rows of at least four columns), src to dst.
void MiddleStage(const float* src, float* dst, int n, int k, const double* twRe,
                 const double* twIm) {
  const int rows = 1 << k;
  const int cols = n >> (k + 1);  // C, columns of each output row
  for (int r = 0; r < rows; r++) {
    const Quad ur = Splat4(twRe[rows + r]);
    const Quad ui = Splat4(twIm[rows + r]);
    const float* a = src + 4 * r * cols;
    const float* b = a + 2 * cols;
    float* low = dst + 2 * r * cols;
    float* high = dst + 2 * (r + rows) * cols;
    for (int c = 0; c < 2 * cols; c += 8) {
      const Quad are = Widen4(a + c);
      const Quad aim = Widen4(a + c + 4);
      Quad tr;
      Quad ti;
      Cmul4(Widen4(b + c), Widen4(b + c + 4), ur, ui, &tr, &ti);
      Narrow4(low + c, Plus(are, tr));
      Narrow4(low + c + 4, Plus(aim, ti));
      Narrow4(high + c, Minus(are, tr));
      Narrow4(high + c + 4, Minus(aim, ti));
    }
  }
}

// The four columns of four rows' blocks (s[8 i] onwards for row i), one vector per
// column holding the four rows. The shuffles work within each 128-bit block: with
// vectors of eight a block's real parts (low half) and imaginary parts (high half)
// are transposed at once; with vectors of four, the call for s takes the real parts
// and the one for s + 4 the imaginary parts.
template <class D>
HWY_INLINE void Transpose4(D d, const float* s, hn::Vec<D>* x) {
  const hn::Repartition<uint64_t, D> du;
  const hn::Vec<D> q0 = hn::LoadU(d, s);
  const hn::Vec<D> q1 = hn::LoadU(d, s + 8);
  const hn::Vec<D> q2 = hn::LoadU(d, s + 16);
  const hn::Vec<D> q3 = hn::LoadU(d, s + 24);
  const auto t0 = hn::BitCast(du, hn::InterleaveLower(d, q0, q1));
  const auto t1 = hn::BitCast(du, hn::InterleaveUpper(d, q0, q1));
  const auto t2 = hn::BitCast(du, hn::InterleaveLower(d, q2, q3));
  const auto t3 = hn::BitCast(du, hn::InterleaveUpper(d, q2, q3));
  x[0] = hn::BitCast(d, hn::InterleaveLower(du, t0, t2));
  x[1] = hn::BitCast(d, hn::InterleaveUpper(du, t0, t2));
  x[2] = hn::BitCast(d, hn::InterleaveLower(du, t1, t3));
  x[3] = hn::BitCast(d, hn::InterleaveUpper(du, t1, t3));
}

// Column j of rows r .. r + 3 (their blocks from s on) as real parts re[j] and
// imaginary parts im[j].
template <class D>
HWY_INLINE void Columns(D d, const float* s, Quad* re, Quad* im) {
  if constexpr (hn::MaxLanes(D()) == 8) {
    const hn::Half<D> h;
    hn::Vec<D> x[4];
    Transpose4(d, s, x);
    for (int j = 0; j < 4; j++) {
      re[j].v[0] = hn::PromoteTo(DQ(), hn::LowerHalf(h, x[j]));
      im[j].v[0] = hn::PromoteTo(DQ(), hn::UpperHalf(h, x[j]));
    }
  } else {
    hn::Vec<D> xr[4];
    hn::Vec<D> xi[4];
    Transpose4(d, s, xr);
    Transpose4(d, s + 4, xi);
    for (int j = 0; j < 4; j++) {
      re[j] = FromFloats(DQ(), xr[j]);
      im[j] = FromFloats(DQ(), xi[j]);
    }
  }
}

// Stage logFrame - 2 (n >= 16), whose input rows hold four columns. Four rows at a
// time are transposed so that each vector holds one column of four rows; the
// results are kept the same way, for rows of four: row block q (rows 4q .. 4q + 3
// of the n/2 output rows) as sixteen floats, the real then the imaginary parts of
// column 0, then those of column 1.
void TransposingStage(const float* src, float* dst, int n, const double* twRe, const double* twIm) {
  const int quarter = n / 4;  // input rows, and the first twiddle of this stage
  for (int r = 0; r < quarter; r += 4) {
    Quad re[4];
    Quad im[4];
    Columns(D8(), src + 8 * r, re, im);
    // Columns 0 and 2, and 1 and 3, under the twiddle of each row.
    const Quad ur = Load4(twRe + quarter + r);
    const Quad ui = Load4(twIm + quarter + r);
    Quad tr0;
    Quad ti0;
    Quad tr1;
    Quad ti1;
    Cmul4(re[2], im[2], ur, ui, &tr0, &ti0);
    Cmul4(re[3], im[3], ur, ui, &tr1, &ti1);
    float* low = dst + 4 * r;               // rows r .. r + 3
    float* high = dst + 4 * (r + quarter);  // rows r + n/4 .. r + n/4 + 3
    Narrow4(low, Plus(re[0], tr0));
    Narrow4(low + 4, Plus(im[0], ti0));
    Narrow4(low + 8, Plus(re[1], tr1));
    Narrow4(low + 12, Plus(im[1], ti1));
    Narrow4(high, Minus(re[0], tr0));
    Narrow4(high + 4, Minus(im[0], ti0));
    Narrow4(high + 8, Minus(re[1], tr1));
    Narrow4(high + 12, Minus(im[1], ti1));
  }
}

// Bins b .. b + 3 from their split real and imaginary parts, stored interleaved.
HWY_INLINE void StoreBins(float* dst, const Quad& re, const Quad& im) {
  const DQ dq;
  hn::StoreInterleaved2(ToFloats(dq, re), ToFloats(dq, im), F4(), dst);
}

// The last stage, from the row blocks of TransposingStage(): the two columns of
// rows r .. r + 3 give the bins r .. r + 3 and r + n/2 .. r + n/2 + 3.
void FinalStage(const float* src, float* dst, int n, const double* twRe, const double* twIm,
                FftOutput output) {
  const int half = n / 2;  // rows, and the first twiddle of this stage
  for (int r = 0; r < half; r += 4) {
    const float* s = src + 4 * r;
    const Quad ur = Load4(twRe + half + r);
    const Quad ui = Load4(twIm + half + r);
    const Quad are = Widen4(s);
    if (output == FftOutput::RealParts) {
      const Quad tr = RealProduct(Widen4(s + 8), Widen4(s + 12), ur, ui);
      Narrow4(dst + r, Plus(are, tr));
      Narrow4(dst + r + half, Minus(are, tr));
      continue;
    }
    Quad tr;
    Quad ti;
    Cmul4(Widen4(s + 8), Widen4(s + 12), ur, ui, &tr, &ti);
    const Quad aim = Widen4(s + 4);
    StoreBins(dst + 2 * r, Plus(are, tr), Plus(aim, ti));
    if (output == FftOutput::All) StoreBins(dst + 2 * (r + half), Minus(are, tr), Minus(aim, ti));
  }
}

// The number of passes after stage 0, all out of place: the middle stages, then the
// transposing and the final stage.
int LaterPasses(const FftFastTables& t) { return t.stages - 1; }

// The stages after the first. Stage 0 has left its result in b when the number of
// later passes is even, in scratch otherwise, so that the passes, alternating
// between the two buffers, end in b.
void LaterStages(const FftFastTables& t, float* b, float* scratch, int n, int direction,
                 FftOutput output) {
  const double* twRe = t.splitRe[direction];
  const double* twIm = t.splitIm[direction];
  float* from = LaterPasses(t) % 2 == 0 ? b : scratch;
  float* to = from == b ? scratch : b;
  for (int k = 1; k <= t.stages - 3; k++) {
    MiddleStage(from, to, n, k, twRe, twIm);
    std::swap(from, to);
  }
  TransposingStage(from, to, n, twRe, twIm);
  FinalStage(to, from, n, twRe, twIm, output);
}

void SortedTransform(const FftFastTables& t, float* b, float* scratch, int n, int sign,
                     FftOutput output) {
  FirstStage(b, LaterPasses(t) % 2 == 0 ? b : scratch, n);
  LaterStages(t, b, scratch, n, sign == 1 ? 0 : 1, output);
}

void SortedOneSided(const FftFastTables& t, const float* lower, float* b, float* scratch, int n,
                    FftOutput output) {
  FirstStageOneSided(lower, LaterPasses(t) % 2 == 0 ? b : scratch, n);
  LaterStages(t, b, scratch, n, 0, output);
}

}  // namespace HWY_NAMESPACE
}  // namespace hopwarbler
HWY_AFTER_NAMESPACE();
#endif  // HWY_TARGET != HWY_SCALAR

#if HWY_ONCE
const FftKernels* fft_simd_kernels(int path) {
#ifdef HOPWARBLER_SIMD_BASELINE
  namespace base = hopwarbler::HOPWARBLER_SIMD_BASELINE;
  // On aarch64 the baseline path runs the self-sorting transform as well: at 2048
  // points a forward and inverse pair executes 313,000 instructions under qemu against
  // the stages' 512,000 (scripts/vector-share.sh). x86-64's SSSE3 copy, without fused
  // multiply-adds, keeps the stages.
#if defined(__aarch64__)
  static constexpr FftKernels baseline{&base::Stages, &base::PlaceOneSided, &base::SortedTransform,
                                       &base::SortedOneSided};
#else
  static constexpr FftKernels baseline{&base::Stages, &base::PlaceOneSided, nullptr, nullptr};
#endif
  if (path == CPU_PATH_BASELINE) return &baseline;
#endif
#ifdef HOPWARBLER_SIMD_AVX2
  namespace avx2 = hopwarbler::HOPWARBLER_SIMD_AVX2;
  static constexpr FftKernels wide{&avx2::Stages, &avx2::PlaceOneSided, &avx2::SortedTransform,
                                   &avx2::SortedOneSided};
  if (path == CPU_PATH_AVX2) return &wide;
#endif
  (void)path;
  return nullptr;
}
#endif  // HWY_ONCE

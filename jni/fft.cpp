#include "fft.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "cpu.h"
#include "fft_simd.h"
#include "testing.h"

namespace {

constexpr double pi = 3.141592653589793;

// An FftPath other than FFT_PATH_BEST; -1 until chosen. Process-wide: written by
// fft_select_path() (and by the first init()), read by every transform.
CodePath activePath(fftKernels);

int currentPath() { return activePath.get(); }

// Bit-reversal permutation as swap pairs of float indices (p, q), p < q.
void buildSwapList(FftTables& t) {
  const int doubleFrameSize = 2 * t.size;
  for (int i = 2; i < doubleFrameSize - 2; i += 2) {
    int j = 0;
    for (int bitm = 2; bitm < doubleFrameSize; bitm <<= 1) {
      if (i & bitm) j++;
      j <<= 1;
    }
    if (i < j) {
      t.bitSwapPos.push_back(i);
      t.bitSwapPos.push_back(j);
    }
  }
}

// Twiddles of one stage by the rotation recurrence, carried with a 64-bit mantissa
// so that the error does not build up over the 2048 steps of the last stage.
void buildStage(int k, float* re, float* im, float wr, float wi) {
  long double ur = 1.0L;
  long double ui = 0.0L;
  float* stageRe = re + (2 << k);
  float* stageIm = im + (2 << k);
  for (int j = 0; j < (2 << k); j += 2) {
    stageRe[j] = static_cast<float>(ur);
    stageIm[j] = static_cast<float>(ui);
    const long double next = ur * wr - ui * wi;
    ui = ur * wi + ui * wr;
    ur = next;
  }
}

void buildTables(FftTables& t, int n) {
  t.size = n;
  buildSwapList(t);
  t.log2Size = std::countr_zero(static_cast<unsigned>(n));
  for (std::vector<float>* table : {&t.pur, &t.pui, &t.purInv, &t.puiInv}) table->assign(2 * n, 0);
  for (int k = 0; k < t.log2Size; k++) {
    float wr = 1.0f;
    float wi = 0.0f;
    if (k > 0) {
      const float theta = static_cast<float>(pi / static_cast<double>(1 << k));
      sincosf(theta, &wi, &wr);
    }
    buildStage(k, t.pur.data(), t.pui.data(), wr, wi);
    buildStage(k, t.purInv.data(), t.puiInv.data(), wr, -wi);
  }
}

// The fast paths' double tables of size n from the float tables of both directions
// (stage k's twiddle j at (2 << k) + 2j).
void buildFastTables(FftFastTables& t, const FftTables& f, int n) {
  t.stages = std::countr_zero(static_cast<unsigned>(n));
  const int twiddleDoubles = 2 * n + 4;
  const int splitDoubles = n + 4;
  const int total = 2 * twiddleDoubles + 4 * splitDoubles;
  t.storage.assign(total + 8, 0.0);
  const auto address = reinterpret_cast<std::uintptr_t>(t.storage.data());
  double* at = t.storage.data() + (64 - address % 64) % 64 / sizeof(double);
  double* fast[2];
  double* re[2];
  double* im[2];
  for (int d = 0; d < 2; d++) {
    fast[d] = at + d * twiddleDoubles;
    re[d] = at + 2 * twiddleDoubles + d * splitDoubles;
    im[d] = at + 2 * twiddleDoubles + (2 + d) * splitDoubles;
    t.fastTwiddles[d] = fast[d];
    t.splitRe[d] = re[d];
    t.splitIm[d] = im[d];
  }
  for (int k = 0; k < t.stages; k++) {
    for (int m = 0; m < (1 << k); m++) {
      const int from = (2 << k) + 2 * m;
      double* forward = fast[0] + (2 << k) + 2 * m;
      double* inverse = fast[1] + (2 << k) + 2 * m;
      forward[0] = f.pur[from];
      forward[1] = f.pui[from];
      inverse[0] = f.purInv[from];
      inverse[1] = f.puiInv[from];
      re[0][(1 << k) + m] = f.pur[from];
      im[0][(1 << k) + m] = f.pui[from];
      re[1][(1 << k) + m] = f.purInv[from];
      im[1][(1 << k) + m] = f.puiInv[from];
    }
  }
  const int bits = t.stages - 2;
  t.quarterReversal.assign(n >= 4 ? n / 4 : 0, 0);
  for (int q = 0; q < n / 4; q++) {
    int r = 0;
    for (int b = 0; b < bits; b++) r |= ((q >> b) & 1) << (bits - 1 - b);
    t.quarterReversal[q] = r;
  }
}

// ---- Reference path: the plain loop nest, twiddle outer and groups inner ----

void transformReference(const FftTables& t, float* fftBuffer, int sign) {
  const int* swaps = t.bitSwapPos.data();
  const int swapCount = static_cast<int>(t.bitSwapPos.size());
  for (int s = 0; s < swapCount; s += 2) {
    const int p = swaps[s];
    const int q = swaps[s + 1];
    float x = fftBuffer[p];
    fftBuffer[p] = fftBuffer[q];
    fftBuffer[q] = x;
    x = fftBuffer[p + 1];
    fftBuffer[p + 1] = fftBuffer[q + 1];
    fftBuffer[q + 1] = x;
  }
  const float* tableRe = sign == 1 ? t.pur.data() : t.purInv.data();
  const float* tableIm = sign == 1 ? t.pui.data() : t.puiInv.data();
  const int doubleFrameSize = 2 * t.size;
  for (int k = 0; k < t.log2Size; k++) {
    const int le = 4 << k;
    const int le2 = le >> 1;
    const float* stageRe = tableRe + (2 << k);
    const float* stageIm = tableIm + (2 << k);
    for (int j = 0; j < le2; j += 2) {
      const double ur = stageRe[j];
      const double ui = stageIm[j];
      for (int i = j; i < doubleFrameSize; i += le) {
        float* p1 = fftBuffer + i;
        float* p2 = p1 + le2;
        const double tr = p2[0] * ur - p2[1] * ui;
        const double ti = p2[0] * ui + p2[1] * ur;
        const double r1 = p1[0];
        const double i1 = p1[1];
        p2[0] = static_cast<float>(r1 - tr);
        p2[1] = static_cast<float>(i1 - ti);
        p1[0] = static_cast<float>(r1 + tr);
        p1[1] = static_cast<float>(i1 + ti);
      }
    }
  }
}

// ---- The baseline path's bit reversal (no vector instruction) ----

// The permutation, moving each complex value as one 64-bit word.
void permute(const FftTables& t, float* b) {
  const int* swaps = t.bitSwapPos.data();
  const int swapCount = static_cast<int>(t.bitSwapPos.size());
  for (int s = 0; s < swapCount; s += 2) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, b + swaps[s], sizeof x);
    std::memcpy(&y, b + swaps[s + 1], sizeof y);
    std::memcpy(b + swaps[s], &y, sizeof y);
    std::memcpy(b + swaps[s + 1], &x, sizeof x);
  }
}

// The vector kernels when the path in force runs them at size n.
const FftKernels* fastKernels(int n) { return n >= 8 ? fft_simd_kernels(currentPath()) : nullptr; }

// The self-sorting kernels when the path in force runs them at size n.
const FftKernels* sortedKernels(int n) {
  const FftKernels* kernels = n >= 16 ? fastKernels(n) : nullptr;
  return kernels != nullptr && kernels->sortedTransform != nullptr ? kernels : nullptr;
}

}  // namespace

const FftTables& fft_tables(int n) {
  // One slot per log2 n, filled once under its flag; then only read.
  static std::once_flag built[fftMaxStages + 1];
  static std::unique_ptr<FftTables> tables[fftMaxStages + 1];
  const int log = std::countr_zero(static_cast<unsigned>(n));
  std::call_once(built[log], [&] {
    auto t = std::make_unique<FftTables>();
    buildTables(*t, n);
    tables[log] = std::move(t);
  });
  return *tables[log];
}

const FftFastTables& fft_fast_tables(int n) {
  static std::once_flag built[fftMaxStages + 1];
  static std::unique_ptr<FftFastTables> tables[fftMaxStages + 1];
  const int log = std::countr_zero(static_cast<unsigned>(n));
  std::call_once(built[log], [&] {
    auto t = std::make_unique<FftFastTables>();
    buildFastTables(*t, fft_tables(n), n);
    tables[log] = std::move(t);
  });
  return *tables[log];
}

void Fft::init(int n) {
  if (n < 2 || n > fftMaxSize || !std::has_single_bit(static_cast<unsigned>(n))) {
    // Not a size this FFT runs: left unset rather than indexing past the tables.
    n_ = 0;
    tables_ = nullptr;
    fast_ = nullptr;
    return;
  }
  tables_ = &fft_tables(n);
  fast_ = &fft_fast_tables(n);
  // The self-sorting transform's scratch: 2n floats from a 32-byte boundary.
  scratch_.assign(2 * n + 8, 0.0f);
  n_ = n;
}

float* Fft::scratch() {
  const auto address = reinterpret_cast<std::uintptr_t>(scratch_.data());
  return scratch_.data() + (32 - address % 32) % 32 / sizeof(float);
}

void Fft::process(float* buffer, int sign) {
  if (n_ == 0) return;
  if (const FftKernels* sorted = sortedKernels(n_)) {
    sorted->sortedTransform(*fast_, buffer, scratch(), n_, sign, FftOutput::All);
    return;
  }
  if (const FftKernels* kernels = fastKernels(n_)) {
    permute(*tables_, buffer);
    kernels->stages(*fast_, buffer, n_, 0, sign);
    return;
  }
  transformReference(*tables_, buffer, sign);
}

void Fft::inverseOneSided(const float* lower, float* buffer) {
  if (n_ == 0) return;
  if (const FftKernels* sorted = sortedKernels(n_)) {
    sorted->sortedOneSided(*fast_, lower, buffer, scratch(), n_, FftOutput::All);
    return;
  }
  if (const FftKernels* kernels = fastKernels(n_)) {
    kernels->placeOneSided(*fast_, lower, buffer, n_);
    kernels->stages(*fast_, buffer, n_, 1, 1);
    return;
  }
  std::memcpy(buffer, lower, sizeof(float) * n_);
  std::memset(buffer + n_, 0, sizeof(float) * n_);
  process(buffer, 1);
}

void Fft::forwardLower(float* buffer) {
  if (const FftKernels* sorted = n_ > 0 ? sortedKernels(n_) : nullptr) {
    sorted->sortedTransform(*fast_, buffer, scratch(), n_, -1, FftOutput::LowerHalf);
    return;
  }
  process(buffer, -1);
}

void Fft::inverseOneSidedReal(const float* lower, float* buffer) {
  if (n_ == 0) return;
  if (const FftKernels* sorted = sortedKernels(n_)) {
    sorted->sortedOneSided(*fast_, lower, buffer, scratch(), n_, FftOutput::RealParts);
    return;
  }
  inverseOneSided(lower, buffer);
  for (int i = 1; i < n_; i++) buffer[i] = buffer[2 * i];
}

bool fft_select_path(FftPath path) { return activePath.select(path); }

FftPath fft_path() { return static_cast<FftPath>(currentPath()); }

const char* fft_path_target() { return activePath.target(); }

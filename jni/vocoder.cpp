#include "vocoder.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "attacks.h"
#include "cpu.h"
#include "eq.h"
#include "fft.h"
#include "leanbins.h"
#include "spectrum.h"
#include "testing.h"
#include "vocoder_simd.h"

namespace {

constexpr double pi = 3.141592653589793;
constexpr double twoPi = 6.283185307179586;

// The vocoder's code path, read by every frame of every Vocoder.
CodePath codePath(vocoderKernels);
int activePath() { return codePath.get(); }

// The vector kernels of the path in force; null on the reference path.
const VocoderKernels* fastKernels() { return vocoder_simd_kernels(activePath()); }

// The baseline and AVX2 paths, wherever the CPU family has vector kernels.
bool fastPath() { return fastKernels() != nullptr; }

// The whole-vector stores of the fast paths run up to this many floats past the last
// region of a per-bin array.
constexpr int workSlack = 16;

// Each piece of a channel's buffers starts on a multiple of 16 floats (64 bytes).
constexpr size_t roundUp(size_t n) { return (n + 15) / 16 * 16; }

// n zeros in a buffer of their own: a set-up for a smaller frame frees the larger one.
template <typename T>
void fresh(std::vector<T>& buffer, size_t n) {
  buffer = std::vector<T>(n, T{});
}

}  // namespace

// Lays one frame's window products into the overlap and hands out stepOut values at
// toneGainOut + outIndex (when asked).
void Vocoder::layOverlap(int outIndex) {
  for (int i = 0; i < winSize; i++) overlap[i] += window[i] * windowOut[i];
  if (toneGainOut != nullptr) {
    std::memcpy(toneGainOut + outIndex, overlap.data(), sizeof(float) * stepOut);
  }
  std::memmove(overlap.data(), overlap.data() + stepOut, sizeof(float) * (winSize - stepOut));
  std::memset(overlap.data() + winSize - stepOut, 0, sizeof(float) * stepOut);
}

template <typename Gain>
void Vocoder::measureEqualiser(const float* mag, Gain gain) {
  if (toneGainOut == nullptr) return;
  double before = 0.0, after = 0.0;
  for (int k = 0; k < winHalf; k++) {
    const double e = static_cast<double>(mag[k]) * mag[k];
    const double g = gain(k);
    before += e;
    after += e * g * g;
  }
  eqEnergyBefore += before;
  eqEnergyAfter += after;
}

float princarg(double phase) {
  const double turns = phase / pi;
  if (!(turns > -2147483648.0 && turns < 2147483648.0)) {
    // Beyond the range a phase can reach from finite audio; NaN and infinities
    // restart from phase 0 rather than poisoning the bin's phase memory.
    if (!std::isfinite(phase)) return 0.0f;
    return static_cast<float>(std::remainder(phase, twoPi));
  }
  int qpd = static_cast<int>(turns);
  if (qpd >= 0) {
    qpd += qpd & 1;
  } else {
    qpd -= qpd & 1;
  }
  return static_cast<float>(phase - qpd * pi);
}
void Vocoder::resetPhases() {
  frameSerial += 2;
  for (VocoderChannel& c : channels) {
    std::memset(c.phi0, 0, sizeof(float) * winSize);
    std::memset(c.psi, 0, sizeof(float) * winSize);
  }
}

void Vocoder::init(int pWinSize, int step) {
  winHalf = pWinSize / 2;
  winSize = pWinSize;
  stepIn = step;
  // The fast paths move the analysis window through the history and shift it back
  // only when the window reaches the end: four frames of room beyond the window make
  // that one shift of winSize - stepIn floats every 4 winSize / stepIn frames.
  historySize = 4 * winSize + stepIn;
  const size_t n = static_cast<size_t>(winSize);

  // Periodic Hann analysis window; the synthesis window adds the 1/N of the
  // unscaled inverse transform and the 2 that restores a one-sided spectrum.
  fresh(window, n);
  fresh(windowOut, n);
  for (int i = 0; i < winSize; i++) {
    window[i] = static_cast<float>(0.5 - 0.5 * std::cos(twoPi * i / winSize));
    windowOut[i] = static_cast<float>(2.0 * window[i] / winSize);
  }
  // Phase that bin i's centre frequency advances over one analysis hop.
  fresh(omega, n);
  for (int i = 0; i < winSize; i++) {
    omega[i] = static_cast<float>(twoPi * stepIn * i / winSize);
  }

  // Each channel's buffers, zeroed: the input history and the accumulator start
  // silent, and resetPhases() clears the phase memory.
  for (int ch = 0; ch < 2; ch++) {
    VocoderChannel& c = channels[ch];
    std::vector<float>& floats = channelFloats[ch];
    fresh(floats, roundUp(historySize) + 6 * roundUp(n) + roundUp(2 * n));
    float* at = floats.data();
    auto take = [&at](size_t count) {
      float* piece = at;
      at += roundUp(count);
      return piece;
    };
    c.input = take(historySize);
    c.wave = take(n);
    c.fftBuffer = take(2 * n);
    c.mag = take(n);
    c.phi = take(n);
    c.phi0 = take(n);
    c.psi = take(n);
    std::vector<int>& ints = channelInts[ch];
    fresh(ints, 2 * roundUp(n));
    c.peakBins = ints.data();
    c.valleyBins = ints.data() + roundUp(n);
    c.inIndex = 0;
    c.laidStepOut = 0;
    c.historyStart = 0;
  }
  fresh(work, 2 * n + workSlack);
  fresh(overlap, n);
  for (std::vector<float>& t : turns) fresh(t, n + workSlack);
  fresh(summed, n + workSlack);
  fresh(peakTurns, n);
  fresh(channelPeaks, 2 * n);
  fresh(channelTurns, n);
  resetPhases();
  eqEnergyBefore = eqEnergyAfter = 0.0;
  initialized = true;
  fft.init(winSize);
  realFft.init(winSize);
  attacks.init(winSize, stepIn);
}

size_t Vocoder::bytes() const {
  size_t floats = window.capacity() + windowOut.capacity() + omega.capacity() + work.capacity() +
                  overlap.capacity() + summed.capacity() + peakTurns.capacity() +
                  channelTurns.capacity();
  size_t ints = channelPeaks.capacity();
  for (int ch = 0; ch < 2; ch++) {
    floats += channelFloats[ch].capacity() + turns[ch].capacity();
    ints += channelInts[ch].capacity();
  }
  return sizeof(float) * floats + sizeof(int) * ints;
}

int Vocoder::framesDue(int inSize, int channel) const {
  if (inSize <= 0) return 0;
  const int inStart = winSize - stepIn;
  const int inIndex = channels[channel].inIndex;
  return ((inIndex == 0 ? inStart : inIndex) - inStart + inSize) / stepIn;
}

void Vocoder::copyChannel(int from, int to) {
  if (!initialized || from == to) return;
  const VocoderChannel& source = channels[from];
  VocoderChannel& target = channels[to];
  // The history goes to the same place of the target's buffer: channels fed together
  // read both histories at the left channel's place.
  std::memcpy(target.input + source.historyStart, source.input + source.historyStart,
              sizeof(float) * winSize);
  target.historyStart = source.historyStart;
  std::memcpy(target.wave, source.wave, sizeof(float) * winSize);
  std::memcpy(target.phi0, source.phi0, sizeof(float) * winSize);
  std::memcpy(target.psi, source.psi, sizeof(float) * winSize);
  target.inIndex = source.inIndex;
  target.laidStepOut = source.laidStepOut;
  frameSerial += 2;
}

void Vocoder::process(const float* input, int inSize, float* output, int pStepOut, int channel) {
  const float* inputs[2] = {input, nullptr};
  float* outputs[2] = {output, nullptr};
  run(channel, 1, inputs, outputs, inSize, pStepOut, VocoderOptions{});
}

void Vocoder::processTogether(const float* inputLeft, const float* inputRight, int inSize,
                              float* outputLeft, float* outputRight, int pStepOut,
                              const VocoderOptions& options) {
  const float* inputs[2] = {inputLeft, inputRight};
  float* outputs[2] = {outputLeft, outputRight};
  run(0, inputRight != nullptr ? 2 : 1, inputs, outputs, inSize, pStepOut, options);
}

void Vocoder::applyWindow(const float* input, int channel) {
  float* buffer = channels[channel].fftBuffer;
  if (const LeanBinKernels* kernels = lean_bin_kernels(activePath())) {
    return kernels->window(input, window.data(), buffer, winSize, !lean);
  }
  if (lean) {
    // The real-input transform takes the samples one after the other.
    for (int i = 0; i < winSize; i++) buffer[i] = input[i] * window[i];
    return;
  }
  for (int i = 0; i < winSize; i++) {
    buffer[2 * i] = input[i] * window[i];
    buffer[2 * i + 1] = 0.0f;
  }
}

namespace {

// ---- The reference path: plain loops and scalar libm ----

void binPassReference(const float* buffer, float* mag, float* phi, int from, int to) {
  for (int k = from; k < to; k++) {
    const double re = buffer[2 * k];
    const double im = buffer[2 * k + 1];
    mag[k] = static_cast<float>(std::sqrt(re * re + im * im));
    phi[k] = static_cast<float>(std::atan2(im, re));
  }
}
// Strictly above the two bins on each side; the bins left of bin 0 count as the
// smallest normal float, the two guard entries past winHalf hold it.
bool isPeak(const float* mag, int b) {
  const float c = mag[b];
  const float left1 = b >= 1 ? mag[b - 1] : FLT_MIN;
  const float left2 = b >= 2 ? mag[b - 2] : FLT_MIN;
  return c > left1 && c > mag[b + 1] && c > left2 && c > mag[b + 2];
}
// The first bin of least magnitude in from .. to - 1 (0 when none is below the
// largest float).
int firstLeast(const float* mag, int from, int to) {
  float least = FLT_MAX;
  int leastBin = 0;
  for (int j = from; j < to; j++) {
    const float v = mag[j];
    const bool smaller = v < least;
    least = smaller ? v : least;
    leastBin = smaller ? j : leastBin;
  }
  return leastBin;
}
}  // namespace

int Vocoder::findPeaksReference(const float* mag, int* peaks) const {
  int nPeaks = 0;
  // bin0 .. bin4 hold the magnitudes of bins b - 2 .. b + 2.
  float bin0 = FLT_MIN;
  float bin1 = FLT_MIN;
  float bin2 = mag[0];
  float bin3 = mag[1];
  float bin4 = mag[2];
  int b = 0;
  while (b < winHalf) {
    if (bin2 > bin1 && bin2 > bin3 && bin2 > bin0 && bin2 > bin4) {
      peaks[nPeaks++] = b;
      b += 3;
      if (b >= winHalf) break;
      bin0 = mag[b - 2];
      bin1 = mag[b - 1];
      bin2 = mag[b];
      bin3 = mag[b + 1];
      bin4 = mag[b + 2];
    } else {
      b++;
      if (b >= winHalf) break;
      bin0 = bin1;
      bin1 = bin2;
      bin2 = bin3;
      bin3 = bin4;
      bin4 = mag[b + 2];
    }
  }
  return nPeaks;
}

// The target phase of peak p and the angle by which its region turns.
float Vocoder::peakRotation(const float* phi, const float* phi0, const float* psi, int peak,
                            float stretchFactor) const {
  const float pomega = omega[peak];
  const float peakDeltaPhi =
      princarg(static_cast<double>(phi[peak]) - phi0[peak] - static_cast<double>(pomega));
  const float peakTargetPhase =
      princarg(psi[peak] +
               static_cast<double>(stretchFactor) * (static_cast<double>(pomega) + peakDeltaPhi));
  return princarg(static_cast<double>(peakTargetPhase) - phi[peak]);
}
void Vocoder::phaseLockReference(VocoderChannel& c, int nPeaks, float stretchFactor) const {
  for (int p = 0; p < nPeaks; p++) {
    const float rotation = peakRotation(c.phi, c.phi0, c.psi, c.peakBins[p], stretchFactor);
    for (int bin = c.valleyBins[p]; bin < c.valleyBins[p + 1]; bin++) {
      c.psi[bin] = princarg(static_cast<double>(c.phi[bin]) + rotation);
    }
  }
}

namespace {

void rebuildReference(const float* mag, const float* psi, const Equaliser* eq, float* spectrum,
                      int from, int to) {
  for (int k = from; k < to; k++) {
    double m = mag[k];
    if (eq != nullptr) m *= eq->gain(k);
    double s;
    double c;
    sincos(static_cast<double>(psi[k]), &s, &c);
    spectrum[2 * k] = static_cast<float>(m * c);
    spectrum[2 * k + 1] = static_cast<float>(m * s);
  }
}
// rebuildReference() for the fast paths, with the gains (or none) from an array.
void rebuildTail(const float* mag, const float* psi, const float* gains, float* spectrum, int from,
                 int to) {
  for (int k = from; k < to; k++) {
    double m = mag[k];
    if (gains != nullptr) m *= gains[k];
    double s;
    double c;
    sincos(static_cast<double>(psi[k]), &s, &c);
    spectrum[2 * k] = static_cast<float>(m * c);
    spectrum[2 * k + 1] = static_cast<float>(m * s);
  }
}
// Sample i of the overlap-add: the accumulator plus the real part of the inverse
// transform times the synthesis window, in double. The real parts lie every
// stride floats of buffer: 2 in the interleaved transform, 1 when only they are kept.
float overlapSample(const float* wave, const float* buffer, const float* windowOut, int i,
                    int stride) {
  return static_cast<float>(wave[i] + static_cast<double>(buffer[stride * i]) * windowOut[i]);
}

}  // namespace
// ---- The fast paths: the vector kernels of vocoder_simd.cpp in between ----

// Magnitudes and phases of bins 0 .. winHalf - 1 of the forward spectrum in the
// channel's buffer; the bins the kernels leave go through the reference.
void Vocoder::binPass(int channel) {
  const VocoderChannel& c = channels[channel];
  int done = 0;
  if (lean) {
    if (const LeanBinKernels* kernels = lean_bin_kernels(activePath())) {
      done = kernels->binPass(c.fftBuffer, c.mag, c.phi, winHalf);
    }
  } else if (const VocoderKernels* kernels = fastKernels()) {
    done = kernels->binPass(c.fftBuffer, c.mag, c.phi, winHalf);
  }
  binPassReference(c.fftBuffer, c.mag, c.phi, done, winHalf);
}

// The fast paths' peak test: every bin that passes it, four at a time. The reference
// skips two bins after each peak, but neither could pass the test (both lie below the
// peak, which is a neighbour of each), so the peaks are the same.
int Vocoder::findPeaksFast(const float* mag, int* peaks) const {
  int nPeaks = 0;
  int b = 0;
  for (; b < 2 && b < winHalf; b++) {
    peaks[nPeaks] = b;
    nPeaks += isPeak(mag, b);
  }
  const int vectorEnd = b + (winHalf - b) / 4 * 4;
  nPeaks += fastKernels()->peaks(mag, b, vectorEnd, peaks + nPeaks);
  b = vectorEnd;
  for (; b < winHalf; b++) {
    peaks[nPeaks] = b;
    nPeaks += isPeak(mag, b);
  }
  return nPeaks;
}

// The valley between each two neighbouring peaks: the first bin of least magnitude from
// the left peak up to the right one. The vector search reads past its region, at most
// to bin winHalf + 6 of the winSize magnitudes.
void Vocoder::placeValleys(const float* mag, const int* peaks, int* valleys, int nPeaks) const {
  if (winSize >= 16) {
    if (const LeanBinKernels* batch = lean_bin_kernels(activePath())) {
      return batch->valleys(mag, peaks, valleys, nPeaks);
    }
  }
  const VocoderKernels* kernels = winSize >= 16 ? fastKernels() : nullptr;
  for (int p = 1; p < nPeaks; p++) {
    valleys[p] = kernels != nullptr ? kernels->firstLeast(mag, peaks[p - 1], peaks[p])
                                    : firstLeast(mag, peaks[p - 1], peaks[p]);
  }
}

// The fast paths' phaseLock(): all rotations first, then one vectorised pass over
// the bins. That gives what the reference gives as long as the regions follow each
// other from bin 0 without overlap and each peak lies in its own region (so that no
// earlier region has rewritten a peak's synthesis phase before it is read); any
// other layout (NaN magnitudes can make one) takes the reference loop.
void Vocoder::phaseLockFast(VocoderChannel& c, int nPeaks, float stretchFactor) {
  const int* peaks = c.peakBins;
  const int* valleys = c.valleyBins;
  bool ordered = valleys[0] == 0;
  for (int p = 0; p < nPeaks && ordered; p++) {
    ordered = valleys[p] <= peaks[p] && valleys[p] <= valleys[p + 1];
  }
  if (!ordered || valleys[nPeaks] != winHalf) {
    phaseLockReference(c, nPeaks, stretchFactor);
    return;
  }
  peakRotations(c, peaks, nPeaks, stretchFactor, work.data());
  float* rotation = work.data() + winSize;
  fastKernels()->fillRegions(rotation, valleys, nPeaks, work.data());
  turnBins(c, rotation);
}

// The fast paths' resynthesis and overlap-add, in one: the one-sided spectrum, with
// the equaliser's gains when it is on, into the work space; its inverse transform,
// of which only the real parts are computed and kept (contiguous in the channel's
// buffer); and the overlap-add in one pass: the first stepOut sums go out, the
// others straight to their place after the shift (each is read before anything is
// stored over it).
void Vocoder::resynthesizeFast(float* output, int channel) {
  const VocoderChannel& c = channels[channel];
  const float* gains = nullptr;
  if (equaliserOn()) {
    equaliser->copyGains(work.data() + winSize, winHalf);
    gains = work.data() + winSize;
    measureEqualiser(c.mag, [gains](int k) { return gains[k]; });
  }
  const VocoderKernels* kernels = fastKernels();
  const LeanBinKernels* leanKernels = lean ? lean_bin_kernels(activePath()) : nullptr;
  int done = 0;
  if (const float* turn = pendingTurn[channel]) {
    // Set only on the lean path, whose kernels are there.
    pendingTurn[channel] = nullptr;
    done = leanKernels->turnRebuild(c.mag, c.phi, turn, gains, c.psi, work.data(), winHalf);
    for (int k = done; k < winHalf; k++)
      c.psi[k] = princarg(static_cast<double>(c.phi[k]) + turn[k]);
  } else if (leanKernels != nullptr) {
    done = leanKernels->rebuild(c.mag, c.psi, gains, work.data(), winHalf);
  } else if (!lean) {
    done = kernels->rebuild(c.mag, c.psi, gains, work.data(), winHalf);
  }
  rebuildTail(c.mag, c.psi, gains, work.data(), done, winHalf);
  if (lean) {
    realFft.inverseOneSidedReal(work.data(), c.fftBuffer);
  } else {
    fft.inverseOneSidedReal(work.data(), c.fftBuffer);
  }

  float* wave = c.wave;
  const float* realParts = c.fftBuffer;
  std::memcpy(c.phi0, c.phi, sizeof(float) * (winSize / 2));
  const auto accumulate = leanKernels != nullptr ? leanKernels->accumulate : kernels->accumulate;
  int i = accumulate(wave, realParts, windowOut.data(), output, 0, stepOut);
  for (; i < stepOut; i++) output[i] = overlapSample(wave, realParts, windowOut.data(), i, 1);
  i = accumulate(wave, realParts, windowOut.data(), wave, stepOut, winSize);
  for (; i < winSize; i++) {
    wave[i - stepOut] = overlapSample(wave, realParts, windowOut.data(), i, 1);
  }
  std::memset(wave + winSize - stepOut, 0, sizeof(float) * stepOut);
}

// On the fast paths the forward transform computes only the lower half of the
// spectrum, which is all the bin pass reads.
void Vocoder::analyze(int channel) {
  if (lean) {
    realFft.forwardLower(channels[channel].fftBuffer);
  } else if (fastPath()) {
    fft.forwardLower(channels[channel].fftBuffer);
  } else {
    fft.process(channels[channel].fftBuffer, -1);
  }
  binPass(channel);
}

int Vocoder::findPeaks(int channel) {
  VocoderChannel& c = channels[channel];
  return peaksOf(c.mag, c.peakBins, c.valleyBins, false);
}

void Vocoder::phaseLock(int channel, int nPeaks, float stretchFactor) {
  VocoderChannel& c = channels[channel];
  c.valleyBins[nPeaks] = winHalf;
  if (fastPath()) {
    phaseLockFast(c, nPeaks, stretchFactor);
  } else {
    phaseLockReference(c, nPeaks, stretchFactor);
  }
}

void Vocoder::synthesize(int channel) {
  VocoderChannel& c = channels[channel];
  const bool eqOn = equaliserOn();
  if (eqOn) measureEqualiser(c.mag, [this](int k) { return equaliser->gain(k); });
  rebuildReference(c.mag, c.psi, eqOn ? equaliser : nullptr, c.fftBuffer, 0, winHalf);
  std::memset(c.fftBuffer + winSize, 0, sizeof(float) * winSize);
  fft.process(c.fftBuffer, 1);
}

void Vocoder::overlapAdd(float* output, int channel) {
  VocoderChannel& c = channels[channel];
  float* wave = c.wave;
  const float* buffer = c.fftBuffer;
  std::memcpy(c.phi0, c.phi, sizeof(float) * (winSize / 2));
  for (int i = 0; i < winSize; i++) wave[i] = overlapSample(wave, buffer, windowOut.data(), i, 2);
  std::memcpy(output, wave, sizeof(float) * stepOut);
  std::memmove(wave, wave + stepOut, sizeof(float) * (winSize - stepOut));
  std::memset(wave + winSize - stepOut, 0, sizeof(float) * stepOut);
}

// The frame's output from the channel's magnitudes and synthesis phases.
void Vocoder::resynthesize(float* output, int channel) {
  if (fastPath()) {
    resynthesizeFast(output, channel);
  } else {
    synthesize(channel);
    overlapAdd(output, channel);
  }
}

void Vocoder::processFrame(const float* input, float* output, float stretchFactor, int channel) {
  applyWindow(input, channel);
  analyze(channel);
  const int nPeaks = findPeaks(channel);
  phaseLock(channel, nPeaks, stretchFactor);
  resynthesize(output, channel);
}

// The vector maths of the fastest path that has its own: AVX2 on x86-64, NEON on
// aarch64.
const VocoderKernels* ownMaths() {
  for (int path : {CPU_PATH_AVX2, CPU_PATH_BASELINE}) {
    if (cpu_resolve_path(path, vocoderKernels) != path) continue;
    const VocoderKernels* kernels = vocoder_simd_kernels(path);
    if (kernels != nullptr && kernels->atan2 != nullptr) return kernels;
  }
  return nullptr;
}

bool vocoder_vector_atan2(const double* y, const double* x, double* angle, int n) {
  const VocoderKernels* kernels = ownMaths();
  if (kernels == nullptr) return false;
  kernels->atan2(y, x, angle, n);
  return true;
}

bool vocoder_vector_sincos(const double* x, double* sine, double* cosine, int n) {
  const VocoderKernels* kernels = ownMaths();
  if (kernels == nullptr) return false;
  kernels->sincos(x, sine, cosine, n);
  return true;
}

bool Vocoder::takeEqualiserEnergy(double* before, double* after) {
  *before = eqEnergyBefore;
  *after = eqEnergyAfter;
  eqEnergyBefore = eqEnergyAfter = 0.0;
  return *before > 0.0;
}

bool vocoder_select_path(VocoderPath path) { return codePath.select(path); }

VocoderPath vocoder_path() { return static_cast<VocoderPath>(codePath.get()); }

const char* vocoder_path_target() { return codePath.target(); }

// ---- The refinements: linked stereo, the finer peak rule, attacks ----

// Peaks that stand strictly above the next bin on each side (bin -1 counts as the
// smallest normal float, the guard bin winHalf holds it).
int Vocoder::findFinePeaks(const float* mag, int* peaks) const {
  if (const LeanBinKernels* kernels = lean_bin_kernels(activePath())) {
    return kernels->finePeaks(mag, winHalf, peaks);
  }
  int nPeaks = 0;
  float left = FLT_MIN;
  // Every bin is written and the count moves only past a peak: no branch to mispredict
  // on the many small peaks of noisy music.
  for (int b = 0; b < winHalf; b++) {
    const float c = mag[b];
    peaks[nPeaks] = b;
    nPeaks += static_cast<int>(c > left) & static_cast<int>(c > mag[b + 1]);
    left = c;
  }
  return nPeaks;
}

// The peaks of `mag` (winHalf magnitudes and room for the guards) by the plain rule
// (above the two bins on each side) or the fine one, and the valleys between them;
// valleys[0] = 0 and valleys[nPeaks] = winHalf.
int Vocoder::peaksOf(float* mag, int* peaks, int* valleys, bool fine) {
  mag[winHalf] = FLT_MIN;
  mag[winHalf + 1] = FLT_MIN;
  valleys[0] = 0;
  int nPeaks;
  if (fine) {
    nPeaks = findFinePeaks(mag, peaks);
  } else if (fastPath()) {
    nPeaks = findPeaksFast(mag, peaks);
  } else {
    nPeaks = findPeaksReference(mag, peaks);
  }
  placeValleys(mag, peaks, valleys, nPeaks);
  valleys[nPeaks] = winHalf;
  return nPeaks;
}

// The rotations peakRotation() gives for peaks[0 .. n - 1] of channel c, into rotation.
void Vocoder::peakRotations(const VocoderChannel& c, const int* peaks, int n, float stretchFactor,
                            float* rotation) const {
  int p = 0;
  if (const VocoderKernels* kernels = fastKernels()) {
    const int lanes = kernels->lanes;
    for (; p + lanes <= n; p += lanes) {
      if (kernels->peakRotations(omega.data(), c.phi, c.phi0, c.psi, peaks + p, stretchFactor,
                                 rotation + p))
        continue;
      for (int j = p; j < p + lanes; j++)
        rotation[j] = peakRotation(c.phi, c.phi0, c.psi, peaks[j], stretchFactor);
    }
  }
  for (; p < n; p++) rotation[p] = peakRotation(c.phi, c.phi0, c.psi, peaks[p], stretchFactor);
}

// Each region turns by its peak's rotation, taken from the channel `from` gives for
// the peak; without peaks every bin keeps the synthesis phase of `own` channel's last
// frame (as phaseLock() does).
template <typename From>
void Vocoder::regionTurns(const int* peaks, const int* valleys, int nPeaks, float stretchFactor,
                          const VocoderChannel& own, From from, float* turn) {
  if (nPeaks == 0) {
    for (int k = 0; k < winHalf; k++)
      turn[k] = princarg(static_cast<double>(own.psi[k]) - own.phi[k]);
    return;
  }
  // The peaks each channel gives the rotation of, worked out together, in vectors where
  // the path has them.
  // One pass sorts the peaks by channel, without a branch on which one wins: channel
  // ch's peaks go to chosen[ch], their places among all peaks to place[ch].
  int* chosen[2] = {channelPeaks.data(), channelPeaks.data() + winHalf};
  int* place[2] = {channelPeaks.data() + winSize, channelPeaks.data() + winSize + winHalf};
  // Each peak is written to both lists and counted in its own: the counts stay in
  // registers.
  int n0 = 0, n1 = 0;
  for (int p = 0; p < nPeaks; p++) {
    const int ch = &from(peaks[p]) == &channels[1] ? 1 : 0;
    chosen[0][n0] = chosen[1][n1] = peaks[p];
    place[0][n0] = place[1][n1] = p;
    n0 += 1 - ch;
    n1 += ch;
  }
  const int n[2] = {n0, n1};
  for (int ch = 0; ch < 2; ch++) {
    peakRotations(channels[ch], chosen[ch], n[ch], stretchFactor, channelTurns.data());
    for (int i = 0; i < n[ch]; i++) peakTurns[place[ch][i]] = channelTurns[i];
  }
  // Regions that tile the bins in order (any but those NaN magnitudes can make) are
  // filled a vector at a time where the path has it.
  const VocoderKernels* kernels = fastKernels();
  bool ordered = kernels != nullptr && valleys[0] == 0 && valleys[nPeaks] == winHalf;
  for (int p = 0; p < nPeaks && ordered; p++) ordered = valleys[p] <= valleys[p + 1];
  if (ordered) {
    kernels->fillRegions(turn, valleys, nPeaks, peakTurns.data());
    return;
  }
  for (int p = 0; p < nPeaks; p++)
    std::fill(turn + valleys[p], turn + valleys[p + 1], peakTurns[p]);
}

// psi = princarg(phi + turn) for every bin.
void Vocoder::turnBins(VocoderChannel& c, const float* turn) const {
  if (const VocoderKernels* kernels = fastKernels()) {
    return kernels->turnBins(c.phi, turn, c.psi, winHalf);
  }
  for (int k = 0; k < winHalf; k++) c.psi[k] = princarg(static_cast<double>(c.phi[k]) + turn[k]);
}

// The synthesis phases of the frame just analysed in channels 0 .. nChannels - 1 (the
// history window at start) with at least one refinement on: every bin turns by its
// region's turn, shared between the channels when they are linked, and the attacks
// under way set the turns and magnitudes of their bins.
void Vocoder::phaseLockRefined(int nChannels, const VocoderOptions& options, float stretchFactor,
                               int start) {
  const bool linked = options.linked && nChannels == 2;
  VocoderChannel& left = channels[0];
  const float* loudness = left.mag;
  if (nChannels == 2 && (linked || options.attacks)) {
    const float* l = left.mag;
    const float* r = channels[1].mag;
    for (int k = 0; k < winHalf; k++) summed[k] = l[k] + r[k];
    loudness = summed.data();
  }
  if (linked) {
    const int nPeaks = peaksOf(summed.data(), left.peakBins, left.valleyBins, options.finePeaks);
    const VocoderChannel& right = channels[1];
    regionTurns(
        left.peakBins, left.valleyBins, nPeaks, stretchFactor, left,
        [&](int peak) -> const VocoderChannel& {
          return right.mag[peak] > left.mag[peak] ? right : left;
        },
        turns[0].data());
  } else {
    for (int ch = 0; ch < nChannels; ch++) {
      VocoderChannel& c = channels[ch];
      const int nPeaks = peaksOf(c.mag, c.peakBins, c.valleyBins, options.finePeaks);
      regionTurns(
          c.peakBins, c.valleyBins, nPeaks, stretchFactor, c,
          [&](int) -> const VocoderChannel& { return c; }, turns[ch].data());
    }
  }
  float* turn[2] = {turns[0].data(), linked ? turns[0].data() : turns[1].data()};
  if (options.attacks) {
    AttackFrame frame;
    frame.channels = nChannels;
    frame.summed = loudness;
    frame.omega = omega.data();
    frame.stretch = stretchFactor;
    frame.serial = frameSerial;
    for (int ch = 0; ch < 2; ch++) {
      VocoderChannel& c = channels[ch < nChannels ? ch : 0];
      frame.history[ch] = c.input + start;
      frame.mags[ch] = c.mag;
      frame.rotation[ch] = turn[ch < nChannels ? ch : 0];
      frame.psi[ch] = c.psi;
      frame.phi0[ch] = c.phi0;
    }
    attacks.frame(frame);
  }
  // The lean rebuild turns the bins in its own pass (resynthesizeFast()).
  const bool turnLater = lean && lean_bin_kernels(activePath()) != nullptr;
  for (int ch = 0; ch < nChannels; ch++) {
    if (turnLater) {
      pendingTurn[ch] = turn[ch];
    } else {
      turnBins(channels[ch], turn[ch]);
    }
  }
}

// The frame loop of every entry: channels first .. first + count - 1, which stand at
// the same place of the stream (that of channel first) since they are always fed
// together, frame by frame: each frame of every channel is analysed before any is
// synthesised, so that the refinements see all channels of the frame.
void Vocoder::run(int first, int count, const float* const* inputs, float* const* outputs,
                  int inSize, int pStepOut, const VocoderOptions& options) {
  stepOut = pStepOut;
  lean = options.lean && fastPath() && realFft.size() == winSize;
  const bool refined = options.linked || options.finePeaks || options.attacks;
  const int inStart = winSize - stepIn;
  const VocoderChannel& lead = channels[first];
  int inIndex = lead.inIndex == 0 ? inStart : lead.inIndex;
  int start = lead.historyStart;
  int outIndex = 0;
  for (int i = 0; i < inSize;) {
    const int n = std::min(winSize - inIndex, inSize - i);
    for (int c = 0; c < count; c++) {
      std::memcpy(channels[first + c].input + start + inIndex, inputs[c] + i, sizeof(float) * n);
    }
    i += n;
    inIndex += n;
    if (inIndex < winSize) continue;

    // Each frame's phases advance by the hop that really separates it from the
    // previous frame: the stepOut by which the previous frame moved the accumulator on
    // (the call's own for the first frame of a stream). After a change of stepOut the
    // first new frame is therefore still turned by the old hop, and the frames on both
    // sides of the change stay in phase.
    frameSerial++;
    const int laid = lead.laidStepOut > 0 ? lead.laidStepOut : pStepOut;
    const float stretchFactor = static_cast<float>(static_cast<double>(laid) / stepIn);
    for (int c = 0; c < count; c++) {
      applyWindow(channels[first + c].input + start, first + c);
      analyze(first + c);
    }
    if (refined) {
      phaseLockRefined(count, options, stretchFactor, start);
    } else {
      for (int c = 0; c < count; c++) {
        phaseLock(first + c, findPeaks(first + c), stretchFactor);
      }
    }
    if (options.formants != nullptr) {
      options.formants->apply(channels[first].mag, count == 2 ? channels[first + 1].mag : nullptr,
                              channels[first].input + start,
                              count == 2 ? channels[first + 1].input + start : nullptr);
    }
    for (int c = 0; c < count; c++) {
      resynthesize(outputs[c] + outIndex, first + c);
      channels[first + c].laidStepOut = pStepOut;
    }
    if (fastPath() && start + stepIn + winSize <= historySize) {
      start += stepIn;
    } else {
      for (int c = 0; c < count; c++) {
        float* history = channels[first + c].input;
        std::memmove(history, history + start + stepIn, sizeof(float) * (winSize - stepIn));
      }
      start = 0;
    }
    if (first == 0) layOverlap(outIndex);
    if (refined && analyser != nullptr) {
      for (int c = 0; c < count; c++) analyser->push(outputs[c] + outIndex, stepOut, first + c);
    }
    outIndex += stepOut;
    inIndex = inStart;
  }
  // Without refinements the analyser takes all of a channel's frames before the next
  // channel's, as when the channels were fed one per call: in stereo the second
  // channel's pushes average into the newest positions, so the order shapes the bands.
  if (!refined && analyser != nullptr) {
    for (int c = 0; c < count; c++) {
      for (int at = 0; at < outIndex; at += stepOut) {
        analyser->push(outputs[c] + at, stepOut, first + c);
      }
    }
  }
  for (int c = 0; c < count; c++) {
    channels[first + c].inIndex = inIndex;
    channels[first + c].historyStart = start;
  }
  lean = false;
}

#include "formants.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Envelope points no further apart than this (Hz): the largest of each group of bins
// keeps the peaks of the harmonics of any voice above about 50 Hz.
constexpr double pointSpacing = 50.0;

// The lifter keeps quefrencies up to this (seconds).
constexpr double lifterQuefrency = 0.0015;

// A fundamental counts where the cepstrum's peak reaches this (natural log units), and
// the lifter then keeps quefrencies below its period over periodShare: low voices get
// an envelope fine enough for their formants, high ones one smooth enough to pass over
// their widely spaced harmonics.
constexpr double voicedPeak = 0.1;
constexpr double periodShare = 3.0;

// Rounds of the true envelope estimate at most (the first is plain cepstral smoothing);
// it stops sooner once no envelope point lies more than convergedExcess (natural log, 3
// dB) below the spectrum, about twelve rounds for a steady vowel.
constexpr int envelopeRounds = 20;
constexpr float convergedExcess = 0.35f;

// Largest gain either way, in natural log of magnitude (40 dB): speech needs large
// gains where a valley moves onto a formant.
constexpr double maxLogGain = 4.605170185988092;

// Frames shorter than this get no reshaping (too few bins to hold an envelope).
constexpr int minPoints = 8;

}  // namespace

void FormantKeeper::init(int winSize, int step, int sampleRate) {
  winHalf_ = winSize / 2;
  sampleRate_ = sampleRate;
  const double binHz = static_cast<double>(sampleRate) / winSize;
  decimation_ = 1;
  while (decimation_ * 2 * binHz <= pointSpacing && winHalf_ / (decimation_ * 2) >= minPoints) {
    decimation_ *= 2;
  }
  points_ = winHalf_ / decimation_;
  // Envelope point j stands for frequency j x decimation x binHz; 2 points_ of them span
  // the sample rate, so cepstral coefficient n is the quefrency n / sampleRate.
  order_ = std::clamp(static_cast<int>(std::lround(lifterQuefrency * sampleRate)), 1,
                      std::max(1, points_ / 2));
  blendFrames_ = std::max(1, 2 * winSize / std::max(1, step));
  keep_ = false;
  ratio_ = 1.0;
  blend_ = 0.0;
  logSpectrum_.assign(std::max(points_, 1), 0.0f);
  envelope_.assign(std::max(points_, 1), 0.0f);
  buffer_.assign(static_cast<size_t>(5 * std::max(points_, 1)), 0.0f);
  if (points_ >= minPoints) fft_.init(2 * points_);
}

void FormantKeeper::setTarget(bool keep, double ratio) {
  keep_ = keep;
  ratio_ = ratio > 0.0 && std::isfinite(ratio) ? ratio : 1.0;
}

size_t FormantKeeper::bytes() const {
  return sizeof(float) * (logSpectrum_.capacity() + envelope_.capacity() + buffer_.capacity()) +
         sizeof(float) * 2 * static_cast<size_t>(fft_.size());
}

// The true envelope of the frame's summed magnitudes, into envelope_.
void FormantKeeper::estimate(const float* magLeft, const float* magRight) {
  const int m = points_;
  float loudest = 0.0f;
  for (int j = 0; j < m; j++) {
    float top = 0.0f;
    for (int k = j * decimation_; k < (j + 1) * decimation_; k++) {
      const float v = magRight != nullptr ? magLeft[k] + magRight[k] : magLeft[k];
      top = std::max(top, v);
    }
    logSpectrum_[j] = top;
    loudest = std::max(loudest, top);
  }
  // Bins more than 100 dB below the loudest (silence included) count as that floor.
  const float floor = std::max(loudest * 1e-5f, 1e-30f);
  for (int j = 0; j < m; j++) logSpectrum_[j] = std::log(std::max(logSpectrum_[j], floor));

  const int n = 2 * m;
  const float scale = 1.0f / static_cast<float>(n);
  float* b = buffer_.data();
  const float* raised = logSpectrum_.data();
  int order = order_;
  for (int round = 0; round < envelopeRounds; round++) {
    // The log spectrum, even about 0 and about the Nyquist point, as n complex values.
    for (int j = 0; j < m; j++) {
      b[2 * j] = raised[j];
      b[2 * j + 1] = 0.0f;
    }
    b[2 * m] = raised[m - 1];
    b[2 * m + 1] = 0.0f;
    for (int j = 1; j < m; j++) {
      b[2 * (n - j)] = raised[j];
      b[2 * (n - j) + 1] = 0.0f;
    }
    fft_.process(b, -1);
    if (round == 0) order = orderFor(b);
    // The lifter: low quefrencies only (both ends of the even cepstrum).
    for (int q = 0; q < n; q++) {
      const bool kept = q <= order || q >= n - order;
      b[2 * q] = kept ? b[2 * q] * scale : 0.0f;
      b[2 * q + 1] = kept ? b[2 * q + 1] * scale : 0.0f;
    }
    fft_.process(b, 1);
    for (int j = 0; j < m; j++) envelope_[j] = b[2 * j];
    // The next round smooths the spectrum raised to this estimate where it lies below.
    if (round + 1 < envelopeRounds) {
      float excess = 0.0f;
      for (int j = 0; j < m; j++) excess = std::max(excess, logSpectrum_[j] - envelope_[j]);
      if (excess < convergedExcess) break;
      float* next = b + 2 * n;  // past the transform's 2 n floats
      for (int j = 0; j < m; j++) next[j] = std::max(logSpectrum_[j], envelope_[j]);
      raised = next;
    }
  }
}

// The lifter's order for the frame whose full cepstrum (n complex values, scaled by n)
// is at b: the period of the frame's fundamental over periodShare where the cepstrum
// shows one (its highest peak between 1 and 12.5 ms stands out), order_ otherwise.
int FormantKeeper::orderFor(const float* b) const {
  const int n = 2 * points_;
  const int from = std::max(2, sampleRate_ / 1000);
  const int to = std::min(points_ - 1, sampleRate_ / 80);
  int best = -1;
  float top = 0.0f;
  for (int q = from; q <= to; q++) {
    if (b[2 * q] > top) {
      top = b[2 * q];
      best = q;
    }
  }
  if (best < 0 || top < voicedPeak * n) return order_;
  return std::clamp(static_cast<int>(std::lround(best / periodShare)), 1, points_ / 2);
}

// envelope_ at a fractional envelope point, linear between points, held at the ends.
float FormantKeeper::envelopeAt(double point) const {
  if (point <= 0.0) return envelope_[0];
  if (point >= points_ - 1) return envelope_[points_ - 1];
  const int j = static_cast<int>(point);
  const float t = static_cast<float>(point - j);
  return envelope_[j] + t * (envelope_[j + 1] - envelope_[j]);
}

void FormantKeeper::apply(float* magLeft, float* magRight) {
  const double target = keep_ ? 1.0 : 0.0;
  const double stepBlend = 1.0 / blendFrames_;
  blend_ =
      target > blend_ ? std::min(target, blend_ + stepBlend) : std::max(target, blend_ - stepBlend);
  if (points_ < minPoints || blend_ <= 0.0 || ratio_ == 1.0) return;
  estimate(magLeft, magRight);
  // The envelope raised to the blend, as a gain: one exp per point rather than per bin.
  for (int j = 0; j < points_; j++) {
    envelope_[j] = static_cast<float>(std::exp(blend_ * envelope_[j]));
  }
  // Point j holds the largest of bins j x decimation .. (j + 1) x decimation - 1, so it
  // stands for their middle.
  const double centre = 0.5 * (decimation_ - 1);
  const double perBin = 1.0 / decimation_;
  const float most = static_cast<float>(std::exp(maxLogGain));
  for (int k = 0; k < winHalf_; k++) {
    const double here = (k - centre) * perBin;
    const double there = (k * ratio_ - centre) * perBin;
    const float gain = std::clamp(envelopeAt(there) / envelopeAt(here), 1.0f / most, most);
    magLeft[k] *= gain;
    if (magRight != nullptr) magRight[k] *= gain;
  }
}

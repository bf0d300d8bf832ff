#include "formants.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// The envelope is read from the middle of each frame, this long at most (seconds):
// long enough to resolve the harmonics of a low voice, short enough to follow speech.
constexpr double envelopeSeconds = 0.05;

// A bin anchors the envelope where it is the largest within this reach either side
// (Hz): the peak of each harmonic of a voice above about 80 Hz...
constexpr double anchorReachHz = 40.0;

// ... and where it does not stand more than this below the straight line (in log
// magnitude) between the anchors either side: a window's sidelobe or the noise in a
// valley between two harmonics does not carry the envelope. 20 dB, in natural log units.
constexpr float pruneDepth = 2.302585093f;

// Largest gain either way, in natural log of magnitude (40 dB): speech needs large
// gains where a valley moves onto a formant.
constexpr double maxLogGain = 4.605170185988092;

// Frames shorter than this get no reshaping (too few bins to hold an envelope).
constexpr int minLength = 16;

}  // namespace

void FormantKeeper::init(int winSize, int step, int sampleRate) {
  winSize_ = winSize;
  winHalf_ = winSize / 2;
  length_ = 1;
  while (length_ * 2 <= winSize && length_ * 2 <= envelopeSeconds * sampleRate) length_ *= 2;
  const double binHz = static_cast<double>(sampleRate) / length_;
  reach_ = std::max(1, static_cast<int>(std::lround(anchorReachHz / binHz)));
  blendFrames_ = std::max(1, 2 * winSize / std::max(1, step));
  renewFrames_ = std::max(1, length_ / (4 * std::max(1, step)));
  sinceRenewed_ = renewFrames_;
  gainBlend_ = -1.0;
  gainRatio_ = 0.0;
  keep_ = false;
  ratio_ = 1.0;
  blend_ = 0.0;
  const size_t half = static_cast<size_t>(length_ / 2 + 1);
  window_.resize(static_cast<size_t>(length_));
  for (int i = 0; i < length_; i++) {
    window_[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * M_PI * (i + 0.5) / length_));
  }
  buffer_.assign(static_cast<size_t>(2 * length_), 0.0f);
  spectrum_.assign(half, 0.0f);
  rising_.assign(half, 0.0f);
  falling_.assign(half, 0.0f);
  anchorAt_.assign(half, 0.0f);
  anchorLog_.assign(half, 0.0f);
  envelope_.assign(static_cast<size_t>(std::max(winHalf_, 1)), 0.0f);
  gain_.assign(static_cast<size_t>(std::max(winHalf_, 1)), 1.0f);
  if (length_ >= minLength) fft_.init(length_);
}

void FormantKeeper::setTarget(bool keep, double ratio) {
  keep_ = keep;
  ratio_ = ratio > 0.0 && std::isfinite(ratio) ? ratio : 1.0;
}

size_t FormantKeeper::bytes() const {
  return sizeof(float) * (window_.capacity() + buffer_.capacity() + spectrum_.capacity() +
                          rising_.capacity() + falling_.capacity() + anchorAt_.capacity() +
                          anchorLog_.capacity() + envelope_.capacity() + gain_.capacity()) +
         sizeof(float) * 2 * static_cast<size_t>(fft_.size());
}

// The magnitudes (both channels' summed) of the middle length_ samples of the frame.
// The two channels go through one complex transform, the left as its real part and
// the right as its imaginary part, and are parted after it by the symmetry of a real
// signal's spectrum.
void FormantKeeper::shortSpectrum(const float* inLeft, const float* inRight) {
  const int n = length_;
  const int from = (winSize_ - n) / 2;
  float* b = buffer_.data();
  for (int i = 0; i < n; i++) {
    b[2 * i] = inLeft[from + i] * window_[i];
    b[2 * i + 1] = inRight != nullptr ? inRight[from + i] * window_[i] : 0.0f;
  }
  fft_.process(b, -1);
  for (int k = 0; k <= n / 2; k++) {
    const int m = (n - k) % n;
    const float re = b[2 * k], im = b[2 * k + 1];
    const float reM = b[2 * m], imM = b[2 * m + 1];
    if (inRight == nullptr) {
      spectrum_[k] = std::sqrt(re * re + im * im);
    } else {
      // left = (Z(k) + conj Z(n - k)) / 2, right = (Z(k) - conj Z(n - k)) / 2i
      const float lr = 0.5f * (re + reM), li = 0.5f * (im - imM);
      const float rr = 0.5f * (im + imM), ri = 0.5f * (reM - re);
      spectrum_[k] = std::sqrt(lr * lr + li * li) + std::sqrt(rr * rr + ri * ri);
    }
  }
}

// The envelope of spectrum_, raised to the blend, into envelope_ (per frame bin, as a
// magnitude): the bins that are the largest within reach_ bins either side (each
// harmonic's peak) anchor it, at their peak's centre (a parabola through the log
// magnitudes of the peak bin and its neighbours), less those that stand more than
// pruneDepth below the line between their neighbours; between anchors the envelope runs
// straight in log magnitude, beyond the first and last it holds their level.
void FormantKeeper::estimate() {
  const int n = length_ / 2 + 1;
  const float* mag = spectrum_.data();
  const int r = reach_;
  // The largest over [k - r, k + r] for every k, by the maxima of the blocks of 2 r + 1
  // bins from each block's start (rising_) and from its end (falling_).
  const int w = 2 * r + 1;
  for (int k = 0; k < n; k++) {
    rising_[k] = k % w == 0 ? mag[k] : std::max(rising_[k - 1], mag[k]);
  }
  for (int k = n - 1; k >= 0; k--) {
    falling_[k] = k % w == w - 1 || k == n - 1 ? mag[k] : std::max(falling_[k + 1], mag[k]);
  }
  float loudest = 0.0f;
  for (int k = 0; k < n; k++) loudest = std::max(loudest, mag[k]);
  // Bins more than 100 dB below the loudest (silence included) anchor nothing.
  const float floor = std::max(loudest * 1e-5f, 1e-30f);
  int anchors = 0;
  for (int k = 0; k < n; k++) {
    const float most = std::max(falling_[std::max(0, k - r)], rising_[std::min(n - 1, k + r)]);
    // The largest of its neighbourhood, and the first bin of a flat top only.
    if (mag[k] < most || mag[k] < floor || (k > 0 && mag[k - 1] == mag[k])) continue;
    const float here = std::log(mag[k]);
    float at = static_cast<float>(k);
    float level = here;
    if (k > 0 && k + 1 < n) {
      const float left = std::log(std::max(mag[k - 1], floor));
      const float right = std::log(std::max(mag[k + 1], floor));
      const float curve = left - 2.0f * here + right;
      if (curve < 0.0f) {
        const float offset = std::clamp(0.5f * (left - right) / curve, -0.5f, 0.5f);
        at += offset;
        level = here - 0.25f * (left - right) * offset;
      }
    }
    while (anchors >= 2) {
      const float a0 = anchorAt_[anchors - 2], l0 = anchorLog_[anchors - 2];
      const float a1 = anchorAt_[anchors - 1], l1 = anchorLog_[anchors - 1];
      if (l1 >= l0 + (level - l0) * (a1 - a0) / (at - a0) - pruneDepth) break;
      anchors--;
    }
    anchorAt_[anchors] = at;
    anchorLog_[anchors] = level;
    anchors++;
  }
  if (anchors == 0) {
    std::fill(envelope_.begin(), envelope_.end(), 1.0f);
    return;
  }
  // Anchors in frame bins; straight in log magnitude between them: a constant factor
  // from bin to bin.
  const float scale = static_cast<float>(winSize_) / length_;
  const float blend = static_cast<float>(blend_);
  const int bins = winHalf_;
  int k = 0;
  const float first = std::exp(blend * anchorLog_[0]);
  for (; k <= anchorAt_[0] * scale && k < bins; k++) envelope_[k] = first;
  for (int a = 1; a < anchors && k < bins; a++) {
    const float at0 = anchorAt_[a - 1] * scale, at1 = anchorAt_[a] * scale;
    const float slope = blend * (anchorLog_[a] - anchorLog_[a - 1]) / (at1 - at0);
    float value = std::exp(blend * anchorLog_[a - 1] + slope * (k - at0));
    const float factor = std::exp(slope);
    for (; k <= at1 && k < bins; k++) {
      envelope_[k] = value;
      value *= factor;
    }
  }
  const float last = std::exp(blend * anchorLog_[anchors - 1]);
  for (; k < bins; k++) envelope_[k] = last;
}

void FormantKeeper::apply(float* magLeft, float* magRight, const float* inLeft,
                          const float* inRight) {
  const double target = keep_ ? 1.0 : 0.0;
  const double stepBlend = 1.0 / blendFrames_;
  blend_ =
      target > blend_ ? std::min(target, blend_ + stepBlend) : std::max(target, blend_ - stepBlend);
  if (length_ < minLength || blend_ <= 0.0 || ratio_ == 1.0) return;
  // The envelope is renewed every renewFrames_ frames (a quarter of the samples it is
  // read from), and in every frame of a fade; the gains whenever it or the key changes.
  sinceRenewed_++;
  if (sinceRenewed_ >= renewFrames_ || blend_ != gainBlend_) {
    shortSpectrum(inLeft, inRight);
    estimate();
    sinceRenewed_ = 0;
    gainBlend_ = blend_;
    gainRatio_ = 0.0;
  }
  if (ratio_ != gainRatio_) gains();
  const float* g = gain_.data();
  for (int k = 0; k < winHalf_; k++) magLeft[k] *= g[k];
  if (magRight != nullptr) {
    for (int k = 0; k < winHalf_; k++) magRight[k] *= g[k];
  }
}

// gain_ from envelope_ at the key change's ratio: E(k ratio) / E(k), capped.
void FormantKeeper::gains() {
  gainRatio_ = ratio_;
  const float most = static_cast<float>(std::exp(maxLogGain));
  const float least = 1.0f / most;
  const float* e = envelope_.data();
  const double last = winHalf_ - 1;
  for (int k = 0; k < winHalf_; k++) {
    // The envelope at k x ratio, straight between bins, held past the last.
    const double there = std::min(k * ratio_, last);
    const int j = std::min(static_cast<int>(there), winHalf_ - 2);
    const float t = static_cast<float>(there - j);
    gain_[k] = std::clamp((e[j] + t * (e[j + 1] - e[j])) / e[k], least, most);
  }
}

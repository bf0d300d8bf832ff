#include "levelkeeper.h"

#include <algorithm>
#include <cmath>

#include "dsp.h"
#include "dsp_simd.h"

namespace {

constexpr double smoothingSeconds = 0.5;
constexpr double steadySeconds = 0.1;
constexpr double steadyRatio = 4.0;  // 6 dB
constexpr double deadBandDb = 0.05;
constexpr double slewDbPerSecond = 10.0;
constexpr double lowestGain = 0.7079;   // -3 dB
constexpr double highestGain = 1.4962;  // +3.5 dB
constexpr double silence = 1e-12;       // mean energy per sample below which nothing is judged

}  // namespace

void LevelKeeper::push(long frames, double mid, double side) {
  if (pendingCount_ == maxPending) {
    // Blocks of a few frames each: fold the newest two entries into one.
    Pending& last = pending_[(pendingFirst_ + pendingCount_ - 1) % maxPending];
    last.frames += frames;
    last.mid += mid;
    last.side += side;
  } else {
    pending_[(pendingFirst_ + pendingCount_) % maxPending] = {frames, mid, side};
    pendingCount_++;
  }
  pendingFrames_ += frames;
}

// The input blocks that have come through the latency by now: their frames and energies.
LevelKeeper::Pending LevelKeeper::popThrough() {
  Pending through{0, 0, 0};
  while (pendingCount_ > 0 && pendingFrames_ - pending_[pendingFirst_].frames >= latency_) {
    const Pending& p = pending_[pendingFirst_];
    through.frames += p.frames;
    through.mid += p.mid;
    through.side += p.side;
    pendingFrames_ -= p.frames;
    pendingFirst_ = (pendingFirst_ + 1) % maxPending;
    pendingCount_--;
  }
  return through;
}

namespace {

// Moves `applied` towards `wanted`, not at all within the dead band, at most maxStepDb.
double glide(double applied, double wanted, double maxStepDb) {
  const double offDb = 20.0 * std::log10(wanted / applied);
  if (std::fabs(offDb) <= deadBandDb) return applied;
  const double stepDb = std::clamp(offDb - std::copysign(deadBandDb, offDb), -maxStepDb, maxStepDb);
  return applied * std::pow(10.0, stepDb / 20.0);
}

double matching(double in, double out, double current) {
  if (in < silence || out < silence) return current;
  return std::clamp(std::sqrt(in / out), lowestGain, highestGain);
}

// The energies of mid and side summed over count frames (see DspKernels::levelTerms for
// the arguments), the terms formed a chunk at a time in vectors where the path has them.
// Exact: each sum adds its terms one after the other, in the order of the frames, as a
// plain loop does. Lean: four running sums side by side, added up at the end (the
// same terms, rounded in another order), so that no sum waits on the one before.
void sumEnergies(const DspKernels* kernels, const float* left, const float* right,
                 const float* tone, double toneScale, int count, bool lean, double* mid,
                 double* side) {
  constexpr int chunk = 256;
  double mids[chunk], sides[chunk];
  double m[4] = {0, 0, 0, 0}, s[4] = {0, 0, 0, 0};
  for (int from = 0; from < count; from += chunk) {
    const int n = std::min(chunk, count - from);
    const float* l = left + from;
    const float* r = right != nullptr ? right + from : nullptr;
    const float* g = tone != nullptr ? tone + from : nullptr;
    int i = kernels != nullptr ? kernels->levelTerms(l, r, g, toneScale, n, mids, sides) : 0;
    for (; i < n; i++) {
      double norm = 1.0;
      if (g != nullptr) {
        norm = g[i] * toneScale;
        if (!(norm > 1e-3)) {
          mids[i] = sides[i] = 0.0;  // adding 0 leaves the sum (never -0) as it is
          continue;
        }
      }
      const double a = g != nullptr ? l[i] / norm : l[i];
      const double b = r == nullptr ? a : g != nullptr ? r[i] / norm : r[i];
      mids[i] = 0.25 * (a + b) * (a + b);
      sides[i] = 0.25 * (a - b) * (a - b);
    }
    if (lean) {
      int j = 0;
      for (; j + 4 <= n; j += 4) {
        for (int q = 0; q < 4; q++) m[q] += mids[j + q], s[q] += sides[j + q];
      }
      for (; j < n; j++) m[0] += mids[j], s[0] += sides[j];
    } else {
      for (int j = 0; j < n; j++) m[0] += mids[j], s[0] += sides[j];
    }
  }
  *mid = (m[0] + m[1]) + (m[2] + m[3]);
  *side = (s[0] + s[1]) + (s[2] + s[3]);
}

}  // namespace

void LevelKeeper::init(int sampleRate, int latencyFrames, int warmUpFrames) {
  rate_ = std::max(1, sampleRate);
  latency_ = std::max(0, latencyFrames);
  warmUp_ = std::max(0, warmUpFrames);
  pendingFirst_ = pendingCount_ = 0;
  pendingFrames_ = 0;
  inMid_ = inSide_ = outMid_ = outSide_ = inNow_ = 0;
  wantMid_ = wantSide_ = gainMid_ = gainSide_ = 1;
}

void LevelKeeper::apply(const float* inLeft, const float* inRight, int inFrames,
                        double inputShaping, float* outLeft, float* outRight, const float* toneGain,
                        int outFrames, double toneScale, bool lean) {
  const DspKernels* kernels = dsp_simd_kernels(dsp_path());
  double mid = 0, side = 0;
  sumEnergies(kernels, inLeft, inRight, nullptr, 1.0, inFrames, lean, &mid, &side);
  push(inFrames, mid * inputShaping, side * inputShaping);
  const Pending through = popThrough();
  if (outFrames <= 0) return;
  if (warmUp_ > 0) {
    // The stream's first frames overlap fewer frames than the rest: no level to judge.
    warmUp_ -= through.frames;
    return;
  }

  // On the input's scale: as the overlap of the frames laid here passes a steady tone.
  double outM = 0, outS = 0;
  sumEnergies(kernels, outLeft, outRight, toneGain, toneScale, outFrames, lean, &outM, &outS);
  const double keep = std::exp(-outFrames / (smoothingSeconds * rate_));
  const double keepNow = std::exp(-outFrames / (steadySeconds * rate_));
  if (through.frames > 0) {
    inMid_ = keep * inMid_ + (1 - keep) * through.mid / through.frames;
    inSide_ = keep * inSide_ + (1 - keep) * through.side / through.frames;
    inNow_ = keepNow * inNow_ + (1 - keepNow) * (through.mid + through.side) / through.frames;
  }
  outMid_ = keep * outMid_ + (1 - keep) * outM / outFrames;
  outSide_ = keep * outSide_ + (1 - keep) * outS / outFrames;
  // Judged only while the input's level holds within 6 dB of its mean over the second:
  // through a swell, a fade or a lone note the frames' overlap blurs the output's level
  // in time, which is no loss to make up for.
  const double mean = inMid_ + inSide_;
  if (inNow_ < steadyRatio * mean && mean < steadyRatio * inNow_) {
    wantMid_ = keep * wantMid_ + (1 - keep) * matching(inMid_, outMid_, wantMid_);
    wantSide_ = keep * wantSide_ + (1 - keep) * matching(inSide_, outSide_, wantSide_);
  }

  const double maxStepDb = slewDbPerSecond * outFrames / rate_;
  const double fromMid = gainMid_, fromSide = gainSide_;
  gainMid_ = glide(gainMid_, wantMid_, maxStepDb);
  gainSide_ = outRight != nullptr ? glide(gainSide_, wantSide_, maxStepDb) : gainMid_;
  if (fromMid == gainMid_ && fromSide == gainSide_ && gainMid_ == 1.0 && gainSide_ == 1.0) return;
  const double byMid = gainMid_ - fromMid, bySide = gainSide_ - fromSide;
  int i = kernels != nullptr
              ? kernels->levelGains(outLeft, outRight, outFrames, fromMid, byMid, fromSide, bySide)
              : 0;
  for (; i < outFrames; i++) {
    const double t = (i + 1.0) / outFrames;
    const double gm = fromMid + byMid * t;
    if (outRight == nullptr) {
      outLeft[i] = static_cast<float>(outLeft[i] * gm);
      continue;
    }
    const double gs = fromSide + bySide * t;
    const double m = 0.5 * (static_cast<double>(outLeft[i]) + outRight[i]) * gm;
    const double s = 0.5 * (static_cast<double>(outLeft[i]) - outRight[i]) * gs;
    outLeft[i] = static_cast<float>(m + s);
    outRight[i] = static_cast<float>(m - s);
  }
}

#include "levelkeeper.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double smoothingSeconds = 0.5;
constexpr double steadySeconds = 0.1;
constexpr double steadyRatio = 4.0;  // 6 dB
constexpr double deadBandDb = 0.05;
constexpr double slewDbPerSecond = 10.0;
constexpr double lowestGain = 0.7079;   // -3 dB
constexpr double highestGain = 1.4962;  // +3.5 dB
constexpr double silence = 1e-12;       // mean energy per sample below which nothing is judged

// Input blocks on their way through the latency: frames and energies of mid and side.
struct Pending {
  long frames;
  double mid;
  double side;
};
constexpr int maxPending = 1024;
Pending pending[maxPending];
int pendingFirst = 0;
int pendingCount = 0;
long pendingFrames = 0;

int rate = 44100;
long latency = 0;
long warmUp = 0;               // input frames through the latency before the levels are judged
double inMid = 0, inSide = 0;  // smoothed mean energies per sample
double inNow = 0;              // the input's mean energy over the last few tens of ms
double outMid = 0, outSide = 0;
double wantMid = 1, wantSide = 1;  // the smoothed gains that would match the levels
double gainMid = 1, gainSide = 1;  // the gains applied at the end of the last block

void push(long frames, double mid, double side) {
  if (pendingCount == maxPending) {
    // Blocks of a few frames each: fold the newest two entries into one.
    Pending& last = pending[(pendingFirst + pendingCount - 1) % maxPending];
    last.frames += frames;
    last.mid += mid;
    last.side += side;
  } else {
    pending[(pendingFirst + pendingCount) % maxPending] = {frames, mid, side};
    pendingCount++;
  }
  pendingFrames += frames;
}

// The input blocks that have come through the latency by now: their frames and energies.
Pending popThrough() {
  Pending through{0, 0, 0};
  while (pendingCount > 0 && pendingFrames - pending[pendingFirst].frames >= latency) {
    const Pending& p = pending[pendingFirst];
    through.frames += p.frames;
    through.mid += p.mid;
    through.side += p.side;
    pendingFrames -= p.frames;
    pendingFirst = (pendingFirst + 1) % maxPending;
    pendingCount--;
  }
  return through;
}

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

}  // namespace

void level_init(int sampleRate, int latencyFrames, int warmUpFrames) {
  rate = std::max(1, sampleRate);
  latency = std::max(0, latencyFrames);
  warmUp = std::max(0, warmUpFrames);
  pendingFirst = pendingCount = 0;
  pendingFrames = 0;
  inMid = inSide = outMid = outSide = inNow = 0;
  wantMid = wantSide = gainMid = gainSide = 1;
}

void level_apply(const float* inLeft, const float* inRight, int inFrames, double inputShaping,
                 float* outLeft, float* outRight, const float* toneGain, int outFrames,
                 double toneScale) {
  double mid = 0, side = 0;
  for (int i = 0; i < inFrames; i++) {
    const double l = inLeft[i];
    const double r = inRight != nullptr ? inRight[i] : l;
    mid += 0.25 * (l + r) * (l + r);
    side += 0.25 * (l - r) * (l - r);
  }
  push(inFrames, mid * inputShaping, side * inputShaping);
  const Pending through = popThrough();
  if (outFrames <= 0) return;
  if (warmUp > 0) {
    // The stream's first frames overlap fewer frames than the rest: no level to judge.
    warmUp -= through.frames;
    return;
  }

  double outM = 0, outS = 0;
  for (int i = 0; i < outFrames; i++) {
    // On the input's scale: as the overlap of the frames laid here passes a steady tone.
    const double norm = toneGain[i] * toneScale;
    if (!(norm > 1e-3)) continue;
    const double l = outLeft[i] / norm;
    const double r = outRight != nullptr ? outRight[i] / norm : l;
    outM += 0.25 * (l + r) * (l + r);
    outS += 0.25 * (l - r) * (l - r);
  }
  const double keep = std::exp(-outFrames / (smoothingSeconds * rate));
  const double keepNow = std::exp(-outFrames / (steadySeconds * rate));
  if (through.frames > 0) {
    inMid = keep * inMid + (1 - keep) * through.mid / through.frames;
    inSide = keep * inSide + (1 - keep) * through.side / through.frames;
    inNow = keepNow * inNow + (1 - keepNow) * (through.mid + through.side) / through.frames;
  }
  outMid = keep * outMid + (1 - keep) * outM / outFrames;
  outSide = keep * outSide + (1 - keep) * outS / outFrames;
  // Judged only while the input's level holds within 6 dB of its mean over the second:
  // through a swell, a fade or a lone note the frames' overlap blurs the output's level
  // in time, which is no loss to make up for.
  const double mean = inMid + inSide;
  if (inNow < steadyRatio * mean && mean < steadyRatio * inNow) {
    wantMid = keep * wantMid + (1 - keep) * matching(inMid, outMid, wantMid);
    wantSide = keep * wantSide + (1 - keep) * matching(inSide, outSide, wantSide);
  }

  const double maxStepDb = slewDbPerSecond * outFrames / rate;
  const double fromMid = gainMid, fromSide = gainSide;
  gainMid = glide(gainMid, wantMid, maxStepDb);
  gainSide = outRight != nullptr ? glide(gainSide, wantSide, maxStepDb) : gainMid;
  if (fromMid == gainMid && fromSide == gainSide && gainMid == 1.0 && gainSide == 1.0) return;
  for (int i = 0; i < outFrames; i++) {
    const double t = (i + 1.0) / outFrames;
    const double gm = fromMid + (gainMid - fromMid) * t;
    if (outRight == nullptr) {
      outLeft[i] = static_cast<float>(outLeft[i] * gm);
      continue;
    }
    const double gs = fromSide + (gainSide - fromSide) * t;
    const double m = 0.5 * (static_cast<double>(outLeft[i]) + outRight[i]) * gm;
    const double s = 0.5 * (static_cast<double>(outLeft[i]) - outRight[i]) * gs;
    outLeft[i] = static_cast<float>(m + s);
    outRight[i] = static_cast<float>(m - s);
  }
}

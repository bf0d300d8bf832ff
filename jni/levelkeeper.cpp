#include "levelkeeper.h"

#include <algorithm>
#include <cmath>

namespace {

// The driver passes a steady tone at this level (overlapping squared Hann windows over
// its normalisation), so the output's energy is this squared times the input's.
constexpr double toneGain = 0.75;
constexpr double smoothingSeconds = 1.0;
constexpr double deadBandDb = 0.05;
constexpr double slewDbPerSecond = 6.0;
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
long warmUp = 0;  // input frames through the latency before the levels are judged
double inMid = 0, inSide = 0;  // smoothed mean energies per sample
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
  return std::clamp(toneGain * std::sqrt(in / out), lowestGain, highestGain);
}

}  // namespace

void level_init(int sampleRate, int latencyFrames, int warmUpFrames) {
  rate = std::max(1, sampleRate);
  latency = std::max(0, latencyFrames);
  warmUp = std::max(0, warmUpFrames);
  pendingFirst = pendingCount = 0;
  pendingFrames = 0;
  inMid = inSide = outMid = outSide = 0;
  wantMid = wantSide = gainMid = gainSide = 1;
}

void level_apply(const float* inLeft, const float* inRight, int inFrames, float* outLeft,
                 float* outRight, int outFrames, double outputNorm) {
  double mid = 0, side = 0;
  for (int i = 0; i < inFrames; i++) {
    const double l = inLeft[i];
    const double r = inRight != nullptr ? inRight[i] : l;
    mid += 0.25 * (l + r) * (l + r);
    side += 0.25 * (l - r) * (l - r);
  }
  push(inFrames, mid, side);
  const Pending through = popThrough();
  if (outFrames <= 0) return;
  if (warmUp > 0) {
    // The stream's first frames overlap fewer frames than the rest: no level to judge.
    warmUp -= through.frames;
    return;
  }

  double outM = 0, outS = 0;
  for (int i = 0; i < outFrames; i++) {
    const double l = outLeft[i] / outputNorm;
    const double r = outRight != nullptr ? outRight[i] / outputNorm : l;
    outM += 0.25 * (l + r) * (l + r);
    outS += 0.25 * (l - r) * (l - r);
  }
  const double keep = std::exp(-outFrames / (smoothingSeconds * rate));
  if (through.frames > 0) {
    inMid = keep * inMid + (1 - keep) * through.mid / through.frames;
    inSide = keep * inSide + (1 - keep) * through.side / through.frames;
  }
  outMid = keep * outMid + (1 - keep) * outM / outFrames;
  outSide = keep * outSide + (1 - keep) * outS / outFrames;
  wantMid = keep * wantMid + (1 - keep) * matching(inMid, outMid, wantMid);
  wantSide = keep * wantSide + (1 - keep) * matching(inSide, outSide, wantSide);

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

#include "attacks.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr double twoPi = 6.283185307179586;

constexpr int blockSamples = 32;       // detection block
constexpr int baselineSamples = 1024;  // the blocks before a block that it must outdo
constexpr double energyJump = 4.0;     // a block this much above every one before starts an attack
constexpr double quietBlock = 1e-9;    // per sample and channel: blocks below this never do
constexpr float riseRatio = 1.41f;     // a bin that rose by more than 3 dB joins the attack
constexpr float floorRatio = 1e-3f;    // bins 60 dB below the frame's strongest take no part

// A bin's treatment while its attack is under way.
enum BinState : signed char {
  BIN_FREE = -1,  // no attack: the peaks' turn applies
  BIN_HELD_BACK,  // the frame cannot place the attack: the bin keeps its level from before
  BIN_RESTART,    // place the attack in this frame: restart from the analysis phase
  BIN_CARRIED,    // the attack is placed: turn on by the frame's own advance
};

// Phase wrapped into [-pi, pi] by whole turns (a non-finite one, which finite audio never
// gives, to 0).
float wrap(double phase) {
  const double turns = phase * (1.0 / twoPi);
  if (!(std::fabs(turns) < 1e15)) return 0.0f;
  const double whole = static_cast<double>(static_cast<int64_t>(turns + (turns >= 0 ? 0.5 : -0.5)));
  return static_cast<float>(phase - whole * twoPi);
}

}  // namespace

// Where in the output frame an attack at `position` in the analysis frame belongs: the
// frame's centre stays where the vocoder lays it, and the rest of the frame stretches
// about it, as the stream as a whole does.
double Attacks::placeIn(double position, double stretch) const {
  return winSize_ / 2 + (position - winSize_ / 2) * stretch;
}

// The energy of the first difference over the blocks starting at from[0 .. n - 1] (n <= 4),
// all channels, into energyAt_: each block sums its samples in the same order as alone,
// the blocks side by side so that their sums do not wait on each other.
void Attacks::blockEnergies(const AttackFrame& f, const int* from, int n) {
  double e[4] = {0.0, 0.0, 0.0, 0.0};
  for (int ch = 0; ch < f.channels; ch++) {
    const float* x = f.history[ch];
    if (n == 4) {
      const float* x0 = x + from[0];
      const float* x1 = x + from[1];
      const float* x2 = x + from[2];
      const float* x3 = x + from[3];
      for (int t = 0; t < blockSamples; t++) {
        const double d0 = static_cast<double>(x0[t]) - x0[t - 1];
        const double d1 = static_cast<double>(x1[t]) - x1[t - 1];
        const double d2 = static_cast<double>(x2[t]) - x2[t - 1];
        const double d3 = static_cast<double>(x3[t]) - x3[t - 1];
        e[0] += d0 * d0;
        e[1] += d1 * d1;
        e[2] += d2 * d2;
        e[3] += d3 * d3;
      }
      continue;
    }
    for (int j = 0; j < n; j++) {
      for (int t = from[j]; t < from[j] + blockSamples; t++) {
        const double d = static_cast<double>(x[t]) - x[t - 1];
        e[j] += d * d;
      }
    }
  }
  for (int j = 0; j < n; j++) {
    const long place = origin_ + from[j];
    energyAt_[place & ringMask_] = e[j];
    energyTag_[place & ringMask_] = place;
  }
}

// The place in the frame where an attack starts among its newest stepIn samples, or -1:
// the first block whose energy jumps above energyJump times every block of the
// baselineSamples before it. The loudest block of a steady sound recurs within a
// period of its lowest note, and a swell, however fast, grows by less than that from
// one block to the next; a hit jumps.
int Attacks::findOnset(const AttackFrame& f) {
  // The stream's place of the frame: a hop on from the last one when its history
  // carries on; otherwise past every place the table holds, so that nothing carries over.
  const bool carriesOn = f.serial == lastSerial_ + 1 && f.channels == lastChannels_;
  origin_ += carriesOn ? stepIn_ : 2L * winSize_;
  lastSerial_ = f.serial;
  lastChannels_ = f.channels;

  const int newest = winSize_ - stepIn_;
  const int firstBlock = std::max(newest, blockSamples + 1);
  // Every block any of the new blocks compares with, and the new blocks themselves, whose
  // energy is not known yet: worked out up front four at a time (the scan ends early only
  // at an attack).
  int nDue = 0;
  const auto schedule = [&](int p) {
    const long place = origin_ + p;
    long& tag = energyTag_[place & ringMask_];
    if (tag == place) return;
    tag = place;  // worked out below
    due_[nDue++] = p;
  };
  // Each block's baseline is the last one's moved on by a block: only the blocks past the
  // last one's end are new to it, unless the baseline's grid moved (once, where the
  // baseline leaves the frame's start).
  int lastFirst = -1, lastEnd = -1;  // the last baseline's first block and its end
  for (int b = firstBlock; b + blockSamples <= winSize_; b += blockSamples) {
    const int first = std::max(1, b - baselineSamples);
    int p = first;
    if (lastEnd > first && (first - lastFirst) % blockSamples == 0) p = lastEnd;
    for (; p + blockSamples <= b; p += blockSamples) schedule(p);
    schedule(b);
    lastFirst = first;
    lastEnd = p;
  }
  int d = 0;
  for (; d + 4 <= nDue; d += 4) blockEnergies(f, due_.data() + d, 4);
  if (d < nDue) blockEnergies(f, due_.data() + d, nDue - d);

  const double quiet = quietBlock * blockSamples * f.channels;
  const auto energy = [&](int p) { return energyAt_[(origin_ + p) & ringMask_]; };
  for (int b = firstBlock; b + blockSamples <= winSize_; b += blockSamples) {
    // The loudest of the baseline. A NaN energy (never from finite audio) never wins, as
    // in a plain running maximum, so the order of the comparisons does not matter.
    double loudest[4] = {0.0, 0.0, 0.0, 0.0};
    int p = std::max(1, b - baselineSamples);
    for (; p + 4 * blockSamples <= b; p += 4 * blockSamples) {
      for (int j = 0; j < 4; j++) {
        const double v = energy(p + j * blockSamples);
        loudest[j] = loudest[j] < v ? v : loudest[j];
      }
    }
    for (; p + blockSamples <= b; p += blockSamples) {
      const double v = energy(p);
      loudest[0] = loudest[0] < v ? v : loudest[0];
    }
    for (int j = 1; j < 4; j++) loudest[0] = loudest[0] < loudest[j] ? loudest[j] : loudest[0];
    if (energy(b) > energyJump * loudest[0] + quiet) return b;
  }
  return -1;
}

void Attacks::init(int pWinSize, int pStepIn) {
  winSize_ = pWinSize;
  winHalf_ = pWinSize / 2;
  stepIn_ = pStepIn;
  lagFrames_ = std::max(1, winSize_ / 4 / stepIn_);
  for (Attack& a : attacks_) a.before.assign(winHalf_, 0.0f);
  binState_.assign(winHalf_, BIN_FREE);
  binOwner_.assign(winHalf_, -1);
  recent_.assign(static_cast<size_t>(lagFrames_) * winHalf_, 0.0f);
  int ring = 1;
  while (ring < winSize_) ring *= 2;
  ringMask_ = ring - 1;
  energyAt_.assign(ring, 0.0);
  energyTag_.assign(ring, -1);
  due_.assign(winSize_, 0);
  clear();
}

void Attacks::clear() {
  for (Attack& a : attacks_) a.active = false;
  std::fill(binState_.begin(), binState_.end(), BIN_FREE);
  std::fill(binOwner_.begin(), binOwner_.end(), -1);
  std::fill(recent_.begin(), recent_.end(), 0.0f);
  std::fill(energyTag_.begin(), energyTag_.end(), -1);
  origin_ = 0;
  lastSerial_ = -2;
  frameCount_ = 0;
}

void Attacks::frame(const AttackFrame& f) {
  float* earlier = recent_.data() + (frameCount_ % lagFrames_) * winHalf_;
  // The attacks move on by a hop; one that has left the frame ends, and its bins go back
  // to the peaks' turns.
  bool ended = false;
  for (Attack& a : attacks_) {
    if (!a.active) continue;
    a.position -= stepIn_;
    if (a.position < 0) a.active = false, ended = true;
  }
  if (ended) {
    for (int k = 0; k < winHalf_; k++) {
      if (binOwner_[k] >= 0 && !attacks_[binOwner_[k]].active)
        binOwner_[k] = -1, binState_[k] = BIN_FREE;
    }
  }

  const int onset = winSize_ >= 2 * blockSamples ? findOnset(f) : -1;
  if (onset >= 0) {
    int slot = 0;
    for (int i = 0; i < maxAttacks; i++) {
      if (!attacks_[i].active) {
        slot = i;
        break;
      }
      if (attacks_[i].serial < attacks_[slot].serial) slot = i;
    }
    for (int k = 0; k < winHalf_; k++) {
      if (binOwner_[k] == slot) binOwner_[k] = -1, binState_[k] = BIN_FREE;
    }
    Attack& a = attacks_[slot];
    a.active = true;
    a.position = onset;
    a.serial = ++serials_;
    std::copy(earlier, earlier + winHalf_, a.before.begin());
  }

  // Without an attack under way no bin has an owner (those of the attacks that ended were
  // freed above): only the spectrum is kept for the frames to come.
  bool anyActive = false;
  for (const Attack& a : attacks_) anyActive = anyActive || a.active;
  if (anyActive) shapeAttackBins(f, earlier);

  std::copy(f.summed, f.summed + winHalf_, earlier);
  frameCount_++;
}

// The bins of the attacks under way: which attack each belongs to, and their magnitudes
// and turns in this frame.
void Attacks::shapeAttackBins(const AttackFrame& f, const float* earlier) {
  // The strongest bin of this frame and of the one compared with. A NaN magnitude (never
  // from finite audio) never wins, as in a plain running maximum, so the order of the
  // comparisons does not matter: four running maxima side by side.
  float tops[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  int k = 0;
  for (; k + 4 <= winHalf_; k += 4) {
    for (int j = 0; j < 4; j++) {
      const float m = std::max(f.summed[k + j], earlier[k + j]);
      tops[j] = tops[j] < m ? m : tops[j];
    }
  }
  for (; k < winHalf_; k++) tops[0] = std::max(tops[0], std::max(f.summed[k], earlier[k]));
  float top = tops[0];
  for (int j = 1; j < 4; j++) top = top < tops[j] ? tops[j] : top;
  const float floor = top * floorRatio;
  // A slowed frame lays its output over a shorter stretch of input than it analyses: an
  // attack near either end of the analysis frame would land outside the output frame.
  bool placeable[maxAttacks];
  double delay[maxAttacks];  // from the attack's place in the analysis frame to the output's
  for (int i = 0; i < maxAttacks; i++) {
    const Attack& a = attacks_[i];
    const double at = placeIn(a.position, f.stretch);
    placeable[i] = at >= 0 && at < winSize_;
    delay[i] = at - a.position;
  }

  // Bins join the newest attack they rose for.
  for (int i = 0; i < maxAttacks; i++) {
    const Attack& a = attacks_[i];
    if (!a.active) continue;
    const signed char first = placeable[i] ? BIN_RESTART : BIN_HELD_BACK;
    // Whether a bin of each owner (-1: none) stays with it: its own, or a newer attack's.
    bool stays[maxAttacks + 1];
    stays[0] = false;
    for (int o = 0; o < maxAttacks; o++) {
      stays[o + 1] = o == i || attacks_[o].serial > a.serial;
    }
    const float* before = a.before.data();
    signed char* owners = binOwner_.data();
    signed char* states = binState_.data();
    // Without a branch per bin: which bins rise is as good as random.
    for (int b = 0; b < winHalf_; b++) {
      const signed char owner = owners[b];
      const bool joins =
          !stays[owner + 1] & (f.summed[b] > riseRatio * before[b]) & (f.summed[b] >= floor);
      owners[b] = joins ? static_cast<signed char>(i) : owner;
      states[b] = joins ? first : states[b];
    }
  }

  const bool shared = f.channels == 1 || f.rotation[0] == f.rotation[1];
  const int turns = shared ? 1 : f.channels;
  for (int b = 0; b < winHalf_; b++) {
    const int owner = binOwner_[b];
    if (owner < 0) continue;
    const Attack& a = attacks_[owner];
    // Held back until the attack can be placed, and again once it could only land before the
    // frame's start (a carried turn would wrap it round to the frame's end). The place moves
    // one way through the frames, so a bin is placed at most once.
    if (binState_[b] == BIN_HELD_BACK && placeable[owner]) {
      binState_[b] = BIN_RESTART;
    } else if (binState_[b] == BIN_CARRIED && !placeable[owner]) {
      binState_[b] = BIN_HELD_BACK;
    }
    switch (binState_[b]) {
      case BIN_HELD_BACK: {
        const float keep = f.summed[b] > 0 ? std::min(1.0f, a.before[b] / f.summed[b]) : 0.0f;
        for (int ch = 0; ch < f.channels; ch++) f.mags[ch][b] *= keep;
        break;
      }
      case BIN_RESTART: {
        // The analysis phase turned by the delay that moves the attack from its place in
        // the analysis frame to its place in the output frame.
        const float turn = wrap(-twoPi * b * delay[owner] / winSize_);
        for (int ch = 0; ch < turns; ch++) f.rotation[ch][b] = turn;
        binState_[b] = BIN_CARRIED;
        break;
      }
      case BIN_CARRIED:
        for (int ch = 0; ch < turns; ch++) {
          f.rotation[ch][b] = wrap(static_cast<double>(f.psi[ch][b]) - f.phi0[ch][b] +
                                   (f.stretch - 1.0) * f.omega[b]);
        }
        break;
      default:
        break;
    }
  }
}

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

double Attacks::blockEnergy(const AttackFrame& f, int from) {
  if (energyFrame_[from] == frameCount_) return energyAt_[from];
  double e = 0;
  for (int ch = 0; ch < f.channels; ch++) {
    const float* x = f.history[ch];
    for (int t = from; t < from + blockSamples; t++) {
      const double d = static_cast<double>(x[t]) - x[t - 1];
      e += d * d;
    }
  }
  energyFrame_[from] = frameCount_;
  energyAt_[from] = e;
  return e;
}

// The place in the frame where an attack starts among its newest stepIn samples, or -1:
// the first block whose energy jumps above energyJump times every block of the
// baselineSamples before it. The loudest block of a steady sound recurs within a
// period of its lowest note, and a swell, however fast, grows by less than that from
// one block to the next; a hit jumps.
int Attacks::findOnset(const AttackFrame& f) {
  const int newest = winSize_ - stepIn_;
  const double quiet = quietBlock * blockSamples * f.channels;
  for (int b = std::max(newest, blockSamples + 1); b + blockSamples <= winSize_;
       b += blockSamples) {
    double loudest = 0.0;
    for (int p = std::max(1, b - baselineSamples); p + blockSamples <= b; p += blockSamples) {
      loudest = std::max(loudest, blockEnergy(f, p));
    }
    if (blockEnergy(f, b) > energyJump * loudest + quiet) return b;
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
  energyAt_.assign(winSize_, 0.0);
  energyFrame_.assign(winSize_, -1);
  clear();
}

void Attacks::clear() {
  for (Attack& a : attacks_) a.active = false;
  std::fill(binState_.begin(), binState_.end(), BIN_FREE);
  std::fill(binOwner_.begin(), binOwner_.end(), -1);
  std::fill(recent_.begin(), recent_.end(), 0.0f);
  std::fill(energyFrame_.begin(), energyFrame_.end(), -1);
  frameCount_ = 0;
}

void Attacks::frame(const AttackFrame& f) {
  float* earlier = recent_.data() + (frameCount_ % lagFrames_) * winHalf_;
  // The attacks move on by a hop; one that has left the frame ends, and its bins go back
  // to the peaks' turns.
  for (Attack& a : attacks_) {
    if (!a.active) continue;
    a.position -= stepIn_;
    if (a.position < 0) a.active = false;
  }
  for (int k = 0; k < winHalf_; k++) {
    if (binOwner_[k] >= 0 && !attacks_[binOwner_[k]].active)
      binOwner_[k] = -1, binState_[k] = BIN_FREE;
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

  float top = 0;
  for (int k = 0; k < winHalf_; k++) top = std::max(top, std::max(f.summed[k], earlier[k]));
  const float floor = top * floorRatio;
  // A slowed frame lays its output over a shorter stretch of input than it analyses: an
  // attack near either end of the analysis frame would land outside the output frame.
  const auto placeable = [&](const Attack& a) {
    const double at = placeIn(a.position, f.stretch);
    return at >= 0 && at < winSize_;
  };

  // Bins join the newest attack they rose for.
  for (int i = 0; i < maxAttacks; i++) {
    const Attack& a = attacks_[i];
    if (!a.active) continue;
    const signed char first = placeable(a) ? BIN_RESTART : BIN_HELD_BACK;
    for (int k = 0; k < winHalf_; k++) {
      const int owner = binOwner_[k];
      if (owner == i || (owner >= 0 && attacks_[owner].serial > a.serial)) continue;
      if (f.summed[k] > riseRatio * a.before[k] && f.summed[k] >= floor) {
        binOwner_[k] = static_cast<signed char>(i);
        binState_[k] = first;
      }
    }
  }

  const bool shared = f.channels == 1 || f.rotation[0] == f.rotation[1];
  const int turns = shared ? 1 : f.channels;
  for (int k = 0; k < winHalf_; k++) {
    const int owner = binOwner_[k];
    if (owner < 0) continue;
    const Attack& a = attacks_[owner];
    // Held back until the attack can be placed, and again once it could only land before the
    // frame's start (a carried turn would wrap it round to the frame's end). The place moves
    // one way through the frames, so a bin is placed at most once.
    if (binState_[k] == BIN_HELD_BACK && placeable(a)) {
      binState_[k] = BIN_RESTART;
    } else if (binState_[k] == BIN_CARRIED && !placeable(a)) {
      binState_[k] = BIN_HELD_BACK;
    }
    switch (binState_[k]) {
      case BIN_HELD_BACK: {
        const float keep = f.summed[k] > 0 ? std::min(1.0f, a.before[k] / f.summed[k]) : 0.0f;
        for (int ch = 0; ch < f.channels; ch++) f.mags[ch][k] *= keep;
        break;
      }
      case BIN_RESTART: {
        // The analysis phase turned by the delay that moves the attack from its place in
        // the analysis frame to its place in the output frame.
        const double delay = placeIn(a.position, f.stretch) - a.position;
        const float turn = wrap(-twoPi * k * delay / winSize_);
        for (int ch = 0; ch < turns; ch++) f.rotation[ch][k] = turn;
        binState_[k] = BIN_CARRIED;
        break;
      }
      case BIN_CARRIED:
        for (int ch = 0; ch < turns; ch++) {
          f.rotation[ch][k] = wrap(static_cast<double>(f.psi[ch][k]) - f.phi0[ch][k] +
                                   (f.stretch - 1.0) * f.omega[k]);
        }
        break;
      default:
        break;
    }
  }

  std::copy(f.summed, f.summed + winHalf_, earlier);
  frameCount_++;
}

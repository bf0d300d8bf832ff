// A deterministic stereo test piece for the tests and benchmarks: 120 bpm, a chord pad (C,
// A minor, F, G, one bar of four beats each), a kick on beats 1 and 3, a snare on
// 2 and 4, hi-hats on the eighths, and a centre-panned melody of eighth notes on a
// pentatonic scale. The pad's voices and the hi-hats are panned off centre so that
// the two channels differ; the melody is identical in both, as a lead voice would be.
//
// Nothing is random: the oscillators read a sine table and the noise comes from a
// fixed linear congruential generator, so every run gets the same piece.
#include "music.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr int tableSize = 4096;
constexpr double twoPi = 6.283185307179586;

struct SineTable {
  float v[tableSize + 1];
  SineTable() {
    for (int i = 0; i <= tableSize; i++) v[i] = static_cast<float>(std::sin(twoPi * i / tableSize));
  }
  // phase in turns, any value >= 0.
  float operator()(double phase) const {
    const double t = (phase - std::floor(phase)) * tableSize;
    const int i = static_cast<int>(t);
    const float f = static_cast<float>(t - i);
    return v[i] + f * (v[i + 1] - v[i]);
  }
};

// 32-bit LCG (Numerical Recipes constants); uniform in [-1, 1).
struct Noise {
  uint32_t state;
  float next() {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(static_cast<int32_t>(state)) / 2147483648.0f;
  }
};

double midiHz(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

}  // namespace

std::vector<short> music_render(int rate, int frames) {
  const SineTable sine;
  std::vector<float> left(frames), right(frames);
  const int beat = rate / 2;  // 120 bpm
  const int eighth = beat / 2;
  const int bar = 4 * beat;

  // Pad: one chord per bar, four voices with four harmonics each. Voices 0 and 2
  // lean left, 1 and 3 right.
  static const int chords[4][4] = {
      {48, 55, 60, 64},  // C
      {45, 52, 57, 60},  // A minor
      {41, 48, 53, 57},  // F
      {43, 50, 55, 59},  // G
  };
  for (int v = 0; v < 4; v++) {
    const float gl = (v % 2 == 0) ? 0.7f : 0.3f;
    const float gr = 1.0f - gl;
    double phase[4] = {0, 0, 0, 0};
    for (int n = 0; n < frames; n++) {
      const int barIndex = n / bar;
      const int inBar = n - barIndex * bar;
      const double hz = midiHz(chords[barIndex % 4][v]) * (1.0 + 0.0007 * (v - 1.5));
      // 30 ms attack, slow decay, 50 ms release at the end of the bar.
      float env = std::min(1.0f, inBar / (0.03f * rate)) * std::exp(-inBar / (1.5f * rate));
      env *= std::min(1.0f, (bar - inBar) / (0.05f * rate));
      float s = 0.0f;
      for (int h = 0; h < 4; h++) {
        phase[h] += hz * (h + 1) / rate;
        s += sine(phase[h]) / static_cast<float>(h + 1);
      }
      s *= 0.08f * env;
      left[n] += gl * s;
      right[n] += gr * s;
    }
  }

  // Melody: eighth notes of a C major pentatonic walk, 5 Hz vibrato, centre.
  static const int scale[10] = {72, 74, 76, 79, 81, 84, 86, 88, 91, 93};
  Noise pick{12345u};
  int degree = 4;
  double melodyPhase[3] = {0, 0, 0};
  double hz = midiHz(scale[degree]);
  for (int n = 0; n < frames; n++) {
    const int inNote = n % eighth;
    if (inNote == 0) {
      const int move = static_cast<int>((pick.next() + 1.0f) * 2.5f) - 2;  // -2 .. 2
      degree = std::clamp(degree + move, 0, 9);
      hz = midiHz(scale[degree]);
    }
    const double vibrato = 1.0 + 0.004 * sine(5.0 * n / rate);
    const float env = std::min(1.0f, inNote / (0.01f * rate)) *
                      std::min(1.0f, (eighth - inNote) / (0.02f * rate)) *
                      std::exp(-inNote / (0.4f * rate));
    float s = 0.0f;
    static const float weights[3] = {1.0f, 0.5f, 0.25f};
    for (int h = 0; h < 3; h++) {
      melodyPhase[h] += hz * vibrato * (h + 1) / rate;
      s += weights[h] * sine(melodyPhase[h]);
    }
    s *= 0.18f * env;
    left[n] += s;
    right[n] += s;
  }

  // Drums.
  Noise noise{987654321u};
  float hatState = 0.0f;
  double kickPhase = 0.0;
  for (int n = 0; n < frames; n++) {
    const int beatIndex = n / beat;
    const float tBeat = static_cast<float>(n - beatIndex * beat) / rate;  // s since beat
    const float tEighth = static_cast<float>(n % eighth) / rate;
    const float white = noise.next();
    float kick = 0.0f;
    float snare = 0.0f;
    if (beatIndex % 2 == 0) {
      if (n % beat == 0) kickPhase = 0.0;
      const double f = 50.0 + 70.0 * std::exp(-tBeat / 0.03);
      kickPhase += f / rate;
      kick = 0.5f * sine(kickPhase) * std::exp(-tBeat / 0.15f);
    } else {
      snare = (0.25f * white + 0.1f * sine(180.0 * tBeat)) * std::exp(-tBeat / 0.1f);
    }
    // Hi-hat: first difference of the noise (a crude high-pass), 30 ms decay.
    const float hat = 0.12f * (white - hatState) * std::exp(-tEighth / 0.03f);
    hatState = white;
    left[n] += kick + snare + 0.4f * hat;
    right[n] += kick + snare + 0.6f * hat;
  }

  float peak = 0.0f;
  for (int n = 0; n < frames; n++) peak = std::max({peak, std::fabs(left[n]), std::fabs(right[n])});
  const float scale16 = 0.7f * 32767.0f / peak;  // peaks at -3 dBFS
  std::vector<short> pcm(2 * static_cast<size_t>(frames));
  for (int n = 0; n < frames; n++) {
    pcm[2 * n] = static_cast<short>(std::lrint(left[n] * scale16));
    pcm[2 * n + 1] = static_cast<short>(std::lrint(right[n] * scale16));
  }
  return pcm;
}

namespace {

constexpr int pieceRate = 44100;
constexpr int pieceFrames = 60 * pieceRate;

// The benchmarks' piece, rendered on the first call and kept.
const std::vector<short>& piece() {
  static const std::vector<short> pcm = music_render(pieceRate, pieceFrames);
  return pcm;
}

}  // namespace

const short* music_pcm() { return piece().data(); }
int music_frames() { return pieceFrames; }
int music_rate() { return pieceRate; }

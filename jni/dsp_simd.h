// dsp_simd: the driver's vector kernels (dsp_simd.cpp, one Highway source for every
// CPU; see simd.h), called by dsp.cpp on the baseline and AVX2 paths, and what the two
// files share.
#pragma once

// 16-bit samples to the vocoder's scale (full scale +-1).
constexpr float dspInputScale = 1.0f / 32768.0f;

// Level from which the soft limiter bends the output.
constexpr double dspLimitThreshold = 0.95;

// What the output stage of one block applies to every vocoder sample.
struct DspOutputStage {
  double norm;  // overlap gain frameSize / (2 stepOut), a float widened
  double gain;  // the pre-amplifier
  double k;     // limiter slope: -0.25 in mono, -0.125 in stereo
  double turningPoint;
};

// The engine's own stage once any gain glide is over: one gain for every sample.
struct DspStageLimit {
  double gain;
  double k;  // limiter slope, as in DspOutputStage
  double turningPoint;
};

// The kernels of one vector path. Each does a whole number of vectors from frame 0
// and returns the number of frames done; the caller does the rest with the scalar
// code, which gives the same bits.
struct DspKernels {
  // The output stage (normalisation, gain, soft limit, quantisation) of left (and
  // right, in stereo) into samples; *peak receives the peak level of the frames done.
  int (*quantise)(short* samples, const float* left, const float* right, int count, bool mono,
                  const DspOutputStage& stage, double* peak);
  // Mono samples, or interleaved stereo frames split into the two channels, on the
  // vocoder's scale.
  int (*convertMono)(const short* samples, float* out, int count);
  int (*convertStereo)(const short* samples, float* left, float* right, int frames);
  // The engine's stage: count samples of in (interleaved or not, all alike) times the
  // gain, soft-limited and rounded to nearest into out; *peak receives the peak level of
  // the samples done.
  int (*limitRound)(short* out, const float* in, int count, const DspStageLimit& stage,
                    double* peak);
  // The overlap correction: frame i of left (and right, interleaved after it in dst in
  // stereo) times 1 / (tone[i] x scale), or cap where that exceeds cap.
  int (*correctOverlap)(float* dst, const float* left, const float* right, const float* tone,
                        int count, bool mono, double scale, double cap);
  // The level keeper's terms (levelkeeper.cpp): the energies of mid and side of each
  // frame, left and right each divided by tone[i] x toneScale first where tone is not
  // null (0 where that weight is not above 1e-3); right null stands for right = left.
  int (*levelTerms)(const float* left, const float* right, const float* tone, double toneScale,
                    int count, double* mid, double* side);
  // The level keeper's gains: frame i of count takes gains gliding from `from` by `by`
  // x (i + 1) / count, mid and side (left alone by the mid's when right is null).
  int (*levelGains)(float* left, float* right, int count, double fromMid, double byMid,
                    double fromSide, double bySide);
};

// The kernels of `path` (a resolved CpuPath other than the reference); nullptr for
// the reference path.
const DspKernels* dsp_simd_kernels(int path);

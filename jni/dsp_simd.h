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
};

// The kernels of `path` (a resolved CpuPath other than the reference); nullptr for
// the reference path.
const DspKernels* dsp_simd_kernels(int path);

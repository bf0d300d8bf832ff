// dsp_x86: the driver's x86-64 kernels (dsp_x86.cpp, compiled only on x86-64), called
// by dsp.cpp, and what the two files share. The declarations hold no x86 type, so
// that dsp.cpp compiles anywhere; it calls the kernels only where HOPWARBLER_X86 is 1.
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

// The output stage (normalisation, gain, soft limit, quantisation) of frames 0 ..
// count - 1 of left (and right, in stereo) into samples, in steps of four (stereo) or
// eight (mono) frames, with the same bits as the scalar stage. Returns the number of
// frames done; *peak receives their peak level. AVX2 only.
int dsp_x86_quantise_avx2(short* samples, const float* left, const float* right, int count,
                          bool mono, const DspOutputStage& stage, double* peak);

// Mono samples (eight at a time) or interleaved stereo frames (four at a time, split
// into the two channels) on the vocoder's scale (SSE2). Return the number done; the
// caller converts the rest.
int dsp_x86_convert_mono_sse2(const short* samples, float* out, int count);
int dsp_x86_convert_stereo_sse2(const short* samples, float* left, float* right, int frames);

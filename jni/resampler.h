// resampler: a streaming sample-rate converter for interleaved float frames (1 or 2
// channels), the key change of a stream engine: the vocoder stretches the sound by the
// pitch factor more than the speed asks, and this converter plays it that much faster.
// The engine calls it once per block on its audio thread, between the vocoder and the
// output stage, so that the sound stays in floating point until the one conversion to
// 16 bits; the engine's control side sets the ratio.
//
// The filter is a polyphase windowed sinc with a Kaiser window (beta 0.1102 x 101.3),
// tabulated at 512 phases per input frame with the coefficients interpolated linearly
// between phases, so that any ratio, rational or not, is met exactly. The ratio is the
// number of input frames per output frame (0.25 .. 4): 2 halves the number of frames
// (and played at the same rate doubles every frequency), 0.5 doubles it. Output frame
// m is the band-limited value of the input at input position m x ratio; the kernel
// spans 2 x 72 frames of the lower of the two rates and passes 0.9 of the lower
// Nyquist frequency (ripple below 0.001 dB), stopping everything above it by more than
// 110 dB, so that nothing aliases back into the band. A stream of N input frames at one
// ratio gives round(N / ratio) output frames (halves rounding up) once finish() has
// drained it: the frames whose span [m ratio - ratio / 2, m ratio + ratio / 2) starts
// inside the input and ends by its end. It computes the same as the Java class
// quenlab.hopwarbler.Resampler, with a separate multiply and add where that one fuses
// them (the sums differ by float rounding only).
//
// Threads:
// - process(), pass(), finish(), reset() and engaged() belong to one thread, the audio
//   thread: they allocate nothing, take no lock and call no trigonometric function.
// - setRatio() runs on a control thread (several of them take turns on a mutex the
//   audio thread never touches). It builds the filter for the new ratio there (a few
//   milliseconds for a ratio above 1; the filter of the ratios up to 1 is built once
//   per process and shared read-only by every converter) and hands it over through an
//   atomic pointer; the audio thread takes it up at its next call, the output position
//   carrying on from where it stood, so the output runs on without a jump. The filter
//   the audio thread lets go of is freed by the next setRatio() or the destructor,
//   never on the audio thread. ratio(), delayFrames() and channels() may be read from
//   any thread.
//
// Latency: the output lags the input by delayFrames() input frames (the kernel's half
// span: 72 for ratios up to 1, ceil(72 x ratio) above) until finish() drains them.
//
// Cost per output frame: 2 x delayFrames() taps, each one multiply-add to interpolate
// the coefficient and one per channel (144 taps up to ratio 1, 576 at ratio 4).
// Memory: about 6.4 KB of history per channel; the shared filter of ratios up to 1 is
// 590 KB; a filter above 1 is 4 KB x 2 x ceil(72 x ratio) (2.4 MB at ratio 4), and a
// converter keeps the last one it built for reuse.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class Resampler {
 public:
  static constexpr double kMinRatio = 0.25;  // input frames per output frame, at least
  static constexpr double kMaxRatio = 4.0;   // and at most
  static constexpr int kPhases = 512;        // filter phases per input frame

  // A converter for `channels` (1 or 2) interleaved channels at `ratio` input frames per
  // output frame; null when an argument is out of range or memory runs out. Set-up.
  static std::unique_ptr<Resampler> create(int channels, double ratio);

  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // Sets the ratio from the next call of the audio thread on (see Threads). Returns
  // false, changing nothing, when the ratio is outside kMinRatio .. kMaxRatio or not a
  // number, or the filter could not be allocated. Control thread.
  bool setRatio(double ratio);

  // The ratio last set, and the input frames held back at it. Any thread.
  double ratio() const { return latestRatio_.load(std::memory_order_acquire); }
  int delayFrames() const;
  int channels() const { return channels_; }

  // Room in frames that one process() call of `inputFrames` frames (or a finish(), with
  // 0) needs at most at `ratio`; -1 when inputFrames is negative, the ratio out of range
  // or the room beyond an int's reach. A caller that lets another thread change the
  // ratio sizes its output for kMinRatio, or for the lowest ratio it sets.
  static int maxOutputFrames(int inputFrames, double ratio);

  // True once the current stream has gone through process(); pass() keeps it false,
  // finish() and reset() set it back.
  bool engaged() const { return engaged_; }

  // Forgets the stream: the history becomes silence, the next input frame is frame 0,
  // and a ratio set meanwhile is taken up.
  void reset();

  // Takes frames that are played unconverted: they become the filter's history, and
  // the next output frame lines up with the next input frame, so that a stream can start
  // converting in the middle without a click.
  void pass(const float* in, int frames);

  // Converts `frames` interleaved frames (any number) into `out`, which has room for
  // outCapacityFrames frames. Returns the frames written, or -1 when the room is less
  // than maxOutputFrames(frames, ratio in force) or an argument is invalid; then nothing
  // of the input is taken.
  int process(const float* in, int frames, float* out, int outCapacityFrames);

  // Ends the stream: writes the output frames still owed (the input is taken as silent
  // past its end) and resets the converter. Writes nothing if the stream never went
  // through process(). Returns the frames written, or -1 (changing nothing) when the
  // room is less than maxOutputFrames(0, ratio in force).
  int finish(float* out, int outCapacityFrames);

 private:
  struct Kernel;
  struct Plan;

  static std::unique_ptr<Kernel> buildKernel(double ratio);
  static const Kernel* upsamplingKernel();

  explicit Resampler(int channels);
  Plan* buildPlan(double ratio);
  void freePlan(Plan* plan);
  void freeRetired();
  void takeUpPlan(bool carryPosition);
  bool hasRoom(int inputFrames, int outCapacityFrames) const;
  void makeRoom(int frames);
  void padSilence();
  int compute(float* out, int limit, int64_t end);

  const int channels_;
  const int capacityFrames_;
  std::unique_ptr<float[]> history_;

  // Hand-over from setRatio() to the audio thread.
  std::mutex setRatioTurn_;              // control threads only
  Kernel* lastDownsampling_ = nullptr;   // under setRatioTurn_, kept for reuse
  std::atomic<Plan*> pending_{nullptr};  // set, not yet taken up
  std::atomic<Plan*> retired_{nullptr};  // let go of, to free (a stack)
  std::atomic<double> latestRatio_{1.0};

  // Processing state, owned by the audio thread.
  Plan* plan_ = nullptr;
  int64_t historyStart_ = 0;  // input frame of history_[0]; negative frames are silence
  int historyFrames_ = 0;
  int64_t originFrame_ = 0;  // output position: originFrame_ + originFraction_ + made_ x ratio
  double originFraction_ = 0.0;
  int64_t made_ = 0;
  bool engaged_ = false;
};

#include "resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace {

// Half the kernel's span in frames of the lower of the two rates, and its Kaiser window's
// shape: the transition from 0.9 to 1.0 of the lower Nyquist frequency, 110 dB down beyond.
constexpr int kHalfSpan = 72;
constexpr double kKaiserBeta = 0.1102 * (110 - 8.7);
constexpr double kPassEdge = 0.9;
// Input frames taken per round: the history holds this much besides the kernel's span.
constexpr int kChunkFrames = 1024;
constexpr int kMaxHalf = 288;  // ceil(kHalfSpan x kMaxRatio)
static_assert(kMaxHalf == kHalfSpan * 4);
constexpr int64_t kNoEnd = std::numeric_limits<int64_t>::max();

constexpr double kPi = 3.141592653589793;

double besselI0(double x) {
  double sum = 1;
  double term = 1;
  const double quarter = x * x / 4;
  for (int k = 1; term > 1e-17 * sum; k++) {
    term *= quarter / (static_cast<double>(k) * k);
    sum += term;
  }
  return sum;
}

int halfSpan(double ratio) { return static_cast<int>(std::ceil(kHalfSpan * std::max(1.0, ratio))); }

// One output frame from `taps` frames of x, with the coefficients of row c moved `weight`
// of the way to the next row (d holds the differences). Four partial sums per channel keep
// the multiply-adds independent of each other.
float mono(const float* c, const float* d, float weight, const float* x, int taps) {
  float sum0 = 0, sum1 = 0, sum2 = 0, sum3 = 0;
  int k = 0;
  for (; k + 3 < taps; k += 4) {
    sum0 += (c[k] + weight * d[k]) * x[k];
    sum1 += (c[k + 1] + weight * d[k + 1]) * x[k + 1];
    sum2 += (c[k + 2] + weight * d[k + 2]) * x[k + 2];
    sum3 += (c[k + 3] + weight * d[k + 3]) * x[k + 3];
  }
  for (; k < taps; k++) sum0 += (c[k] + weight * d[k]) * x[k];
  return (sum0 + sum1) + (sum2 + sum3);
}

void stereo(const float* c, const float* d, float weight, const float* x, int taps, float* out) {
  float left0 = 0, left1 = 0, left2 = 0, left3 = 0;
  float right0 = 0, right1 = 0, right2 = 0, right3 = 0;
  int k = 0;
  for (; k + 3 < taps; k += 4) {
    const float* f = x + 2 * k;
    const float h0 = c[k] + weight * d[k];
    const float h1 = c[k + 1] + weight * d[k + 1];
    const float h2 = c[k + 2] + weight * d[k + 2];
    const float h3 = c[k + 3] + weight * d[k + 3];
    left0 += h0 * f[0];
    right0 += h0 * f[1];
    left1 += h1 * f[2];
    right1 += h1 * f[3];
    left2 += h2 * f[4];
    right2 += h2 * f[5];
    left3 += h3 * f[6];
    right3 += h3 * f[7];
  }
  for (; k < taps; k++) {
    const float h = c[k] + weight * d[k];
    left0 += h * x[2 * k];
    right0 += h * x[2 * k + 1];
  }
  out[0] = (left0 + left1) + (left2 + left3);
  out[1] = (right0 + right1) + (right2 + right3);
}

// The same when the phase falls on the row itself (integer ratios and their halves).
void stereoOnRow(const float* c, const float* x, int taps, float* out) {
  float left0 = 0, left1 = 0, left2 = 0, left3 = 0;
  float right0 = 0, right1 = 0, right2 = 0, right3 = 0;
  int k = 0;
  for (; k + 3 < taps; k += 4) {
    const float* f = x + 2 * k;
    left0 += c[k] * f[0];
    right0 += c[k] * f[1];
    left1 += c[k + 1] * f[2];
    right1 += c[k + 1] * f[3];
    left2 += c[k + 2] * f[4];
    right2 += c[k + 2] * f[5];
    left3 += c[k + 3] * f[6];
    right3 += c[k + 3] * f[7];
  }
  for (; k < taps; k++) {
    left0 += c[k] * x[2 * k];
    right0 += c[k] * x[2 * k + 1];
  }
  out[0] = (left0 + left1) + (left2 + left3);
  out[1] = (right0 + right1) + (right2 + right3);
}

}  // namespace

// The filter of one ratio: kPhases rows of `taps` coefficients, row r holding the kernel at
// offsets k - half + 1 - r / kPhases from the output position (k = 0 .. taps - 1), and the
// difference to the next row, so that a fractional phase costs one multiply-add per tap.
// A filter above ratio 1 belongs to the plans that use it and to the converter's reuse
// slot: `users` counts them, and only control threads (under the set-up mutex) and the
// destructor change it, so the audio thread never frees one.
struct Resampler::Kernel {
  double ratio = 1.0;
  int half = 0;
  int taps = 0;
  std::vector<float> coefficients;
  std::vector<float> slopes;
  int users = 0;
};

struct Resampler::Plan {
  double ratio;
  Kernel* kernel;  // null: the shared filter of the ratios up to 1
  Plan* nextRetired = nullptr;
  const Kernel& filter() const { return kernel != nullptr ? *kernel : *upsamplingKernel(); }
};

std::unique_ptr<Resampler::Kernel> Resampler::buildKernel(double ratio) {
  auto kernel = std::make_unique<Kernel>();
  const double stretch = std::max(1.0, ratio);
  const int half = halfSpan(ratio);
  const int taps = 2 * half;
  kernel->ratio = ratio;
  kernel->half = half;
  kernel->taps = taps;
  // Cut-off in cycles per input frame, midway through the transition band.
  const double cutoff = 0.5 * (1 + kPassEdge) / 2 / stretch;
  const double norm = besselI0(kKaiserBeta);
  auto row = [&](int r, std::vector<double>& to) {
    for (int k = 0; k < taps; k++) {
      const double t = (k - half + 1) - static_cast<double>(r) / kPhases;
      const double u = t / half;
      const double window = u * u < 1 ? besselI0(kKaiserBeta * std::sqrt(1 - u * u)) / norm : 0;
      const double x = 2 * cutoff * t;
      const double sinc = x == 0 ? 1 : std::sin(kPi * x) / (kPi * x);
      to[k] = 2 * cutoff * sinc * window;
    }
  };
  kernel->coefficients.resize(static_cast<size_t>(kPhases) * taps);
  kernel->slopes.resize(static_cast<size_t>(kPhases) * taps);
  std::vector<double> current(taps), next(taps);
  row(0, current);
  for (int r = 0; r < kPhases; r++) {
    row(r + 1, next);
    for (int k = 0; k < taps; k++) {
      kernel->coefficients[static_cast<size_t>(r) * taps + k] = static_cast<float>(current[k]);
      kernel->slopes[static_cast<size_t>(r) * taps + k] = static_cast<float>(next[k] - current[k]);
    }
    current.swap(next);
  }
  return kernel;
}

// Every ratio up to 1 filters at the input's own Nyquist frequency: one table for all of
// them, built on first use and then only read.
const Resampler::Kernel* Resampler::upsamplingKernel() {
  static const std::unique_ptr<const Kernel> shared = buildKernel(1.0);
  return shared.get();
}

Resampler::Resampler(int channels)
    : channels_(channels),
      capacityFrames_(2 * kMaxHalf + 2 + kChunkFrames),
      history_(new float[static_cast<size_t>(capacityFrames_) * channels]) {}

std::unique_ptr<Resampler> Resampler::create(int channels, double ratio) {
  if ((channels != 1 && channels != 2) || !(ratio >= kMinRatio && ratio <= kMaxRatio)) {
    return nullptr;
  }
  try {
    std::unique_ptr<Resampler> resampler(new Resampler(channels));
    resampler->plan_ = resampler->buildPlan(ratio);
    resampler->latestRatio_.store(ratio, std::memory_order_release);
    resampler->reset();
    return resampler;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

Resampler::~Resampler() {
  freePlan(plan_);
  freePlan(pending_.load(std::memory_order_acquire));
  freeRetired();
  if (lastDownsampling_ != nullptr && --lastDownsampling_->users == 0) delete lastDownsampling_;
}

// Set-up: under setRatioTurn_, or in create() before the converter is shared.
Resampler::Plan* Resampler::buildPlan(double ratio) {
  auto plan = std::make_unique<Plan>(Plan{ratio, nullptr});
  if (ratio > 1) {
    if (lastDownsampling_ == nullptr || lastDownsampling_->ratio != ratio) {
      Kernel* built = buildKernel(ratio).release();
      built->users = 1;  // the reuse slot
      if (lastDownsampling_ != nullptr && --lastDownsampling_->users == 0) delete lastDownsampling_;
      lastDownsampling_ = built;
    }
    plan->kernel = lastDownsampling_;
    plan->kernel->users++;
  } else {
    upsamplingKernel();  // built here, on the set-up side, the first time
  }
  return plan.release();
}

void Resampler::freePlan(Plan* plan) {
  if (plan == nullptr) return;
  if (plan->kernel != nullptr && --plan->kernel->users == 0) delete plan->kernel;
  delete plan;
}

bool Resampler::setRatio(double ratio) {
  if (!(ratio >= kMinRatio && ratio <= kMaxRatio)) return false;
  std::lock_guard<std::mutex> turn(setRatioTurn_);
  freeRetired();
  if (latestRatio_.load(std::memory_order_relaxed) == ratio) return true;
  Plan* plan;
  try {
    plan = buildPlan(ratio);
  } catch (const std::bad_alloc&) {
    return false;
  }
  // A plan set before and not yet taken up was never seen by the audio thread.
  freePlan(pending_.exchange(plan, std::memory_order_acq_rel));
  latestRatio_.store(ratio, std::memory_order_release);
  return true;
}

void Resampler::freeRetired() {
  Plan* plan = retired_.exchange(nullptr, std::memory_order_acquire);
  while (plan != nullptr) {
    Plan* next = plan->nextRetired;
    freePlan(plan);
    plan = next;
  }
}

int Resampler::delayFrames() const { return halfSpan(ratio()); }

int Resampler::maxOutputFrames(int inputFrames, double ratio) {
  if (inputFrames < 0 || !(ratio >= kMinRatio && ratio <= kMaxRatio)) return -1;
  const double frames = std::ceil((static_cast<double>(inputFrames) + kMaxHalf + 2.0) / ratio) + 1;
  if (frames > std::numeric_limits<int>::max() / 2) return -1;
  return static_cast<int>(frames);
}

// Takes up a ratio set since the last call; with carryPosition the output position runs on
// from where it stood. The plan let go of goes on the stack that setRatio() frees.
void Resampler::takeUpPlan(bool carryPosition) {
  if (pending_.load(std::memory_order_relaxed) == nullptr) return;
  Plan* next = pending_.exchange(nullptr, std::memory_order_acquire);
  if (next == nullptr) return;
  if (carryPosition) {
    const double position = originFraction_ + static_cast<double>(made_) * plan_->ratio;
    const double whole = std::floor(position);
    originFrame_ += static_cast<int64_t>(whole);
    originFraction_ = position - whole;
    made_ = 0;
  }
  Plan* old = plan_;
  plan_ = next;
  old->nextRetired = retired_.load(std::memory_order_relaxed);
  while (!retired_.compare_exchange_weak(old->nextRetired, old, std::memory_order_release,
                                         std::memory_order_relaxed)) {
  }
}

bool Resampler::hasRoom(int inputFrames, int outCapacityFrames) const {
  const int need = maxOutputFrames(inputFrames, plan_->ratio);
  return need >= 0 && outCapacityFrames >= need;
}

void Resampler::reset() {
  takeUpPlan(false);
  std::fill_n(history_.get(), static_cast<size_t>(capacityFrames_) * channels_, 0.0f);
  historyStart_ = -kMaxHalf;
  historyFrames_ = kMaxHalf;
  originFrame_ = 0;
  originFraction_ = 0;
  made_ = 0;
  engaged_ = false;
}

void Resampler::pass(const float* in, int frames) {
  if (in == nullptr || frames <= 0) return;
  const int keep = std::min(frames, kMaxHalf);
  if (keep == kMaxHalf) {
    historyStart_ += static_cast<int64_t>(historyFrames_) + frames - kMaxHalf;
    historyFrames_ = 0;
  } else {
    makeRoom(keep);
  }
  std::memcpy(history_.get() + static_cast<size_t>(historyFrames_) * channels_,
              in + static_cast<size_t>(frames - keep) * channels_,
              sizeof(float) * keep * channels_);
  historyFrames_ += keep;
  originFrame_ = historyStart_ + historyFrames_;
  originFraction_ = 0;
  made_ = 0;
}

int Resampler::process(const float* in, int frames, float* out, int outCapacityFrames) {
  if (frames < 0 || (frames > 0 && in == nullptr) || out == nullptr) return -1;
  takeUpPlan(true);
  if (!hasRoom(frames, outCapacityFrames)) return -1;
  int written = 0;
  for (int done = 0; done < frames;) {
    const int take = std::min(frames - done, kChunkFrames);
    engaged_ = true;
    makeRoom(take);
    std::memcpy(history_.get() + static_cast<size_t>(historyFrames_) * channels_,
                in + static_cast<size_t>(done) * channels_, sizeof(float) * take * channels_);
    historyFrames_ += take;
    done += take;
    written += compute(out + static_cast<size_t>(written) * channels_, outCapacityFrames - written,
                       kNoEnd);
  }
  return written;
}

int Resampler::finish(float* out, int outCapacityFrames) {
  int written = 0;
  if (engaged_) {
    takeUpPlan(true);
    if (out == nullptr || !hasRoom(0, outCapacityFrames)) return -1;
    const int64_t end = historyStart_ + historyFrames_;
    padSilence();
    written = compute(out, outCapacityFrames, end);
  }
  reset();
  return written;
}

// Silence past the end, as much as the filter's half span reads.
void Resampler::padSilence() {
  const int frames = kMaxHalf + 1;
  makeRoom(frames);
  std::fill_n(history_.get() + static_cast<size_t>(historyFrames_) * channels_,
              static_cast<size_t>(frames) * channels_, 0.0f);
  historyFrames_ += frames;
}

// Drops the history the next output frame no longer reads, so that `frames` more fit.
void Resampler::makeRoom(int frames) {
  if (historyFrames_ + frames <= capacityFrames_) return;
  const double position = originFraction_ + static_cast<double>(made_) * plan_->ratio;
  const int64_t firstNeeded = originFrame_ + static_cast<int64_t>(std::floor(position)) - kMaxHalf;
  const int drop = static_cast<int>(
      std::max<int64_t>(0, std::min<int64_t>(historyFrames_, firstNeeded - historyStart_)));
  std::memmove(history_.get(), history_.get() + static_cast<size_t>(drop) * channels_,
               sizeof(float) * (historyFrames_ - drop) * channels_);
  historyStart_ += drop;
  historyFrames_ -= drop;
}

// Computes into `out` every output frame (at most `limit`) that the history allows and,
// unless `end` is kNoEnd, whose span ends by input frame `end`.
int Resampler::compute(float* out, int limit, int64_t end) {
  const Kernel& kernel = plan_->filter();
  const double ratio = plan_->ratio;
  const int half = kernel.half;
  const int taps = kernel.taps;
  const int64_t available = historyStart_ + historyFrames_;
  int frames = 0;
  while (frames < limit) {
    const double position = originFraction_ + static_cast<double>(made_) * ratio;
    const double whole = std::floor(position);
    const int64_t frame = originFrame_ + static_cast<int64_t>(whole);
    const double fraction = position - whole;
    if (frame + half >= available) break;
    if (end != kNoEnd && static_cast<double>(frame - end) + fraction + ratio / 2 > 0) break;
    const double phase = fraction * kPhases;
    const int row = static_cast<int>(phase);
    const float weight = static_cast<float>(phase - row);
    const float* c = kernel.coefficients.data() + static_cast<size_t>(row) * taps;
    const float* d = kernel.slopes.data() + static_cast<size_t>(row) * taps;
    const float* x = history_.get() + (frame - half + 1 - historyStart_) * channels_;
    float* o = out + static_cast<size_t>(frames) * channels_;
    if (channels_ == 1) {
      o[0] = mono(c, d, weight, x, taps);
    } else if (weight != 0) {
      stereo(c, d, weight, x, taps, o);
    } else {
      stereoOnRow(c, x, taps, o);
    }
    frames++;
    made_++;
  }
  return frames;
}

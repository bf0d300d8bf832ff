#include "eq.h"

void Equaliser::init(int bands) {
  if (initialized_) return;
  initialized_ = true;
  const int count = bands > 0 ? bands : 0;
  gains_ = std::make_unique<float[]>(count > 0 ? count : 1);
  for (int i = 0; i < count; i++) gains_[i] = 1.0f;
  size_.store(count, std::memory_order_release);
}

void Equaliser::enable(int enabled) { active_.store(enabled, std::memory_order_relaxed); }

int Equaliser::isEnabled() const { return active_.load(std::memory_order_relaxed) != 0 ? 1 : 0; }

void Equaliser::setBands(const float* bands) {
  const int count = size_.load(std::memory_order_acquire);
  for (int i = 0; i < count; i++) {
    std::atomic_ref<float>(gains_[i]).store(bands[i], std::memory_order_relaxed);
  }
}

int Equaliser::size() const { return size_.load(std::memory_order_acquire); }

float Equaliser::gain(int bin) const {
  // The audio thread: the table was set up before its stream (relaxed).
  if (bin >= size_.load(std::memory_order_relaxed)) return 1.0f;
  return std::atomic_ref<float>(gains_[bin]).load(std::memory_order_relaxed);
}

void Equaliser::copyGains(float* dest, int count) const {
  const int bands = size_.load(std::memory_order_relaxed);
  const int stored = count < bands ? count : bands;
  for (int i = 0; i < stored; i++) {
    dest[i] = std::atomic_ref<float>(gains_[i]).load(std::memory_order_relaxed);
  }
  for (int i = stored > 0 ? stored : 0; i < count; i++) dest[i] = 1.0f;
}

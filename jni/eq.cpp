#include "eq.h"

#include <atomic>

#include "testing.h"

float* eqBands = nullptr;
// Published after the table it counts: a control thread that sets gains during the
// first eq_init() sees either no table (0) or the whole table.
std::atomic<int> nBands{0};

namespace {
std::atomic<int> eqActive{0};
bool initialized = false;
}  // namespace

void eq_init(int pNBands) {
  if (initialized) return;
  initialized = true;
  const int count = pNBands > 0 ? pNBands : 0;
  delete[] eqBands;
  eqBands = new float[count > 0 ? count : 1];
  for (int i = 0; i < count; i++) eqBands[i] = 1.0f;
  nBands.store(count, std::memory_order_release);
}

void eq_enable(int enabled) { eqActive.store(enabled, std::memory_order_relaxed); }

int eq_is_enabled() { return eqActive.load(std::memory_order_relaxed) != 0 ? 1 : 0; }

void eq_setbands(const float* bands) {
  const int count = nBands.load(std::memory_order_acquire);
  for (int i = 0; i < count; i++) {
    std::atomic_ref<float>(eqBands[i]).store(bands[i], std::memory_order_relaxed);
  }
}

int eq_size() { return nBands.load(std::memory_order_acquire); }

float eq_gain(int bin) {
  // The audio thread: the table was set up before its stream (relaxed).
  if (bin >= nBands.load(std::memory_order_relaxed)) return 1.0f;
  return std::atomic_ref<float>(eqBands[bin]).load(std::memory_order_relaxed);
}

void eq_copy_gains(float* dest, int count) {
  const int bands = nBands.load(std::memory_order_relaxed);
  const int stored = count < bands ? count : bands;
  for (int i = 0; i < stored; i++) {
    dest[i] = std::atomic_ref<float>(eqBands[i]).load(std::memory_order_relaxed);
  }
  for (int i = stored > 0 ? stored : 0; i < count; i++) dest[i] = 1.0f;
}

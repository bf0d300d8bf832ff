#include "eq.h"

#include <atomic>

#include "testing.h"

float* eqBands = nullptr;
int nBands = 0;

namespace {
std::atomic<int> eqActive{0};
bool initialized = false;
}  // namespace

void eq_init(int pNBands) {
  if (initialized) return;
  initialized = true;
  nBands = pNBands > 0 ? pNBands : 0;
  delete[] eqBands;
  eqBands = new float[nBands > 0 ? nBands : 1];
  for (int i = 0; i < nBands; i++) eqBands[i] = 1.0f;
}

void eq_enable(int enabled) { eqActive.store(enabled, std::memory_order_relaxed); }

int eq_is_enabled() { return eqActive.load(std::memory_order_relaxed) != 0 ? 1 : 0; }

void eq_setbands(const float* bands) {
  for (int i = 0; i < nBands; i++) {
    std::atomic_ref<float>(eqBands[i]).store(bands[i], std::memory_order_relaxed);
  }
}

int eq_size() { return nBands; }

float eq_gain(int bin) {
  if (bin >= nBands) return 1.0f;
  return std::atomic_ref<float>(eqBands[bin]).load(std::memory_order_relaxed);
}

void eq_copy_gains(float* dest, int count) {
  const int stored = count < nBands ? count : nBands;
  for (int i = 0; i < stored; i++) {
    dest[i] = std::atomic_ref<float>(eqBands[i]).load(std::memory_order_relaxed);
  }
  for (int i = stored > 0 ? stored : 0; i < count; i++) dest[i] = 1.0f;
}

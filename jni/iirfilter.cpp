#include "iirfilter.h"

#include <cstring>
#include <thread>

#include "testing.h"

namespace {

void release(iirFilter& filter) {
  delete[] filter.a;
  delete[] filter.b;
  delete[] filter.buf1;
  delete[] filter.buf2;
  filter = iirFilter{};
}

}  // namespace

IirFilters::~IirFilters() {
  release(left_);
  release(right_);
}

// Raises the setup flag for one control thread at a time: a second one waits here for
// the first to finish its replacement (an allocation, two copies and at most one step
// of each channel), so that two never free and reallocate the same arrays. The compare-
// and-set is sequentially consistent, like the store it stands for in the hand-over.
void IirFilters::beginSetup() {
  int idle = 0;
  while (!inSetup_.compare_exchange_weak(idle, 1)) {
    idle = 0;
    std::this_thread::yield();
  }
}

void IirFilters::init() {
  if (initialized_) return;
  initialized_ = true;
  // Coefficients sent before the first set-up are discarded with their arrays.
  beginSetup();
  release(left_);
  release(right_);
  inSetup_.store(0);
}

void iir_init_filter(iirFilter& filter, const double* ca, const double* cb, int sizeA, int sizeB) {
  delete[] filter.a;
  delete[] filter.b;
  filter.a = new double[sizeA];
  filter.b = new double[sizeB];
  std::memcpy(filter.a, ca, sizeof(double) * sizeA);
  std::memcpy(filter.b, cb, sizeof(double) * sizeB);

  delete[] filter.buf1;
  delete[] filter.buf2;
  filter.n2 = sizeA - 1;
  filter.n1 = sizeB - 1;
  filter.buf1 = new double[filter.n1]();
  filter.buf2 = new double[filter.n2]();

  filter.pos1 = 0;
  filter.pos2 = 0;
}

// Setting the flag before testing a mark, and the step raising its mark before
// testing the flag, both with sequentially consistent operations, guarantee that at
// least one side sees the other: either the step passes through, or the setup waits
// for it to finish. A record is therefore never rewritten while its step reads it.
// Both raise theirs with a read-modify-write (the compare-and-set, the exchange in
// step and clearHistory) rather than a plain store: it costs the same as a sequentially consistent
// store on x86-64 and aarch64, and it keeps the order where a weaker emulation of
// store-release then load-acquire (qemu-user on an x86-64 host) would let the load
// pass the store.
void IirFilters::load(const double* ca, const double* cb, int sizeA, int sizeB) {
  beginSetup();
  while (inProcess_[0].load() != 0) {
  }
  iir_init_filter(left_, ca, cb, sizeA, sizeB);
  while (inProcess_[1].load() != 0) {
  }
  iir_init_filter(right_, ca, cb, sizeA, sizeB);
  inSetup_.store(0);
}

double IirFilters::step(int channel, double inputValue) {
  const int c = channel == 0 ? 0 : 1;
  iirFilter& f = c == 0 ? left_ : right_;

  inProcess_[c].exchange(1);
  // The record is read only after the flag test; a record without coefficients
  // (voice removal switched on before the host sent a filter) passes through.
  if (inSetup_.load() != 0 || f.b == nullptr) {
    inProcess_[c].store(0);
    return inputValue;
  }

  const double x = inputValue;
  double y = f.b[0] * x;
  // j = 1 is the most recent past value, j = n the oldest: position pos - j mod n.
  for (int j = 1, i = f.pos1 - 1; j <= f.n1; ++j, --i) {
    if (i < 0) i += f.n1;
    y += f.b[j] * f.buf1[i];
  }
  for (int j = 1, i = f.pos2 - 1; j <= f.n2; ++j, --i) {
    if (i < 0) i += f.n2;
    y -= f.a[j] * f.buf2[i];
  }

  if (f.n1 > 0) {
    f.buf1[f.pos1] = x;
    if (++f.pos1 == f.n1) f.pos1 = 0;
  }
  if (f.n2 > 0) {
    f.buf2[f.pos2] = y;
    if (++f.pos2 == f.n2) f.pos2 = 0;
  }

  inProcess_[c].store(0);
  return y;
}

void IirFilters::clearHistory(int channel) {
  const int c = channel == 0 ? 0 : 1;
  iirFilter& f = c == 0 ? left_ : right_;
  inProcess_[c].exchange(1);
  // A replacement under way starts the record from an empty history anyway.
  if (inSetup_.load() == 0) {
    for (int i = 0; i < f.n1; ++i) f.buf1[i] = 0.0;
    for (int i = 0; i < f.n2; ++i) f.buf2[i] = 0.0;
    f.pos1 = 0;
    f.pos2 = 0;
  }
  inProcess_[c].store(0);
}

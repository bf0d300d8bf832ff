#include "iirfilter.h"

#include <cstring>
#include <thread>

#include "testing.h"

iirFilter iirLeft;
iirFilter iirRight;
std::atomic<int> inFilterSetup{0};
std::atomic<int> inFilterProcess[2] = {0, 0};

static int initialized = 0;

// Raises inFilterSetup for one control thread at a time: a second one waits here for
// the first to finish its replacement (an allocation, two copies and at most one step
// of each channel), so that two never free and reallocate the same arrays. The compare-
// and-set is sequentially consistent, like the store it stands for in the hand-over.
static void beginSetup() {
  int idle = 0;
  while (!inFilterSetup.compare_exchange_weak(idle, 1)) {
    idle = 0;
    std::this_thread::yield();
  }
}

void iir_init() {
  if (initialized) return;
  initialized = 1;
  // Coefficients sent before the first set-up are discarded with their arrays.
  beginSetup();
  for (iirFilter* filter : {&iirLeft, &iirRight}) {
    delete[] filter->a;
    delete[] filter->b;
    delete[] filter->buf1;
    delete[] filter->buf2;
    *filter = iirFilter{};
  }
  inFilterSetup.store(0);
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
void iir_init_filters(const double* ca, const double* cb, int sizeA, int sizeB) {
  beginSetup();
  while (inFilterProcess[0].load() != 0) {
  }
  iir_init_filter(iirLeft, ca, cb, sizeA, sizeB);
  while (inFilterProcess[1].load() != 0) {
  }
  iir_init_filter(iirRight, ca, cb, sizeA, sizeB);
  inFilterSetup.store(0);
}

double iir_step(int channel, double inputValue) {
  const int c = channel == 0 ? 0 : 1;
  iirFilter& f = c == 0 ? iirLeft : iirRight;

  inFilterProcess[c].store(1);
  // The record is read only after the flag test; a record without coefficients
  // (voice removal switched on before the host sent a filter) passes through.
  if (inFilterSetup.load() != 0 || f.b == nullptr) {
    inFilterProcess[c].store(0);
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

  inFilterProcess[c].store(0);
  return y;
}

void iir_clear_history(int channel) {
  const int c = channel == 0 ? 0 : 1;
  iirFilter& f = c == 0 ? iirLeft : iirRight;
  inFilterProcess[c].store(1);
  // A replacement under way starts the record from an empty history anyway.
  if (inFilterSetup.load() == 0) {
    for (int i = 0; i < f.n1; ++i) f.buf1[i] = 0.0;
    for (int i = 0; i < f.n2; ++i) f.buf2[i] = 0.0;
    f.pos1 = 0;
    f.pos2 = 0;
  }
  inFilterProcess[c].store(0);
}

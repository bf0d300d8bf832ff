// eq: per-bin equaliser gains read by the vocoder's synthesis.
//
// An Equaliser owns one linear gain per FFT bin (index = bin number) and an on/off
// switch; each stream's engine has its own. The table is sized by the first init()
// (frameSize / 2 gains, all 1.0) and keeps that size for the life of the object. The
// control thread writes gains and the switch; the audio thread reads them, without
// locks: a frame synthesised during setBands() may mix old and new gains. Gains are
// stored through std::atomic_ref so that this is well-defined. Allocation happens only
// in the first init(); the table's size is published after the table, so gains set on
// another thread during it are dropped (the size still reads 0) or land in the finished
// table. The destructor frees the table.
#pragma once

#include <atomic>
#include <memory>

class Equaliser {
 public:
  Equaliser() = default;
  Equaliser(const Equaliser&) = delete;
  Equaliser& operator=(const Equaliser&) = delete;

  // First call only: allocate `bands` gains, all 1.0. Later calls do nothing.
  void init(int bands);

  // Switch the equaliser on (non-zero) or off (0).
  void enable(int enabled);

  // 1 when the switch is non-zero, else 0.
  int isEnabled() const;

  // Copy the first size() values of bands into the table; nothing when size() is 0.
  // bands must hold at least size() floats.
  void setBands(const float* bands);

  // Number of gains in the table (0 before the first init()).
  int size() const;

  // Gain of one bin, read atomically (relaxed); bins at or above size() get 1.0.
  float gain(int bin) const;

  // The gains of bins 0 .. count - 1 as gain() gives them, into dest (for the
  // vectorised synthesis, which reads them from a plain array).
  void copyGains(float* dest, int count) const;

 private:
  std::unique_ptr<float[]> gains_;
  // Published after the table it counts: a control thread that sets gains during the
  // first init() sees either no table (0) or the whole table.
  std::atomic<int> size_{0};
  std::atomic<int> active_{0};
  bool initialized_ = false;
};

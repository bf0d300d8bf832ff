// eq: per-bin equaliser gains read by the vocoder's synthesis.
//
// One linear gain per FFT bin (index = bin number) and an on/off switch. The table
// is sized by the first eq_init() (frameSize / 2 gains, all 1.0) and keeps that size
// for the life of the process. The control thread writes gains and the switch; the
// audio thread reads them, without locks: a frame synthesised during eq_setbands()
// may mix old and new gains. Gains are stored through std::atomic_ref so that this
// is well-defined. Allocation happens only in the first eq_init(); the table's size is
// published after the table, so gains set on another thread during it are dropped
// (the size still reads 0) or land in the finished table.
#pragma once

// First call only: allocate pNBands gains, all 1.0. Later calls do nothing.
void eq_init(int pNBands);

// Switch the equaliser on (non-zero) or off (0).
void eq_enable(int enabled);

// 1 when the switch is non-zero, else 0.
int eq_is_enabled();

// Copy the first nBands values of bands into the table; nothing when nBands <= 0.
// bands must hold at least nBands floats.
void eq_setbands(const float* bands);

// Number of gains in the table (0 before the first eq_init()).
int eq_size();

// Gain of one bin, read atomically (relaxed); bins at or above eq_size() get 1.0.
float eq_gain(int bin);

// The gains of bins 0 .. count - 1 as eq_gain() gives them, into dest (for the
// vectorised synthesis, which reads them from a plain array).
void eq_copy_gains(float* dest, int count);

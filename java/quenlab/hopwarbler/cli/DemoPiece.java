package quenlab.hopwarbler.cli;

import java.util.Random;

/**
 * The demo's synthesised piece: four bars at 120 beats per minute, repeated to the length asked
 * for, of a stereo chord pad (C, Am, F, G, its notes spread to the left and the right), a drum
 * pattern (kick in the centre on beats 1 and 3, snare a little right on 2 and 4, hi-hat left on
 * every eighth) and a melody panned to the centre, with harmonics and vibrato, standing in for a
 * voice. Deterministic: the noise comes from a fixed seed.
 */
final class DemoPiece {
  static final long SEED = 20240613L;
  private static final double BEAT = 0.5;
  private static final int[][] CHORDS = {
      {48, 52, 55, 60}, {45, 48, 52, 57}, {41, 45, 48, 53}, {43, 47, 50, 55}};
  // One melody note per beat, four beats per bar, as MIDI note numbers.
  private static final int[] MELODY = {
      64, 67, 72, 67, 69, 72, 76, 72, 65, 69, 72, 74, 67, 71, 74, 71};
  private static final double PEAK = 0.7;

  /** Interleaved stereo samples. */
  final short[] stereo;

  /** The melody alone as it sits in each channel, on the same sample scale as {@link #stereo}. */
  final double[] melody;

  final int sampleRate;

  private DemoPiece(short[] stereo, double[] melody, int sampleRate) {
    this.stereo = stereo;
    this.melody = melody;
    this.sampleRate = sampleRate;
  }

  int frames() {
    return melody.length;
  }

  static DemoPiece synthesize(int sampleRate, double seconds) {
    int frames = (int) Math.round(seconds * sampleRate);
    double[] left = new double[frames];
    double[] right = new double[frames];
    double[] melody = new double[frames];
    Random noise = new Random(SEED);
    int beats = (int) Math.ceil(seconds / BEAT);
    for (int beat = 0; beat < beats; beat++) {
      int bar = beat / 4;
      double start = beat * BEAT;
      if (beat % 4 == 0)
        pad(left, right, sampleRate, start, 4 * BEAT, CHORDS[bar % 4]);
      if (beat % 2 == 0) {
        kick(left, right, sampleRate, start);
      } else {
        snare(left, right, sampleRate, start, noise);
      }
      hat(left, right, sampleRate, start, noise);
      hat(left, right, sampleRate, start + BEAT / 2, noise);
      note(melody, sampleRate, start, BEAT, MELODY[beat % MELODY.length]);
    }
    double peak = 1e-9;
    for (int i = 0; i < frames; i++) {
      left[i] += melody[i];
      right[i] += melody[i];
      peak = Math.max(peak, Math.max(Math.abs(left[i]), Math.abs(right[i])));
    }
    double scale = PEAK * 32767 / peak;
    short[] stereo = new short[2 * frames];
    for (int i = 0; i < frames; i++) {
      stereo[2 * i] = (short) Math.round(left[i] * scale);
      stereo[2 * i + 1] = (short) Math.round(right[i] * scale);
      melody[i] *= scale;
    }
    return new DemoPiece(stereo, melody, sampleRate);
  }

  static double midiToHz(int note) {
    return 440.0 * Math.pow(2, (note - 69) / 12.0);
  }

  private static void pad(
      double[] left, double[] right, int rate, double start, double length, int[] notes) {
    for (int k = 0; k < notes.length; k++) {
      double f = midiToHz(notes[k]);
      double l = k % 2 == 0 ? 0.9 : 0.35;
      double r = k % 2 == 0 ? 0.35 : 0.9;
      int from = (int) (start * rate);
      int to = Math.min(left.length, (int) ((start + length) * rate));
      for (int i = from; i < to; i++) {
        double t = (i - from) / (double) rate;
        double envelope = Math.min(1, t / 0.15) * Math.min(1, (length - t) / 0.3);
        double v = 0;
        for (int h = 1; h <= 3; h++) v += Math.sin(2 * Math.PI * f * h * t + k) / h;
        v *= 0.06 * envelope;
        left[i] += l * v;
        right[i] += r * v;
      }
    }
  }

  private static void kick(double[] left, double[] right, int rate, double start) {
    int from = (int) (start * rate);
    int to = Math.min(left.length, from + (int) (0.4 * rate));
    double phase = 0;
    for (int i = from; i < to; i++) {
      double t = (i - from) / (double) rate;
      phase += 2 * Math.PI * (45 + 65 * Math.exp(-t / 0.04)) / rate;
      double v = 0.5 * Math.exp(-t / 0.18) * Math.sin(phase);
      left[i] += v;
      right[i] += v;
    }
  }

  private static void snare(double[] left, double[] right, int rate, double start, Random noise) {
    int from = (int) (start * rate);
    int to = Math.min(left.length, from + (int) (0.25 * rate));
    for (int i = from; i < to; i++) {
      double t = (i - from) / (double) rate;
      double v = 0.18 * Math.exp(-t / 0.07) * (2 * noise.nextDouble() - 1)
          + 0.15 * Math.exp(-t / 0.05) * Math.sin(2 * Math.PI * 185 * t);
      left[i] += 0.7 * v;
      right[i] += v;
    }
  }

  private static void hat(double[] left, double[] right, int rate, double start, Random noise) {
    int from = (int) (start * rate);
    int to = Math.min(left.length, from + (int) (0.08 * rate));
    double previous = 0;
    for (int i = from; i < to; i++) {
      double t = (i - from) / (double) rate;
      double white = 2 * noise.nextDouble() - 1;
      double v = 0.08 * Math.exp(-t / 0.02) * (white - previous);
      previous = white;
      left[i] += v;
      right[i] += 0.5 * v;
    }
  }

  private static void note(double[] melody, int rate, double start, double length, int midi) {
    double f = midiToHz(midi);
    int from = (int) (start * rate);
    int to = Math.min(melody.length, (int) ((start + length) * rate));
    double phase = 0;
    for (int i = from; i < to; i++) {
      double t = (i - from) / (double) rate;
      double vibrato = t > 0.12 ? 0.003 * Math.sin(2 * Math.PI * 5.5 * (t - 0.12)) : 0;
      phase += 2 * Math.PI * f * (1 + vibrato) / rate;
      double envelope = Math.min(1, t / 0.02) * Math.min(1, (length - t) / 0.05);
      double v = Math.sin(phase) + 0.5 * Math.sin(2 * phase) + 0.3 * Math.sin(3 * phase)
          + 0.15 * Math.sin(4 * phase);
      melody[i] += 0.22 * envelope * v;
    }
  }
}

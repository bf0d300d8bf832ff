package quenlab.hopwarbler.bench;

import java.util.Random;

/** The deterministic signals of the benchmarks, as 16-bit PCM (what a user feeds the library). */
public final class BenchSignals {
  /** The partials of the steady tone, in Hz, each at amplitude {@link #PARTIAL_AMPLITUDE}. */
  public static final double[] PARTIALS_HZ = {220, 440, 660, 880};

  public static final double PARTIAL_AMPLITUDE = 0.2;

  /** Length of each noise burst in seconds. */
  public static final double BURST_SECONDS = 0.002;

  private BenchSignals() {}

  /** A steady mono tone of the four {@link #PARTIALS_HZ}. */
  public static short[] tone(int rate, double seconds) {
    short[] out = new short[(int) Math.round(seconds * rate)];
    for (int n = 0; n < out.length; n++) {
      double x = 0;
      for (int k = 0; k < PARTIALS_HZ.length; k++)
        x += PARTIAL_AMPLITUDE * Math.sin(2 * Math.PI * PARTIALS_HZ[k] * n / rate + 0.7 * k);
      out[n] = toSample(x);
    }
    return out;
  }

  /**
   * Mono silence with 2 ms bursts of white noise (amplitude 0.5) starting at {@code onsets}
   * (input frames), which fall at different places of any hop grid.
   */
  public static short[] bursts(int rate, long[] onsets, double seconds) {
    short[] out = new short[(int) Math.round(seconds * rate)];
    Random noise = new Random(0xb0257L);
    int length = (int) Math.round(BURST_SECONDS * rate);
    for (long onset : onsets) {
      for (int i = 0; i < length; i++) out[(int) onset + i] = toSample(noise.nextDouble() - 0.5);
    }
    return out;
  }

  /** Burst onsets for {@link #bursts}: one every 0.8 s from 0.5 s on, shifted by 97 frames more each. */
  public static long[] burstOnsets(int rate, int count) {
    long[] onsets = new long[count];
    for (int i = 0; i < count; i++) onsets[i] = Math.round((0.5 + 0.8 * i) * rate) + 97L * i;
    return onsets;
  }

  /**
   * Stereo music: a pad of chords with rich partials panned wide, a bass line, a drum kit (kick,
   * snare, hats) and a centre melody with vibrato, at 112 beats per minute; peaks near -3 dBFS.
   */
  public static short[] music(int rate, double seconds, long seed) {
    int frames = (int) Math.round(seconds * rate);
    double[] left = new double[frames];
    double[] right = new double[frames];
    Random random = new Random(seed);
    double beat = 60.0 / 112;
    int[][] chords = {{57, 60, 64, 67}, {53, 57, 60, 65}, {55, 59, 62, 67}, {52, 55, 60, 64}};
    int[] melody = {69, 71, 72, 74, 76, 74, 72, 71, 69, 67, 69, 72};
    for (int b = 0; b * beat < seconds; b++) {
      double t0 = b * beat;
      int[] chord = chords[(b / 4) % chords.length];
      if (b % 4 == 0) {
        for (int i = 0; i < chord.length; i++)
          note(left, right, rate, t0, 4 * beat, hz(chord[i]), 0.05, 0.2 + 0.2 * i, 8, 1.5);
        note(left, right, rate, t0, 2 * beat, hz(chord[0] - 24), 0.18, 0.5, 4, 3);
      }
      if (b % 2 == 1)
        note(left, right, rate, t0, beat, hz(chord[2] - 24), 0.14, 0.5, 4, 4);
      note(left, right, rate, t0 + 0.5 * beat, 0.45 * beat, hz(melody[b % melody.length]), 0.12,
          0.5, 6, 2.5);
      drum(left, right, rate, t0, b % 2 == 0 ? 0.5 : 0, 0.12, 0.5, 60, random);
      if (b % 2 == 1)
        drum(left, right, rate, t0, 0.25, 0.15, 0.45, 180, random);
      drum(left, right, rate, t0 + 0.5 * beat, 0, 0.03, 0.62, 0, random);
      drum(left, right, rate, t0, 0, 0.02, 0.4, 0, random);
    }
    short[] out = new short[2 * frames];
    for (int n = 0; n < frames; n++) {
      out[2 * n] = toSample(left[n]);
      out[2 * n + 1] = toSample(right[n]);
    }
    return out;
  }

  // A tone of `partials` harmonics falling off as 1/k, with an attack of 5 ms and an exponential
  // decay of rate `decay` per second, panned by `pan` (0 left, 1 right).
  private static void note(double[] left, double[] right, int rate, double start, double length,
      double hz, double amplitude, double pan, int partials, double decay) {
    int from = (int) (start * rate);
    int to = Math.min(left.length, (int) ((start + length) * rate));
    for (int n = from; n < to; n++) {
      double t = (double) (n - from) / rate;
      double envelope = amplitude * Math.min(1, t / 0.005) * Math.exp(-decay * t)
          * Math.min(1, (to - n) / (0.01 * rate));
      double vibrato = 1 + 0.003 * Math.sin(2 * Math.PI * 5 * t);
      double x = 0;
      for (int k = 1; k <= partials && k * hz < rate / 2.5; k++)
        x += Math.sin(2 * Math.PI * k * hz * vibrato * t) / k;
      left[n] += (1 - pan) * envelope * x;
      right[n] += pan * envelope * x;
    }
  }

  // A drum hit: noise (`noiseShare` of it) and a sine sweeping down to `hz` (none when 0),
  // decaying over `length` seconds.
  private static void drum(double[] left, double[] right, int rate, double start,
      double toneShare, double length, double pan, double hz, Random random) {
    int from = (int) (start * rate);
    int to = Math.min(left.length, from + (int) (length * rate));
    double phase = 0;
    for (int n = from; n < to; n++) {
      double t = (double) (n - from) / rate;
      double envelope = 0.35 * Math.exp(-5 * t / length);
      phase += 2 * Math.PI * hz * (1 + 3 * Math.exp(-t / 0.01)) / rate;
      double x = (1 - toneShare) * (random.nextDouble() - 0.5) + toneShare * Math.sin(phase);
      left[n] += (1 - pan) * envelope * x;
      right[n] += pan * envelope * x;
    }
  }

  private static double hz(int midi) {
    return 440 * Math.pow(2, (midi - 69) / 12.0);
  }

  static short toSample(double x) {
    return (short) Math.max(-32767, Math.min(32767, Math.round(x * 32767)));
  }

  /** The samples at full scale 1.0, as the peers take them. */
  public static float[] toFloat(short[] samples) {
    float[] out = new float[samples.length];
    for (int i = 0; i < samples.length; i++) out[i] = samples[i] / 32767f;
    return out;
  }
}

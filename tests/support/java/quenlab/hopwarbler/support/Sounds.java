package quenlab.hopwarbler.support;

import java.util.Random;
import java.util.function.IntToDoubleFunction;

/**
 * Deterministic test signals as 16-bit PCM (what a user feeds the library): tones, noise, bursts
 * and music. They quantise in three ways, each kept because measured figures depend on it: {@link
 * #pcm} rounds to even and clamps to the 16-bit range, {@link #tones} and {@link #twoPartialTone}
 * round half up without a clamp, and the benchmark signals clamp to +-32767 ({@link
 * Pcm#toSample}).
 */
public final class Sounds {
  /** The sample rate the tests and the benchmarks run at, in Hz. */
  public static final int RATE = 44100;

  /** The partials of the benchmark's steady tone, in Hz, each at {@link #PARTIAL_AMPLITUDE}. */
  public static final double[] PARTIALS_HZ = {220, 440, 660, 880};

  /** The partials of the bass tone (A2 and its harmonics), closer together in the spectrum. */
  public static final double[] BASS_PARTIALS_HZ = {110, 220, 330, 440};

  public static final double PARTIAL_AMPLITUDE = 0.2;

  /** The partials of {@link #stereoControl}'s centred chord, in Hz (A2 to E5). */
  public static final double[] CONTROL_CHORD_HZ = {110, 164.81, 220, 277.18, 329.63, 440, 659.25};

  /** Length of each noise burst in seconds. */
  public static final double BURST_SECONDS = 0.002;

  /** RMS of each channel of {@link #twoPartialTone}, at full scale 1.0. */
  public static final double TWO_PARTIAL_RMS = Math.sqrt((0.4 * 0.4 + 0.1 * 0.1) / 2);

  private Sounds() {}

  /**
   * Interleaved 16-bit PCM, one function of the frame index per channel in 16-bit units, rounded
   * to the nearest (ties to even) and clamped to -32768..32767.
   */
  public static short[] pcm(int frames, IntToDoubleFunction... channels) {
    int c = channels.length;
    short[] out = new short[frames * c];
    for (int i = 0; i < frames; i++) {
      for (int ch = 0; ch < c; ch++) {
        double v = Math.rint(channels[ch].applyAsDouble(i));
        out[i * c + ch] = (short) Math.max(-32768, Math.min(32767, v));
      }
    }
    return out;
  }

  /** A sine of {@code amplitude} in 16-bit units, for {@link #pcm}. */
  public static IntToDoubleFunction sine(double amplitude, double hz, int rate) {
    return i -> amplitude * Math.sin(2 * Math.PI * hz * i / rate);
  }

  public static IntToDoubleFunction constant(double value) {
    return i -> value;
  }

  /** Uniform noise in [-amplitude, amplitude), the same for a given seed, for {@link #pcm}. */
  public static IntToDoubleFunction noise(double amplitude, long seed, int frames) {
    Random random = new Random(seed);
    double[] v = new double[frames];
    for (int i = 0; i < frames; i++) {
      v[i] = amplitude * (2 * random.nextDouble() - 1);
    }
    return i -> v[i];
  }

  /**
   * Interleaved 16-bit tones: channel c carries sin(2 pi hz[c] n / rate) * amplitude[c] * 32767.
   */
  public static short[] tones(int frames, double[] hz, double[] amplitude, int rate) {
    int channels = hz.length;
    short[] samples = new short[frames * channels];
    for (int i = 0; i < frames; i++) {
      for (int c = 0; c < channels; c++) {
        samples[i * channels + c] =
            (short) Math.round(amplitude[c] * 32767 * Math.sin(2 * Math.PI * hz[c] * i / rate));
      }
    }
    return samples;
  }

  /**
   * A steady stereo tone, interleaved: 0.4 at 440 Hz plus 0.1 at 660 Hz on both sides, the right
   * side's 440 Hz a quarter turn later (so that a remix of the channels changes it).
   */
  public static short[] twoPartialTone(int frames, int rate) {
    short[] x = new short[2 * frames];
    for (int i = 0; i < frames; i++) {
      double a = 2 * Math.PI * 440.0 * i / rate;
      double b = 0.1 * Math.sin(2 * Math.PI * 660.0 * i / rate);
      x[2 * i] = (short) Math.round(32767 * (0.4 * Math.sin(a) + b));
      x[2 * i + 1] = (short) Math.round(32767 * (0.4 * Math.cos(a) + b));
    }
    return x;
  }

  /** A steady mono tone of {@code partialsHz}, each at {@link #PARTIAL_AMPLITUDE}. */
  public static short[] partialTone(int rate, double seconds, double[] partialsHz) {
    short[] out = new short[(int) Math.round(seconds * rate)];
    for (int n = 0; n < out.length; n++) {
      double x = 0;
      for (int k = 0; k < partialsHz.length; k++)
        x += PARTIAL_AMPLITUDE * Math.sin(2 * Math.PI * partialsHz[k] * n / rate + 0.7 * k);
      out[n] = Pcm.toSample(x);
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
      for (int i = 0; i < length; i++)
        out[(int) onset + i] = Pcm.toSample(noise.nextDouble() - 0.5);
    }
    return out;
  }

  /**
   * Burst onsets for {@link #bursts}: one every 0.8 s from 0.5 s on, shifted by 97 frames more
   * each.
   */
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
      out[2 * n] = Pcm.toSample(left[n]);
      out[2 * n + 1] = Pcm.toSample(right[n]);
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

  // A drum hit: noise and, `toneShare` of it, a sine sweeping down to `hz` (none when 0),
  // decaying over `length` seconds.
  private static void drum(double[] left, double[] right, int rate, double start, double toneShare,
      double length, double pan, double hz, Random random) {
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

  /**
   * The stereo control of the music benchmark, interleaved: a chord exactly in the centre (left
   * equal to right; {@link #CONTROL_CHORD_HZ} at 0.12 each, its level moving by +-20 % at 0.5 Hz)
   * plus a 1 kHz tone at 0.15 on the left alone.
   */
  public static short[] stereoControl(int rate, double seconds) {
    int frames = (int) Math.round(seconds * rate);
    short[] out = new short[2 * frames];
    for (int n = 0; n < frames; n++) {
      double t = (double) n / rate;
      double chord = 0;
      for (int k = 0; k < CONTROL_CHORD_HZ.length; k++)
        chord += 0.12 * Math.sin(2 * Math.PI * CONTROL_CHORD_HZ[k] * t + 0.7 * k);
      chord *= 1 + 0.2 * Math.sin(2 * Math.PI * 0.5 * t);
      out[2 * n] = Pcm.toSample(chord + 0.15 * Math.sin(2 * Math.PI * 1000 * t));
      out[2 * n + 1] = Pcm.toSample(chord);
    }
    return out;
  }

  private static double hz(int midi) {
    return 440 * Math.pow(2, (midi - 69) / 12.0);
  }
}
